// The layer's way behind the interface kit's public classes: their state
// lives in private structs that only the layer (and its tests) may reach.
#ifndef _KIT_ACCESS_H
#define _KIT_ACCESS_H

#include <Menu.h>
#include <MenuItem.h>
#include <TextView.h>
#include <View.h>
#include <Window.h>

struct KitAccess
{
    static BView::Private* Of(const BView* view) { return view->fPrivate; }
    static BWindow::Private* Of(const BWindow* window) { return window->fPrivate; }
    static BMenuItem::Private* Of(const BMenuItem* item) { return item->fPrivate; }
    static BMenu::MenuData* MenuOf(const BMenu* menu) { return menu->fData; }
    static BTextView::TextPrivate* TextOf(const BTextView* view) { return view->fText; }
};

#endif // _KIT_ACCESS_H
