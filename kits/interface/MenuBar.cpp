#include <MenuBar.h>
#include <MenuPrivate.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QMenuBar>

BMenuBar::BMenuBar(BRect frame, const char* name, uint32 resizingMode, menu_layout layout,
                   bool resizeToFit)
    : BMenu(name, layout, frame, resizingMode, B_WILL_DRAW), fResizeToFit(resizeToFit)
{
    auto* bar = new QMenuBar();
    // A desktop's global menu would take the bar out of the window's layout.
    bar->setNativeMenuBar(false);
    KitAccess::MenuOf(this)->container = bar;
    KitAccess::Of(this)->makeWidget = [bar](QWidget* parent) {
        bar->setParent(parent);
        return bar;
    };
}

BMenuBar::~BMenuBar()
{
    _DeleteItems();
    // Once realized, the bar is the view's widget and goes with the view.
    if (KitAccess::Of(this)->widget == nullptr)
        delete KitAccess::MenuOf(this)->container;
    KitAccess::MenuOf(this)->container = nullptr;
}

void BMenuBar::AttachedToWindow()
{
    if (Window()->KeyMenuBar() == nullptr)
        Window()->SetKeyMenuBar(this);
    BMenu::AttachedToWindow();
}

void BMenuBar::DetachedFromWindow()
{
    if (Window()->KeyMenuBar() == this)
        Window()->SetKeyMenuBar(nullptr);
    BMenu::DetachedFromWindow();
}
