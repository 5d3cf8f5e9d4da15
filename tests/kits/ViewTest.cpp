#include "AppEnvironment.h"

#include <Bitmap.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QImage>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

constexpr QRgb kWhite = 0xffffffff;
constexpr QRgb kBlack = 0xff000000;

class ProbeView : public BView
{
public:
    ProbeView(BRect frame, const char* name = "probe", uint32 mode = B_FOLLOW_LEFT | B_FOLLOW_TOP,
              uint32 flags = B_WILL_DRAW)
        : BView(frame, name, mode, flags)
    {
        SetViewColor(255, 255, 255);
    }

    void Draw(BRect updateRect) override
    {
        draws++;
        lastUpdate = updateRect;
        if (paint)
            paint(this);
    }

    std::function<void(BView*)> paint;
    int draws = 0;
    BRect lastUpdate;
};

class ViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window = new BWindow(BRect(100, 100, 399, 299), "view test", B_TITLED_WINDOW, 0);
        view = new ProbeView(BRect(0, 0, 199, 149));
        window->AddChild(view);
        window->Show();
        process_pending_events(2);
    }
    void TearDown() override { delete window; }

    QImage Render()
    {
        return KitAccess::Of(view)->widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    BWindow* window = nullptr;
    ProbeView* view = nullptr;
};

BBitmap* uniform_bitmap(int32 width, int32 height, color_space space, uint32 word)
{
    auto* bitmap = new BBitmap(BRect(0, 0, width - 1, height - 1), space);
    auto* bits = static_cast<uint8*>(bitmap->Bits());
    for (int32 y = 0; y < height; y++)
        for (int32 x = 0; x < width; x++)
            std::memcpy(bits + y * bitmap->BytesPerRow() + x * 4, &word, 4);
    return bitmap;
}

TEST(View, KeepsWhatItWasBuiltWith)
{
    ProbeView view(BRect(30, 40, 129, 89), "named", B_FOLLOW_ALL, B_WILL_DRAW | B_NAVIGABLE);
    EXPECT_STREQ(view.Name(), "named");
    EXPECT_EQ(view.Frame(), BRect(30, 40, 129, 89));
    EXPECT_EQ(view.Bounds(), BRect(0, 0, 99, 49));
    EXPECT_EQ(view.ResizingMode(), B_FOLLOW_ALL);
    EXPECT_EQ(view.Flags(), B_WILL_DRAW | B_NAVIGABLE);
    EXPECT_EQ(view.Window(), nullptr);
    EXPECT_EQ(uint32(B_FOLLOW_LEFT | B_FOLLOW_TOP), 0x1212u);
    EXPECT_EQ(B_WILL_DRAW | B_NAVIGABLE, 0x22000000u);
}

TEST_F(ViewTest, ChildrenJoinTheWindowWhereverTheyAreAdded)
{
    auto* parent = new ProbeView(BRect(10, 10, 99, 99), "parent");
    auto* child = new ProbeView(BRect(5, 5, 20, 20), "child");
    parent->AddChild(child); // before the parent is in a window
    view->AddChild(parent);
    EXPECT_EQ(parent->Window(), window);
    EXPECT_EQ(child->Window(), window);
    EXPECT_EQ(child->Parent(), parent);
    EXPECT_EQ(window->FindView("child"), child);
    EXPECT_EQ(child->Looper(), window);
    auto* late = new ProbeView(BRect(0, 0, 4, 4), "late");
    child->AddChild(late); // after
    EXPECT_EQ(late->Window(), window);
    EXPECT_NE(KitAccess::Of(late)->widget, nullptr);
}

TEST_F(ViewTest, StrokeRectCoversItsInclusiveEdges)
{
    view->paint = [](BView* v) {
        v->SetHighColor(0, 0, 0);
        v->StrokeRect(BRect(10, 20, 120, 110));
    };
    QImage image = Render();
    struct
    {
        int x, y;
        QRgb colour;
    } const probes[] = {
        {10, 20, kBlack},   {120, 20, kBlack}, {10, 110, kBlack},  {120, 110, kBlack},
        {65, 20, kBlack},   {65, 110, kBlack}, {10, 65, kBlack},   {120, 65, kBlack},
        {9, 20, kWhite},    {121, 20, kWhite}, {10, 19, kWhite},   {10, 111, kWhite},
        {121, 110, kWhite}, {11, 21, kWhite},  {119, 109, kWhite}, {65, 65, kWhite},
    };
    for (const auto& p : probes)
        EXPECT_EQ(image.pixel(p.x, p.y), p.colour) << "at " << p.x << "," << p.y;
}

TEST_F(ViewTest, FillRectWithTheLowPatternUsesTheLowColour)
{
    view->paint = [](BView* v) {
        v->SetHighColor(0, 0, 0);
        v->SetLowColor(0, 0, 255);
        v->FillRect(BRect(5, 5, 14, 14), B_SOLID_LOW);
    };
    QImage image = Render();
    EXPECT_EQ(image.pixel(5, 5), 0xff0000ffu);
    EXPECT_EQ(image.pixel(14, 14), 0xff0000ffu);
    EXPECT_EQ(image.pixel(15, 15), kWhite);
}

