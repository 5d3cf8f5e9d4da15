#include <Application.h>
#include <MenuBar.h>
#include <KitAccess.h>
#include <MenuPrivate.h>
#include <WindowPrivate.h>

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>

#include <algorithm>
#include <cctype>

std::vector<BWindow*>& window_list()
{
    return BApplication::_WindowList();
}

QWidget* window_widget(const BWindow* window)
{
    return window != nullptr ? KitAccess::Of(window)->widget : nullptr;
}

bool window_is_alive(const BWindow* window)
{
    auto& list = window_list();
    return std::find(list.begin(), list.end(), window) != list.end();
}

namespace {

// Windows whose handlers run now, the innermost last (a modal alert runs a
// nested loop in which another window may handle a message).
std::vector<BWindow*> sDispatching;

// The wait cursor from before a handler starts until it returns. Qt cannot
// change the cursor while a handler blocks the GUI thread, so it is set
// ahead of every handler; a handler that returns within a moment restores
// it before the display has shown it, so quick ones do not flicker.
class BusyCursor
{
public:
    BusyCursor()
    {
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            fSet = true;
        }
    }
    ~BusyCursor()
    {
        if (fSet)
            QGuiApplication::restoreOverrideCursor();
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    bool fSet = false;
};

void close_popups()
{
    // Each popup closed makes the one that opened it the active one.
    for (int i = 0; i < 16; i++) {
        QWidget* popup = QApplication::activePopupWidget();
        if (popup == nullptr)
            return;
        popup->close();
    }
}

// The index of the bar's menu whose label starts with the letter, or -1.
int32 menu_index_for_letter(BMenuBar* bar, int key)
{
    if (bar == nullptr || key < 'A' || key > 'Z')
        return -1;
    for (int32 i = 0; i < bar->CountItems(); i++) {
        const char* label = bar->ItemAt(i)->Label();
        if (label != nullptr && std::toupper(static_cast<unsigned char>(label[0])) == key)
            return i;
    }
    return -1;
}

} // namespace

BWindow* dispatching_window()
{
    for (auto it = sDispatching.rbegin(); it != sDispatching.rend(); ++it)
        if (window_is_alive(*it))
            return *it;
    return nullptr;
}

QWidget* dialog_parent_widget(BWindow* preferred)
{
    BWindow* window = preferred;
    if (window == nullptr || !window_is_alive(window))
        window = dispatching_window();
    if (window != nullptr && window_is_alive(window))
        return KitAccess::Of(window)->widget;
    if (QWidget* active = QApplication::activeWindow())
        return active;
    for (BWindow* w : window_list())
        if (!w->IsHidden())
            return KitAccess::Of(w)->widget;
    return nullptr;
}

WindowWidget::WindowWidget(BWindow* window) : QWidget(nullptr), fWindow(window) {}

void WindowWidget::closeEvent(QCloseEvent* event)
{
    // The window decides in QuitRequested; Qt must not close it behind its back.
    event->ignore();
    fWindow->PostMessage(B_QUIT_REQUESTED);
}

