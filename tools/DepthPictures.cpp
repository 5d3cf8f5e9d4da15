#include "DepthPictures.h"

#include <Bitmap.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace depth {

namespace {

const uint32* row_of(const BBitmap& bitmap, int32 y)
{
    return reinterpret_cast<const uint32*>(static_cast<const uint8*>(bitmap.Bits()) +
                                           size_t(y) * size_t(bitmap.BytesPerRow()));
}

// The cubic B-spline: smooth to its second derivative, never negative, so
// a resampled map stays within its own range.
double bspline(double t)
{
    t = std::fabs(t);
    if (t < 1)
        return (4 - 6 * t * t + 3 * t * t * t) / 6;
    if (t < 2)
        return (2 - t) * (2 - t) * (2 - t) / 6;
    return 0;
}

// Which inputs each output sample takes along one axis, and how much of
// each: worked out per sample as it is needed, never held for the whole
// axis (five taps a sample would cost 40 bytes a row of a tall strip).
class Kernel
{
public:
    Kernel(int32 in, int32 out) : fIn(in), fScale(double(in) / out)
    {
        if (in == out)
            return;
        // Shrinking widens the kernel to the inputs each output covers.
        fWiden = std::max(1.0, fScale);
        fSupport = 2 * fWiden;
        fCount = int32(std::ceil(2 * fSupport)) + 1;
    }

    int32 Count() const { return fCount; }

    // The first input output o takes (those before the edge repeat it; see
    // Index) and the weights of Count() inputs from there, summing to 1.
    int64 At(int32 o, float* weight) const
    {
        if (fCount == 1) {
            weight[0] = 1.0f;
            return o;
        }
        const double centre = (o + 0.5) * fScale - 0.5;
        const int64 start = int64(std::floor(centre - fSupport)) + 1;
        double sum = 0;
        for (int32 k = 0; k < fCount; k++) {
            const double w = bspline((double(start + k) - centre) / fWiden);
            weight[k] = float(w);
            sum += w;
        }
        for (int32 k = 0; k < fCount; k++)
            weight[k] = float(weight[k] / sum);
        return start;
    }

    // Past the edges the edge sample continues.
    int32 Index(int64 i) const { return int32(std::clamp<int64>(i, 0, fIn - 1)); }

private:
    int32 fIn;
    double fScale;
    double fWiden = 1;
    double fSupport = 0;
    int32 fCount = 1;
};

// One of the map's rows as numbers, from whichever store holds it.
void map_row(const depth_map& map, int32 y, float* out)
{
    const size_t from = size_t(y) * size_t(map.width);
    if (!map.samples8.empty()) {
        for (int32 x = 0; x < map.width; x++)
            out[x] = float(map.samples8[from + size_t(x)]) * (1.0f / 255.0f);
    } else if (!map.samples16.empty()) {
        for (int32 x = 0; x < map.width; x++)
            out[x] = float(map.samples16[from + size_t(x)]) * (1.0f / 65535.0f);
    } else {
        std::copy_n(map.values.data() + from, size_t(map.width), out);
    }
}

// The map's rows across to the output's width: the same kernel for every
// row, so its taps are kept while they are few (a row of them is small
// beside the rows they make), else worked out again for each row.
class Across
{
public:
    Across(int32 in, int32 out) : fKernel(in, out), fOut(out)
    {
        constexpr size_t kMostKept = size_t(4) << 20;
        if (in == out || size_t(out) * size_t(fKernel.Count()) > kMostKept)
            return;
        fStart.resize(size_t(out));
        fWeight.resize(size_t(out) * size_t(fKernel.Count()));
        for (int32 o = 0; o < out; o++)
            fStart[size_t(o)] = fKernel.At(o, fWeight.data() + size_t(o) * fKernel.Count());
        fKept = true;
    }

    void Row(const float* in, float* out, std::vector<float>* scratch) const
    {
        const int32 count = fKernel.Count();
        if (count == 1 && !fKept) {
            std::copy_n(in, size_t(fOut), out);
            return;
        }
        scratch->resize(size_t(count));
        for (int32 o = 0; o < fOut; o++) {
            const float* weight = scratch->data();
            int64 start;
            if (fKept) {
                start = fStart[size_t(o)];
                weight = fWeight.data() + size_t(o) * count;
            } else {
                start = fKernel.At(o, scratch->data());
            }
            float sum = 0;
            for (int32 k = 0; k < count; k++)
                sum += weight[k] * in[fKernel.Index(start + k)];
            out[o] = sum;
        }
    }

private:
    Kernel fKernel;
    int32 fOut;
    bool fKept = false;
    std::vector<int64> fStart;
    std::vector<float> fWeight;
};

// Nearness as the picture's level, 0..255.
class Quantiser
{
public:
    Quantiser(const depth_map& map, const Levels& levels) : fInvert(levels.invert)
    {
        float low = levels.least, high = levels.greatest;
        if (!levels.shared) {
            low = INFINITY;
            high = -INFINITY;
            WidenRange(map, &low, &high);
        }
        // A flat map has nothing to stretch: it keeps its own level.
        if (levels.normalize && high > low) {
            fOffset = low;
            fScale = 1.0f / (high - low);
        }
    }