TEST_F(ViewTest, TheViewColourErasesTheBackground)
{
    view->SetViewColor(10, 20, 30);
    QImage image = Render();
    EXPECT_EQ(image.pixel(0, 0), qRgb(10, 20, 30));
    EXPECT_EQ(image.pixel(199, 149), qRgb(10, 20, 30));
}

// A stereogram's words carry whatever the pattern's alpha bytes held.
class DrawBitmapAlpha : public ViewTest, public ::testing::WithParamInterface<uint32>
{
};

TEST_P(DrawBitmapAlpha, FillsTheDestinationOpaque)
{
    BBitmap* bitmap = uniform_bitmap(3, 2, B_RGB32, GetParam() | 0x00c01020u);
    view->paint = [bitmap](BView* v) { v->DrawBitmap(bitmap, BRect(20, 30, 59, 49)); };
    QImage image = Render();
    const QRgb expected = 0xffc01020u;
    EXPECT_EQ(image.pixel(20, 30), expected);
    EXPECT_EQ(image.pixel(59, 49), expected);
    EXPECT_EQ(image.pixel(40, 40), expected);
    EXPECT_EQ(image.pixel(19, 30), kWhite);
    EXPECT_EQ(image.pixel(60, 49), kWhite);
    EXPECT_EQ(image.pixel(20, 29), kWhite);
    EXPECT_EQ(image.pixel(59, 50), kWhite);
    delete bitmap;
}

INSTANTIATE_TEST_SUITE_P(AlphaBytes, DrawBitmapAlpha,
                         ::testing::Values(0x00000000u, 0x7f000000u, 0xff000000u));

TEST_F(ViewTest, DrawBitmapScalesEachSourcePixelToItsShareOfTheDestination)
{
    auto* bitmap = new BBitmap(BRect(0, 0, 1, 1), B_RGB32);
    auto* words = static_cast<uint32*>(bitmap->Bits());
    const uint32 colours[4] = {0xffff0000u, 0xff00ff00u, 0xff0000ffu, 0xffffff00u};
    for (int i = 0; i < 4; i++)
        words[(i / 2) * (bitmap->BytesPerRow() / 4) + i % 2] = colours[i];
    view->paint = [bitmap](BView* v) { v->DrawBitmap(bitmap, BRect(100, 20, 199, 119)); };
    QImage image = Render();
    EXPECT_EQ(image.pixel(100, 20), colours[0]);
    EXPECT_EQ(image.pixel(149, 69), colours[0]);
    EXPECT_EQ(image.pixel(150, 20), colours[1]);
    EXPECT_EQ(image.pixel(199, 69), colours[1]);
    EXPECT_EQ(image.pixel(100, 70), colours[2]);
    EXPECT_EQ(image.pixel(199, 119), colours[3]);
    delete bitmap;
}

TEST_F(ViewTest, DrawStringPutsTextAboveItsBaseline)
{
    view->paint = [](BView* v) {
        v->SetHighColor(0, 0, 0);
        v->DrawString("Hxl", BPoint(40, 60));
    };
    QImage image = Render();
    int darkAbove = 0, darkFarBelow = 0, darkLeft = 0;
    for (int y = 0; y < image.height(); y++)
        for (int x = 0; x < image.width(); x++) {
            if (qGray(image.pixel(x, y)) > 128)
                continue;
            if (y < 60 && y > 30 && x >= 40)
                darkAbove++;
            if (y > 62)
                darkFarBelow++;
            if (x < 39)
                darkLeft++;
        }
    EXPECT_GT(darkAbove, 10);
    EXPECT_EQ(darkFarBelow, 0) << "no descender in \"Hxl\"";
    EXPECT_EQ(darkLeft, 0);
}

TEST_F(ViewTest, ConvertsScreenPointsThroughEveryParent)
{
    auto* inner = new ProbeView(BRect(30, 40, 99, 99), "inner");
    view->MoveTo(BPoint(5, 7));
    view->AddChild(inner);
    process_pending_events(2);
    EXPECT_EQ(window->ConvertToScreen(BPoint(0, 0)), BPoint(100, 100));
    EXPECT_EQ(inner->ConvertFromScreen(BPoint(135, 147)), BPoint(0, 0));
    EXPECT_EQ(inner->ConvertFromScreen(BPoint(100, 100)), BPoint(-35, -47));
    EXPECT_EQ(inner->ConvertToScreen(BPoint(1, 2)), BPoint(136, 149));
}

TEST_F(ViewTest, InvalidateLeadsToADraw)
{
    process_pending_events();
    int before = view->draws;
    view->Invalidate();
    process_pending_events();
    EXPECT_GT(view->draws, before);
}

} // namespace