// The one road for menu keys: a key that no widget inside the window takes
// comes up to it, whether or not the desktop thinks the window is active,
// and also while one of its menus is open (the menu hands on what it does
// not know).
void WindowWidget::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    const Qt::KeyboardModifiers mods =
        event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier |
                              Qt::MetaModifier);
    BMenuBar* bar = fWindow->KeyMenuBar();
    if ((mods & Qt::ControlModifier) != 0 && key > 0x20 && key < 0x7f) {
        uint32 modifiers = B_COMMAND_KEY;
        if ((mods & Qt::ShiftModifier) != 0)
            modifiers |= B_SHIFT_KEY;
        if ((mods & Qt::AltModifier) != 0)
            modifiers |= B_OPTION_KEY;
        if (menu_invoke_shortcut(bar, static_cast<char>(key), modifiers)) {
            close_popups();
            event->accept();
            return;
        }
    }
    // F10 opens the first menu, as in GTK and KDE programs, or closes an
    // open one; Alt with a menu's first letter opens that menu.
    if (key == Qt::Key_F10 && mods == Qt::NoModifier && bar != nullptr) {
        if (QApplication::activePopupWidget() != nullptr)
            close_popups();
        else
            menu_bar_open(bar, 0);
        event->accept();
        return;
    }
    if (mods == Qt::AltModifier) {
        int32 index = menu_index_for_letter(bar, key);
        if (index >= 0 && menu_bar_open(bar, index)) {
            event->accept();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

BWindow::BWindow(BRect frame, const char* title, window_type type, uint32 flags, uint32 workspace)
    : BLooper(title), fPrivate(new Private)
{
    fPrivate->frame = frame;
    fPrivate->title = title != nullptr ? title : "";
    fPrivate->type = type;
    fPrivate->flags = flags;
    fPrivate->workspaces = workspace;

    auto* widget = new WindowWidget(this);
    fPrivate->widget = widget;
    Qt::WindowFlags qtFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if ((flags & B_NOT_CLOSABLE) == 0)
        qtFlags |= Qt::WindowCloseButtonHint;
    if ((flags & B_NOT_MINIMIZABLE) == 0)
        qtFlags |= Qt::WindowMinimizeButtonHint;
    if ((flags & (B_NOT_ZOOMABLE | B_NOT_RESIZABLE)) == 0)
        qtFlags |= Qt::WindowMaximizeButtonHint;
    if (type == B_BORDERED_WINDOW || type == B_UNTYPED_WINDOW)
        qtFlags = Qt::Window | Qt::FramelessWindowHint;
    widget->setWindowFlags(qtFlags);
    widget->setWindowTitle(QString::fromStdString(fPrivate->title));
    QRect geometry = to_qrect_inclusive(frame);
    widget->setGeometry(geometry);
    if ((flags & B_NOT_RESIZABLE) != 0)
        widget->setFixedSize(geometry.size());
    widget->setAutoFillBackground(true);
    widget->setPalette(board_palette());

    fPrivate->topView = new BView(Bounds(), "_top_view_", B_FOLLOW_ALL, 0);
    BView::Private* top = KitAccess::Of(fPrivate->topView);
    top->viewColor = B_TRANSPARENT_COLOR;
    top->Realize(widget);
    // The layer's own container takes no drops: one that lands outside the
    // system's views (on the menu bar, say) is refused, not silently lost.
    top->widget->setAcceptDrops(false);
    top->SetWindow(this);
    // Messages no view handles end at the window.
    fPrivate->topView->SetNextHandler(this);

    window_list().push_back(this);
}

BWindow::~BWindow()
{
    auto& list = window_list();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    // Detach the whole view tree first: the top view is one of the looper's
    // handlers, and the looper must not see it again once it is freed.
    KitAccess::Of(fPrivate->topView)->SetWindow(nullptr);
    delete fPrivate->topView;
    delete fPrivate->widget;
    delete fPrivate;
}

void BWindow::MessageReceived(BMessage* message)
{
    BLooper::MessageReceived(message);
}

void BWindow::DispatchMessage(BMessage* message, BHandler* handler)
{
    BusyCursor busy;
    sDispatching.push_back(this);
    BLooper::DispatchMessage(message, handler);
    sDispatching.pop_back();
}

bool BWindow::QuitRequested()
{
    return true;
}

void BWindow::Quit()
{
    Hide();
    auto& list = window_list();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    _DeleteWhenIdle();
}

void BWindow::AddChild(BView* child, BView* before)
{
    fPrivate->topView->AddChild(child, before);
}

bool BWindow::RemoveChild(BView* child)
{
    return fPrivate->topView->RemoveChild(child);
}

int32 BWindow::CountChildren() const
{
    return fPrivate->topView->CountChildren();
}

BView* BWindow::ChildAt(int32 index) const
{
    return fPrivate->topView->ChildAt(index);
}

BView* BWindow::FindView(const char* name) const
{
    return fPrivate->topView->FindView(name);
}

BRect BWindow::Bounds() const
{
    return BRect(0, 0, fPrivate->frame.Width(), fPrivate->frame.Height());
}

BRect BWindow::Frame() const
{
    return fPrivate->frame;
}

void BWindow::MoveTo(BPoint where)
{
    fPrivate->frame.OffsetTo(where.x, where.y);
    fPrivate->widget->move(to_qrect_inclusive(fPrivate->frame).topLeft());
}

void BWindow::MoveTo(float x, float y)
{
    MoveTo(BPoint(x, y));
}

void BWindow::ResizeTo(float width, float height)
{
    fPrivate->frame.right = fPrivate->frame.left + width;
    fPrivate->frame.bottom = fPrivate->frame.top + height;
    QSize size = to_qrect_inclusive(fPrivate->frame).size();
    if ((fPrivate->flags & B_NOT_RESIZABLE) != 0)
        fPrivate->widget->setFixedSize(size);
    else
        fPrivate->widget->resize(size);
    fPrivate->topView->ResizeTo(width, height);
}

void BWindow::Show()
{
    fPrivate->shown = true;
    fPrivate->widget->show();
}

void BWindow::Hide()
{
    fPrivate->shown = false;
    fPrivate->widget->hide();
}

bool BWindow::IsHidden() const
{
    return !fPrivate->shown;
}

const char* BWindow::Title() const
{
    return fPrivate->title.c_str();
}

void BWindow::SetTitle(const char* title)
{
    fPrivate->title = title != nullptr ? title : "";
    SetName(fPrivate->title.c_str());
    fPrivate->widget->setWindowTitle(QString::fromStdString(fPrivate->title));
}

window_type BWindow::Type() const
{
    return fPrivate->type;
}

uint32 BWindow::Flags() const
{
    return fPrivate->flags;
}

uint32 BWindow::Workspaces() const
{
    return fPrivate->workspaces;
}

// One desktop here: every workspace is the current one.
void BWindow::SetWorkspaces(uint32 workspaces)
{
    fPrivate->workspaces = workspaces;
}

void BWindow::SetKeyMenuBar(BMenuBar* bar)
{
    fPrivate->keyMenuBar = bar;
}

BMenuBar* BWindow::KeyMenuBar() const
{
    return fPrivate->keyMenuBar;
}

void BWindow::ConvertToScreen(BPoint* point) const
{
    if (point != nullptr) {
        QPointF global = fPrivate->widget->mapToGlobal(QPointF(point->x, point->y));
        point->Set(float(global.x()), float(global.y()));
    }
}

BPoint BWindow::ConvertToScreen(BPoint point) const
{
    ConvertToScreen(&point);
    return point;
}

void BWindow::ConvertFromScreen(BPoint* point) const
{
    if (point != nullptr) {
        QPointF local = fPrivate->widget->mapFromGlobal(QPointF(point->x, point->y));
        point->Set(float(local.x()), float(local.y()));
    }
}

BPoint BWindow::ConvertFromScreen(BPoint point) const
{
    ConvertFromScreen(&point);
    return point;
}
