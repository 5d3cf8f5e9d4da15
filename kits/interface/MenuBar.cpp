#include <MenuBar.h>
#include <KitAccess.h>
#include <MenuPrivate.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QApplication>
#include <QMenuBar>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

namespace {

// Draws the bar as part of the window's board whatever the desktop's style:
// its own colours (so its text never turns light on the light board under a
// dark theme), items as tall as the bar at most (a taller item would move
// into the overflow arrow), and no stray lines. Menus that pop up keep the
// desktop's style.
class MenuBarStyle : public QProxyStyle
{
public:
    explicit MenuBarStyle(QStyle* base) : QProxyStyle(base) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override
    {
        switch (metric) {
        case PM_MenuBarPanelWidth:
        case PM_MenuBarVMargin:
            return 0;
        case PM_MenuBarHMargin:
            return 2;
        case PM_MenuBarItemSpacing:
            return 0;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override
    {
        if (type != CT_MenuBarItem)
            return QProxyStyle::sizeFromContents(type, option, size, widget);
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        int width = size.width() + 2 * kItemPadding;
        if (item != nullptr)
            width = option->fontMetrics.horizontalAdvance(
                        QString(item->text).replace(QLatin1String("&&"), QLatin1String("&"))) +
                    2 * kItemPadding;
        int height = size.height();
        if (widget != nullptr)
            height = widget->height();
        return QSize(width, height);
    }

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override
    {
        switch (hint) {
        case SH_MenuBar_AltKeyNavigation:
            return 1; // Alt pressed alone puts the keyboard on the bar
        case SH_UnderlineShortcut:
            return 0; // labels are shown as they stand
        default:
            return QProxyStyle::styleHint(hint, option, widget, data);
        }
    }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override
    {
        switch (element) {
        case CE_MenuBarEmptyArea:
            painter->fillRect(option->rect, option->palette.color(QPalette::Window));
            return;
        case CE_MenuBarItem: {
            const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
            if (item == nullptr)
                break;
            const bool selected = (option->state & State_Selected) != 0 &&
                                  (option->state & (State_Sunken | State_HasFocus)) != 0;
            const bool enabled = (option->state & State_Enabled) != 0;
            QPalette::ColorGroup group = enabled ? QPalette::Active : QPalette::Disabled;
            painter->fillRect(option->rect, option->palette.color(
                                                group, selected ? QPalette::Highlight
                                                                : QPalette::Window));
            painter->setPen(option->palette.color(
                group, selected ? QPalette::HighlightedText : QPalette::WindowText));
            painter->drawText(option->rect, Qt::AlignCenter | Qt::TextHideMnemonic, item->text);
            return;
        }
        default:
            break;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }

private:
    static const int kItemPadding = 8;
};

// The desktop's style as it is now, in an instance of its own for the bar
// (a proxy takes ownership of its base).
QStyle* bar_style_base()
{
    QStyle* current = QApplication::style();
    QStyle* copy = current != nullptr ? QStyleFactory::create(current->name()) : nullptr;
    return copy != nullptr ? copy : QStyleFactory::create(QStringLiteral("Fusion"));
}

} // namespace

QPalette menu_bar_palette()
{
    QPalette palette = board_palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Window, to_qcolor(ui_color(B_MENU_BACKGROUND_COLOR)));
        palette.setColor(group, QPalette::Highlight,
                         to_qcolor(ui_color(B_MENU_SELECTION_BACKGROUND_COLOR)));
        palette.setColor(group, QPalette::HighlightedText,
                         to_qcolor(ui_color(B_MENU_SELECTED_ITEM_TEXT_COLOR)));
    }
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, QPalette::WindowText, to_qcolor(ui_color(B_MENU_ITEM_TEXT_COLOR)));
    return palette;
}

BMenuBar::BMenuBar(BRect frame, const char* name, uint32 resizingMode, menu_layout layout,
                   bool resizeToFit)
    : BMenu(name, layout, frame, resizingMode, B_WILL_DRAW), fResizeToFit(resizeToFit)
{
    auto* bar = new QMenuBar();
    // A desktop's global menu would take the bar out of the window's layout.
    bar->setNativeMenuBar(false);
    if (QCoreApplication::instance() != nullptr) {
        auto* style = new MenuBarStyle(bar_style_base());
        style->setParent(bar);
        bar->setStyle(style);
    }
    bar->setPalette(menu_bar_palette());
    bar->setAutoFillBackground(true);
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

bool menu_bar_open(BMenuBar* bar, int32 index)
{
    if (bar == nullptr || !bar->IsEnabled())
        return false;
    auto* qbar = qobject_cast<QMenuBar*>(KitAccess::MenuOf(bar)->container);
    BMenuItem* item = bar->ItemAt(index);
    if (qbar == nullptr || item == nullptr || !qbar->isVisible() || !item->IsEnabled())
        return false;
    qbar->setActiveAction(KitAccess::Of(item)->action);
    return true;
}
