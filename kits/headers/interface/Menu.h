// A list of menu items; shown as a pop-up when it hangs from a menu bar or
// from another menu.
#ifndef _MENU_H
#define _MENU_H

#include <View.h>

class BHandler;
class BMenuItem;
class BMessenger;

enum menu_layout
{
    B_ITEMS_IN_ROW = 0,
    B_ITEMS_IN_COLUMN = 1,
    B_ITEMS_IN_MATRIX = 2,
};

class BMenu : public BView
{
public:
    explicit BMenu(const char* name, menu_layout layout = B_ITEMS_IN_COLUMN);
    // Deletes every item left in the menu, and their submenus.
    virtual ~BMenu();

    // A menu owns the items added to it; an item lives in one menu at most.
    bool AddItem(BMenuItem* item);
    bool AddItem(BMenuItem* item, int32 index);
    bool AddItem(BMenu* submenu);
    bool AddItem(BMenu* submenu, int32 index);
    bool AddSeparatorItem();
    // Removing gives the item back to the caller.
    BMenuItem* RemoveItem(int32 index);
    bool RemoveItem(BMenuItem* item);

    int32 CountItems() const;
    BMenuItem* ItemAt(int32 index) const;
    BMenu* SubmenuAt(int32 index) const;
    int32 IndexOf(const BMenuItem* item) const;
    // Searches submenus too.
    BMenuItem* FindItem(const char* label) const;
    BMenuItem* FindItem(uint32 command) const;

    virtual void SetEnabled(bool enabled);
    bool IsEnabled() const;

    menu_layout Layout() const;
    BMenuItem* Superitem() const;
    BMenu* Supermenu() const;

    struct MenuData;

protected:
    // A menu bar shows its items in a widget of its own.
    BMenu(const char* name, menu_layout layout, BRect frame, uint32 resizingMode, uint32 flags);
    void _DeleteItems();

private:
    friend class BMenuItem;
    friend struct KitAccess;

    void _Init(const char* name, menu_layout layout);

    MenuData* fData;
};

#endif // _MENU_H
