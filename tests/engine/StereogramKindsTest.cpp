// The other kinds of stereogram, checked against what defines them rather
// than against the code: the window's pictures where the options are the
// window's, the two projections of every visible pixel in one colour, the
// separations read back from the rows, the points a brute-force ray test
// hides, guide dots, and random dots that depend on the seed alone.
#include "EngineTestSupport.h"

#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>

namespace {

using Method = StereogramOptions::Method;

// Depth pictures, as grey levels 0 (far) to 255 (near).
struct DepthPicture
{
    const char* name;
    uint32_t (*level)(uint32_t x, uint32_t y, uint32_t w, uint32_t h);
};

const DepthPicture kFlat{"flat", [](uint32_t, uint32_t, uint32_t, uint32_t) { return 0u; }};
const DepthPicture kRamp{"ramp",
                         [](uint32_t x, uint32_t, uint32_t w, uint32_t) { return x * 255 / w; }};
const DepthPicture kStep{"step", [](uint32_t x, uint32_t, uint32_t w, uint32_t) {
                             return x >= w * 2 / 5 && x < w * 3 / 5 ? 255u : 0u;
                         }};
const DepthPicture kSphere{"sphere", [](uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
                               double dx = (x + 0.5 - w / 2.0) / (h / 2.0);
                               double dy = (y + 0.5 - h / 2.0) / (h / 2.0);
                               double r2 = dx * dx + dy * dy;
                               return r2 < 1 ? uint32_t(std::lround(255 * std::sqrt(1 - r2))) : 0u;
                           }};
const DepthPicture kPictures[] = {kFlat, kRamp, kStep, kSphere};

std::unique_ptr<BBitmap> depth_bitmap(const DepthPicture& p, uint32_t w, uint32_t h)
{
    return make_bitmap(w, h, [&](uint32_t x, uint32_t y) { return grey(p.level(x, y, w, h)); });
}

// A pattern at least as large as the picture with no two pixels alike: a
// stereogram pixel's colour then says which free pixel it came from.
std::unique_ptr<BBitmap> unique_pattern(uint32_t w, uint32_t h)
{
    return make_bitmap(w + 5, h + 3,
                       [=](uint32_t x, uint32_t y) { return 0xFF000000u | (y * (w + 5) + x + 1); });
}

std::unique_ptr<BBitmap> noise_pattern(uint32_t w, uint32_t h, uint32_t seed)
{
    std::mt19937 random(seed);
    return make_bitmap(w, h, [&](uint32_t, uint32_t) { return uint32_t(random()); });
}

struct Made
{
    std::unique_ptr<BBitmap> bitmap;
    std::vector<uint32_t> words;
    std::string traces;
    uint32_t width = 0;
};

Made make(BBitmap* depth, BBitmap* pattern, const StereogramOptions& options)
{
    VPellaraObject engine;
    testing::internal::CaptureStdout();
    engine.GetFrom(depth);
    if (pattern != nullptr)
        engine.GetMotive(pattern);
    Made m;
    m.bitmap.reset(engine.Synthesise(options));
    m.traces = testing::internal::GetCapturedStdout();
    if (m.bitmap) {
        m.words = words_of(m.bitmap.get());
        m.width = uint32_t(m.bitmap->PixelWidth());
    }
    return m;
}

// The separation rules written out plainly, in picture or wide pixels.
double depth_z(uint32_t level, bool crossEyed)
{
    return (crossEyed ? 255 - level : level) / 255.0;
}

uint32_t expected_separation(const StereogramOptions& o, uint32_t level)
{
    const double z = depth_z(level, o.crossEyed), n = o.oversample;
    if (o.dpi > 0) {
        double e = o.eyeMillimetres * o.dpi / 25.4 * n, mu = o.depthOfField;
        return uint32_t(std::floor((1 - mu * z) * e / (2 - mu * z) + 0.5));
    }
    // The window's own expression of L - z A, truncated, with L and A in
    // 1/N pixels.
    const uint32_t d = (o.crossEyed ? 255 - level : level) * 0x010101u;
    const int32_t L = o.separation * int32_t(o.oversample), A = o.amplitude * int32_t(o.oversample);
    return uint32_t(int32_t(double(L) - (double(d) / double(16777215.0F)) * double(A)));
}

struct Geometry
{
    double eyes;
    double mu;
};

Geometry geometry(const StereogramOptions& o)
{
    if (o.dpi > 0)
        return {o.eyeMillimetres * o.dpi / 25.4 * o.oversample, o.depthOfField};
    return {2.0 * o.separation * o.oversample, 2.0 * o.amplitude / (o.separation + o.amplitude)};
}

// Brute force: the ray from a point to each eye, followed pixel by pixel all
// the way to the screen, in the world's own terms. The eyes are D in front
// of the screen, the far plane D behind it, the near plane mu D in front of
// the far one; a surface at least as near as the ray where the ray passes
// over it hides the point.
bool seen_by_both_eyes(const std::vector<double>& z, uint32_t x, const Geometry& g)
{
    const double D = 1.0;
    const double behind = D * (1 - g.mu * z[x]);
    for (int side : {-1, 1}) {
        for (uint32_t t = 1;; t++) {
            // The ray's depth behind the screen t pixels on from the point.
            double ray = behind - t * (behind + D) / (g.eyes / 2);
            if (ray <= 0)
                break;
            int64_t c = int64_t(x) + side * int64_t(t);
            if (c < 0 || c >= int64_t(z.size()))
                break;
            // A tie hides the point, whatever the rounding says.
            if (D * (1 - g.mu * z[size_t(c)]) <= ray + 1e-9 * g.mu * D)
                return false;
        }
    }
    return true;
}

struct UnionFind
{
    std::vector<uint32_t> parent;
    explicit UnionFind(uint32_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0u); }
    uint32_t Find(uint32_t a) { return parent[a] == a ? a : parent[a] = Find(parent[a]); }
    void Join(uint32_t a, uint32_t b) { parent[Find(a)] = Find(b); }
};

