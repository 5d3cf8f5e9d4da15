#include "EngineTestSupport.h"

#include <VPellaraObject.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// The synthesis written the slow, obvious way, for comparison.
std::vector<uint32_t> reference(const std::vector<uint32_t>& depth, uint32_t w, uint32_t h,
                                const std::vector<uint32_t>& pattern, uint32_t wM, uint32_t hM,
                                int32_t L = 80, int32_t A = 10)
{
    std::vector<uint32_t> tiled(size_t(w) * h), out(size_t(w) * h);
    for (uint32_t r = 0; r < h; r++)
        for (uint32_t c = 0; c < w; c++)
            tiled[r * w + c] = pattern[(r % hM) * wM + (c % wM)];
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = w; x-- > 0;) {
            uint32_t i = y * w + x;
            double sep = L - (double(depth[i] & 0xFFFFFF) / double(16777215.0F)) * A;
            auto s = uint32_t(int32_t(sep));
            out[i] = tiled[i];
            if (x + s < w) {
                if (x > s)
                    tiled[i] = tiled[i + s];
                out[i] = tiled[i + s];
            }
        }
    return out;
}

// A pattern whose every pixel differs tells which source a result pixel came from.
uint32_t column_code(uint32_t x, uint32_t)
{
    return 0x01000000u + x;
}

struct Fused
{
    std::unique_ptr<BBitmap> bitmap;
    std::vector<uint32_t> words;
    std::string out;
};

Fused fuse_with(VPellaraObject& engine, BBitmap* depth, BBitmap* pattern)
{
    testing::internal::CaptureStdout();
    engine.GetFrom(depth);
    engine.GetMotive(pattern);
    Fused f;
    f.bitmap.reset(engine.Fusion());
    f.out = testing::internal::GetCapturedStdout();
    if (f.bitmap)
        f.words = words_of(f.bitmap.get());
    return f;
}

Fused fuse(BBitmap* depth, BBitmap* pattern, int32_t L = 80, int32_t A = 10)
{
    VPellaraObject engine;
    engine.L = L;
    engine.A = A;
    return fuse_with(engine, depth, pattern);
}

// Where the untouched right margin starts in a flat picture is wF - s.
// A fresh engine keeps the constants it was built with.
uint32_t separation_seen(uint32_t depthWord, bool freshEngine = false)
{
    const uint32_t w = 200;
    auto depth = make_bitmap(w, 1, [=](uint32_t, uint32_t) { return depthWord; });
    auto pattern = make_bitmap(w, 1, column_code);
    VPellaraObject engine;
    Fused f = freshEngine ? fuse_with(engine, depth.get(), pattern.get())
                          : fuse(depth.get(), pattern.get());
    uint32_t x = 0;
    while (x < w && f.words[x] != column_code(x, 0))
        x++;
    return w - x;
}

struct SeparationCase
{
    uint32_t depth;
    uint32_t separation;
};

class Separation : public testing::TestWithParam<SeparationCase>
{
};

TEST_P(Separation, FollowsDepth)
{
    EXPECT_EQ(separation_seen(GetParam().depth), GetParam().separation);
}

INSTANTIATE_TEST_SUITE_P(
    GreyAndPure, Separation,
    testing::Values(
        SeparationCase{grey(0), 80}, SeparationCase{grey(1), 79}, SeparationCase{grey(25), 79},
        SeparationCase{grey(26), 78}, SeparationCase{grey(51), 78}, SeparationCase{grey(52), 77},
        SeparationCase{grey(76), 77}, SeparationCase{grey(77), 76}, SeparationCase{grey(102), 76},
        SeparationCase{grey(103), 75}, SeparationCase{grey(127), 75}, SeparationCase{grey(128), 74},
        SeparationCase{grey(153), 74}, SeparationCase{grey(154), 73}, SeparationCase{grey(178), 73},
        SeparationCase{grey(179), 72}, SeparationCase{grey(204), 72}, SeparationCase{grey(205), 71},
        SeparationCase{grey(229), 71}, SeparationCase{grey(230), 70}, SeparationCase{grey(255), 70},
        SeparationCase{0x000000FF, 79}, SeparationCase{0x00FF0000, 70},
        SeparationCase{0x00000001, 79}, SeparationCase{0x00000006, 79},
        SeparationCase{0xFF000000, 80}));

// Without being told, the engine places the far plane 80 columns apart and
// the near one 70.
TEST(Separation, OfAFreshEngineRunsFromEightyToSeventy)
{
    EXPECT_EQ(separation_seen(grey(0), true), 80u);
    EXPECT_EQ(separation_seen(grey(255), true), 70u);
}

