// The menu across the top of a window; its items open their submenus.
#ifndef _MENU_BAR_H
#define _MENU_BAR_H

#include <Menu.h>

class BMenuBar : public BMenu
{
public:
    BMenuBar(BRect frame, const char* name,
             uint32 resizingMode = B_FOLLOW_LEFT_RIGHT | B_FOLLOW_TOP,
             menu_layout layout = B_ITEMS_IN_ROW, bool resizeToFit = true);
    virtual ~BMenuBar();

    // The first bar added to a window takes the window's shortcuts.
    virtual void AttachedToWindow();
    virtual void DetachedFromWindow();

    bool IsResizeToFit() const { return fResizeToFit; }

private:
    bool fResizeToFit;
};

#endif // _MENU_BAR_H
