#include <Bitmap.h>
#include <BitmapReading.h>
#include <ImageTranslator.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace BPrivate;

namespace {

// A 3 x 2 picture whose every pixel is its own index: 0 1 2 / 3 4 5.
BBitmap* numbered()
{
    BBitmap* b = new_picture(3, 2, false, ReadBudget());
    for (uint32 i = 0; i < 6; i++)
        static_cast<uint32*>(b->Bits())[i] = i;
    return b;
}

std::vector<uint32> pixels(const BBitmap* b)
{
    const uint32* p = static_cast<const uint32*>(b->Bits());
    return std::vector<uint32>(p, p + b->PixelWidth() * b->PixelHeight());
}

// An EXIF block holding one orientation entry, in either byte order.
std::vector<uint8> exif(uint16 orientation, bool little, bool prefix)
{
    std::vector<uint8> d;
    if (prefix)
        d.insert(d.end(), {'E', 'x', 'i', 'f', 0, 0});
    auto u16 = [&](uint16 v) {
        if (little)
            d.insert(d.end(), {uint8(v), uint8(v >> 8)});
        else
            d.insert(d.end(), {uint8(v >> 8), uint8(v)});
    };
    auto u32 = [&](uint32 v) {
        u16(little ? uint16(v) : uint16(v >> 16));
        u16(little ? uint16(v >> 16) : uint16(v));
    };
    d.push_back(little ? 'I' : 'M');
    d.push_back(little ? 'I' : 'M');
    u16(42);
    u32(8);
    u16(2);
    // An unrelated tag first: the reader must walk the directory.
    u16(0x010F), u16(2), u32(1), u32(0);
    u16(0x0112), u16(3), u32(1), u16(orientation), u16(0);
    u32(0);
    return d;
}

struct OrientationCase
{
    int32 orientation;
    int32 width, height;
    std::vector<uint32> shown;
};

class Orientation : public testing::TestWithParam<OrientationCase>
{
};

// What a viewer shows for each EXIF orientation of the numbered picture.
INSTANTIATE_TEST_SUITE_P(
    Exif, Orientation,
    testing::Values(OrientationCase{1, 3, 2, {0, 1, 2, 3, 4, 5}},
                    OrientationCase{2, 3, 2, {2, 1, 0, 5, 4, 3}},
                    OrientationCase{3, 3, 2, {5, 4, 3, 2, 1, 0}},
                    OrientationCase{4, 3, 2, {3, 4, 5, 0, 1, 2}},
                    OrientationCase{5, 2, 3, {0, 3, 1, 4, 2, 5}},
                    OrientationCase{6, 2, 3, {3, 0, 4, 1, 5, 2}},
                    OrientationCase{7, 2, 3, {5, 2, 4, 1, 3, 0}},
                    OrientationCase{8, 2, 3, {2, 5, 1, 4, 0, 3}},
                    OrientationCase{9, 3, 2, {0, 1, 2, 3, 4, 5}}));

TEST_P(Orientation, TurnsAsViewersShow)
{
    const OrientationCase& c = GetParam();
    std::unique_ptr<BBitmap> turned(apply_orientation(numbered(), c.orientation));
    ASSERT_NE(turned, nullptr);
    EXPECT_EQ(turned->PixelWidth(), c.width);
    EXPECT_EQ(turned->PixelHeight(), c.height);
    EXPECT_EQ(pixels(turned.get()), c.shown);
}

TEST(ExifOrientation, FoundInEitherByteOrderWithOrWithoutPrefix)
{
    for (bool little : {true, false})
        for (bool prefix : {true, false})
            for (uint16 o = 1; o <= 8; o++) {
                std::vector<uint8> d = exif(o, little, prefix);
                EXPECT_EQ(exif_orientation(d.data(), d.size()), o) << little << prefix;
            }
}

TEST(ExifOrientation, DamagedBlocksMeanUpright)
{
    std::vector<uint8> good = exif(6, true, false);
    for (size_t cut = 0; cut < good.size() - 6; cut++)
        EXPECT_EQ(exif_orientation(good.data(), cut), 1) << cut;
    std::vector<uint8> outOfRange = exif(0, true, false);
    EXPECT_EQ(exif_orientation(outOfRange.data(), outOfRange.size()), 1);
    std::vector<uint8> farDirectory = good;
    farDirectory[4] = 0xF0; // directory offset beyond the block
    EXPECT_EQ(exif_orientation(farDirectory.data(), farDirectory.size()), 1);
    EXPECT_EQ(exif_orientation(nullptr, 100), 1);
}

TEST(ReadBudget, AdmitsWithinTheCeilingAndABitmapOnly)
{
    ReadBudget budget;
    budget.maxPixels = 1000;
    EXPECT_TRUE(budget.Admits(10, 100));
    EXPECT_FALSE(budget.Admits(10, 101));
    EXPECT_FALSE(budget.Admits(0, 5));
    EXPECT_FALSE(budget.Admits(5, 0));
    budget.maxPixels = ~uint64(0);
    // 4-byte pixels: at most 2^31 - 1 bytes in a BBitmap.
    EXPECT_TRUE(budget.Admits(16384, 32767));
    EXPECT_FALSE(budget.Admits(32768, 16384));
    EXPECT_FALSE(budget.Admits(uint64(1) << 33, 1));
    EXPECT_FALSE(budget.Admits(uint64(1) << 32, uint64(1) << 32));
}

// The size a refusal names is the last one refused, on this thread only:
// an admitted size or an empty one leaves it, forgetting clears it.
TEST(ReadBudget, RemembersTheSizeItRefused)
{
    ReadBudget budget;
    budget.maxPixels = 1000;
    forget_refused_picture_size();
    uint64 width = 1, height = 1;
    EXPECT_FALSE(refused_picture_size(&width, &height));
    budget.Admits(40, 25);
    budget.Admits(0, 7);
    EXPECT_FALSE(refused_picture_size(nullptr, nullptr));
    budget.Admits(50, 30);
    budget.Admits(uint64(1) << 33, 3);
    budget.Admits(20, 20);
    ASSERT_TRUE(refused_picture_size(&width, &height));
    EXPECT_EQ(uint64(1) << 33, width);
    EXPECT_EQ(3u, height);
    std::thread([] { EXPECT_FALSE(refused_picture_size(nullptr, nullptr)); }).join();
    forget_refused_picture_size();
    EXPECT_FALSE(refused_picture_size(&width, &height));
}

} // namespace
