#include "AppEnvironment.h"
#include "DropHelpers.h"

#include <PellaraBMPView.h>

#include <Bitmap.h>
#include <Message.h>
#include <TextControl.h>
#include <TextView.h>
#include <VPellaraObject.h>
#include <Window.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

// The board sits below where the main window's menu bar would be, so a
// screen point differs from its view point by both offsets.
const BRect kWindowFrame(100, 100, 600, 520);
const BRect kBoardFrame(0, 20, 500, 420);
constexpr QRgb kBlack = 0xff000000;
using Points = std::initializer_list<std::pair<int, int>>;

// Counts redraws; everything else is the real board.
class CountingBoard : public PellaraBMPView
{
public:
    using PellaraBMPView::PellaraBMPView;
    void Draw(BRect updateRect) override
    {
        draws++;
        PellaraBMPView::Draw(updateRect);
    }
    int draws = 0;
};

enum class Delivery
{
    QtDrop,     // enter, move and drop events sent to the board's widget
    PostedData, // a B_SIMPLE_DATA message posted to the window
};

class BoardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fFiles.isValid());
        window = new BWindow(kWindowFrame, "board", B_TITLED_WINDOW, 0);
        board = new CountingBoard(kBoardFrame, "PellaraBMPView", B_FOLLOW_ALL, B_WILL_DRAW);
        window->AddChild(board);
        window->Show();
        process_pending_events(2);
        widget = BoardWidget();
    }

    void TearDown() override { delete window; }

    QWidget* BoardWidget() const
    {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* found = top->findChild<QWidget*>("PellaraBMPView"))
                return found;
        return nullptr;
    }

    // A uniform picture file of the given size and colour.
    std::string Picture(const char* name, int width, int height, QRgb colour)
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(colour);
        std::string path = fFiles.filePath(name).toStdString();
        EXPECT_TRUE(image.save(QString::fromStdString(path)));
        return path;
    }

    std::string TextFile(const char* name)
    {
        std::string path = fFiles.filePath(name).toStdString();
        QFile file(QString::fromStdString(path));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("this is not a picture\n");
        return path;
    }

    void Drop(const std::string& path, BPoint viewPoint, Delivery how = Delivery::QtDrop)
    {
        if (how == Delivery::QtDrop) {
            QMimeData data;
            set_file_urls(&data, {path});
            DropOutcome outcome =
                send_drop(widget, QPoint(int(viewPoint.x), int(viewPoint.y)), data);
            EXPECT_TRUE(outcome.dropAccepted);
            EXPECT_EQ(outcome.action, Qt::CopyAction);
        } else {
            BMessage message(B_SIMPLE_DATA);
            entry_ref ref(path.c_str());
            message.AddRef("refs", &ref);
            message.AddPoint("_drop_point_", board->ConvertToScreen(viewPoint));
            EXPECT_EQ(window->PostMessage(&message, board), B_OK);
        }
        process_pending_events();
    }

    QImage Render() const { return widget->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    static BRect BoundsOf(const BBitmap* bitmap)
    {
        return bitmap != nullptr ? bitmap->Bounds() : BRect();
    }

    QTemporaryDir fFiles;
    BWindow* window = nullptr;
    CountingBoard* board = nullptr;
    QWidget* widget = nullptr;
};

TEST_F(BoardTest, StartsEmptyAndShowsTheEngineConstants)
{
    ASSERT_NE(widget, nullptr);
    for (int32 slot = 0; slot < 3; slot++)
        EXPECT_EQ(board->Bitmap(slot), nullptr);
    EXPECT_EQ(board->Bitmap(3), nullptr);
    EXPECT_EQ(board->Bitmap(-1), nullptr);
    ASSERT_NE(board->engine, nullptr);

    auto* a = dynamic_cast<BTextControl*>(board->FindView("a-edit"));
    auto* l = dynamic_cast<BTextControl*>(board->FindView("l-edit"));
    ASSERT_EQ(a, board->aEdit);
    ASSERT_EQ(l, board->lEdit);
    EXPECT_EQ(board->ChildAt(0), a);
    EXPECT_EQ(board->ChildAt(1), l);
    EXPECT_STREQ(a->Text(), "10");
    EXPECT_STREQ(l->Text(), "80");
    EXPECT_STREQ(a->Label(), "A :");
    EXPECT_STREQ(l->Label(), "L :");
    EXPECT_EQ(a->Divider(), 17);
    EXPECT_EQ(l->Divider(), 17);
    EXPECT_EQ(a->Frame().LeftTop(), BPoint(10, 290));
    EXPECT_EQ(l->Frame().LeftTop(), BPoint(10, 310));
    EXPECT_LT(a->Frame().bottom, l->Frame().top) << "the fields must not overlap";
    EXPECT_EQ(a->ResizingMode(), 0x1212u);
    EXPECT_EQ(a->Flags(), 0x22000000u);
    EXPECT_FALSE(a->TextView()->IsEditable());
    EXPECT_FALSE(l->TextView()->IsEditable());
    EXPECT_EQ(board->ViewColor(), ui_color(B_PANEL_BACKGROUND_COLOR));
}

