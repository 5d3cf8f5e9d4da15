// The application and its main window, driven in-process on the offscreen
// platform.
#include "TestSupport.h"

#include <Pellara.h>
#include <PellaraBMPView.h>
#include <PellaraWin.h>

#include <Bitmap.h>
#include <Menu.h>
#include <MenuBar.h>
#include <MenuItem.h>
#include <MenuPrivate.h>
#include <Messenger.h>
#include <WindowPrivate.h>

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <vector>

namespace {

QWidget* widget_of(BWindow* window)
{
    return KitAccess::Of(window)->widget;
}

QAction* file_action(PellaraWin* window, const char* label)
{
    BMenuItem* item = window->menuBar->FindItem(label);
    return item != nullptr ? KitAccess::Of(item)->action : nullptr;
}

void press(BWindow* window, Qt::Key key)
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::ControlModifier);
    QApplication::sendEvent(widget_of(window), &event);
}

BBitmap* make_bitmap(int width, int height, uint32 (*pixel)(int x, int y))
{
    auto* bitmap = new BBitmap(BRect(0, 0, width - 1, height - 1), B_RGB32, true, true);
    auto* bits = static_cast<uint8*>(bitmap->Bits());
    for (int y = 0; y < height; y++) {
        auto* row = reinterpret_cast<uint32*>(bits + size_t(y) * bitmap->BytesPerRow());
        for (int x = 0; x < width; x++)
            row[x] = pixel(x, y);
    }
    return bitmap;
}

// A raised disc on a black ground, and a busy pattern tile.
void fill_sources(PellaraBMPView* view)
{
    view->bitmaps[0] = make_bitmap(240, 120, [](int x, int y) -> uint32 {
        int dx = x - 120, dy = y - 60;
        return dx * dx + dy * dy < 40 * 40 ? 0xffffffffu : 0xff000000u;
    });
    view->bitmaps[1] = make_bitmap(37, 29, [](int x, int y) -> uint32 {
        return 0xff000000u | uint32((x * 97 + y * 31) % 256) << 16 | uint32((x * y) % 256) << 8 |
               uint32((x + 3 * y) % 256);
    });
}

std::vector<uint8> pixels_of(const BBitmap* bitmap)
{
    const auto* bits = static_cast<const uint8*>(bitmap->Bits());
    return std::vector<uint8>(bits, bits + bitmap->BitsLength());
}

// Runs the application loop, doing `action` once it runs. The loop must end
// by itself; a generous deadline stops it otherwise and fails the test.
bool run_until_quit(Pellara& application, std::function<void()> action)
{
    bool timedOut = false;
    QTimer::singleShot(0, action);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&timedOut] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    deadline.start(10000);
    application.Run();
    return !timedOut;
}

} // namespace

TEST(PellaraWinTest, ContentAreaAtTheFrameInclusive)
{
    Pellara application;
    PellaraWin* window = application.window;
    QWidget* widget = widget_of(window);
    drain_events();
    EXPECT_EQ(window->Frame(), BRect(100, 100, 600, 520));
    EXPECT_EQ(window->Bounds(), BRect(0, 0, 500, 420));
    EXPECT_EQ(widget->geometry(), QRect(100, 100, 501, 421));
    EXPECT_TRUE(widget->isVisible());
    EXPECT_FALSE(window->IsHidden());
}

TEST(PellaraWinTest, TitleTypeAndFlags)
{
    Pellara application;
    PellaraWin* window = application.window;
    QWidget* widget = widget_of(window);
    EXPECT_STREQ(window->Title(), "Pellara");
    EXPECT_EQ(widget->windowTitle(), "Pellara");
    EXPECT_EQ(window->Type(), B_TITLED_WINDOW);
    EXPECT_EQ(window->Flags(), uint32(B_NOT_RESIZABLE | B_NOT_ZOOMABLE));
    EXPECT_EQ(window->Workspaces(), B_CURRENT_WORKSPACE);
    // Not resizable, not zoomable, but closable.
    EXPECT_EQ(widget->minimumSize(), widget->maximumSize());
    EXPECT_FALSE(widget->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(widget->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(widget->windowFlags() & Qt::WindowTitleHint);
}

TEST(PellaraWinTest, MenuBarAboveTheBoard)
{
    Pellara application;
    PellaraWin* window = application.window;
    auto* bar = widget_of(window)->findChild<QMenuBar*>("barmenu");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->geometry(), QRect(0, 0, 501, 21));
    auto* board = widget_of(window)->findChild<QWidget*>("PellaraBMPView");
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->geometry(), QRect(0, 20, 501, 406));
    EXPECT_EQ(window->FindView("barmenu"), window->menuBar);
    EXPECT_EQ(window->FindView("PellaraBMPView"), window->view);
    EXPECT_EQ(window->KeyMenuBar(), window->menuBar);
}

