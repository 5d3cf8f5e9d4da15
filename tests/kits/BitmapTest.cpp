#include <Bitmap.h>
#include <View.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

struct Layout
{
    const char* label;
    BRect bounds;
    color_space space;
    int32 width, height, bytesPerRow;
};

void PrintTo(const Layout& c, std::ostream* os)
{
    *os << c.label;
}

class BitmapLayout : public testing::TestWithParam<Layout>
{
};

// Rows are padded to 4 bytes; the buffer holds exactly height such rows.
TEST_P(BitmapLayout, SizesAndRows)
{
    const Layout& c = GetParam();
    BBitmap bitmap(c.bounds, c.space, false, true);
    ASSERT_EQ(bitmap.InitCheck(), B_OK);
    ASSERT_NE(bitmap.Bits(), nullptr);
    EXPECT_EQ(bitmap.PixelWidth(), c.width);
    EXPECT_EQ(bitmap.PixelHeight(), c.height);
    EXPECT_EQ(bitmap.BytesPerRow(), c.bytesPerRow);
    EXPECT_EQ(bitmap.BitsLength(), c.bytesPerRow * c.height);
    EXPECT_EQ(bitmap.ColorSpace(), c.space);
    EXPECT_EQ(bitmap.Bounds(), c.bounds);
    // Every byte is there to be written.
    std::memset(bitmap.Bits(), 0xAB, size_t(bitmap.BitsLength()));
}

INSTANTIATE_TEST_SUITE_P(
    Spaces, BitmapLayout,
    testing::Values(Layout{"Rgb32", BRect(0, 0, 99, 49), B_RGB32, 100, 50, 400},
                    Layout{"Rgba32", BRect(0, 0, 2, 2), B_RGBA32, 3, 3, 12},
                    Layout{"Gray8Padded", BRect(0, 0, 4, 2), B_GRAY8, 5, 3, 8},
                    Layout{"Cmap8Exact", BRect(0, 0, 7, 0), B_CMAP8, 8, 1, 8},
                    Layout{"Rgb24Padded", BRect(0, 0, 2, 1), B_RGB24, 3, 2, 12},
                    Layout{"Fractional", BRect(0, 0, 99.7F, 49.2F), B_RGB32, 100, 50, 400},
                    Layout{"Offset", BRect(10, 20, 120, 110), B_RGB32, 111, 91, 444},
                    Layout{"OnePixel", BRect(0, 0, 0, 0), B_RGB32, 1, 1, 4},
                    Layout{"Large", BRect(0, 0, 2047, 1023), B_RGB32, 2048, 1024, 8192}),
    [](const auto& info) { return std::string(info.param.label); });

struct Invalid
{
    const char* label;
    BRect bounds;
    color_space space;
};

class BitmapInvalid : public testing::TestWithParam<Invalid>
{
};

TEST_P(BitmapInvalid, FailsInitCheckWithoutBits)
{
    BBitmap bitmap(GetParam().bounds, GetParam().space, true, true);
    EXPECT_NE(bitmap.InitCheck(), B_OK);
    EXPECT_EQ(bitmap.Bits(), nullptr);
    EXPECT_EQ(bitmap.BitsLength(), 0);
    // Views cannot be attached to nothing.
    BView* view = new BView(BRect(0, 0, 9, 9), "v", B_FOLLOW_NONE, B_WILL_DRAW);
    bitmap.AddChild(view);
    EXPECT_EQ(bitmap.CountChildren(), 0);
    delete view;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Bounds, BitmapInvalid,
    testing::Values(Invalid{"Default", BRect(), B_RGB32},
                    Invalid{"NegativeWidth", BRect(10, 0, 5, 10), B_RGB32},
                    Invalid{"NegativeHeight", BRect(0, 10, 10, 5), B_RGB32},
                    Invalid{"NaN", BRect(0, 0, kNaN, 10), B_RGB32},
                    Invalid{"Infinite", BRect(0, 0, kInf, 10), B_RGB32},
                    Invalid{"BytesOverflowInt32", BRect(0, 0, 65535, 32767), B_RGB32},
                    Invalid{"RowOverflow", BRect(0, 0, 3e9F, 0), B_RGB32},
                    Invalid{"UnknownSpace", BRect(0, 0, 9, 9), B_NO_COLOR_SPACE}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Bitmap, ViewsOnlyWhenAccepted)
{
    BBitmap refusing(BRect(0, 0, 9, 9), B_RGB32, false);
    BView* view = new BView(BRect(0, 0, 9, 9), "v", B_FOLLOW_NONE, B_WILL_DRAW);
    refusing.AddChild(view);
    EXPECT_EQ(refusing.CountChildren(), 0);

    // An accepting bitmap owns its views and deletes them with itself.
    auto* accepting = new BBitmap(BRect(0, 0, 9, 9), B_RGB32, true);
    accepting->AddChild(view);
    EXPECT_EQ(accepting->CountChildren(), 1);
    EXPECT_EQ(accepting->ChildAt(0), view);
    delete accepting;
}

// Drawing through a view lands in the bitmap's own pixels once synced.
TEST(Bitmap, ViewDrawsIntoThePixels)
{
    BBitmap source(BRect(0, 0, 3, 1), B_GRAY8);
    auto* grey = static_cast<uint8*>(source.Bits());
    for (int32 y = 0; y < 2; y++)
        for (int32 x = 0; x < 4; x++)
            grey[y * source.BytesPerRow() + x] = uint8(60 * y + 10 * x);
    BBitmap target(source.Bounds(), B_RGB32, true);
    BView* view = new BView(source.Bounds(), "off-view", B_FOLLOW_NONE, B_WILL_DRAW);
    target.Lock();
    target.AddChild(view);
    view->DrawBitmapAsync(&source, source.Bounds());
    view->Sync();
    target.Unlock();
    const auto* words = static_cast<const uint32*>(target.Bits());
    for (int32 y = 0; y < 2; y++)
        for (int32 x = 0; x < 4; x++) {
            uint32 v = uint32(60 * y + 10 * x);
            EXPECT_EQ(words[y * 4 + x], 0xFF000000u | v << 16 | v << 8 | v) << x << "," << y;
        }
    target.RemoveChild(view);
    delete view;
}

} // namespace
