#include "AppEnvironment.h"

#include <TextControl.h>
#include <TextView.h>
#include <TextViewPrivate.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QKeyEvent>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

void press(QWidget* widget, int key, const QString& text = QString())
{
    QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(widget, &down);
    QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(widget, &up);
}

void type(QWidget* widget, const char* text)
{
    for (const QChar c : QString::fromUtf8(text))
        press(widget, c.toUpper().unicode(), QString(c));
}

class RecordingWindow : public BWindow
{
public:
    RecordingWindow() : BWindow(BRect(50, 50, 249, 149), "controls", B_TITLED_WINDOW, 0) {}
    void MessageReceived(BMessage* message) override
    {
        received.push_back(std::make_unique<BMessage>(*message));
    }
    std::vector<std::unique_ptr<BMessage>> received;
};

TEST(TextControl, KeepsLabelTextDividerAndPlace)
{
    BTextControl control(BRect(10, 290, 70, 300), "a-edit", "A :", "", nullptr,
                         B_FOLLOW_LEFT | B_FOLLOW_TOP, B_WILL_DRAW | B_NAVIGABLE);
    EXPECT_STREQ(control.Name(), "a-edit");
    EXPECT_STREQ(control.Label(), "A :");
    EXPECT_STREQ(control.Text(), "");
    EXPECT_EQ(control.ResizingMode(), 0x1212u);
    EXPECT_EQ(control.Flags(), 0x22000000u);
    // The height grows to fit a line of text; the rest of the frame stays.
    EXPECT_EQ(control.Frame().left, 10);
    EXPECT_EQ(control.Frame().top, 290);
    EXPECT_EQ(control.Frame().right, 70);
    EXPECT_GE(control.Frame().Height(), 10);
    control.SetDivider(17);
    EXPECT_EQ(control.Divider(), 17);
    EXPECT_GT(control.TextView()->Frame().left, 17);
    EXPECT_LE(control.TextView()->Frame().right, control.Bounds().right);
    control.SetText("10");
    EXPECT_STREQ(control.Text(), "10");
    EXPECT_STREQ(control.TextView()->Text(), "10");
    control.SetText(nullptr);
    EXPECT_STREQ(control.Text(), "");
}

TEST(TextControl, ReadOnlyFieldIgnoresTyping)
{
    auto* window = new RecordingWindow;
    auto* control = new BTextControl(BRect(10, 10, 120, 20), "field", "L :", "80", nullptr);
    control->TextView()->MakeEditable(false);
    window->AddChild(control);
    window->Show();
    QLineEdit* edit = KitAccess::TextOf(control->TextView())->edit;
    ASSERT_NE(edit, nullptr);
    EXPECT_TRUE(edit->isReadOnly());
    EXPECT_EQ(edit->text(), "80");
    type(edit, "123");
    EXPECT_STREQ(control->Text(), "80");
    EXPECT_FALSE(control->TextView()->IsEditable());
    delete window;
}

TEST(TextControl, EditsReachTheTextAndReturnPostsTheMessage)
{
    auto* window = new RecordingWindow;
    auto* control =
        new BTextControl(BRect(10, 10, 120, 20), "field", "A :", "", new BMessage('EDIT'));
    window->AddChild(control);
    QLineEdit* edit = KitAccess::TextOf(control->TextView())->edit;
    ASSERT_NE(edit, nullptr);
    type(edit, "42");
    EXPECT_STREQ(control->Text(), "42");
    press(edit, Qt::Key_Return, "\r");
    process_pending_events();
    ASSERT_EQ(window->received.size(), 1u);
    EXPECT_EQ(window->received[0]->what, uint32('EDIT'));
    void* source = nullptr;
    EXPECT_EQ(window->received[0]->FindPointer("source", &source), B_OK);
    EXPECT_EQ(source, control);
    delete window;
}

} // namespace
