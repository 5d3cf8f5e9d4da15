#include "EngineTestSupport.h"

#include <VPellaraObject.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string quietly(const std::function<void()>& work)
{
    testing::internal::CaptureStdout();
    work();
    return testing::internal::GetCapturedStdout();
}

struct BoundsCase
{
    BRect bounds;
    uint32_t width;
    uint32_t height;
};

class CaptureBounds : public testing::TestWithParam<BoundsCase>
{
};

// Sizes come from the bounds, truncated, not rounded; the words are copied as they are.
TEST_P(CaptureBounds, SizesAndWords)
{
    const BoundsCase& c = GetParam();
    BBitmap bitmap(c.bounds, B_RGB32);
    ASSERT_EQ(bitmap.InitCheck(), B_OK);
    auto* bits = static_cast<uint32_t*>(bitmap.Bits());
    for (uint32_t i = 0; i < c.width * c.height; i++)
        bits[i] = 0xAB000000u + i;
    VPellaraObject engine;
    engine.GetFrom(&bitmap);
    engine.GetMotive(&bitmap);
    EXPECT_EQ(engine.wF, c.width);
    EXPECT_EQ(engine.hF, c.height);
    EXPECT_EQ(engine.wM, c.width);
    EXPECT_EQ(engine.hM, c.height);
    for (uint32_t i = 0; i < c.width * c.height; i++) {
        ASSERT_EQ(engine.form[i], 0xAB000000u + i);
        ASSERT_EQ(engine.motive[i], 0xAB000000u + i);
    }
}

INSTANTIATE_TEST_SUITE_P(Bounds, CaptureBounds,
                         testing::Values(BoundsCase{BRect(0, 0, 99, 49), 100, 50},
                                         BoundsCase{BRect(0, 0, 99.7F, 49.2F), 100, 50},
                                         BoundsCase{BRect(0, 0, 0, 0), 1, 1},
                                         BoundsCase{BRect(5, 7, 14, 9), 10, 3}));

TEST(Capture, ShrinksAndGrowsWithTheNextPicture)
{
    VPellaraObject engine;
    auto big = make_bitmap(40, 30, [](uint32_t x, uint32_t y) { return x + y; });
    auto small = make_bitmap(3, 2, [](uint32_t x, uint32_t y) { return 9 + x + y; });
    engine.GetFrom(big.get());
    engine.GetFrom(small.get());
    EXPECT_EQ(engine.wF, 3u);
    EXPECT_EQ(engine.hF, 2u);
    EXPECT_EQ(engine.form[5], 9u + 2 + 1);
    engine.GetFrom(big.get());
    EXPECT_EQ(engine.wF, 40u);
    EXPECT_EQ(engine.form[40 * 30 - 1], 39u + 29);
}

TEST(Capture, NullBitmapChangesNothing)
{
    VPellaraObject engine;
    auto bitmap = make_bitmap(4, 4, [](uint32_t x, uint32_t) { return x; });
    engine.GetFrom(bitmap.get());
    engine.GetMotive(bitmap.get());
    uint32_t* form = engine.form;
    uint32_t* motive = engine.motive;
    EXPECT_EQ(quietly([&] {
                  engine.GetFrom(nullptr);
                  engine.GetMotive(nullptr);
              }),
              "");
    EXPECT_EQ(engine.form, form);
    EXPECT_EQ(engine.motive, motive);
    EXPECT_EQ(engine.wF, 4u);
    EXPECT_EQ(engine.hM, 4u);
}

// Rows padded past width bytes must be drawn into a flat 32-bit picture first.
TEST(Capture, PaddedGreyRowsAreConverted)
{
    BBitmap bitmap(BRect(0, 0, 4, 2), B_GRAY8);
    ASSERT_EQ(bitmap.BytesPerRow(), 8);
    auto* bits = static_cast<uint8_t*>(bitmap.Bits());
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 8; x++)
            bits[y * 8 + x] = uint8_t(x < 5 ? 40 * y + x : 0xEE);
    VPellaraObject engine;
    engine.GetFrom(&bitmap);
    ASSERT_NE(engine.form, nullptr);
    EXPECT_EQ(engine.wF, 5u);
    EXPECT_EQ(engine.hF, 3u);
    for (uint32_t y = 0; y < 3; y++)
        for (uint32_t x = 0; x < 5; x++)
            EXPECT_EQ(engine.form[y * 5 + x] & 0xFFFFFF, grey(40 * y + x) & 0xFFFFFF);
}

