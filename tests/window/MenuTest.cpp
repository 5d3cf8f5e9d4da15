// Menus as the window's code builds them, read back from the Qt widgets.
#include "TestSupport.h"

#include <Menu.h>
#include <MenuBar.h>
#include <MenuItem.h>
#include <MenuPrivate.h>
#include <WindowPrivate.h>

#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenuBar>
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

QWidget* widget_of(BWindow* window)
{
    return KitAccess::Of(window)->widget;
}

QAction* action_of(BMenuItem* item)
{
    return KitAccess::Of(item)->action;
}

// Through Qt's own key delivery (shortcut override first, then the key), as
// a user's key arrives.
void press(BWindow* window, Qt::Key key, Qt::KeyboardModifiers modifiers)
{
    QTest::keyClick(widget_of(window), key, modifiers);
    drain_events();
}

// A window with a bar holding one menu, "Edit", holding one item.
struct MenuWindow
{
    explicit MenuWindow(BMenuItem* item)
    {
        window = new RecordingWindow();
        bar = new BMenuBar(BRect(0, 0, 199, 20), "bar");
        menu = new BMenu("Edit");
        menu->AddItem(item);
        bar->AddItem(menu);
        window->AddChild(bar);
    }
    ~MenuWindow() { delete window; }

    RecordingWindow* window;
    BMenuBar* bar;
    BMenu* menu;
};

} // namespace

class MenuLabelTest : public ::testing::TestWithParam<const char*>
{
};