TEST(PellaraWinTest, FileMenuEntriesInOrder)
{
    Pellara application;
    auto* bar = widget_of(application.window)->findChild<QMenuBar*>("barmenu");
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(bar->actions().size(), 1);
    QAction* file = bar->actions()[0];
    EXPECT_EQ(file->text(), "File");
    ASSERT_NE(file->menu(), nullptr);
    QList<QAction*> entries = file->menu()->actions();

    struct Entry
    {
        const char* text; // null: a separator
        bool submenu;
        QKeySequence shortcut;
    };
    const Entry expected[] = {
        {"Save As...", true, QKeySequence()},
        {nullptr, false, QKeySequence()},
        {"Fusion", false, QKeySequence(Qt::CTRL | Qt::Key_F)},
        {nullptr, false, QKeySequence()},
        {"Quit", false, QKeySequence(Qt::CTRL | Qt::Key_Q)},
    };
    ASSERT_EQ(entries.size(), 5);
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i]->isSeparator(), expected[i].text == nullptr);
        if (expected[i].text != nullptr) {
            // The label as it stands, then the shortcut the menu shows.
            QString shown = expected[i].text;
            if (!expected[i].shortcut.isEmpty())
                shown += "\t" + expected[i].shortcut.toString(QKeySequence::NativeText);
            EXPECT_EQ(entries[i]->text(), shown);
        }
        EXPECT_EQ(entries[i]->menu() != nullptr, expected[i].submenu);
    }
    EXPECT_EQ(entries[0]->menu(), KitAccess::MenuOf(application.window->saveAsMenu)->menu);
    EXPECT_GT(application.window->saveAsMenu->CountItems(), 0);

    BMenuItem* fusion = application.window->menuBar->FindItem("Fusion");
    BMenuItem* quit = application.window->menuBar->FindItem("Quit");
    ASSERT_NE(fusion, nullptr);
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(fusion->Command(), uint32('Sfst'));
    EXPECT_EQ(quit->Command(), uint32(B_QUIT_REQUESTED));
    uint32 modifiers = 1;
    EXPECT_EQ(fusion->Shortcut(&modifiers), 'F');
    EXPECT_EQ(modifiers, 0u);
    EXPECT_EQ(quit->Shortcut(&modifiers), 'Q');
    EXPECT_EQ(modifiers, 0u);
}

TEST(PellaraWinTest, ShortcutAndMenuItemMakeTheSameStereogram)
{
    Pellara application;
    PellaraWin* window = application.window;
    PellaraBMPView* view = window->view;
    fill_sources(view);

    file_action(window, "Fusion")->trigger();
    drain_events();
    ASSERT_NE(view->bitmaps[2], nullptr);
    std::vector<uint8> fromMenu = pixels_of(view->bitmaps[2]);
    BRect menuBounds = view->bitmaps[2]->Bounds();
    const BBitmap* first = view->bitmaps[2];

    press(window, Qt::Key_F);
    drain_events();
    ASSERT_NE(view->bitmaps[2], nullptr);
    EXPECT_NE(view->bitmaps[2], first) << "the shortcut ran no new synthesis";
    EXPECT_EQ(view->bitmaps[2]->Bounds(), menuBounds);
    EXPECT_EQ(pixels_of(view->bitmaps[2]), fromMenu);
    EXPECT_EQ(menuBounds, view->bitmaps[0]->Bounds());
}

TEST(PellaraWinTest, FusionWithOneSourceDoesNothing)
{
    Pellara application;
    PellaraWin* window = application.window;
    fill_sources(window->view);
    delete window->view->bitmaps[1];
    window->view->bitmaps[1] = nullptr;
    press(window, Qt::Key_F);
    drain_events();
    EXPECT_EQ(window->view->bitmaps[2], nullptr);
}

struct QuitPath
{
    const char* name;
    std::function<void(PellaraWin*)> start;
};

