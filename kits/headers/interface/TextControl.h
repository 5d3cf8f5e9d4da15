// A labelled one-line text field: the label left of the divider, the text
// view right of it.
#ifndef _TEXT_CONTROL_H
#define _TEXT_CONTROL_H

#include <Invoker.h>
#include <View.h>

#include <string>

class BMessage;
class BTextView;

class BTextControl : public BView, public BInvoker
{
public:
    // Takes ownership of message (may be null). As on the platform, the
    // frame's height is fitted to the font; its left, top and width stay.
    BTextControl(BRect frame, const char* name, const char* label, const char* text,
                 BMessage* message, uint32 resizingMode = B_FOLLOW_LEFT | B_FOLLOW_TOP,
                 uint32 flags = B_WILL_DRAW | B_NAVIGABLE);
    virtual ~BTextControl();

    virtual void Draw(BRect updateRect);
    virtual void MessageReceived(BMessage* message);

    void SetText(const char* text);
    const char* Text() const;
    void SetLabel(const char* label);
    const char* Label() const;
    void SetDivider(float position);
    float Divider() const;
    BTextView* TextView() const { return fTextView; }

    // Sent when the user commits an edit (Return): to the target, or to the
    // window when none was set.
    virtual status_t Invoke(BMessage* message = nullptr);

private:
    void _LayoutTextView();

    BTextView* fTextView;
    std::string fLabel;
    float fDivider;
};

#endif // _TEXT_CONTROL_H
