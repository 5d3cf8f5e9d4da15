#include <TextControl.h>
#include <TextViewPrivate.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QApplication>
#include <QFontMetrics>

#include <algorithm>
#include <cmath>

namespace {

QFontMetrics control_metrics()
{
    return QFontMetrics(QApplication::font());
}

} // namespace

BTextControl::BTextControl(BRect frame, const char* name, const char* label, const char* text,
                           BMessage* message, uint32 resizingMode, uint32 flags)
    : BView(frame, name, resizingMode, flags), BInvoker(message, nullptr), fTextView(nullptr),
      fLabel(label != nullptr ? label : ""), fDivider(0)
{
    if (QCoreApplication::instance() != nullptr) {
        QFontMetrics metrics = control_metrics();
        // One line of text inside a one-pixel frame.
        ResizeTo(frame.Width(), float(metrics.height() + 1));
        if (!fLabel.empty())
            fDivider =
                std::ceil(float(metrics.horizontalAdvance(QString::fromStdString(fLabel))) + 4.0F);
    }
    SetViewColor(ui_color(B_PANEL_BACKGROUND_COLOR));
    SetLowColor(ViewColor());

    BRect bounds = Bounds();
    fTextView = new BTextView(bounds, "_input_", BRect(0, 0, bounds.Width(), bounds.Height()),
                              B_FOLLOW_LEFT_RIGHT | B_FOLLOW_TOP, B_WILL_DRAW | B_NAVIGABLE);
    fTextView->SetText(text);
    KitAccess::TextOf(fTextView)->committed = [this]() { Invoke(); };
    _LayoutTextView();
    AddChild(fTextView);
}

BTextControl::~BTextControl()
{
    KitAccess::TextOf(fTextView)->committed = nullptr;
}

// The label sits left of the divider on the text's baseline; a thin frame
// surrounds the text view.
void BTextControl::Draw(BRect)
{
    BRect bounds = Bounds();
    if (!fLabel.empty()) {
        float baseline = bounds.bottom - 1;
        if (QCoreApplication::instance() != nullptr) {
            QFontMetrics metrics = control_metrics();
            baseline =
                (bounds.Height() + 1 - float(metrics.height())) / 2 + float(metrics.ascent());
        }
        SetHighColor(ui_color(B_PANEL_TEXT_COLOR));
        DrawString(fLabel.c_str(), BPoint(0, std::floor(baseline)));
    }
    BRect frame(fDivider, 0, bounds.right, bounds.bottom);
    if (frame.IsValid()) {
        SetHighColor(tint_color(ViewColor(), B_DARKEN_2_TINT));
        StrokeRect(frame);
    }
}

void BTextControl::MessageReceived(BMessage* message)
{
    BView::MessageReceived(message);
}

void BTextControl::SetText(const char* text)
{
    fTextView->SetText(text);
}

const char* BTextControl::Text() const
{
    return fTextView->Text();
}

void BTextControl::SetLabel(const char* label)
{
    fLabel = label != nullptr ? label : "";
    Invalidate();
}

const char* BTextControl::Label() const
{
    return fLabel.c_str();
}

void BTextControl::SetDivider(float position)
{
    fDivider = std::max(0.0F, position);
    _LayoutTextView();
    Invalidate();
}

float BTextControl::Divider() const
{
    return fDivider;
}

status_t BTextControl::Invoke(BMessage* message)
{
    BMessenger target = Messenger();
    if (target == BMessenger()) {
        BWindow* window = Window();
        if (window == nullptr)
            return B_NO_INIT;
        target = BMessenger(window);
    }
    return _InvokeTo(message, target);
}

// The text view fills what the label leaves, one pixel inside the frame.
void BTextControl::_LayoutTextView()
{
    BRect bounds = Bounds();
    float left = std::min(fDivider + 1, bounds.right);
    float right = std::max(left, bounds.right - 1);
    float bottom = std::max(1.0F, bounds.bottom - 1);
    fTextView->MoveTo(BPoint(left, 1));
    fTextView->ResizeTo(right - left, bottom - 1);
}