// A picture that has to be converted comes out pixel for pixel, wherever its
// bounds start and however fractional they are.
class ConvertedBounds : public testing::TestWithParam<BoundsCase>
{
};

TEST_P(ConvertedBounds, PixelForPixel)
{
    const BoundsCase& c = GetParam();
    BBitmap bitmap(c.bounds, B_GRAY8);
    ASSERT_EQ(bitmap.InitCheck(), B_OK);
    ASSERT_EQ(uint32_t(bitmap.PixelWidth()), c.width);
    auto* bits = static_cast<uint8_t*>(bitmap.Bits());
    for (uint32_t y = 0; y < c.height; y++)
        for (uint32_t x = 0; x < c.width; x++)
            bits[y * uint32_t(bitmap.BytesPerRow()) + x] = uint8_t(10 + 20 * y + x);
    VPellaraObject engine;
    engine.GetFrom(&bitmap);
    ASSERT_NE(engine.form, nullptr);
    ASSERT_EQ(engine.wF, c.width);
    ASSERT_EQ(engine.hF, c.height);
    for (uint32_t y = 0; y < c.height; y++)
        for (uint32_t x = 0; x < c.width; x++)
            EXPECT_EQ(engine.form[y * c.width + x] & 0xFFFFFF, grey(10 + 20 * y + x) & 0xFFFFFF)
                << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Bounds, ConvertedBounds,
                         testing::Values(BoundsCase{BRect(0, 0, 4, 2), 5, 3},
                                         BoundsCase{BRect(5, 7, 9, 9), 5, 3},
                                         BoundsCase{BRect(-3, -2, 1, 0), 5, 3},
                                         BoundsCase{BRect(0, 0, 4.7F, 2.2F), 5, 3},
                                         BoundsCase{BRect(0.4F, 0.6F, 5.3F, 3.5F), 5, 3},
                                         BoundsCase{BRect(2.5F, 1.5F, 7.5F, 3.5F), 6, 3}));

TEST(Capture, AlphaPicturesAreTakenAsTheyAre)
{
    BBitmap bitmap(BRect(0, 0, 1, 0), B_RGBA32);
    auto* bits = static_cast<uint32_t*>(bitmap.Bits());
    bits[0] = 0x12345678;
    bits[1] = 0x00ABCDEF;
    VPellaraObject engine;
    engine.GetMotive(&bitmap);
    EXPECT_EQ(engine.motive[0], 0x12345678u);
    EXPECT_EQ(engine.motive[1], 0x00ABCDEFu);
}

TEST(Capture, BitmapThatFailedToAllocateIsAbsent)
{
    BBitmap broken(BRect(0, 0, -5, 10), B_RGB32);
    ASSERT_NE(broken.InitCheck(), B_OK);
    VPellaraObject engine;
    auto bitmap = make_bitmap(10, 10, [](uint32_t, uint32_t) { return 0u; });
    quietly([&] {
        engine.GetFrom(bitmap.get());
        engine.GetMotive(bitmap.get());
        engine.GetFrom(&broken);
    });
    EXPECT_EQ(quietly([&] { EXPECT_EQ(engine.Fusion(), nullptr); }), "");
}

// Allocation failure, injected: fail the n-th resize from now on.
struct FailingAllocator
{
    static inline int countdown = -1;
    static void* realloc(void* block, size_t bytes)
    {
        if (countdown >= 0 && countdown-- == 0)
            return nullptr;
        return std::realloc(block, bytes);
    }
};

class ResizeFailure : public testing::Test
{
protected:
    void SetUp() override
    {
        saved = VPellaraObject::reallocator;
        VPellaraObject::reallocator = FailingAllocator::realloc;
        FailingAllocator::countdown = -1;
    }
    void TearDown() override { VPellaraObject::reallocator = saved; }

