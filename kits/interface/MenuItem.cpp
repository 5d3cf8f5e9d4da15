#include <InterfaceDefs.h>
#include <KitAccess.h>
#include <MenuPrivate.h>
#include <Window.h>

#include <QKeySequence>

#include <cctype>
#include <cstring>

QString menu_text(const char* label)
{
    QString text = QString::fromUtf8(label != nullptr ? label : "");
    text.replace(QLatin1Char('&'), QLatin1String("&&"));
    return text;
}

namespace {

QKeySequence shortcut_sequence(char shortcut, uint32 modifiers)
{
    if (shortcut == 0)
        return QKeySequence();
    int key = std::toupper(static_cast<unsigned char>(shortcut));
    Qt::KeyboardModifiers qt = Qt::ControlModifier; // the command key
    if ((modifiers & B_SHIFT_KEY) != 0)
        qt |= Qt::ShiftModifier;
    if ((modifiers & B_OPTION_KEY) != 0)
        qt |= Qt::AltModifier;
    return QKeySequence(QKeyCombination(qt, static_cast<Qt::Key>(key)));
}

// The label as it stands, and the shortcut shown on its right. The window
// alone acts on the keys; the action only displays them, so a key can never
// be taken twice or lost to Qt's idea of which window is active.
void show_label(BMenuItem::Private* p)
{
    QString text = menu_text(p->label.c_str());
    QKeySequence sequence = shortcut_sequence(p->shortcut, p->modifiers);
    if (!sequence.isEmpty())
        text += QLatin1Char('\t') + sequence.toString(QKeySequence::NativeText);
    p->action->setText(text);
}

} // namespace

BMenuItem::BMenuItem(const char* label, BMessage* message, char shortcut, uint32 modifiers)
    : BInvoker(message, nullptr), fPrivate(new Private)
{
    fPrivate->label = label != nullptr ? label : "";
    fPrivate->action = new QAction(menu_text(label));
    QObject::connect(fPrivate->action, &QAction::triggered, [this] { Invoke(); });
    SetShortcut(shortcut, modifiers);
}

BMenuItem::BMenuItem(BMenu* submenu, BMessage* message)
    : BInvoker(message, nullptr), fPrivate(new Private)
{
    fPrivate->submenu = submenu;
    if (submenu == nullptr) {
        fPrivate->action = new QAction();
        return;
    }
    submenu->fData->superitem = this;
    fPrivate->label = submenu->Name() != nullptr ? submenu->Name() : "";
    // Choosing the entry opens the submenu; Qt owns that action.
    fPrivate->action = submenu->fData->menu->menuAction();
    fPrivate->ownsAction = false;
    submenu->fData->menu->setTitle(menu_text(fPrivate->label.c_str()));
}

BMenuItem::BMenuItem(SeparatorTag) : BInvoker(), fPrivate(new Private)
{
    fPrivate->separator = true;
    fPrivate->enabled = false;
    fPrivate->action = new QAction();
    fPrivate->action->setSeparator(true);
}

BMenuItem::~BMenuItem()
{
    if (fPrivate->menu != nullptr)
        fPrivate->menu->RemoveItem(this);
    if (fPrivate->ownsAction)
        delete fPrivate->action;
    if (fPrivate->submenu != nullptr) {
        fPrivate->submenu->fData->superitem = nullptr;
        delete fPrivate->submenu;
    }
    delete fPrivate;
}

const char* BMenuItem::Label() const
{
    return fPrivate->label.c_str();
}

void BMenuItem::SetLabel(const char* label)
{
    fPrivate->label = label != nullptr ? label : "";
    if (fPrivate->submenu != nullptr)
        KitAccess::MenuOf(fPrivate->submenu)->menu->setTitle(menu_text(label));
    else
        show_label(fPrivate);
}

char BMenuItem::Shortcut(uint32* modifiers) const
{
    if (modifiers != nullptr)
        *modifiers = fPrivate->modifiers;
    return fPrivate->shortcut;
}

void BMenuItem::SetShortcut(char shortcut, uint32 modifiers)
{
    if (fPrivate->separator || fPrivate->submenu != nullptr)
        return;
    fPrivate->shortcut = shortcut;
    fPrivate->modifiers = shortcut != 0 ? modifiers : 0;
    show_label(fPrivate);
}

void BMenuItem::SetEnabled(bool enabled)
{
    fPrivate->enabled = enabled;
    fPrivate->action->setEnabled(enabled);
}

bool BMenuItem::IsEnabled() const
{
    return fPrivate->enabled;
}

BMenu* BMenuItem::Submenu() const
{
    return fPrivate->submenu;
}

BMenu* BMenuItem::Menu() const
{
    return fPrivate->menu;
}

// The window of the outermost menu, which is a bar added to a window.
BWindow* BMenuItem::_Window() const
{
    BMenu* menu = fPrivate->menu;
    while (menu != nullptr && menu->Supermenu() != nullptr)
        menu = menu->Supermenu();
    return menu != nullptr ? menu->Window() : nullptr;
}

status_t BMenuItem::Invoke(BMessage* message)
{
    if (!fPrivate->enabled)
        return B_ERROR;
    if (message == nullptr)
        message = Message();
    if (message == nullptr)
        return B_BAD_VALUE;
    BMessage indexed(*message);
    indexed.AddInt32("index", fPrivate->menu != nullptr ? fPrivate->menu->IndexOf(this) : -1);
    BMessenger target = Messenger();
    if (target == BMessenger()) {
        BWindow* window = _Window();
        if (window == nullptr)
            return B_BAD_PORT_ID;
        target = BMessenger(window);
    }
    return _InvokeTo(&indexed, target);
}

BSeparatorItem::BSeparatorItem() : BMenuItem(SeparatorTag()) {}

BSeparatorItem::~BSeparatorItem() = default;

void BSeparatorItem::SetEnabled(bool) {}
