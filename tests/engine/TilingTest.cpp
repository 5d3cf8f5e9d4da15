#include "EngineTestSupport.h"

#include <VPellaraObject.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct TilingCase
{
    uint32_t wM, hM, wF, hF;
};

class Tiling : public testing::TestWithParam<TilingCase>
{
};

// Every cell of the picture takes the pattern pixel at (c mod wM, r mod hM),
// including the ones a wrapped 8-bit repeat count would have missed.
TEST_P(Tiling, FillsEveryCell)
{
    const TilingCase& c = GetParam();
    auto pattern = make_bitmap(c.wM, c.hM, [](uint32_t x, uint32_t y) { return x * 1000 + y; });
    auto depth = make_bitmap(c.wF, c.hF, [](uint32_t, uint32_t) { return 0u; });
    VPellaraObject engine;
    testing::internal::CaptureStdout();
    engine.GetFrom(depth.get());
    engine.GetMotive(pattern.get());
    ASSERT_TRUE(engine._scale_motive());
    std::string out = testing::internal::GetCapturedStdout();
    for (uint32_t r = 0; r < c.hF; r++)
        for (uint32_t col = 0; col < c.wF; col++)
            ASSERT_EQ(engine.scaledMotive[r * c.wF + col], (col % c.wM) * 1000 + (r % c.hM))
                << r << "," << col;
    if (c.wM == c.wF && c.hM == c.hF) {
        EXPECT_EQ(out, "");
    } else {
        EXPECT_EQ(out, "pas la meme taille\ntaille : wF=" + std::to_string(c.wF) +
                           ", wM=" + std::to_string(c.wM) + ", hF=" + std::to_string(c.hF) +
                           ", hM=" + std::to_string(c.hM) + " \n");
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Tiling,
                         testing::Values(TilingCase{100, 50, 500, 400},  // rows past 6 x 50
                                         TilingCase{100, 100, 350, 250}, // column 300 = 0
                                         TilingCase{64, 48, 64, 48},     // same size
                                         TilingCase{120, 90, 100, 60},   // wider and taller
                                         TilingCase{120, 10, 100, 60},   // wider, shorter
                                         TilingCase{1, 3, 300, 200},     // count wraps to 45
                                         TilingCase{1, 1, 255, 2},       // count wraps to 0
                                         TilingCase{7, 300, 3, 1}));

TEST(Tiling, StretchStillLeavesNoCellUndefined)
{
    auto pattern = make_bitmap(3, 2, [](uint32_t x, uint32_t y) { return x + 10 * y; });
    auto depth = make_bitmap(10, 5, [](uint32_t, uint32_t) { return 0u; });
    VPellaraObject engine;
    engine.stretch = true;
    testing::internal::CaptureStdout();
    engine.GetFrom(depth.get());
    engine.GetMotive(pattern.get());
    ASSERT_TRUE(engine._scale_motive());
    testing::internal::GetCapturedStdout();
    for (uint32_t r = 0; r < 5; r++)
        for (uint32_t c = 0; c < 10; c++)
            EXPECT_EQ(engine.scaledMotive[r * 10 + c], (c % 3) + 10 * (r % 2));
}

// After a pattern capture whose resize failed, the sizes describe a picture
// the buffer does not hold: tiling it must not read past the old block, nor
// may a tiling without a pattern at all divide by its zero height.
TEST(Tiling, RefusesAPatternThatIsNotThere)
{
    auto depth = make_bitmap(64, 48, [](uint32_t, uint32_t) { return 0u; });
    auto small = make_bitmap(2, 2, [](uint32_t x, uint32_t) { return x; });
    auto big = make_bitmap(40, 40, [](uint32_t x, uint32_t) { return x; });
    auto saved = VPellaraObject::reallocator;
    testing::internal::CaptureStdout();
    {
        VPellaraObject engine; // no pattern ever captured
        engine.GetFrom(depth.get());
        EXPECT_FALSE(engine._scale_motive());
        engine._copy_motive();
    }
    VPellaraObject engine;
    engine.GetFrom(depth.get());
    engine.GetMotive(small.get());
    VPellaraObject::reallocator = [](void*, size_t) -> void* { return nullptr; };
    engine.GetMotive(big.get());
    VPellaraObject::reallocator = saved;
    EXPECT_EQ(engine.wM, 40u);
    EXPECT_FALSE(engine._scale_motive());
    engine._copy_motive();
    testing::internal::GetCapturedStdout();
}

// _copy_motive on its own fills only a tiled pattern already sized for the
// picture: a picture captured since must not make it write past that block.
TEST(Tiling, CopyWaitsForAPictureSizedPattern)
{
    auto small = make_bitmap(4, 4, [](uint32_t, uint32_t) { return 0u; });
    auto big = make_bitmap(50, 50, [](uint32_t, uint32_t) { return 0u; });
    auto pattern = make_bitmap(3, 3, [](uint32_t x, uint32_t y) { return x + 10 * y; });
    VPellaraObject engine;
    testing::internal::CaptureStdout();
    engine.GetFrom(small.get());
    engine.GetMotive(pattern.get());
    ASSERT_TRUE(engine._scale_motive());
    engine.GetFrom(big.get());
    engine._copy_motive();
    ASSERT_TRUE(engine._scale_motive());
    engine._copy_motive();
    testing::internal::GetCapturedStdout();
    for (uint32_t i = 0; i < 50 * 50; i++)
        ASSERT_EQ(engine.scaledMotive[i], (i % 50) % 3 + 10 * ((i / 50) % 3)) << i;
}

} // namespace