struct TargetCase
{
    const char* label;
    BPoint point;
    int32 slot;
    Delivery how;
};

void PrintTo(const TargetCase& c, std::ostream* os)
{
    *os << c.label;
}

class DropTarget : public BoardTest, public ::testing::WithParamInterface<TargetCase>
{
};

TEST_P(DropTarget, FillsThePatternSlotOnlyInsideThePatternFrame)
{
    const TargetCase& c = GetParam();
    Drop(Picture("p.png", 30, 20, 0xff336699), c.point, c.how);
    EXPECT_EQ(BoundsOf(board->Bitmap(c.slot)), BRect(0, 0, 29, 19));
    EXPECT_EQ(board->Bitmap(1 - c.slot), nullptr);
    EXPECT_EQ(board->Bitmap(2), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Points, DropTarget,
    ::testing::Values(TargetCase{"insidePattern", BPoint(60, 185), 1, Delivery::QtDrop},
                      TargetCase{"insidePicture", BPoint(60, 60), 0, Delivery::QtDrop},
                      TargetCase{"onStereogram", BPoint(300, 200), 0, Delivery::QtDrop},
                      TargetCase{"belowEverything", BPoint(5, 400), 0, Delivery::QtDrop},
                      TargetCase{"patternTopLeftEdge", BPoint(10, 140), 1, Delivery::QtDrop},
                      TargetCase{"patternBottomRightEdge", BPoint(120, 230), 1, Delivery::QtDrop},
                      TargetCase{"justRightOfPattern", BPoint(121, 230), 0, Delivery::QtDrop},
                      TargetCase{"justAbovePattern", BPoint(10, 139), 0, Delivery::QtDrop},
                      TargetCase{"postedInsidePattern", BPoint(60, 185), 1, Delivery::PostedData},
                      TargetCase{"postedInsidePicture", BPoint(60, 60), 0, Delivery::PostedData},
                      TargetCase{"postedPatternEdge", BPoint(120, 230), 1, Delivery::PostedData},
                      TargetCase{"postedFractionalEdge", BPoint(120.5F, 185), 0,
                                 Delivery::PostedData}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BoardTest, ASecondDropReplacesTheSlotAndRedraws)
{
    Drop(Picture("red.png", 40, 30, 0xffff0000), BPoint(60, 60));
    EXPECT_EQ(Render().pixel(60, 60), 0xffff0000u);
    int drawsBefore = board->draws;
    Drop(Picture("blue.png", 7, 9, 0xff0000ff), BPoint(300, 300));
    EXPECT_GT(board->draws, drawsBefore);
    EXPECT_EQ(BoundsOf(board->Bitmap(0)), BRect(0, 0, 6, 8));
    EXPECT_EQ(Render().pixel(60, 60), 0xff0000ffu);
}

void add_ref(BMessage* message, const std::string& path)
{
    entry_ref ref(path.c_str());
    message->AddRef("refs", &ref);
}

// Screen (160, 180) is view point (60, 60), inside the picture frame.
void add_point(BMessage* message)
{
    message->AddPoint("_drop_point_", BPoint(160, 180));
}

struct IgnoredCase
{
    const char* label;
    // Fills the message, given a readable picture and a text file named .png.
    void (*fill)(BMessage*, const std::string& picture, const std::string& textFile);
};

void PrintTo(const IgnoredCase& c, std::ostream* os)
{
    *os << c.label;
}

class IgnoredDrop : public BoardTest, public ::testing::WithParamInterface<IgnoredCase>
{
};

TEST_P(IgnoredDrop, LeavesTheBoardAsItWas)
{
    Drop(Picture("first.png", 12, 8, 0xff00ff00), BPoint(60, 60));
    BBitmap* before = board->Bitmap(0);
    ASSERT_NE(before, nullptr);

    BMessage message(B_SIMPLE_DATA);
    GetParam().fill(&message, Picture("second.png", 5, 5, 0xff0000ff), TextFile("notes.png"));
    window->PostMessage(&message, board);
    process_pending_events();

    EXPECT_EQ(board->Bitmap(0), before);
    EXPECT_EQ(BoundsOf(board->Bitmap(0)), BRect(0, 0, 11, 7));
    EXPECT_EQ(board->Bitmap(1), nullptr);
}

using Path = const std::string&;
INSTANTIATE_TEST_SUITE_P(
    Messages, IgnoredDrop,
    ::testing::Values(IgnoredCase{"noRefs", [](BMessage* m, Path, Path) { add_point(m); }},
                      IgnoredCase{"noDropPoint", [](BMessage* m, Path p, Path) { add_ref(m, p); }},
                      IgnoredCase{"refsOfTheWrongType",
                                  [](BMessage* m, Path p, Path) {
                                      m->AddString("refs", p.c_str());
                                      add_point(m);
                                  }},
                      IgnoredCase{"textNamedPng",
                                  [](BMessage* m, Path, Path text) {
                                      add_ref(m, text);
                                      add_point(m);
                                  }},
                      IgnoredCase{"missingFile",
                                  [](BMessage* m, Path p, Path) {
                                      add_ref(m, p + ".gone");
                                      add_point(m);
                                  }},
                      IgnoredCase{"directory",
                                  [](BMessage* m, Path, Path) {
                                      add_ref(m, QDir::tempPath().toStdString());
                                      add_point(m);
                                  }},
                      IgnoredCase{"emptyRef",
                                  [](BMessage* m, Path, Path) {
                                      entry_ref empty;
                                      m->AddRef("refs", &empty);
                                      add_point(m);
                                  }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(BoardTest, DropsOfTextOrRemoteUrlsChangeNothing)
{
    QMimeData text;
    text.setText("/not/a/file.png");
    send_drop(widget, QPoint(60, 185), text);
    QMimeData remote;
    remote.setUrls({QUrl("https://example.com/picture.png")});
    send_drop(widget, QPoint(60, 60), remote);
    process_pending_events();
    EXPECT_EQ(board->Bitmap(0), nullptr);
    EXPECT_EQ(board->Bitmap(1), nullptr);
}

TEST_F(BoardTest, OnlyTheFirstOfSeveralFilesIsLoaded)
{
    QMimeData data;
    set_file_urls(&data, {Picture("a.png", 3, 4, 0xff101010), Picture("b.png", 5, 6, 0xff202020)});
    send_drop(widget, QPoint(60, 185), data);
    process_pending_events();
    EXPECT_EQ(BoundsOf(board->Bitmap(1)), BRect(0, 0, 2, 3));
    EXPECT_EQ(board->Bitmap(0), nullptr);
}

TEST_F(BoardTest, FusionNeedsBothSources)
{
    board->Fusion();
    EXPECT_EQ(board->Bitmap(2), nullptr);
    Drop(Picture("depth.png", 200, 100, 0xff000000), BPoint(60, 60));
    board->Fusion();
    EXPECT_EQ(board->Bitmap(2), nullptr);

    delete board->bitmaps[0];
    board->bitmaps[0] = nullptr;
    Drop(Picture("motive.png", 16, 16, 0xff808080), BPoint(60, 185));
    board->Fusion();
    EXPECT_EQ(board->Bitmap(2), nullptr);
}

TEST_F(BoardTest, FusionFillsTheStereogramSlotAndKeepsItAfterSourcesChange)
{
    Drop(Picture("depth.png", 200, 100, 0xff000000), BPoint(60, 60));
    Drop(Picture("motive.png", 16, 16, 0xff808080), BPoint(60, 185));
    int drawsBefore = board->draws;
    board->Fusion();
    process_pending_events();
    EXPECT_GT(board->draws, drawsBefore);
    BBitmap* first = board->Bitmap(2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Bounds(), BRect(0, 0, 199, 99));
    EXPECT_EQ(first->ColorSpace(), B_RGB32);

    Drop(Picture("depth2.png", 120, 90, 0xffffffff), BPoint(60, 60));
    EXPECT_EQ(board->Bitmap(2), first);

    board->Fusion();
    ASSERT_NE(board->Bitmap(2), nullptr);
    EXPECT_EQ(board->Bitmap(2)->Bounds(), BRect(0, 0, 119, 89));
}

TEST_F(BoardTest, AFailedSynthesisKeepsThePreviousStereogram)
{
    Drop(Picture("depth.png", 64, 32, 0xff000000), BPoint(60, 60));
    Drop(Picture("motive.png", 8, 8, 0xff808080), BPoint(60, 185));
    board->Fusion();
    BBitmap* kept = board->Bitmap(2);
    ASSERT_NE(kept, nullptr);

    Drop(Picture("bigger.png", 300, 200, 0xff000000), BPoint(60, 60));
    VPellaraObject::Reallocator saved = VPellaraObject::reallocator;
    VPellaraObject::reallocator = [](void*, size_t) -> void* { return nullptr; };
    board->Fusion();
    VPellaraObject::reallocator = saved;

    EXPECT_EQ(board->Bitmap(2), kept);
    EXPECT_EQ(kept->Bounds(), BRect(0, 0, 63, 31));
}

TEST_F(BoardTest, TheEmptyBoardShowsItsFramesAtTheirInclusiveEdges)
{
    QImage image = Render();
    const QRgb panel = qRgb(216, 216, 216);
    const BRect frames[] = {BRect(10, 20, 120, 110), BRect(10, 140, 120, 230),
                            BRect(140, 20, 490, 390)};
    for (const BRect& f : frames) {
        const int l = int(f.left), t = int(f.top), r = int(f.right), b = int(f.bottom);
        for (auto [x, y] :
             Points{{l, t}, {r, t}, {l, b}, {r, b}, {(l + r) / 2, t}, {l, (t + b) / 2}})
            EXPECT_EQ(image.pixel(x, y), kBlack) << x << "," << y;
        for (auto [x, y] :
             Points{{l - 1, t}, {r + 1, b}, {l, t - 1}, {r, b + 1}, {l + 1, t + 1}, {r - 1, b - 1}})
            EXPECT_EQ(image.pixel(x, y), panel) << x << "," << y;
    }
}

TEST_F(BoardTest, ADroppedPictureFillsExactlyItsInnerRectangle)
{
    const QRgb red = 0xffff0000, green = 0xff00ff00;
    Drop(Picture("red.png", 3, 5, red), BPoint(60, 60));
    Drop(Picture("green.png", 500, 2, green), BPoint(60, 185));
    QImage image = Render();
    struct
    {
        BRect inner;
        QRgb colour;
    } const areas[] = {{BRect(11, 21, 119, 109), red}, {BRect(11, 141, 119, 229), green}};
    for (const auto& s : areas) {
        const int l = int(s.inner.left), t = int(s.inner.top), r = int(s.inner.right),
                  b = int(s.inner.bottom);
        int wrong = 0;
        for (int y = t; y <= b; y++)
            for (int x = l; x <= r; x++)
                wrong += image.pixel(x, y) != s.colour;
        EXPECT_EQ(wrong, 0);
        for (auto [x, y] : Points{{l - 1, t - 1}, {r + 1, b + 1}, {l - 1, b}, {r, t - 1}})
            EXPECT_EQ(image.pixel(x, y), kBlack) << x << "," << y;
    }
}

TEST_F(BoardTest, AStereogramKeepsItsSizeAndIsShownInsideItsFrame)
{
    // A flat depth picture over a uniform pattern gives a uniform stereogram.
    const QRgb pattern = 0xff2060a0;
    Drop(Picture("depth.png", 500, 400, 0xff000000), BPoint(60, 60));
    Drop(Picture("motive.png", 20, 20, pattern), BPoint(60, 185));
    board->Fusion();
    ASSERT_NE(board->Bitmap(2), nullptr);
    EXPECT_EQ(board->Bitmap(2)->Bounds(), BRect(0, 0, 499, 399));
    process_pending_events();

    QImage image = Render();
    int wrong = 0;
    for (int y = 21; y <= 389; y++)
        for (int x = 141; x <= 489; x++)
            wrong += image.pixel(x, y) != pattern;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(image.pixel(140, 20), kBlack);
    EXPECT_EQ(image.pixel(490, 390), kBlack);
    EXPECT_EQ(image.pixel(491, 391), qRgb(216, 216, 216));
}

TEST_F(BoardTest, TypingIntoTheConstantsChangesNothing)
{
    QList<QLineEdit*> fields = widget->findChildren<QLineEdit*>();
    ASSERT_EQ(fields.size(), 2);
    for (QLineEdit* field : fields) {
        for (const char* key : {"9", "9"}) {
            QKeyEvent down(QEvent::KeyPress, Qt::Key_9, Qt::NoModifier, key);
            QCoreApplication::sendEvent(field, &down);
        }
        QKeyEvent back(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
        QCoreApplication::sendEvent(field, &back);
    }
    process_pending_events();
    EXPECT_STREQ(board->aEdit->Text(), "10");
    EXPECT_STREQ(board->lEdit->Text(), "80");
    EXPECT_EQ(board->engine->A, 10);
    EXPECT_EQ(board->engine->L, 80);
}

} // namespace
