// One entry of a menu: a command (label, message, shortcut), a submenu, or
// a separator line.
#ifndef _MENU_ITEM_H
#define _MENU_ITEM_H

#include <Invoker.h>
#include <SupportDefs.h>

class BMenu;
class BWindow;

class BMenuItem : public BInvoker
{
public:
    // The item owns the message. A shortcut character with no modifiers
    // means command (Ctrl here) + the character.
    BMenuItem(const char* label, BMessage* message, char shortcut = 0, uint32 modifiers = 0);
    // The item owns the submenu; its label is the submenu's name.
    explicit BMenuItem(BMenu* submenu, BMessage* message = nullptr);
    virtual ~BMenuItem();

    const char* Label() const;
    virtual void SetLabel(const char* label);

    char Shortcut(uint32* modifiers = nullptr) const;
    virtual void SetShortcut(char shortcut, uint32 modifiers);

    virtual void SetEnabled(bool enabled);
    bool IsEnabled() const;

    BMenu* Submenu() const;
    BMenu* Menu() const;

    // Posts a copy of the message with "when", "source" and "index" added to
    // the target, or, when none was set, to the window the menu is in.
    virtual status_t Invoke(BMessage* message = nullptr);

    struct Private;

protected:
    struct SeparatorTag
    {
    };
    explicit BMenuItem(SeparatorTag);

private:
    friend class BMenu;
    friend struct KitAccess;

    BWindow* _Window() const;

    Private* fPrivate;
};

class BSeparatorItem : public BMenuItem
{
public:
    BSeparatorItem();
    virtual ~BSeparatorItem();

    // A separator is never chosen.
    virtual void SetEnabled(bool enabled);
};

#endif // _MENU_ITEM_H
