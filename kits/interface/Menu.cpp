#include <MenuPrivate.h>
#include <Messenger.h>

#include <algorithm>
#include <cctype>
#include <cstring>

BMenu::BMenu(const char* name, menu_layout layout)
    : BView(BRect(0, 0, 0, 0), name, B_FOLLOW_NONE, B_WILL_DRAW), fData(new MenuData)
{
    fData->layout = layout;
    fData->menu = new QMenu();
    fData->menu->setTitle(menu_text(name));
    fData->container = fData->menu;
}

BMenu::BMenu(const char* name, menu_layout layout, BRect frame, uint32 resizingMode, uint32 flags)
    : BView(frame, name, resizingMode, flags), fData(new MenuData)
{
    fData->layout = layout;
}

BMenu::~BMenu()
{
    _DeleteItems();
    if (fData->superitem != nullptr) {
        // Deleted while still hanging from an item: the entry must not keep
        // the action that goes with this QMenu.
        BMenuItem::Private* item = fData->superitem->fPrivate;
        if (item->menu != nullptr && item->menu->fData->container != nullptr)
            item->menu->fData->container->removeAction(item->action);
        item->submenu = nullptr;
        item->action = new QAction(item->action->text());
        item->ownsAction = true;
    }
    delete fData->menu;
    delete fData;
}

void BMenu::_DeleteItems()
{
    while (!fData->items.empty())
        delete fData->items.back(); // removes itself
}

bool BMenu::AddItem(BMenuItem* item)
{
    return AddItem(item, CountItems());
}

bool BMenu::AddItem(BMenuItem* item, int32 index)
{
    if (item == nullptr || item->fPrivate->menu != nullptr || index < 0 || index > CountItems())
        return false;
    // A menu hanging inside itself would never end.
    for (BMenu* m = this; m != nullptr; m = m->Supermenu())
        if (m == item->Submenu())
            return false;
    QAction* before = index < CountItems() ? ItemAt(index)->fPrivate->action : nullptr;
    fData->items.insert(fData->items.begin() + index, item);
    item->fPrivate->menu = this;
    if (fData->container != nullptr)
        fData->container->insertAction(before, item->fPrivate->action);
    return true;
}

bool BMenu::AddItem(BMenu* submenu)
{
    return AddItem(submenu, CountItems());
}

bool BMenu::AddItem(BMenu* submenu, int32 index)
{
    if (submenu == nullptr || submenu->fData->superitem != nullptr ||
        submenu->fData->menu == nullptr)
        return false;
    auto* item = new BMenuItem(submenu);
    if (!AddItem(item, index)) {
        submenu->fData->superitem = nullptr;
        item->fPrivate->submenu = nullptr; // the caller keeps the menu
        delete item;
        return false;
    }
    return true;
}

bool BMenu::AddSeparatorItem()
{
    return AddItem(new BSeparatorItem());
}

BMenuItem* BMenu::RemoveItem(int32 index)
{
    BMenuItem* item = ItemAt(index);
    if (item != nullptr)
        RemoveItem(item);
    return item;
}

bool BMenu::RemoveItem(BMenuItem* item)
{
    auto& items = fData->items;
    auto it = std::find(items.begin(), items.end(), item);
    if (it == items.end())
        return false;
    items.erase(it);
    item->fPrivate->menu = nullptr;
    if (fData->container != nullptr)
        fData->container->removeAction(item->fPrivate->action);
    return true;
}

int32 BMenu::CountItems() const
{
    return static_cast<int32>(fData->items.size());
}

BMenuItem* BMenu::ItemAt(int32 index) const
{
    if (index < 0 || index >= CountItems())
        return nullptr;
    return fData->items[size_t(index)];
}

BMenu* BMenu::SubmenuAt(int32 index) const
{
    BMenuItem* item = ItemAt(index);
    return item != nullptr ? item->Submenu() : nullptr;
}

int32 BMenu::IndexOf(const BMenuItem* item) const
{
    auto& items = fData->items;
    auto it = std::find(items.begin(), items.end(), item);
    return it == items.end() ? -1 : static_cast<int32>(it - items.begin());
}

BMenuItem* BMenu::FindItem(const char* label) const
{
    if (label == nullptr)
        return nullptr;
    for (BMenuItem* item : fData->items) {
        if (!item->fPrivate->separator && std::strcmp(item->Label(), label) == 0)
            return item;
        if (item->Submenu() != nullptr)
            if (BMenuItem* found = item->Submenu()->FindItem(label))
                return found;
    }
    return nullptr;
}

BMenuItem* BMenu::FindItem(uint32 command) const
{
    for (BMenuItem* item : fData->items) {
        if (item->Message() != nullptr && item->Command() == command)
            return item;
        if (item->Submenu() != nullptr)
            if (BMenuItem* found = item->Submenu()->FindItem(command))
                return found;
    }
    return nullptr;
}

void BMenu::SetEnabled(bool enabled)
{
    fData->enabled = enabled;
    if (fData->menu != nullptr)
        fData->menu->setEnabled(enabled);
    if (fData->superitem != nullptr)
        fData->superitem->fPrivate->action->setEnabled(enabled);
}

bool BMenu::IsEnabled() const
{
    return fData->enabled;
}

menu_layout BMenu::Layout() const
{
    return fData->layout;
}

BMenuItem* BMenu::Superitem() const
{
    return fData->superitem;
}

BMenu* BMenu::Supermenu() const
{
    return fData->superitem != nullptr ? fData->superitem->Menu() : nullptr;
}

bool menu_invoke_shortcut(BMenu* menu, char key, uint32 modifiers)
{
    if (menu == nullptr || !menu->IsEnabled() || key == 0)
        return false;
    // The command key is implied; only shift and option tell shortcuts apart.
    const uint32 kDistinct = B_SHIFT_KEY | B_OPTION_KEY;
    const int wanted = std::toupper(static_cast<unsigned char>(key));
    for (int32 i = 0; i < menu->CountItems(); i++) {
        BMenuItem* item = menu->ItemAt(i);
        if (item->Submenu() != nullptr) {
            if (menu_invoke_shortcut(item->Submenu(), key, modifiers))
                return true;
            continue;
        }
        uint32 itemModifiers = 0;
        char shortcut = item->Shortcut(&itemModifiers);
        if (shortcut == 0 || std::toupper(static_cast<unsigned char>(shortcut)) != wanted)
            continue;
        if ((itemModifiers & kDistinct) != (modifiers & kDistinct))
            continue;
        if (!item->IsEnabled())
            return false; // a disabled command does nothing, and its key goes on unhandled
        item->Invoke();
        return true;
    }
    return false;
}
