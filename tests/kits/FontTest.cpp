// BFont on the installed fonts, and a view drawing strings with it into a
// bitmap.
#include "AppEnvironment.h"

#include <Bitmap.h>
#include <Font.h>
#include <View.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

namespace {

// The distinct levels a B_GRAY8 bitmap holds, and how many pixels are lit.
std::set<uint8> levels_of(const BBitmap& bitmap, int64* lit = nullptr)
{
    std::set<uint8> levels;
    int64 count = 0;
    for (int32 y = 0; y < bitmap.PixelHeight(); y++) {
        const uint8* row = static_cast<const uint8*>(bitmap.Bits()) + size_t(y) * bitmap.BytesPerRow();
        for (int32 x = 0; x < bitmap.PixelWidth(); x++) {
            levels.insert(row[x]);
            count += row[x] != 0;
        }
    }
    if (lit != nullptr)
        *lit = count;
    return levels;
}

// "Hello" drawn white on black at size 40 with the flags given.
std::unique_ptr<BBitmap> drawn(const BFont& font)
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, 199, 59), B_GRAY8, true);
    std::memset(bitmap->Bits(), 0, size_t(bitmap->BitsLength()));
    BView* view = new BView(bitmap->Bounds(), "text", B_FOLLOW_NONE, B_WILL_DRAW);
    bitmap->AddChild(view);
    bitmap->Lock();
    view->SetFont(&font);
    view->SetHighColor(255, 255, 255);
    view->DrawString("Hello", BPoint(10, 45));
    view->Sync();
    bitmap->Unlock();
    return bitmap;
}

TEST(Font, DefaultsNameInstalledFamilies)
{
    font_family plain, bold;
    font_style plainStyle, boldStyle;
    be_plain_font->GetFamilyAndStyle(&plain, &plainStyle);
    be_bold_font->GetFamilyAndStyle(&bold, &boldStyle);
    EXPECT_STRNE("", plain);
    EXPECT_STREQ(plain, bold);
    EXPECT_EQ(B_BOLD_FACE, be_bold_font->Face());
    EXPECT_NE(nullptr, std::strstr(boldStyle, "Bold")) << boldStyle;
    EXPECT_GT(count_font_families(), 0);
    font_family first;
    EXPECT_EQ(B_OK, get_font_family(0, &first));
    EXPECT_EQ(B_BAD_VALUE, get_font_family(count_font_families(), &first));
}

TEST(Font, FamiliesAndStylesAreLookedUp)
{
    BFont font;
    font.SetSize(20);
    EXPECT_EQ(B_OK, font.SetFamilyAndStyle("DejaVu Serif", "Bold"));
    EXPECT_EQ(B_BOLD_FACE, font.Face());
    font_family family;
    font_style style;
    font.GetFamilyAndStyle(&family, &style);
    EXPECT_STREQ("DejaVu Serif", family);
    EXPECT_STREQ("Bold", style);
    // Refused, and nothing changed.
    const BFont before(font);
    EXPECT_EQ(B_NAME_NOT_FOUND, font.SetFamilyAndStyle("No Such Family", "Bold"));
    EXPECT_EQ(B_NAME_NOT_FOUND, font.SetFamilyAndStyle("DejaVu Serif", "No Such Style"));
    EXPECT_EQ(B_NAME_NOT_FOUND, font.SetFamilyAndFace("No Such Family", B_BOLD_FACE));
    EXPECT_TRUE(font == before);
    EXPECT_EQ(B_OK, font.SetFamilyAndFace("dejavu sans", B_ITALIC_FACE));
    EXPECT_EQ(B_ITALIC_FACE, font.Face());
}

TEST(Font, MetricsGrowWithTheSize)
{
    BFont font(be_bold_font);
    font.SetSize(10);
    const float narrow = font.StringWidth("Stereogram");
    font_height small;
    font.GetHeight(&small);
    font.SetSize(100);
    const float wide = font.StringWidth("Stereogram");
    font_height large;
    font.GetHeight(&large);
    EXPECT_GT(narrow, 0);
    EXPECT_NEAR(10.0, wide / narrow, 1.0);
    EXPECT_NEAR(10.0, large.ascent / small.ascent, 1.5);
    EXPECT_GT(large.descent, 0);
    EXPECT_EQ(0, font.StringWidth(""));
    EXPECT_EQ(0, font.StringWidth(nullptr));
    EXPECT_EQ(font.StringWidth("Ste"), font.StringWidth("Stereogram", 3));
    // Bold letters are wider than plain ones.
    BFont plain(be_plain_font);
    plain.SetSize(100);
    EXPECT_GT(wide, plain.StringWidth("Stereogram"));
    // Nonsense sizes are ignored.
    font.SetSize(-3);
    EXPECT_EQ(100, font.Size());
}

TEST(Font, ViewsDrawWithTheirFontIntoBitmaps)
{
    BFont font(be_bold_font);
    font.SetSize(40);
    font.SetFlags(B_DISABLE_ANTIALIASING);
    int64 lit = 0;
    // Without antialiasing: the letters and the background, nothing between.
    EXPECT_EQ((std::set<uint8>{0, 255}), levels_of(*drawn(font), &lit));
    EXPECT_GT(lit, 500);
    font.SetFlags(B_FORCE_ANTIALIASING);
    EXPECT_GT(levels_of(*drawn(font)).size(), 2u);
    // A larger font lights more.
    int64 larger = 0;
    font.SetSize(50);
    font.SetFlags(B_DISABLE_ANTIALIASING);
    levels_of(*drawn(font), &larger);
    EXPECT_GT(larger, lit);
}

TEST(Font, ViewsKeepWhatTheMaskTakes)
{
    BView view(BRect(0, 0, 9, 9), "v", B_FOLLOW_NONE, 0);
    BFont got;
    view.GetFont(&got);
    EXPECT_TRUE(got == *be_plain_font);
    BFont big(be_bold_font);
    big.SetSize(33);
    view.SetFont(&big, B_FONT_SIZE);
    view.GetFont(&got);
    EXPECT_EQ(33, got.Size());
    EXPECT_EQ(B_REGULAR_FACE, got.Face());
    view.SetFont(&big);
    view.GetFont(&got);
    EXPECT_TRUE(got == big);
    EXPECT_EQ(big.StringWidth("abc"), view.StringWidth("abc"));
}

} // namespace