// Labels are shown as they stand: no character becomes a mnemonic.
TEST_P(MenuLabelTest, ShownAsGiven)
{
    BMenu menu("M");
    auto* item = new BMenuItem(GetParam(), nullptr);
    menu.AddItem(item);
    EXPECT_STREQ(item->Label(), GetParam());
    QAction* action = action_of(item);
    EXPECT_TRUE(QKeySequence::mnemonic(action->text()).isEmpty()) << action->text().toStdString();
    // What Qt paints: the text with each "&&" shown as one '&'.
    QString shown = action->text().replace(QLatin1String("&&"), QLatin1String("&"));
    EXPECT_EQ(shown.toStdString(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Labels, MenuLabelTest,
                         ::testing::Values("Save As...", "&File", "R&D", "a&&b", "Fin &", "é&è"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return "Label" + std::to_string(info.index);
                         });

TEST(MenuTest, SubmenuEntryCarriesTheMenuName)
{
    BMenu file("File");
    auto* saveAs = new BMenu("Save & Export");
    ASSERT_TRUE(file.AddItem(saveAs));
    BMenuItem* entry = file.ItemAt(0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Submenu(), saveAs);
    EXPECT_EQ(saveAs->Superitem(), entry);
    EXPECT_EQ(saveAs->Supermenu(), &file);
    EXPECT_STREQ(entry->Label(), "Save & Export");
    EXPECT_EQ(action_of(entry)->menu(), KitAccess::MenuOf(saveAs)->menu);
    EXPECT_TRUE(QKeySequence::mnemonic(action_of(entry)->text()).isEmpty());
}

TEST(MenuTest, ItemsKeepOrderAndBelongToOneMenu)
{
    BMenu menu("M");
    auto* a = new BMenuItem("A", new BMessage('aaaa'));
    auto* c = new BMenuItem("C", new BMessage('cccc'));
    auto* b = new BMenuItem("B", new BMessage('bbbb'));
    ASSERT_TRUE(menu.AddItem(a));
    ASSERT_TRUE(menu.AddItem(c));
    ASSERT_TRUE(menu.AddItem(b, 1));
    ASSERT_TRUE(menu.AddSeparatorItem());
    EXPECT_FALSE(menu.AddItem(a)) << "an item lives in one menu";
    EXPECT_FALSE(menu.AddItem(static_cast<BMenuItem*>(nullptr)));
    auto* late = new BMenuItem("late", nullptr);
    EXPECT_FALSE(menu.AddItem(late, 9)) << "past the end";
    EXPECT_TRUE(menu.AddItem(late));

    ASSERT_EQ(menu.CountItems(), 5);
    QList<QAction*> actions = KitAccess::MenuOf(&menu)->menu->actions();
    ASSERT_EQ(actions.size(), 5);
    const char* expected[] = {"A", "B", "C", nullptr, "late"};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(actions[i], action_of(menu.ItemAt(i))) << i;
        EXPECT_EQ(actions[i]->isSeparator(), expected[i] == nullptr) << i;
    }
    EXPECT_EQ(menu.IndexOf(b), 1);
    EXPECT_EQ(menu.FindItem("C"), c);
    EXPECT_EQ(menu.FindItem('bbbb'), b);
    EXPECT_EQ(menu.FindItem("nothing"), nullptr);
}

TEST(MenuTest, RemoveItemGivesItBack)
{
    BMenu menu("M");
    auto* a = new BMenuItem("A", nullptr);
    menu.AddItem(a);
    EXPECT_EQ(menu.RemoveItem(int32(0)), a);
    EXPECT_EQ(menu.CountItems(), 0);
    EXPECT_TRUE(KitAccess::MenuOf(&menu)->menu->actions().isEmpty());
    EXPECT_EQ(a->Menu(), nullptr);
    BMenu other("O");
    EXPECT_TRUE(other.AddItem(a)); // free again; other owns it now
}

TEST(MenuTest, FindItemSearchesSubmenus)
{
    BMenu top("Top");
    auto* sub = new BMenu("Sub");
    auto* deep = new BMenuItem("Deep", new BMessage('deep'));
    sub->AddItem(deep);
    top.AddItem(sub);
    EXPECT_EQ(top.FindItem("Deep"), deep);
    EXPECT_EQ(top.FindItem('deep'), deep);
    EXPECT_EQ(top.FindItem("Sub"), top.ItemAt(0));
}

TEST(MenuTest, MenuCannotHangInsideItself)
{
    auto* outer = new BMenu("Outer");
    auto* inner = new BMenu("Inner");
    ASSERT_TRUE(outer->AddItem(inner));
    BMenu root("Root");
    ASSERT_TRUE(root.AddItem(outer));
    // outer already hangs from an item: a second place is refused.
    EXPECT_FALSE(inner->AddItem(outer));
    // Its own entry, placed inside its own submenu, would be a loop.
    BMenuItem* innerEntry = outer->RemoveItem(int32(0));
    ASSERT_NE(innerEntry, nullptr);
    EXPECT_FALSE(inner->AddItem(innerEntry));
    EXPECT_TRUE(outer->AddItem(innerEntry));
}

TEST(MenuTest, DeletingAnAttachedSubmenuLeavesNoDanglingEntry)
{
    BMenu top("Top");
    auto* sub = new BMenu("Sub");
    top.AddItem(sub);
    delete sub;
    BMenuItem* entry = top.ItemAt(0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Submenu(), nullptr);
    EXPECT_TRUE(KitAccess::MenuOf(&top)->menu->actions().isEmpty());
    action_of(entry)->setText("still alive"); // would touch freed memory before
}

TEST(MenuTest, InvokePostsACopyToTheWindowWithPlatformFields)
{
    auto* message = new BMessage('cmnd');
    message->AddString("payload", "kept");
    auto* item = new BMenuItem("Do", message);
    MenuWindow w(item);
    auto* second = new BMenuItem("Other", nullptr);
    w.menu->AddItem(second, 0);

    action_of(item)->trigger();
    drain_events();

    ASSERT_EQ(w.window->received.size(), 1u);
    BMessage* got = w.window->received[0].get();
    EXPECT_EQ(got->what, uint32('cmnd'));
    const char* payload = nullptr;
    EXPECT_EQ(got->FindString("payload", &payload), B_OK);
    EXPECT_STREQ(payload, "kept");
    int64 when = 0;
    EXPECT_EQ(got->FindInt64("when", &when), B_OK);
    EXPECT_GT(when, 0);
    void* source = nullptr;
    EXPECT_EQ(got->FindPointer("source", &source), B_OK);
    EXPECT_EQ(source, static_cast<void*>(item));
    int32 index = -1;
    EXPECT_EQ(got->FindInt32("index", &index), B_OK);
    EXPECT_EQ(index, 1);
    // The item's own message is not touched by invoking it.
    EXPECT_FALSE(message->HasInt32("index"));
    EXPECT_EQ(item->Message(), message);
}

TEST(MenuTest, ExplicitTargetGetsTheMessage)
{
    auto* item = new BMenuItem("Do", new BMessage('cmnd'));
    MenuWindow w(item);
    RecordingHandler handler;
    w.window->AddHandler(&handler);
    EXPECT_EQ(item->SetTarget(&handler), B_OK);
    EXPECT_EQ(item->Target(), &handler);

    EXPECT_EQ(item->Invoke(), B_OK);
    drain_events();
    EXPECT_EQ(handler.received.size(), 1u);
    EXPECT_TRUE(w.window->received.empty());
    w.window->RemoveHandler(&handler);
}

TEST(MenuTest, ItemsNotInAWindowOrWithoutMessageSendNothing)
{
    BMenu loose("Loose");
    auto* item = new BMenuItem("Do", new BMessage('cmnd'));
    loose.AddItem(item);
    EXPECT_NE(item->Invoke(), B_OK);
    auto* empty = new BMenuItem("Empty", nullptr);
    loose.AddItem(empty);
    EXPECT_EQ(empty->Invoke(), B_BAD_VALUE);
}

TEST(MenuTest, DisabledItemIsNotInvoked)
{
    auto* item = new BMenuItem("Do", new BMessage('cmnd'), 'D');
    MenuWindow w(item);
    item->SetEnabled(false);
    EXPECT_FALSE(action_of(item)->isEnabled());
    EXPECT_NE(item->Invoke(), B_OK);
    press(w.window, Qt::Key_D, Qt::ControlModifier);
    EXPECT_TRUE(w.window->received.empty());
}

TEST(MenuTest, MenuBarIsAQMenuBarAtItsFrame)
{
    MenuWindow w(new BMenuItem("Do", nullptr));
    auto* bar = widget_of(w.window)->findChild<QMenuBar*>("bar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->geometry(), QRect(0, 0, 200, 21));
    EXPECT_FALSE(bar->isNativeMenuBar());
    ASSERT_EQ(bar->actions().size(), 1);
    EXPECT_EQ(bar->actions()[0]->text(), "Edit");
    EXPECT_EQ(w.window->KeyMenuBar(), w.bar);
}

TEST(MenuTest, UnrealizedBarIsFreed)
{
    // Never added to a window: its Qt widgets must go with it.
    auto* bar = new BMenuBar(BRect(0, 0, 10, 10), "loose");
    auto* file = new BMenu("File");
    bar->AddItem(file);
    QPointer<QWidget> barWidget = KitAccess::MenuOf(bar)->container;
    QPointer<QMenu> fileMenu = KitAccess::MenuOf(file)->menu;
    ASSERT_FALSE(barWidget.isNull());
    ASSERT_FALSE(fileMenu.isNull());
    delete bar;
    EXPECT_TRUE(barWidget.isNull());
    EXPECT_TRUE(fileMenu.isNull());
}

struct ShortcutCase
{
    const char* name;
    char shortcut;
    uint32 modifiers;
    Qt::Key key;
    Qt::KeyboardModifiers pressed;
    bool invokes;
};

void PrintTo(const ShortcutCase& c, std::ostream* os)
{
    *os << c.name;
}

class MenuShortcutTest : public ::testing::TestWithParam<ShortcutCase>
{
};

TEST_P(MenuShortcutTest, KeyOnTheWindowInvokesMatchingItem)
{
    const ShortcutCase& c = GetParam();
    auto* item = new BMenuItem("Cmd", new BMessage('shct'), c.shortcut, c.modifiers);
    MenuWindow w(item);
    press(w.window, c.key, c.pressed);
    ASSERT_EQ(w.window->received.size(), c.invokes ? 1u : 0u);
    if (c.invokes) {
        EXPECT_EQ(w.window->received[0]->what, uint32('shct'));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MenuShortcutTest,
    ::testing::Values(ShortcutCase{"CtrlF", 'F', 0, Qt::Key_F, Qt::ControlModifier, true},
                      ShortcutCase{"LowerCaseChar", 'f', 0, Qt::Key_F, Qt::ControlModifier, true},
                      ShortcutCase{"CtrlQ", 'Q', 0, Qt::Key_Q, Qt::ControlModifier, true},
                      ShortcutCase{"NoCtrl", 'F', 0, Qt::Key_F, Qt::NoModifier, false},
                      ShortcutCase{"OtherKey", 'F', 0, Qt::Key_G, Qt::ControlModifier, false},
                      ShortcutCase{"ExtraShift", 'F', 0, Qt::Key_F,
                                   Qt::ControlModifier | Qt::ShiftModifier, false},
                      ShortcutCase{"ShiftWanted", 'F', B_SHIFT_KEY, Qt::Key_F,
                                   Qt::ControlModifier | Qt::ShiftModifier, true},
                      ShortcutCase{"ShiftMissing", 'F', B_SHIFT_KEY, Qt::Key_F, Qt::ControlModifier,
                                   false},
                      ShortcutCase{"Digit", '1', 0, Qt::Key_1, Qt::ControlModifier, true},
                      ShortcutCase{"NoShortcut", 0, 0, Qt::Key_F, Qt::ControlModifier, false}),
    [](const ::testing::TestParamInfo<ShortcutCase>& info) { return info.param.name; });

TEST(MenuShortcutTest, ShortcutReadsBackAndShowsAsCtrl)
{
    BMenu menu("M");
    auto* plain = new BMenuItem("Fusion", nullptr, 'F');
    auto* shifted = new BMenuItem("Other", nullptr, 'S', B_SHIFT_KEY);
    menu.AddItem(plain);
    menu.AddItem(shifted);
    uint32 modifiers = 99;
    EXPECT_EQ(plain->Shortcut(&modifiers), 'F');
    EXPECT_EQ(modifiers, 0u);
    EXPECT_EQ(shifted->Shortcut(&modifiers), 'S');
    EXPECT_EQ(modifiers, uint32(B_SHIFT_KEY));
    // Shown beside the label; only the window acts on the key, so Qt's
    // shortcut map must not know it (it would take it a second time).
    EXPECT_EQ(action_of(plain)->text(), "Fusion\t" + QKeySequence(Qt::CTRL | Qt::Key_F).toString(
                                                         QKeySequence::NativeText));
    EXPECT_TRUE(action_of(shifted)->text().endsWith("Shift+S"));
    EXPECT_TRUE(action_of(plain)->shortcut().isEmpty());
    EXPECT_TRUE(action_of(shifted)->shortcut().isEmpty());
}