// Pixels grouped by colour, each group named by its first member.
std::vector<uint32_t> colour_classes(const uint32_t* row, uint32_t w)
{
    std::map<uint32_t, uint32_t> first;
    std::vector<uint32_t> classes(w);
    for (uint32_t x = 0; x < w; x++)
        classes[x] = first.emplace(row[x], x).first->second;
    return classes;
}

std::vector<uint32_t> link_classes(UnionFind& links, uint32_t w)
{
    std::map<uint32_t, uint32_t> first;
    std::vector<uint32_t> classes(w);
    for (uint32_t x = 0; x < w; x++)
        classes[x] = first.emplace(links.Find(x), x).first->second;
    return classes;
}

StereogramOptions symmetric(bool hidden = true)
{
    StereogramOptions o;
    o.method = Method::kSymmetric;
    o.hiddenSurface = hidden;
    return o;
}

StereogramOptions print(double dpi, Method method = Method::kWindow, double mu = 1.0 / 3)
{
    StereogramOptions o;
    o.method = method;
    o.dpi = dpi;
    o.depthOfField = mu;
    return o;
}

StereogramOptions constants(int32_t L, int32_t A, Method method = Method::kWindow)
{
    StereogramOptions o;
    o.method = method;
    o.separation = L;
    o.amplitude = A;
    return o;
}

StereogramOptions crossed(StereogramOptions o)
{
    o.crossEyed = true;
    return o;
}

StereogramOptions steady(StereogramOptions o)
{
    o.steady = true;
    return o;
}

struct OptionsCase
{
    const char* name;
    StereogramOptions options;
};

const OptionsCase kKinds[] = {
    {"window", StereogramOptions()},
    {"window_60_25", constants(60, 25)},
    {"window_print72", print(72)},
    {"window_crossed", crossed(StereogramOptions())},
    {"symmetric", symmetric()},
    {"symmetric_no_hidden", symmetric(false)},
    {"symmetric_print100", print(100, Method::kSymmetric)},
    {"symmetric_print100_mu06", print(100, Method::kSymmetric, 0.6)},
    {"symmetric_crossed", crossed(symmetric())},
    {"symmetric_50_20", constants(50, 20, Method::kSymmetric)},
};

struct KindOnPicture
{
    OptionsCase kind;
    DepthPicture picture;
};

void PrintTo(const KindOnPicture& c, std::ostream* os)
{
    *os << c.kind.name << " on " << c.picture.name;
}

std::string kind_name(const testing::TestParamInfo<KindOnPicture>& info)
{
    return std::string(info.param.kind.name) + "_" + info.param.picture.name;
}

class EveryKind : public testing::TestWithParam<KindOnPicture>
{
protected:
    static constexpr uint32_t kW = 420, kH = 24;
};

// In every row each pixel whose two projections lie in the row carries its
// colour to both of them: the window's pixel x repeats at x + s (where the
// pixel there passed its own test), the symmetric method's visible pixel at
// x - s/2 and x - s/2 + s.
TEST_P(EveryKind, EachVisiblePixelsProjectionsShareTheirColour)
{
    const StereogramOptions& o = GetParam().kind.options;
    const DepthPicture& p = GetParam().picture;
    auto depth = depth_bitmap(p, kW, kH);
    auto pattern = unique_pattern(kW, kH);
    Made m = make(depth.get(), pattern.get(), o);
    ASSERT_TRUE(m.bitmap);
    ASSERT_EQ(kW, m.width);
    const Geometry g = geometry(o);
    size_t checked = 0;
    for (uint32_t y = 0; y < kH; y++) {
        const uint32_t* row = m.words.data() + size_t(y) * kW;
        std::vector<double> z(kW);
        std::vector<uint32_t> s(kW);
        for (uint32_t x = 0; x < kW; x++) {
            z[x] = depth_z(p.level(x, y, kW, kH), o.crossEyed);
            s[x] = expected_separation(o, p.level(x, y, kW, kH));
        }
        for (uint32_t x = 0; x < kW; x++) {
            if (o.method == Method::kWindow) {
                if (x + s[x] < kW && x + s[x] > s[x + s[x]]) {
                    ASSERT_EQ(row[x], row[x + s[x]]) << "row " << y << " x " << x;
                    checked++;
                }
                continue;
            }
            if (s[x] / 2 > x || x - s[x] / 2 + s[x] >= kW)
                continue;
            if (o.hiddenSurface && !seen_by_both_eyes(z, x, g))
                continue;
            ASSERT_EQ(row[x - s[x] / 2], row[x - s[x] / 2 + s[x]]) << "row " << y << " x " << x;
            checked++;
        }
    }
    EXPECT_GT(checked, size_t(kW) * kH / 4);
}

