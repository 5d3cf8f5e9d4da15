// The Qt side of BView, shared by the kits' own sources only.
#ifndef _VIEW_PRIVATE_H
#define _VIEW_PRIVATE_H

#include <Bitmap.h>
#include <KitAccess.h>
#include <View.h>

#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QDropEvent;
class QMimeData;
class QUrl;

// Paints a view: erases to the view colour, then lets the view draw. Drops
// of files or text reach the view as B_SIMPLE_DATA messages.
class ViewWidget : public QWidget
{
public:
    ViewWidget(BView* view, QWidget* parent);

    BView* View() const { return fView; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    BView* fView;
};

struct BView::Private
{
    explicit Private(BView* view) : owner(view) {}

    // The painter that drawing calls go to right now, or null when the view
    // cannot draw (not in a window's paint pass, not in a bitmap).
    QPainter* Painter();
    void EndBitmapPainting();

    // Creates this view's widget (and its children's) under parentWidget.
    void Realize(QWidget* parentWidget);
    void SetWindow(BWindow* w);
    QRect FrameRect() const;

    BView* owner;
    BRect frame;
    uint32 resizingMode = 0;
    uint32 flags = 0;
    rgb_color high = {0, 0, 0, 255};
    rgb_color low = {255, 255, 255, 255};
    rgb_color viewColor = {255, 255, 255, 255};
    BFont font;
    bool fontSet = false;

    BView* parent = nullptr;
    std::vector<BView*> children;
    BWindow* window = nullptr;
    BBitmap* bitmap = nullptr;

    QWidget* widget = nullptr;
    QPainter* painter = nullptr; // set by the widget's paint pass
    std::unique_ptr<QImage> targetImage;
    std::unique_ptr<QPainter> targetPainter;

    // Controls replace the plain drawing widget with one of their own.
    std::function<QWidget*(QWidget* parent)> makeWidget;
};

// The local file a URL names (file:/p, file:///p, file://localhost/p or
// file://<this host>/p), or an empty string.
QString local_file_of(const QUrl& url);

// Whether a drag carries something a view can be handed (files or text).
bool drop_is_acceptable(const QMimeData* data);
// Builds the B_SIMPLE_DATA message of a drop onto the view's widget and posts
// it to the view through its window; false when the view has no window.
bool deliver_drop(BView* view, const QDropEvent* event);

// A window's colours: the platform's panel colours in every role, so that
// a dark desktop theme does not turn text light on the light board.
QPalette board_palette();

// Helpers for the drawing code of several kits.
QColor to_qcolor(rgb_color color);
QRect to_qrect_inclusive(BRect rect);
// Samples any supported bitmap into an opaque ARGB32 image of the given size,
// nearest pixel, reading only the pixels it shows.
QImage scaled_opaque_image(const BBitmap* bitmap, BRect source, int width, int height);

#endif // _VIEW_PRIVATE_H