    uint8 Level(float v) const
    {
        float f = std::isfinite(v) ? (v - fOffset) * fScale : 0.0f;
        f = std::clamp(f, 0.0f, 1.0f);
        if (fInvert)
            f = 1.0f - f;
        return uint8(f * 255.0f + 0.5f);
    }

private:
    float fOffset = 0.0f;
    float fScale = 1.0f;
    bool fInvert;
};

} // namespace

void WidenRange(const depth_map& map, float* low, float* high)
{
    if (!map.samples8.empty()) {
        const auto [least, most] = std::minmax_element(map.samples8.begin(), map.samples8.end());
        *low = std::min(*low, float(*least) / 255.0f);
        *high = std::max(*high, float(*most) / 255.0f);
    } else if (!map.samples16.empty()) {
        const auto [least, most] = std::minmax_element(map.samples16.begin(), map.samples16.end());
        *low = std::min(*low, float(*least) / 65535.0f);
        *high = std::max(*high, float(*most) / 65535.0f);
    }
    for (float v : map.values) {
        if (std::isfinite(v)) {
            *low = std::min(*low, v);
            *high = std::max(*high, v);
        }
    }
}

namespace {

void put_row(BBitmap* bitmap, int32 y, const float* values, const Quantiser& quantiser)
{
    uint8* row = static_cast<uint8*>(bitmap->Bits()) + size_t(y) * size_t(bitmap->BytesPerRow());
    const int32 width = bitmap->PixelWidth();
    if (bitmap->ColorSpace() == B_GRAY8) {
        for (int32 x = 0; x < width; x++)
            row[x] = quantiser.Level(values[x]);
    } else {
        uint32* words = reinterpret_cast<uint32*>(row);
        for (int32 x = 0; x < width; x++)
            words[x] = 0xFF000000u | uint32(quantiser.Level(values[x])) * 0x010101u;
    }
}

} // namespace

bool IsColourPicture(const BBitmap& picture)
{
    const color_space space = picture.ColorSpace();
    if (!picture.IsValid() || (space != B_RGB32 && space != B_RGBA32))
        return false;
    const int32 width = picture.PixelWidth(), height = picture.PixelHeight();
    // Every fourth pixel of every fourth row is plenty to tell.
    const int32 step = width * int64(height) > 65536 ? 4 : 1;
    uint64 looked = 0, coloured = 0;
    for (int32 y = 0; y < height; y += step) {
        const uint32* row = row_of(picture, y);
        for (int32 x = 0; x < width; x += step) {
            const int32 r = (row[x] >> 16) & 0xFF, g = (row[x] >> 8) & 0xFF, b = row[x] & 0xFF;
            looked++;
            if (std::max({r, g, b}) - std::min({r, g, b}) > 16)
                coloured++;
        }
    }
    return coloured * 100 > looked;
}

std::unique_ptr<BBitmap> MakeDepthPicture(const depth_map& map, int32 width, int32 height,
                                          const Levels& levels, color_space space)
{
    if (map.width <= 0 || map.height <= 0 || width <= 0 || height <= 0 ||
        depth_map_count(map) != size_t(map.width) * size_t(map.height) ||
        (space != B_GRAY8 && space != B_RGB32))
        return nullptr;
    try {
        std::unique_ptr<BBitmap> bitmap(new BBitmap(pixel_bounds(width, height), space));
        if (!bitmap->IsValid())
            return nullptr;
        const Quantiser quantiser(map, levels);
        const Across across(map.width, width);
        const Kernel down(map.height, height);

        // The map's rows an output row takes, already across at the new
        // width, in a ring: output rows take ever later map rows, and never
        // more than the kernel's count at once.
        const int32 count = down.Count();
        // A shrink's window may be taller than the map: it never holds
        // more rows than there are.
        const int32 slots = std::min(count, map.height);
        std::vector<float> ring(size_t(slots) * size_t(width));
        std::vector<int32> held(static_cast<size_t>(slots), -1);
        std::vector<float> source(static_cast<size_t>(map.width)), scratch;
        std::vector<float> weight(static_cast<size_t>(count));
        std::vector<float> line(static_cast<size_t>(width));
        auto row_at = [&](int32 y) -> const float* {
            float* slot = ring.data() + size_t(y % slots) * size_t(width);
            if (held[size_t(y % slots)] != y) {
                map_row(map, y, source.data());
                across.Row(source.data(), slot, &scratch);
                held[size_t(y % slots)] = y;
            }
            return slot;
        };
        for (int32 y = 0; y < height; y++) {
            const int64 start = down.At(y, weight.data());
            if (count == 1) {
                put_row(bitmap.get(), y, row_at(down.Index(start)), quantiser);
                continue;
            }
            std::fill(line.begin(), line.end(), 0.0f);
            for (int32 k = 0; k < count; k++) {
                const float w = weight[size_t(k)];
                const float* in = row_at(down.Index(start + k));
                for (int32 x = 0; x < width; x++)
                    line[size_t(x)] += w * in[x];
            }
            put_row(bitmap.get(), y, line.data(), quantiser);
        }
        return bitmap;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace depth
