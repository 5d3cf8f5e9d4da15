// A modal box with a text and up to three buttons. Go() blocks its caller
// (running a nested event loop) until a button is pressed, then deletes the
// alert and returns the button's index.
#ifndef _ALERT_H
#define _ALERT_H

#include <SupportDefs.h>

#include <string>
#include <vector>

enum alert_type
{
    B_EMPTY_ALERT = 0,
    B_INFO_ALERT,
    B_IDEA_ALERT,
    B_WARNING_ALERT,
    B_STOP_ALERT,
};

enum button_width
{
    B_WIDTH_AS_USUAL,
    B_WIDTH_FROM_WIDEST,
    B_WIDTH_FROM_LABEL,
};

class BAlert
{
public:
    BAlert(const char* title, const char* text, const char* button0, const char* button1 = nullptr,
           const char* button2 = nullptr, button_width width = B_WIDTH_AS_USUAL,
           alert_type type = B_INFO_ALERT);
    virtual ~BAlert();

    BAlert(const BAlert&) = delete;
    BAlert& operator=(const BAlert&) = delete;

    // The index of the pressed button; -1 when the box was closed otherwise.
    int32 Go();

    const char* Text() const { return fText.c_str(); }
    alert_type Type() const { return fType; }
    int32 CountButtons() const { return static_cast<int32>(fButtons.size()); }
    const char* ButtonLabel(int32 index) const;

private:
    std::string fTitle;
    std::string fText;
    std::vector<std::string> fButtons;
    alert_type fType;
};

#endif // _ALERT_H
