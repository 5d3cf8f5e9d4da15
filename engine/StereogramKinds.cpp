#include "StereogramKinds.h"
#include "RowKernels.h"
#include "VPellaraObject.h"

#include <Bitmap.h>
#include <PictureMemory.h>
#include <PictureSize.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <type_traits>
#include <vector>

using namespace engine_rows;

namespace {

// A wide row must leave room for x + s in 32 bits.
constexpr uint64_t kMostWideRow = uint64_t(1) << 31;

using Scratch = std::unique_ptr<void, decltype(&picture_free)>;

Scratch scratch(size_t bytes)
{
    return Scratch(VPellaraObject::reallocator(nullptr, bytes), &picture_free);
}

// The depth of one pixel as the options see it: 24 bits, inverted for
// crossed eyes.
inline uint32_t depth_of(uint32_t word, bool crossEyed)
{
    uint32_t d = word & 0x00FFFFFFu;
    return crossEyed ? 0x00FFFFFFu - d : d;
}

// Separations in wide pixels (1/N of a picture pixel).
struct SeparationRule
{
    bool print;
    // The window's rule, scaled by N.
    int32_t L;
    int32_t A;
    // The print rule, E in wide pixels.
    double eyes;
    double mu;

    uint32_t operator()(uint32_t d) const
    {
        if (!print) {
            // The window's own expression, so that N = 1 gives its numbers.
            double s = double(L) - (double(d) / double(16777215.0F)) * double(A);
            return static_cast<uint32_t>(static_cast<int32_t>(s));
        }
        double z = double(d) / 16777215.0;
        return static_cast<uint32_t>(std::floor((1 - mu * z) * eyes / (2 - mu * z) + 0.5));
    }
};

// The geometry behind the hidden-surface test: the eyes' distance and the
// depth of field, in wide pixels. Without a print resolution they are the
// ones whose curve meets the window's rule at both ends: E / 2 = L and
// (1 - mu) E / (2 - mu) = L - A.
struct Geometry
{
    double eyes;
    double mu;
};

Geometry geometry_of(const StereogramOptions& o)
{
    const double n = o.oversample;
    if (o.dpi > 0)
        return {o.eyeMillimetres * o.dpi / 25.4 * n, o.depthOfField};
    return {2.0 * o.separation * n, 2.0 * o.amplitude / double(o.separation + o.amplitude)};
}

SeparationRule rule_of(const StereogramOptions& o)
{
    Geometry g = geometry_of(o);
    return {o.dpi > 0, int32_t(o.separation * int32_t(o.oversample)),
            int32_t(o.amplitude * int32_t(o.oversample)), g.eyes, g.mu};
}

// A surface exactly as near as the ray hides the point; the margin keeps
// rounding from deciding such a tie (depth levels lie 6e-8 apart).
constexpr double kTie = 1e-9;

// Whether the point at x is seen by both eyes: no surface between it and
// either eye. The ray towards an eye rises by 2 (2 - mu z) / (mu E) for each
// pixel it passes; once it is in front of the near plane nothing can hide it.
inline bool visible(const double* z, uint32_t x, uint32_t width, double scale, double mu)
{
    const double zx = z[x];
    const double step = scale * (2 - mu * zx);
    for (uint32_t t = 1;; t++) {
        if (t > x || x + t >= width)
            return true;
        const double zt = zx + step * t - kTie;
        if (!(z[x - t] < zt && z[x + t] < zt))
            return false;
        if (zt >= 1)
            return true;
    }
}

// The symmetric method's pairs: each pixel whose projections x - s/2 and
// x - s/2 + s both lie in the row (and, with hidden surfaces removed, that
// both eyes see) gives visit(left, right, s).
//
// nearest[x], when given, is the nearest depth within reach of x's rays
// (hidden_surface_reach pixels either side): a point nothing in front of can
// hide needs no ray followed, which is most of a picture.
template <typename Visit>
void symmetric_pairs(const uint32_t* separations, const double* z, const double* nearest,
                     uint32_t width, bool hidden, const Geometry& g, Visit visit)
{
    const double scale = 2.0 / (g.mu * g.eyes);
    for (uint32_t x = 0; x < width; x++) {
        const uint32_t s = separations[x];
        if (s / 2 > x)
            continue;
        const uint32_t left = x - s / 2;
        const uint32_t right = left + s;
        if (right >= width)
            continue;
        // The ray is nearest to the point one pixel away from it.
        if (hidden && !(nearest[x] < z[x] + scale * (2 - g.mu * z[x]) - kTie) &&
            !visible(z, x, width, scale, g.mu))
            continue;
        visit(left, right, s);
    }
}

// All the pairs tied: same[] keeps every pixel tied to the nearest one right
// of it that must share its colour, or to itself; then right to left, a tied
// pixel copies its partner and a free one takes freeColour(x).
template <typename Pairs, typename Free>
void colour_from_right(Pairs pairs, uint32_t width, uint32_t* same, uint32_t* out, Free freeColour)
{
    for (uint32_t x = 0; x < width; x++)
        same[x] = x;
    pairs([same](uint32_t left, uint32_t right, uint32_t) {
        // Already tied elsewhere: walk the chain so that links stay sorted.
        for (uint32_t k = same[left]; k != left && k != right; k = same[left]) {
            if (k < right) {
                left = k;
            } else {
                left = right;
                right = k;
            }
        }
        same[left] = right;
    });
    for (uint32_t x = width; x-- > 0;)
        out[x] = same[x] == x ? freeColour(x) : out[same[x]];
}

// Colours carried from the centre outwards: a pair's outer pixel (its left
// one left of the centre, else its right one) copies the inner one, so a
// pixel's colour depends only on what lies between it and the centre, and a
// change of depth re-colours nothing nearer the centre than itself. A pixel
// that is the outer end of several pairs lies on one eye's line of sight to
// each of their points: the nearest point (the smallest separation) hides the
// others, and only its pair is kept. from[] holds each pixel's inner partner
// (itself when free), far[] the separation of the pair that gave it.
template <typename Pairs, typename Free>
void colour_from_centre(Pairs pairs, uint32_t width, uint32_t* from, uint32_t* far, uint32_t* out,
                        Free freeColour)
{
    const uint32_t centre = width / 2;
    for (uint32_t x = 0; x < width; x++) {
        from[x] = x;
        far[x] = ~0u;
    }
    pairs([&](uint32_t left, uint32_t right, uint32_t s) {
        const uint32_t outer = right < centre ? left : right;
        if (s < far[outer]) {
            far[outer] = s;
            from[outer] = right < centre ? right : left;
        }
    });
    for (uint32_t x = centre; x-- > 0;)
        out[x] = from[x] == x ? freeColour(x) : out[from[x]];
    for (uint32_t x = centre; x < width; x++)
        out[x] = from[x] == x ? freeColour(x) : out[from[x]];
}

// The window's pairs (each pixel and the one a separation to its right)
// coloured from the centre outwards, as colour_from_centre does, in place:
// left of the centre right to left, each pixel repeating its partner; right
// of it each pair's right pixel takes its left one's colour, pairs taken
// left to right so that of several ending on one pixel the last, the
// nearest point's, stays.
template <typename Separation, typename Free>
void window_row_from_centre(uint32_t width, Separation separationAt, uint32_t* out, Free freeColour)
{
    const uint32_t centre = width / 2;
    for (uint32_t x = centre; x-- > 0;) {
        const uint32_t s = separationAt(x);
        out[x] = s > 0 && s < centre - x ? out[x + s] : freeColour(x);
    }
    for (uint32_t x = centre; x < width; x++)
        out[x] = freeColour(x);
    for (uint32_t x = 0; x < width; x++) {
        const uint32_t s = separationAt(x);
        if (s > 0 && s < width - x && x + s >= centre)
            out[x + s] = out[x];
    }
}

// How far a ray can pass over a surface in front of its point: it is in
// front of the near plane after (1 - z) / (2 (2 - mu z) / (mu E)) pixels,
// mu E / 4 at most.
uint32_t hidden_surface_reach(const Geometry& g)
{
    return uint32_t(std::ceil(g.mu * g.eyes / 4)) + 1;
}

// nearest[x] = the largest of z[x - reach .. x + reach] (within the row), in
// a pass each way over blocks of 2 reach + 1 pixels (van Herk, Gil and
// Werman): three comparisons a pixel whatever the reach. ahead and behind
// are scratch rows.
void nearest_within(const double* z, uint32_t width, uint32_t reach, double* ahead, double* behind,
                    double* nearest)
{
    const size_t block = size_t(reach) * 2 + 1;
    for (size_t start = 0; start < width; start += block) {
        const size_t end = std::min<size_t>(width, start + block);
        ahead[start] = z[start];
        for (size_t i = start + 1; i < end; i++)
            ahead[i] = std::max(ahead[i - 1], z[i]);
        behind[end - 1] = z[end - 1];
        for (size_t i = end - 1; i-- > start;)
            behind[i] = std::max(behind[i + 1], z[i]);
    }
    // [from, to] is at most a block long, so it spans the end of one block
    // and the start of the next; within one block this takes the whole
    // block, which is never less than the truth, only less useful.
    for (size_t x = 0; x < width; x++) {
        const size_t to = std::min<size_t>(width - 1, x + reach);
        nearest[x] = x < reach ? ahead[to] : std::max(behind[x - reach], ahead[to]);
    }
}

// The oversampling factor as a constant of the code, so that the loops over
// each picture pixel's N wide pixels unroll and divisions by N become
// multiplications: work(std::integral_constant<uint32_t, N>()).
template <typename Work> void with_factor(uint32_t n, Work work)
{
    static_assert(kMostOversample == 8, "one case for each factor");
    switch (n) {
    case 1:
        return work(std::integral_constant<uint32_t, 1>());
    case 2:
        return work(std::integral_constant<uint32_t, 2>());
    case 3:
        return work(std::integral_constant<uint32_t, 3>());
    case 4:
        return work(std::integral_constant<uint32_t, 4>());
    case 5:
        return work(std::integral_constant<uint32_t, 5>());
    case 6:
        return work(std::integral_constant<uint32_t, 6>());
    case 7:
        return work(std::integral_constant<uint32_t, 7>());
    default:
        return work(std::integral_constant<uint32_t, 8>());
    }
}

// Every N wide pixels averaged into one, channel by channel, rounded. Two
// channels share a word in 16-bit lanes: 8 x 255 fits.
template <uint32_t N> void average_row(const uint32_t* wide, uint32_t width, uint32_t* out)
{
    for (uint32_t x = 0; x < width; x++) {
        const uint32_t* from = wide + size_t(x) * N;
        uint32_t even = 0, odd = 0; // channels 0 and 2, 1 and 3
        for (uint32_t k = 0; k < N; k++) {
            even += from[k] & 0x00FF00FFu;
            odd += (from[k] >> 8) & 0x00FF00FFu;
        }
        auto mean = [](uint32_t sum) { return (sum + N / 2) / N; };
        out[x] = mean(even & 0xFFFFu) | mean(even >> 16) << 16 | mean(odd & 0xFFFFu) << 8 |
                 mean(odd >> 16) << 24;
    }
}

// Each picture pixel's word repeated over its N wide pixels.
template <uint32_t N> void widen_row(const uint32_t* row, uint32_t width, uint32_t* wide)
{
    for (uint32_t x = 0; x < width; x++)
        for (uint32_t k = 0; k < N; k++)
            wide[size_t(x) * N + k] = row[x];
}

// SplitMix64's finaliser: a good 64-bit hash of a counter.
inline uint64_t mix(uint64_t z)
{
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr uint32_t kBlack = 0xFF000000u;
constexpr uint32_t kWhite = 0xFFFFFFFFu;

// One row of random dots, a function of the seed and the row alone, so that
// the picture does not depend on how rows are shared among threads.
void random_row(uint64_t seed, uint32_t y, const uint32_t* palette, uint32_t colors, uint32_t width,
                uint32_t* row)
{
    const uint64_t key = mix(seed ^ mix(uint64_t(y) + 0x5EED0000ull));
    if (colors == 0) {
        for (uint32_t x = 0; x < width; x += 64) {
            uint64_t bits = mix(key + x / 64);
            for (uint32_t k = 0; k < 64 && x + k < width; k++)
                row[x + k] = (bits >> k) & 1 ? kWhite : kBlack;
        }
        return;
    }
    for (uint32_t x = 0; x < width; x += 2) {
        uint64_t bits = mix(key + x / 2);
        row[x] = palette[(uint64_t(uint32_t(bits)) * colors) >> 32];
        if (x + 1 < width)
            row[x + 1] = palette[((bits >> 32) * colors) >> 32];
    }
}

std::vector<uint32_t> random_palette(uint64_t seed, uint32_t colors)
{
    std::vector<uint32_t> palette(colors);
    for (uint32_t i = 0; i < colors; i++)
        palette[i] = 0xFF000000u | uint32_t(mix(seed ^ (0xC0104A11ull + i)) & 0xFFFFFFu);
    return palette;
}

// Rows first to last - 1 of the band above the picture: light, with two
// dark dots centred on the width, one far-plane separation apart.
void draw_guide_rows(uint32_t* bits, uint32_t width, uint32_t band, double separation,
                     uint32_t first, uint32_t last)
{
    const double cy = band / 2.0, radius = band / 4.0;
    const double centres[2] = {width / 2.0 - separation / 2, width / 2.0 + separation / 2};
    for (uint32_t y = first; y < last; y++) {
        uint32_t* row = bits + size_t(y - first) * width;
        for (uint32_t x = 0; x < width; x++)
            row[x] = kWhite;
        const double dy = y + 0.5 - cy;
        if (std::fabs(dy) > radius)
            continue;
        const double half = std::sqrt(radius * radius - dy * dy);
        for (double cx : centres) {
            double from = std::ceil(cx - half - 0.5), to = std::floor(cx + half - 0.5);
            for (double x = std::max(from, 0.0); x <= to && x < width; x++)
                row[size_t(x)] = kBlack;
        }
    }
}

inline bool grey(uint32_t word)
{
    return ((word ^ (word >> 8)) & 0xFFFFu) == 0;
}

} // namespace

bool stereogram_options_valid(const StereogramOptions& o)
{
    if (o.method != StereogramOptions::Method::kWindow &&
        o.method != StereogramOptions::Method::kSymmetric)
        return false;
    if (o.oversample < 1 || o.oversample > kMostOversample)
        return false;
    if (o.colors == 1 || o.colors > kMostRandomColors)
        return false;
    if (!(o.dpi >= 0) || !std::isfinite(o.dpi))
        return false;
    if (o.dpi > 0)
        return o.eyeMillimetres > 0 && std::isfinite(o.eyeMillimetres * o.dpi) &&
               o.depthOfField > 0 && o.depthOfField < 1 &&
               o.eyeMillimetres * o.dpi / 25.4 * o.oversample < double(kMostWideRow);
    return o.amplitude >= 0 && o.separation > o.amplitude && o.separation <= kMostSeparation;
}

double far_separation(const StereogramOptions& options)
{
    if (options.dpi <= 0)
        return options.separation;
    return rule_of(options)(0) / double(options.oversample);
}

uint32_t guide_band_height(uint32_t pictureHeight)
{
    return std::max<uint32_t>(16, pictureHeight / 20);
}

StereogramRows::StereogramRows(const StereogramOptions& options, uint32_t width, uint32_t height,
                               const uint32_t* pattern, uint32_t patternWidth,
                               uint32_t patternHeight)
    : fOptions(options), fWidth(width), fHeight(height), fPattern(pattern),
      fPatternWidth(patternWidth), fPatternHeight(patternHeight)
{
    if (!stereogram_options_valid(options) || width == 0 || height == 0)
        return;
    if (!options.randomDot && (pattern == nullptr || patternWidth == 0 || patternHeight == 0))
        return;
    if (uint64_t(width) * options.oversample >= kMostWideRow)
        return;
    fGuideRows = options.guideDots ? guide_band_height(height) : 0;
    if (options.randomDot && options.colors > 0)
        fPalette = random_palette(options.seed, options.colors);
    fValid = true;
}

bool StereogramRows::Grey() const
{
    if (fOptions.randomDot) {
        for (uint32_t colour : fPalette)
            if (!grey(colour))
                return false;
        return true;
    }
    // Only the part of the tile that the rows repeat.
    for (uint32_t y = 0; y < std::min(fHeight, fPatternHeight); y++)
        for (uint32_t x = 0; x < std::min(fWidth, fPatternWidth); x++)
            if (!grey(fPattern[size_t(y) * fPatternWidth + x]))
                return false;
    return true;
}

void StereogramRows::MakeGuideRows(uint32_t first, uint32_t last, uint32_t* out) const
{
    draw_guide_rows(out, fWidth, fGuideRows, far_separation(fOptions), first,
                    std::min(last, fGuideRows));
}

bool StereogramRows::MakeRows(uint32_t first, uint32_t last, const uint32_t* depth,
                              size_t depthStride, uint32_t* out, size_t outStride) const
{
    if (!fValid)
        return false;
    const StereogramOptions& options = fOptions;
    const bool pattern = !options.randomDot;
    const uint32_t n = options.oversample;
    const uint32_t wF = fWidth;
    const uint32_t w = wF * n;
    const SeparationRule rule = rule_of(options);
    const Geometry geometry = geometry_of(options);
    const uint32_t reach = hidden_surface_reach(geometry);
    const bool symmetric = options.method == StereogramOptions::Method::kSymmetric;
    // The window's own constants keep the window's fast separations.
    const bool steady = options.steady;
    const bool fixed = !symmetric && n == 1 && !rule.print && !options.crossEyed &&
                       options.separation == 80 && options.amplitude == 10;

    // A band's scratch rows: the free pixels' colours (a pattern's at the
    // picture's width, random dots at the wide rows' own, so that averaging
    // gives every part of the picture the same greys), the wide
    // separations, and for the wide or symmetric rows the rest.
    const uint32_t coloured = pattern ? wF : w;
    Scratch colours = scratch(size_t(coloured) * 4);
    Scratch separations = scratch(size_t(w) * 4);
    Scratch motiveRow = scratch(n > 1 && pattern ? size_t(w) * 4 : 1);
    Scratch outRow = scratch(n > 1 ? size_t(w) * 4 : 1);
    Scratch same = scratch(symmetric ? size_t(w) * 4 * (steady ? 2 : 1) : 1);
    const bool hidden = symmetric && options.hiddenSurface;
    Scratch depths = scratch(symmetric ? size_t(w) * sizeof(double) * (hidden ? 4 : 1) : 1);
    if (!colours || !separations || !motiveRow || !outRow || !same || !depths)
        return false;
    auto* colour = static_cast<uint32_t*>(colours.get());
    auto* sep = static_cast<uint32_t*>(separations.get());
    auto* z = static_cast<double*>(depths.get());
    // The free pixels' colours at the wide rows' width.
    auto* free = pattern && n > 1 ? static_cast<uint32_t*>(motiveRow.get()) : colour;

    with_factor(n, [&](auto factor) {
        constexpr uint32_t N = decltype(factor)::value;
        for (uint32_t y = first; y < last; y++) {
            const uint32_t* depthRow = depth + size_t(y - first) * depthStride;
            uint32_t* target = out + size_t(y - first) * outStride;
            if (pattern) {
                tile_row(colour, wF, fPattern + size_t(y % fPatternHeight) * fPatternWidth,
                         fPatternWidth);
                if (N > 1)
                    widen_row<N>(colour, wF, free);
            } else {
                random_row(options.seed, y, fPalette.data(), options.colors, w, colour);
            }

            // Separations (and depths) of every wide pixel, worked out once
            // for a run of one depth value.
            if (fixed) {
                fixed_separations(depthRow, reinterpret_cast<uint8_t*>(sep), wF);
            } else {
                uint32_t lastDepth = ~0u, lastSeparation = 0; // no depth is ~0
                double lastZ = 0;
                for (uint32_t x = 0; x < wF; x++) {
                    const uint32_t d = depth_of(depthRow[x], options.crossEyed);
                    if (d != lastDepth) {
                        lastDepth = d;
                        lastSeparation = rule(d);
                        lastZ = double(d) / 16777215.0;
                    }
                    for (uint32_t k = 0; k < N; k++)
                        sep[size_t(x) * N + k] = lastSeparation;
                    if (symmetric)
                        for (uint32_t k = 0; k < N; k++)
                            z[size_t(x) * N + k] = lastZ;
                }
            }

            uint32_t* row = N > 1 ? static_cast<uint32_t*>(outRow.get()) : target;
            auto* links = static_cast<uint32_t*>(same.get());
            auto freeColour = [free](uint32_t x) { return free[x]; };
            if (symmetric) {
                double* nearest = z + w;
                if (hidden)
                    nearest_within(z, w, reach, nearest + w, nearest + 2 * size_t(w), nearest);
                auto pairs = [&](auto visit) {
                    symmetric_pairs(sep, z, nearest, w, hidden, geometry, visit);
                };
                if (steady)
                    colour_from_centre(pairs, w, links, links + w, row, freeColour);
                else
                    colour_from_right(pairs, w, links, row, freeColour);
            } else if (steady && fixed) {
                window_row_from_centre(
                    w, PrecomputedSeparation<uint8_t>{reinterpret_cast<uint8_t*>(sep)}, row,
                    freeColour);
            } else if (steady) {
                window_row_from_centre(w, PrecomputedSeparation<uint32_t>{sep}, row, freeColour);
            } else if (fixed) {
                synthesise_row(colour, row, w,
                               PrecomputedSeparation<uint8_t>{reinterpret_cast<uint8_t*>(sep)});
            } else {
                synthesise_row(free, row, w, PrecomputedSeparation<uint32_t>{sep});
            }
            if (N > 1)
                average_row<N>(row, wF, target);
        }
    });
    return true;
}

BBitmap* VPellaraObject::Synthesise(const StereogramOptions& options)
{
    if (!stereogram_options_valid(options))
        return nullptr;
    if (form == nullptr || !formPresent)
        return nullptr;
    const bool pattern = !options.randomDot;
    if (pattern && (motive == nullptr || !motivePresent))
        return nullptr;

    const StereogramRows rows(options, wF, hF, pattern ? motive : nullptr, wM, hM);
    const uint32_t band = rows.GuideRows();
    if (!rows.IsValid() || uint64_t(hF) + band > uint64_t(INT32_MAX))
        return nullptr;
    const size_t bytes = size_t(picture_bytes(wF, int64_t(hF) + band));
    if (bytes == 0)
        return nullptr;

    if (pattern && (wF != wM || hF != hM)) {
        printf("pas la meme taille\n");
        printf("taille : wF=%ld, wM=%ld, hF=%ld, hM=%ld \n", long(wF), long(wM), long(hF),
               long(hM));
    }
    printf("debut de fusion\n");

    BBitmap* bitmap =
        new BBitmap(BRect(0, 0, float(wF - 1), float(hF + band - 1)), B_RGB32, true, true);
    if (bitmap->InitCheck() != B_OK || size_t(bitmap->BitsLength()) < bytes ||
        size_t(bitmap->BytesPerRow()) != size_t(wF) * 4) {
        delete bitmap;
        return nullptr;
    }
    uint32_t* bits = static_cast<uint32_t*>(bitmap->Bits());
    rows.MakeGuideRows(0, band, bits);
    uint32_t* picture = bits + size_t(band) * wF;

    std::atomic<bool> failed{false};
    for_row_bands(hF, uint64_t(wF) * options.oversample * hF, [&](uint32_t first, uint32_t last) {
        if (!rows.MakeRows(first, last, form + size_t(first) * wF, wF,
                           picture + size_t(first) * wF, wF))
            failed = true;
    });
    if (failed) {
        delete bitmap;
        return nullptr;
    }
    return bitmap;
}