    VPellaraObject::Reallocator saved = nullptr;
};

TEST_F(ResizeFailure, CapturesReportAndLeaveThePictureAbsent)
{
    VPellaraObject engine;
    auto small = make_bitmap(8, 8, [](uint32_t x, uint32_t) { return x; });
    auto big = make_bitmap(80, 60, [](uint32_t x, uint32_t) { return x; });
    engine.GetFrom(small.get());
    engine.GetMotive(small.get());

    FailingAllocator::countdown = 0;
    EXPECT_EQ(quietly([&] { engine.GetFrom(big.get()); }),
              "erreur de reallocation tableau forme\n");
    EXPECT_EQ(engine.wF, 80u); // the sizes already describe the new picture
    EXPECT_EQ(quietly([&] { EXPECT_EQ(engine.Fusion(), nullptr); }), "");

    FailingAllocator::countdown = 0;
    EXPECT_EQ(quietly([&] { engine.GetMotive(big.get()); }),
              "erreur de reallocation tableau motif\n");

    // The next successful captures bring both back.
    quietly([&] {
        engine.GetFrom(big.get());
        engine.GetMotive(small.get());
    });
    std::string out;
    std::unique_ptr<BBitmap> fused;
    out = quietly([&] { fused.reset(engine.Fusion()); });
    ASSERT_TRUE(fused);
    EXPECT_EQ(fused->Bounds(), BRect(0, 0, 79, 59));
}

TEST_F(ResizeFailure, FusionGivesUpOnEitherWorkBuffer)
{
    auto depth = make_bitmap(90, 5, [](uint32_t, uint32_t) { return 0u; });
    auto pattern = make_bitmap(9, 5, [](uint32_t x, uint32_t) { return x; });
    for (int failing : {0, 1}) { // 0: the tiled pattern, 1: the result
        VPellaraObject engine;
        quietly([&] {
            engine.GetFrom(depth.get());
            engine.GetMotive(pattern.get());
        });
        FailingAllocator::countdown = failing;
        std::string out = quietly([&] { EXPECT_EQ(engine.Fusion(), nullptr); });
        EXPECT_EQ(out.find("debut de fusion"), std::string::npos) << failing;
        FailingAllocator::countdown = -1;
        std::unique_ptr<BBitmap> fused;
        quietly([&] { fused.reset(engine.Fusion()); });
        EXPECT_TRUE(fused) << failing;
    }
}

// Without scratch rows the synthesis still runs, row by row in place, and
// gives the very same stereogram.
TEST_F(ResizeFailure, NoScratchRowsSameStereogram)
{
    auto depth =
        make_bitmap(300, 20, [](uint32_t x, uint32_t y) { return grey((x * 7 + y) % 256); });
    auto pattern = make_bitmap(33, 7, [](uint32_t x, uint32_t y) { return x * 131 + y; });
    std::vector<uint32_t> expected;
    for (int failing : {-1, 2, 3}) { // none; the row; the separations
        VPellaraObject engine;
        std::unique_ptr<BBitmap> fused;
        quietly([&] {
            engine.GetFrom(depth.get());
            engine.GetMotive(pattern.get());
            FailingAllocator::countdown = failing; // 0, 1: the two work buffers
            fused.reset(engine.Fusion());
        });
        ASSERT_TRUE(fused) << failing;
        if (expected.empty())
            expected = words_of(fused.get());
        else
            EXPECT_EQ(words_of(fused.get()), expected) << failing;
        EXPECT_EQ(std::vector<uint32_t>(engine.result, engine.result + 300 * 20), expected);
    }
}

TEST_F(ResizeFailure, PictureTooLargeToRepresentIsAFailedResize)
{
    // No allocation is attempted for a size whose bytes overflow.
    FailingAllocator::countdown = -1;
    BBitmap huge(BRect(0, 0, 70000, 70000), B_RGB32); // over the bitmap limit
    ASSERT_NE(huge.InitCheck(), B_OK);
    VPellaraObject engine;
    quietly([&] { engine.GetFrom(&huge); });
    EXPECT_EQ(engine.form, nullptr);
}

} // namespace