TEST(Synthesis, FlatBlackPictureRepeatsEveryEightyColumns)
{
    auto depth = make_bitmap(500, 3, [](uint32_t, uint32_t) { return 0xff000000u; });
    auto pattern = make_bitmap(500, 3, [](uint32_t x, uint32_t y) { return x * 7 + y * 1000; });
    Fused f = fuse(depth.get(), pattern.get());
    ASSERT_TRUE(f.bitmap);
    for (uint32_t y = 0; y < 3; y++) {
        const uint32_t* row = f.words.data() + y * 500;
        for (uint32_t x = 420; x < 500; x++)
            EXPECT_EQ(row[x], x * 7 + y * 1000) << x;
        for (uint32_t x = 1; x < 420; x++)
            EXPECT_EQ(row[x], row[x + 80]) << x;
        EXPECT_EQ(row[0], 80 * 7 + y * 1000);
    }
    EXPECT_EQ(f.out, "debut de fusion\n");
}

TEST(Synthesis, NarrowPictureIsThePlainTiling)
{
    for (uint32_t w : {1u, 2u, 69u, 70u}) {
        auto depth = make_bitmap(w, 4, [](uint32_t x, uint32_t) { return grey(x * 3); });
        auto pattern = make_bitmap(30, 3, [](uint32_t x, uint32_t y) { return x + 100 * y; });
        Fused f = fuse(depth.get(), pattern.get());
        ASSERT_TRUE(f.bitmap);
        for (uint32_t y = 0; y < 4; y++)
            for (uint32_t x = 0; x < w; x++)
                EXPECT_EQ(f.words[y * w + x], (x % 30) + 100 * (y % 3)) << w << " " << x;
    }
}

TEST(Synthesis, OnePixelPictureHoldsThePatternsFirstPixel)
{
    auto depth = make_bitmap(1, 1, [](uint32_t, uint32_t) { return grey(200); });
    auto pattern = make_bitmap(3, 2, [](uint32_t x, uint32_t y) { return 0x42 + x + y; });
    Fused f = fuse(depth.get(), pattern.get());
    ASSERT_TRUE(f.bitmap);
    EXPECT_EQ(f.bitmap->Bounds(), BRect(0, 0, 0, 0));
    EXPECT_EQ(f.bitmap->ColorSpace(), B_RGB32);
    EXPECT_EQ(f.words, std::vector<uint32_t>{0x42});
}

struct Constants
{
    int32_t L;
    int32_t A;
};

class DirectAlgorithm : public testing::TestWithParam<Constants>
{
};

// Large enough to be split over threads: every row must still match, with
// the system's constants and with others.
TEST_P(DirectAlgorithm, MatchesOnRandomDepth)
{
    const uint32_t w = 1031, h = 613, wM = 97, hM = 41;
    std::mt19937 random(7);
    std::vector<uint32_t> depth(size_t(w) * h), pattern(size_t(wM) * hM);
    for (auto& v : depth)
        v = random();
    for (auto& v : pattern)
        v = random();
    auto depthBitmap = make_bitmap(w, h, [&](uint32_t x, uint32_t y) { return depth[y * w + x]; });
    auto patternBitmap =
        make_bitmap(wM, hM, [&](uint32_t x, uint32_t y) { return pattern[y * wM + x]; });
    Fused f = fuse(depthBitmap.get(), patternBitmap.get(), GetParam().L, GetParam().A);
    ASSERT_TRUE(f.bitmap);
    EXPECT_EQ(f.words, reference(depth, w, h, pattern, wM, hM, GetParam().L, GetParam().A));
}

INSTANTIATE_TEST_SUITE_P(Constants, DirectAlgorithm,
                         testing::Values(Constants{80, 10}, Constants{60, 25}, Constants{5, 10}));

TEST(Synthesis, RepeatedFusionGivesTheSameBitmap)
{
    auto depth = make_bitmap(300, 50, [](uint32_t x, uint32_t y) { return grey((x + y) % 256); });
    auto pattern = make_bitmap(64, 64, [](uint32_t x, uint32_t y) { return x * 31 + y * 17; });
    VPellaraObject engine;
    testing::internal::CaptureStdout();
    engine.GetFrom(depth.get());
    engine.GetMotive(pattern.get());
    std::unique_ptr<BBitmap> first(engine.Fusion());
    std::unique_ptr<BBitmap> second(engine.Fusion());
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(words_of(first.get()), words_of(second.get()));
}

TEST(Synthesis, MissingPictureOrPatternGivesNullAndPrintsNothing)
{
    auto bitmap = make_bitmap(10, 10, [](uint32_t, uint32_t) { return 0u; });
    for (int which = 0; which < 3; which++) {
        VPellaraObject engine;
        testing::internal::CaptureStdout();
        if (which == 1)
            engine.GetFrom(bitmap.get());
        if (which == 2)
            engine.GetMotive(bitmap.get());
        EXPECT_EQ(engine.Fusion(), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << which;
    }
}

} // namespace