void PrintTo(const QuitPath& path, std::ostream* os)
{
    *os << path.name;
}

class PellaraQuitTest : public ::testing::TestWithParam<QuitPath>
{
};

// Every way out goes through QuitRequested and ends the application loop.
TEST_P(PellaraQuitTest, EndsTheApplicationLoop)
{
    Pellara application;
    PellaraWin* window = application.window;
    ASSERT_TRUE(run_until_quit(application, [window] { GetParam().start(window); }));
    EXPECT_EQ(application.CountWindows(), 0) << "the window did not quit";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PellaraQuitTest,
    ::testing::Values(QuitPath{"QuitItem",
                               [](PellaraWin* w) { file_action(w, "Quit")->trigger(); }},
                      QuitPath{"CtrlQ", [](PellaraWin* w) { press(w, Qt::Key_Q); }},
                      QuitPath{"CloseBox", [](PellaraWin* w) { widget_of(w)->close(); }},
                      QuitPath{"CloseEvent",
                               [](PellaraWin* w) {
                                   QCloseEvent event;
                                   QApplication::sendEvent(widget_of(w), &event);
                               }}),
    [](const ::testing::TestParamInfo<QuitPath>& info) { return info.param.name; });

// Notes the quit requests that reach the application instead of quitting.
class QuitWatchingPellara : public Pellara
{
public:
    void DispatchMessage(BMessage* message, BHandler* handler) override
    {
        if (message->what == B_QUIT_REQUESTED && handler == this) {
            quitRequests++;
            return;
        }
        Pellara::DispatchMessage(message, handler);
    }

    int quitRequests = 0;
};

TEST(PellaraWinTest, QuitRequestedAsksTheApplicationToQuit)
{
    QuitWatchingPellara application;
    EXPECT_TRUE(application.window->QuitRequested());
    drain_events();
    EXPECT_EQ(application.quitRequests, 1);
}

TEST(PellaraWinTest, OtherMessagesReachTheBaseUnchanged)
{
    Pellara application;
    PellaraWin* window = application.window;
    RecordingHandler next;
    window->SetNextHandler(&next);

    BMessage unknown('zzzz');
    unknown.AddString("note", "as sent");
    unknown.AddInt32("count", 3);
    window->PostMessage(&unknown);
    // The window's own commands stop at PellaraWin.
    window->PostMessage('Sfst');
    window->PostMessage('BTMN');
    window->PostMessage('Msap');
    drain_events();

    ASSERT_EQ(next.received.size(), 1u);
    BMessage* got = next.received[0].get();
    EXPECT_EQ(got->what, uint32('zzzz'));
    EXPECT_EQ(got->CountNames(B_ANY_TYPE), 2);
    const char* note = nullptr;
    int32 count = 0;
    EXPECT_EQ(got->FindString("note", &note), B_OK);
    EXPECT_STREQ(note, "as sent");
    EXPECT_EQ(got->FindInt32("count", &count), B_OK);
    EXPECT_EQ(count, 3);
    window->SetNextHandler(nullptr);
}

TEST(PellaraTest, IdentityOnTheDesktop)
{
    Pellara application;
    EXPECT_EQ(be_app, &application);
    EXPECT_STREQ(application.Signature(), "application/x-vnd.Ombrix.Pellara");
    EXPECT_EQ(application.InitCheck(), B_OK);
    EXPECT_EQ(QCoreApplication::applicationName(), "Pellara");
    EXPECT_EQ(QCoreApplication::organizationName(), "Ombrix");
    EXPECT_EQ(QGuiApplication::desktopFileName(), "pellara");
    EXPECT_EQ(application.CountWindows(), 1);
    EXPECT_EQ(application.WindowAt(0), application.window);
}

TEST(PellaraTest, WindowsStillOpenGoWithTheApplication)
{
    BMessenger toWindow, toBoard;
    {
        Pellara application;
        fill_sources(application.window->view);
        toWindow = BMessenger(application.window);
        toBoard = BMessenger(application.window->view);
        ASSERT_EQ(toBoard.SendMessage('zzzz'), B_OK);
    } // the view's bitmaps and engine are freed with the window
    EXPECT_EQ(be_app, nullptr);
    EXPECT_FALSE(toWindow.IsValid()) << "the window outlived the application";
    EXPECT_NE(toBoard.SendMessage('zzzz'), B_OK);
}
