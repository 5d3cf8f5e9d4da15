// The Qt side of menus, shared by the kits' own sources and tests only.
#ifndef _MENU_PRIVATE_H
#define _MENU_PRIVATE_H

#include <KitAccess.h>
#include <Menu.h>
#include <MenuItem.h>

#include <QAction>
#include <QMenu>
#include <QPalette>
#include <QWidget>

#include <string>
#include <vector>

class BWindow;

struct BMenu::MenuData
{
    QWidget* container = nullptr; // the QMenu, or a bar's QMenuBar
    QMenu* menu = nullptr;        // owned; null for a bar
    std::vector<BMenuItem*> items;
    BMenuItem* superitem = nullptr;
    menu_layout layout = B_ITEMS_IN_COLUMN;
    bool enabled = true;
};

struct BMenuItem::Private
{
    std::string label;
    char shortcut = 0;
    uint32 modifiers = 0;
    bool enabled = true;
    bool separator = false;
    BMenu* submenu = nullptr; // owned
    BMenu* menu = nullptr;    // the menu holding the item
    QAction* action = nullptr;
    bool ownsAction = true; // a submenu's action belongs to its QMenu
};

// Label text for Qt: no character may turn into a mnemonic.
QString menu_text(const char* label);

// Invokes the enabled item of the bar (or its submenus) whose shortcut is
// key with the given modifiers; false when none matches.
bool menu_invoke_shortcut(BMenu* menu, char key, uint32 modifiers);

class BMenuBar;

// The bar's colours: the board's, whatever the desktop's theme.
QPalette menu_bar_palette();

// Opens the bar's menu at index as a click would; false when it cannot.
bool menu_bar_open(BMenuBar* bar, int32 index);

#endif // _MENU_PRIVATE_H