// Read back, for every pixel, the shift at which the row repeats it. Where
// depth changes along a row two neighbours can come to share a source and
// add a nearer repeat, so the rows here each hold one depth: the picture's
// levels down a line through it (the ramp becomes a vertical ramp).
TEST_P(EveryKind, SeparationsReadBackAreTheFormulas)
{
    const StereogramOptions& o = GetParam().kind.options;
    const DepthPicture& p = GetParam().picture;
    const uint32_t h = 64;
    auto level = [&](uint32_t y) { return p.level(y * kW / h, y, kW, h); };
    auto depth = make_bitmap(kW, h, [&](uint32_t, uint32_t y) { return grey(level(y)); });
    auto pattern = unique_pattern(kW, h);
    Made m = make(depth.get(), pattern.get(), o);
    ASSERT_TRUE(m.bitmap);
    std::set<uint32_t> separations;
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t* row = m.words.data() + size_t(y) * kW;
        const uint32_t s = expected_separation(o, level(y));
        separations.insert(s);
        // The left projections of the symmetric method's pixels, or the
        // window's pixels themselves, up to the free pixels on the right
        // (column 0 of the window's takes the unrewritten pattern).
        const uint32_t first = o.method == Method::kWindow ? 1 : 0;
        for (uint32_t x = first; x + s < kW; x++) {
            uint32_t shift = 1;
            while (x + shift < kW && row[x + shift] != row[x])
                shift++;
            ASSERT_EQ(s, shift) << "row " << y << " x " << x;
        }
    }
    EXPECT_GE(separations.size(), p.name == std::string("flat") ? 1u : 2u);
}

// The symmetric method's links are exactly those of the visible points:
// with every free pixel its own colour, pixels share a colour exactly when a
// chain of visible points' projections joins them.
class SymmetricKind : public EveryKind
{
};

TEST_P(SymmetricKind, LinksAreThoseOfTheVisiblePoints)
{
    const StereogramOptions& o = GetParam().kind.options;
    const DepthPicture& p = GetParam().picture;
    auto depth = depth_bitmap(p, kW, kH);
    auto pattern = unique_pattern(kW, kH);
    Made m = make(depth.get(), pattern.get(), o);
    ASSERT_TRUE(m.bitmap);
    const Geometry g = geometry(o);
    for (uint32_t y = 0; y < kH; y++) {
        std::vector<double> z(kW);
        for (uint32_t x = 0; x < kW; x++)
            z[x] = depth_z(p.level(x, y, kW, kH), o.crossEyed);
        UnionFind links(kW);
        for (uint32_t x = 0; x < kW; x++) {
            uint32_t s = expected_separation(o, p.level(x, y, kW, kH));
            if (s / 2 > x || x - s / 2 + s >= kW)
                continue;
            if (!o.hiddenSurface || seen_by_both_eyes(z, x, g))
                links.Join(x - s / 2, x - s / 2 + s);
        }
        ASSERT_EQ(link_classes(links, kW), colour_classes(m.words.data() + size_t(y) * kW, kW))
            << "row " << y;
    }
}

std::vector<KindOnPicture> every_kind_on_every_picture(bool symmetricOnly = false)
{
    std::vector<KindOnPicture> all;
    for (const OptionsCase& kind : kKinds)
        for (const DepthPicture& picture : kPictures)
            if (!symmetricOnly || kind.options.method == Method::kSymmetric)
                all.push_back({kind, picture});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind, testing::ValuesIn(every_kind_on_every_picture()),
                         kind_name);
INSTANTIATE_TEST_SUITE_P(Kinds, SymmetricKind, testing::ValuesIn(every_kind_on_every_picture(true)),
                         kind_name);

// On a step the near block hides parts of the background from one eye or
// the other; those points, and only those, are left unlinked.
TEST(HiddenSurfaces, AStepHidesBackgroundPointsBesideIt)
{
    const uint32_t w = 400, h = 2;
    auto depth = depth_bitmap(kStep, w, h);
    const Geometry g = geometry(symmetric());
    std::vector<double> z(w);
    for (uint32_t x = 0; x < w; x++)
        z[x] = depth_z(kStep.level(x, 0, w, h), false);
    std::vector<uint32_t> hidden;
    for (uint32_t x = 0; x < w; x++)
        if (!seen_by_both_eyes(z, x, g))
            hidden.push_back(x);
    // Beside each edge of the block (columns 160 and 239), a few background
    // points on each side.
    ASSERT_FALSE(hidden.empty());
    for (uint32_t x : hidden)
        EXPECT_TRUE((x >= 150 && x < 160) || (x >= 240 && x < 250)) << x;
    // With the removal switched off, the picture differs exactly in rows
    // where such a point lies in range: here, every row.
    auto pattern = unique_pattern(w, h);
    Made with = make(depth.get(), pattern.get(), symmetric(true));
    Made without = make(depth.get(), pattern.get(), symmetric(false));
    ASSERT_TRUE(with.bitmap && without.bitmap);
    EXPECT_NE(with.words, without.words);
}

