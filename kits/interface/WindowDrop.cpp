// Files dropped on a window from the desktop become the platform's drop
// message: B_SIMPLE_DATA with "refs" and "_drop_point_" (screen
// coordinates), sent to the view under the drop point.
#include <Entry.h>
#include <Message.h>
#include <WindowPrivate.h>

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace {

bool has_local_files(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            return true;
    return false;
}

// The innermost view whose widget lies under the point, or null.
BView* view_at(QWidget* windowWidget, QPoint position)
{
    for (QWidget* w = windowWidget->childAt(position); w != nullptr && w != windowWidget;
         w = w->parentWidget()) {
        if (auto* viewWidget = dynamic_cast<ViewWidget*>(w))
            return viewWidget->View();
    }
    return nullptr;
}

class DropFilter : public QObject
{
public:
    explicit DropFilter(WindowWidget* widget) : QObject(widget), fWidget(widget) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != fWidget)
            return false;
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (has_local_files(drag->mimeData()))
                drag->acceptProposedAction();
            else
                drag->ignore();
            return true;
        }
        case QEvent::Drop:
            _Drop(static_cast<QDropEvent*>(event));
            return true;
        default:
            return false;
        }
    }

private:
    void _Drop(QDropEvent* event)
    {
        if (!has_local_files(event->mimeData())) {
            event->ignore();
            return;
        }
        BMessage message(B_SIMPLE_DATA);
        for (const QUrl& url : event->mimeData()->urls()) {
            if (!url.isLocalFile())
                continue;
            entry_ref ref(url.toLocalFile().toUtf8().constData());
            message.AddRef("refs", &ref);
        }
        QPoint local = event->position().toPoint();
        QPoint screen = fWidget->mapToGlobal(local);
        message.AddPoint("_drop_point_", BPoint(float(screen.x()), float(screen.y())));
        BWindow* window = fWidget->Window();
        BView* view = view_at(fWidget, local);
        // The window's own top view stands for the window itself.
        if (view != nullptr && view->Looper() == window && view->Parent() != nullptr)
            window->PostMessage(&message, view);
        else
            window->PostMessage(&message);
        event->acceptProposedAction();
    }

    WindowWidget* fWidget;
};

} // namespace

void window_accept_drops(WindowWidget* widget)
{
    widget->setAcceptDrops(true);
    widget->installEventFilter(new DropFilter(widget));
}