// The window's own options give the window's picture, bit for bit, and the
// same trace lines: any depth, any tile, any size, threads or not.
struct WindowCase
{
    const char* name;
    uint32_t w, h, wM, hM;
    int32_t L, A;
};

class WindowsOwn : public testing::TestWithParam<WindowCase>
{
};

TEST_P(WindowsOwn, DefaultOptionsGiveTheWindowsStereogram)
{
    const WindowCase& c = GetParam();
    std::mt19937 random(c.w * 31 + c.h);
    std::vector<uint32_t> noise(size_t(c.w) * c.h);
    for (auto& v : noise)
        v = random();
    auto depth = make_bitmap(c.w, c.h, [&](uint32_t x, uint32_t y) { return noise[y * c.w + x]; });
    auto pattern = noise_pattern(c.wM, c.hM, 3);

    VPellaraObject window;
    window.L = c.L;
    window.A = c.A;
    testing::internal::CaptureStdout();
    window.GetFrom(depth.get());
    window.GetMotive(pattern.get());
    std::unique_ptr<BBitmap> expected(window.Fusion());
    std::string expectedTraces = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(expected);

    Made m = make(depth.get(), pattern.get(), constants(c.L, c.A));
    ASSERT_TRUE(m.bitmap);
    EXPECT_EQ(expected->Bounds(), m.bitmap->Bounds());
    EXPECT_EQ(words_of(expected.get()), m.words);
    EXPECT_EQ(expectedTraces, m.traces);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WindowsOwn,
    testing::Values(WindowCase{"tiled", 500, 40, 96, 96, 80, 10},
                    WindowCase{"same_size", 300, 20, 300, 20, 80, 10},
                    WindowCase{"tile_wider", 200, 30, 256, 7, 80, 10},
                    WindowCase{"one_column_tile", 300, 5, 1, 3, 80, 10},
                    WindowCase{"narrower_than_a_repeat", 60, 9, 32, 32, 80, 10},
                    WindowCase{"one_pixel", 1, 1, 3, 2, 80, 10},
                    WindowCase{"threaded", 1031, 613, 97, 41, 80, 10},
                    WindowCase{"other_constants", 700, 30, 64, 64, 60, 25},
                    WindowCase{"threaded_other_constants", 1000, 600, 50, 50, 120, 40}),
    [](const testing::TestParamInfo<WindowCase>& info) { return std::string(info.param.name); });

// Oversampling by N makes the rows N times as wide: on a flat picture the
// row repeats every s wide pixels, so the picture's row repeats every
// s / gcd(s, N) pixels; where s is a multiple of N it is the plain picture.
struct OversampleCase
{
    const char* name;
    StereogramOptions options;
    uint32_t level;
};

class Oversample : public testing::TestWithParam<OversampleCase>
{
};

TEST_P(Oversample, FlatRowsRepeatAtTheFineSeparation)
{
    const OversampleCase& c = GetParam();
    for (uint32_t n : {1u, 2u, 3u, 4u, 8u}) {
        SCOPED_TRACE("oversample " + std::to_string(n));
        StereogramOptions o = c.options;
        o.oversample = n;
        const uint32_t w = 2000, h = 3;
        auto depth = make_bitmap(w, h, [&](uint32_t, uint32_t) { return grey(c.level); });
        auto pattern = noise_pattern(w, h, 11);
        Made m = make(depth.get(), pattern.get(), o);
        ASSERT_TRUE(m.bitmap);
        const uint32_t s = expected_separation(o, c.level);
        const uint32_t period = s / std::gcd(s, n);
        ASSERT_LT(period * 2, w);
        // Away from the right margin, where the free pixels lie.
        const uint32_t end = w - (s + n - 1) / n - period - 1;
        for (uint32_t y = 0; y < h; y++) {
            const uint32_t* row = m.words.data() + size_t(y) * w;
            for (uint32_t x = 1; x < end; x++)
                ASSERT_EQ(row[x], row[x + period]) << "x " << x;
            uint32_t shorter = 1;
            while (shorter < period) {
                bool repeats = true;
                for (uint32_t x = 1; x < end && repeats; x++)
                    repeats = row[x] == row[x + shorter];
                if (repeats)
                    break;
                shorter++;
            }
            EXPECT_EQ(period, shorter);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, Oversample,
                         testing::Values(OversampleCase{"far", StereogramOptions(), 0},
                                         OversampleCase{"near", StereogramOptions(), 255},
                                         OversampleCase{"between", StereogramOptions(), 77},
                                         OversampleCase{"symmetric_far", symmetric(), 0},
                                         OversampleCase{"symmetric_between", symmetric(), 140},
                                         OversampleCase{"print", print(96), 200}),
                         [](const testing::TestParamInfo<OversampleCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Oversample, AtWholeSeparationsIsThePlainPictureAveraged)
{
    const uint32_t w = 500, h = 4;
    auto depth = make_bitmap(w, h, [](uint32_t, uint32_t) { return grey(0); });
    auto pattern = noise_pattern(96, 96, 5);
    Made plain = make(depth.get(), pattern.get(), StereogramOptions());
    ASSERT_TRUE(plain.bitmap);
    for (uint32_t n : {2u, 3u, 8u}) {
        StereogramOptions o;
        o.oversample = n;
        Made fine = make(depth.get(), pattern.get(), o);
        ASSERT_TRUE(fine.bitmap);
        // Column 0 alone may differ: there the wide row's sub-pixels past
        // the first take rewritten pattern pixels the plain row keeps.
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 1; x < w; x++)
                ASSERT_EQ(plain.words[y * w + x], fine.words[y * w + x]) << n << " " << x;
    }
}

// More levels of depth: a ramp takes N times as many separations.
TEST(Oversample, GivesFinerDepthSteps)
{
    const uint32_t w = 256;
    std::set<uint32_t> plain, fine;
    StereogramOptions o;
    for (uint32_t level = 0; level < w; level++)
        plain.insert(expected_separation(o, level));
    o.oversample = 4;
    for (uint32_t level = 0; level < w; level++)
        fine.insert(expected_separation(o, level));
    EXPECT_EQ(11u, plain.size());
    EXPECT_EQ(41u, fine.size());
}

// With crossed eyes a picture is the one made of the inverted depth.
TEST(CrossEyed, IsTheInvertedDepth)
{
    for (const DepthPicture& p : kPictures) {
        for (Method method : {Method::kWindow, Method::kSymmetric}) {
            SCOPED_TRACE(p.name);
            const uint32_t w = 300, h = 20;
            auto depth = depth_bitmap(p, w, h);
            auto inverted = make_bitmap(
                w, h, [&](uint32_t x, uint32_t y) { return grey(255 - p.level(x, y, w, h)); });
            auto pattern = noise_pattern(64, 64, 9);
            StereogramOptions o;
            o.method = method;
            Made straight = make(inverted.get(), pattern.get(), o);
            o.crossEyed = true;
            Made cross = make(depth.get(), pattern.get(), o);
            ASSERT_TRUE(straight.bitmap && cross.bitmap);
            EXPECT_EQ(straight.words, cross.words);
        }
    }
}

// Print-true separations: the far plane half the eyes' distance apart.
struct PrintCase
{
    double dpi, eye;
    uint32_t far, near;
};

class PrintTrue : public testing::TestWithParam<PrintCase>
{
};

TEST_P(PrintTrue, FarAndNearPlanesFollowTheEyesAndResolution)
{
    StereogramOptions o = print(GetParam().dpi);
    o.eyeMillimetres = GetParam().eye;
    EXPECT_EQ(GetParam().far, expected_separation(o, 0));
    EXPECT_EQ(GetParam().near, expected_separation(o, 255));
    EXPECT_DOUBLE_EQ(GetParam().far, far_separation(o));
    // And the picture: the free margin on the right is one far separation.
    const uint32_t w = GetParam().far * 3;
    auto depth = make_bitmap(w, 1, [](uint32_t, uint32_t) { return grey(0); });
    auto pattern = unique_pattern(w, 1);
    Made m = make(depth.get(), pattern.get(), o);
    ASSERT_TRUE(m.bitmap);
    uint32_t x = 0;
    while (m.words[x] != (0xFF000000u | (x + 1)))
        x++;
    EXPECT_EQ(GetParam().far, w - x);
}

// E = eye x dpi / 25.4; far = round(E / 2); near = round(0.4 E) for mu 1/3.
INSTANTIATE_TEST_SUITE_P(Resolutions, PrintTrue,
                         testing::Values(PrintCase{72, 63.5, 90, 72},
                                         PrintCase{300, 63.5, 375, 300},
                                         PrintCase{150, 60, 177, 142},
                                         PrintCase{96, 63.5, 120, 96}));

// Guide dots: a light band a twentieth of the height (16 pixels at least)
// above the untouched picture, two dark dots on it centred on the width one
// far-plane separation apart.
struct GuideCase
{
    const char* name;
    uint32_t w, h;
    StereogramOptions options;
};

class GuideDots : public testing::TestWithParam<GuideCase>
{
};

TEST_P(GuideDots, SitOnABandAboveThePicture)
{
    const GuideCase& c = GetParam();
    auto depth = depth_bitmap(kSphere, c.w, c.h);
    auto pattern = noise_pattern(100, 100, 1);
    StereogramOptions o = c.options;
    Made plain = make(depth.get(), pattern.get(), o);
    o.guideDots = true;
    Made dotted = make(depth.get(), pattern.get(), o);
    ASSERT_TRUE(plain.bitmap && dotted.bitmap);
    const uint32_t band = std::max<uint32_t>(16, c.h / 20);
    EXPECT_EQ(guide_band_height(c.h), band);
    ASSERT_EQ(int32_t(c.h + band), dotted.bitmap->PixelHeight());
    ASSERT_EQ(int32_t(c.w), dotted.bitmap->PixelWidth());
    // Not a pixel of the stereogram lost.
    EXPECT_TRUE(std::equal(plain.words.begin(), plain.words.end(),
                           dotted.words.begin() + size_t(band) * c.w));
    // The band holds only light and dark; the dark pixels of its middle row
    // make two runs whose centres are a far separation apart.
    for (size_t i = 0; i < size_t(band) * c.w; i++)
        ASSERT_TRUE(dotted.words[i] == 0xFFFFFFFFu || dotted.words[i] == 0xFF000000u) << i;
    const uint32_t* middle = dotted.words.data() + size_t(band / 2) * c.w;
    std::vector<double> centres;
    for (uint32_t x = 0; x < c.w;) {
        if (middle[x] != 0xFF000000u) {
            x++;
            continue;
        }
        uint32_t start = x;
        while (x < c.w && middle[x] == 0xFF000000u)
            x++;
        centres.push_back((start + x) / 2.0);
    }
    ASSERT_EQ(2u, centres.size());
    const double far = far_separation(o);
    EXPECT_NEAR(c.w / 2.0 - far / 2, centres[0], 0.5);
    EXPECT_NEAR(c.w / 2.0 + far / 2, centres[1], 0.5);
    // The top and bottom rows of the band are light: the dots sit inside.
    for (uint32_t x = 0; x < c.w; x++) {
        EXPECT_EQ(0xFFFFFFFFu, dotted.words[x]);
        EXPECT_EQ(0xFFFFFFFFu, dotted.words[size_t(band - 1) * c.w + x]);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, GuideDots,
                         testing::Values(GuideCase{"small", 300, 100, StereogramOptions()},
                                         GuideCase{"tall", 400, 900, StereogramOptions()},
                                         GuideCase{"print", 800, 400, print(150)},
                                         GuideCase{"oversampled_print", 800, 60,
                                                   [] {
                                                       StereogramOptions o = print(97);
                                                       o.oversample = 3;
                                                       return o;
                                                   }()}),
                         [](const testing::TestParamInfo<GuideCase>& info) {
                             return std::string(info.param.name);
                         });

// Random dots: the seed alone decides, the colours are the ones asked for.
struct RandomCase
{
    const char* name;
    Method method;
    uint32_t colors;
    uint32_t oversample;
};

class RandomDots : public testing::TestWithParam<RandomCase>
{
};

TEST_P(RandomDots, TheSeedDecidesAndTheColoursAreTheOnesAsked)
{
    const RandomCase& c = GetParam();
    const uint32_t w = 1200, h = 600;
    auto depth = depth_bitmap(kSphere, w, h);
    StereogramOptions o;
    o.method = c.method;
    o.randomDot = true;
    o.colors = c.colors;
    o.oversample = c.oversample;
    Made first = make(depth.get(), nullptr, o);
    Made again = make(depth.get(), nullptr, o);
    o.seed = 2;
    Made other = make(depth.get(), nullptr, o);
    ASSERT_TRUE(first.bitmap && again.bitmap && other.bitmap);
    EXPECT_EQ(first.words, again.words);
    EXPECT_NE(first.words, other.words);
    EXPECT_EQ("debut de fusion\n", first.traces);

    // A row does not depend on the rows around it nor on the threads that
    // made it: the top of a short picture (one thread) is the same.
    auto shortDepth = depth_bitmap(kFlat, w, 4);
    o.seed = 1;
    Made tall = make(depth_bitmap(kFlat, w, h).get(), nullptr, o);
    Made low = make(shortDepth.get(), nullptr, o);
    ASSERT_TRUE(tall.bitmap && low.bitmap);
    EXPECT_TRUE(std::equal(low.words.begin(), low.words.end(), tall.words.begin()));

    std::set<uint32_t> seen(first.words.begin(), first.words.end());
    if (c.oversample > 1) {
        EXPECT_GT(seen.size(), std::max<size_t>(2, c.colors)); // averages between dots
        return;
    }
    if (c.colors == 0)
        EXPECT_EQ((std::set<uint32_t>{0xFF000000u, 0xFFFFFFFFu}), seen);
    else
        EXPECT_EQ(c.colors, seen.size());
}

INSTANTIATE_TEST_SUITE_P(Kinds, RandomDots,
                         testing::Values(RandomCase{"black_and_white", Method::kWindow, 0, 1},
                                         RandomCase{"two_colours", Method::kWindow, 2, 1},
                                         RandomCase{"many_colours", Method::kWindow, 200, 1},
                                         RandomCase{"symmetric", Method::kSymmetric, 0, 1},
                                         RandomCase{"symmetric_colours", Method::kSymmetric, 7, 1},
                                         RandomCase{"oversampled", Method::kWindow, 0, 4}),
                         [](const testing::TestParamInfo<RandomCase>& info) {
                             return std::string(info.param.name);
                         });

// Oversampled random dots look the same at every depth: were they drawn at
// the picture's width, the far plane (a whole number of pixels apart) would
// stay black and white while nearer parts turned grey, and the shape would
// show without fusing.
TEST(RandomDots, OversampledLookTheSameAtEveryDepth)
{
    const uint32_t w = 600, h = 200;
    auto depth = depth_bitmap(kStep, w, h);
    StereogramOptions o;
    o.randomDot = true;
    o.oversample = 4;
    for (Method method : {Method::kWindow, Method::kSymmetric}) {
        o.method = method;
        Made m = make(depth.get(), nullptr, o);
        ASSERT_TRUE(m.bitmap);
        // The share of pixels still pure black or white, far (left of the
        // block) and near (on it): 2 in 16 for an average of four dots.
        auto pure = [&](uint32_t from, uint32_t to) {
            size_t count = 0, all = 0;
            for (uint32_t y = 0; y < h; y++)
                for (uint32_t x = from; x < to; x++, all++)
                    count += m.words[y * w + x] == 0xFF000000u || m.words[y * w + x] == 0xFFFFFFFFu;
            return double(count) / double(all);
        };
        const double far = pure(100, 220), near = pure(250, 350);
        EXPECT_NEAR(2.0 / 16, far, 0.03);
        EXPECT_NEAR(2.0 / 16, near, 0.03);
    }
}

// Random dots obey the defining property too.
TEST(RandomDots, ProjectionsShareTheirColour)
{
    const uint32_t w = 500, h = 10;
    auto depth = depth_bitmap(kSphere, w, h);
    StereogramOptions o = symmetric();
    o.randomDot = true;
    o.colors = 50;
    Made m = make(depth.get(), nullptr, o);
    ASSERT_TRUE(m.bitmap);
    const Geometry g = geometry(o);
    for (uint32_t y = 0; y < h; y++) {
        std::vector<double> z(w);
        for (uint32_t x = 0; x < w; x++)
            z[x] = depth_z(kSphere.level(x, y, w, h), false);
        for (uint32_t x = 0; x < w; x++) {
            uint32_t s = expected_separation(o, kSphere.level(x, y, w, h));
            if (s / 2 > x || x - s / 2 + s >= w || !seen_by_both_eyes(z, x, g))
                continue;
            ASSERT_EQ(m.words[y * w + x - s / 2], m.words[y * w + x - s / 2 + s]) << x;
        }
    }
}

// Steady kinds keep every pair of projections in one colour but where the
// pair's outer pixel (away from the centre) is the outer pixel of a nearer
// point's pair too: one eye sees only the nearer point along that line.
const OptionsCase kSteadyKinds[] = {
    {"window", steady(StereogramOptions())},
    {"window_print72", steady(print(72))},
    {"window_crossed", steady(crossed(StereogramOptions()))},
    {"symmetric", steady(symmetric())},
    {"symmetric_no_hidden", steady(symmetric(false))},
    {"symmetric_print100", steady(print(100, Method::kSymmetric))},
};

class SteadyKind : public testing::TestWithParam<KindOnPicture>
{
};

TEST_P(SteadyKind, PairsShareTheirColourUnlessANearerPointTakesTheirOuterPixel)
{
    const StereogramOptions& o = GetParam().kind.options;
    const DepthPicture& p = GetParam().picture;
    const uint32_t w = 421, h = 16;
    auto depth = depth_bitmap(p, w, h);
    auto pattern = unique_pattern(w, h);
    Made m = make(depth.get(), pattern.get(), o);
    ASSERT_TRUE(m.bitmap);
    const Geometry g = geometry(o);
    size_t kept = 0, pairs = 0;
    for (uint32_t y = 0; y < h; y++) {
        std::vector<double> z(w);
        for (uint32_t x = 0; x < w; x++)
            z[x] = depth_z(p.level(x, y, w, h), o.crossEyed);
        struct Pair
        {
            uint32_t left, right, s;
        };
        std::vector<Pair> all;
        for (uint32_t x = 0; x < w; x++) {
            const uint32_t s = expected_separation(o, p.level(x, y, w, h));
            if (o.method == Method::kWindow && x + s < w)
                all.push_back({x, x + s, s});
            else if (o.method == Method::kSymmetric && s / 2 <= x && x - s / 2 + s < w &&
                     (!o.hiddenSurface || seen_by_both_eyes(z, x, g)))
                all.push_back({x - s / 2, x - s / 2 + s, s});
        }
        auto outer = [&](const Pair& q) { return q.right < w / 2 ? q.left : q.right; };
        std::map<uint32_t, uint32_t> nearest; // outer pixel -> smallest separation
        for (const Pair& q : all) {
            auto [at, added] = nearest.emplace(outer(q), q.s);
            at->second = std::min(at->second, q.s);
        }
        const uint32_t* row = m.words.data() + size_t(y) * w;
        for (const Pair& q : all) {
            pairs++;
            if (nearest[outer(q)] != q.s)
                continue;
            ASSERT_EQ(row[q.left], row[q.right]) << "row " << y << " pair " << q.left;
            kept++;
        }
    }
    EXPECT_GT(kept, pairs * 9 / 10);
}

// A change of depth re-colours nothing nearer the centre than itself.
TEST_P(SteadyKind, ADepthChangeReachesOnlyAwayFromTheCentre)
{
    const StereogramOptions& o = GetParam().kind.options;
    const DepthPicture& p = GetParam().picture;
    const uint32_t w = 421, h = 8;
    auto pattern = unique_pattern(w, h);
    auto before = depth_bitmap(p, w, h);
    Made a = make(before.get(), pattern.get(), o);
    for (uint32_t column : {30u, 100u, 300u, 380u}) {
        auto after = make_bitmap(w, h, [&](uint32_t x, uint32_t y) {
            const uint32_t level = p.level(x, y, w, h);
            return grey(x >= column && x < column + 12 ? 255 - level : level);
        });
        Made b = make(after.get(), pattern.get(), o);
        ASSERT_TRUE(a.bitmap && b.bitmap);
        // The pixels a point's pair can reach lie within half the far
        // separation of it.
        const uint32_t reach = uint32_t(std::ceil(far_separation(o)));
        // Left of the centre pixels take their colours from that side alone.
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++) {
                const bool inner =
                    column > w / 2 ? x + reach < column : x > column + 12 + reach && x < w / 2;
                if (inner) {
                    ASSERT_EQ(a.words[y * w + x], b.words[y * w + x])
                        << "change at " << column << ", pixel " << x;
                }
            }
    }
}

std::vector<KindOnPicture> steady_kinds()
{
    std::vector<KindOnPicture> all;
    for (const OptionsCase& kind : kSteadyKinds)
        for (const DepthPicture& picture : kPictures)
            all.push_back({kind, picture});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SteadyKind, testing::ValuesIn(steady_kinds()), kind_name);

// A shape moving sideways over a flat background: rows it never touches
// stay as they were, and the change keeps to the side of it away from the
// centre.
TEST(Steady, AMovingShapeChangesOnlyNearItself)
{
    const uint32_t w = 640, h = 120, r = 30;
    auto frame = [&](uint32_t cx) {
        return make_bitmap(w, h, [&](uint32_t x, uint32_t y) {
            const double dx = (x + 0.5 - cx) / r, dy = (y + 0.5 - 40.0) / r;
            const double r2 = dx * dx + dy * dy;
            return grey(r2 < 1 ? uint32_t(std::lround(255 * std::sqrt(1 - r2))) : 0u);
        });
    };
    auto changed = [&](bool isSteady, Method method, uint32_t from) {
        StereogramOptions o;
        o.method = method;
        o.randomDot = true;
        o.steady = isSteady;
        Made a = make(frame(from).get(), nullptr, o), b = make(frame(from + 4).get(), nullptr, o);
        EXPECT_TRUE(a.bitmap && b.bitmap);
        size_t count = 0;
        for (size_t i = 0; i < a.words.size(); i++)
            count += a.words[i] != b.words[i];
        for (size_t i = size_t(80) * w; i < a.words.size(); i++)
            EXPECT_EQ(a.words[i], b.words[i]) << "untouched row " << i / w;
        return double(count) / double(a.words.size());
    };
    // Right of the centre colours carried from the right change all the way
    // to the left edge; left of it both ways change as much.
    for (Method method : {Method::kWindow, Method::kSymmetric}) {
        const double keptLeft = changed(true, method, 120), keptRight = changed(true, method, 480);
        const double stillRight = changed(false, method, 480);
        EXPECT_LT(keptLeft, 0.06);
        EXPECT_LT(keptRight * 2, stillRight);
    }
}

// What cannot be made is refused with null, before any trace line.
struct RefusalCase
{
    const char* name;
    StereogramOptions options;
    bool withPattern;
};

class Refused : public testing::TestWithParam<RefusalCase>
{
};

TEST_P(Refused, GivesNullAndPrintsNothing)
{
    auto depth = depth_bitmap(kRamp, 100, 10);
    auto pattern = noise_pattern(10, 10, 1);
    EXPECT_FALSE(stereogram_options_valid(GetParam().options) && GetParam().withPattern);
    Made m =
        make(depth.get(), GetParam().withPattern ? pattern.get() : nullptr, GetParam().options);
    EXPECT_EQ(nullptr, m.bitmap);
    EXPECT_EQ("", m.traces);
}

StereogramOptions with(void (*change)(StereogramOptions&))
{
    StereogramOptions o;
    change(o);
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Options, Refused,
    testing::Values(
        RefusalCase{"no_pattern", StereogramOptions(), false},
        RefusalCase{"oversample_0", with([](StereogramOptions& o) { o.oversample = 0; }), true},
        RefusalCase{"oversample_9", with([](StereogramOptions& o) { o.oversample = 9; }), true},
        RefusalCase{"separation_at_amplitude", constants(10, 10), true},
        RefusalCase{"negative_amplitude", constants(80, -1), true},
        RefusalCase{"one_colour", with([](StereogramOptions& o) { o.colors = 1; }), true},
        RefusalCase{"too_many_colours", with([](StereogramOptions& o) { o.colors = 257; }), true},
        RefusalCase{"no_eyes", with([](StereogramOptions& o) {
                        o.dpi = 300;
                        o.eyeMillimetres = 0;
                    }),
                    true},
        RefusalCase{"depth_of_field_1", print(300, Method::kWindow, 1.0), true},
        RefusalCase{"depth_of_field_0", print(300, Method::kWindow, 0.0), true},
        RefusalCase{"negative_dpi", print(-3), true},
        RefusalCase{"unknown_method",
                    with([](StereogramOptions& o) { o.method = StereogramOptions::Method(7); }),
                    true}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(Traces, AreTheWindowsForAPatternOfAnotherSize)
{
    auto depth = depth_bitmap(kRamp, 120, 10);
    auto pattern = noise_pattern(40, 30, 1);
    Made m = make(depth.get(), pattern.get(), symmetric());
    ASSERT_TRUE(m.bitmap);
    EXPECT_EQ("pas la meme taille\ntaille : wF=120, wM=40, hF=10, hM=30 \ndebut de fusion\n",
              m.traces);
}

} // namespace
