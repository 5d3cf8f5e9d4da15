#include <FontPrivate.h>
#include <ViewPrivate.h>
#include <Window.h>

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QPaintEvent>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <unistd.h>

namespace {

int round_coord(float v)
{
    return static_cast<int>(std::lround(v));
}

// The painter's target in whole device pixels. Every edge of the view's
// pixel grid is rounded to the device grid the same way, so at any scale a
// frame stroked around an area and a picture filling it meet without a seam
// or an overlap.
class DeviceGrid
{
public:
    explicit DeviceGrid(QPainter* painter) : fPainter(painter)
    {
        fToDevice = painter->deviceTransform();
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
        // From here on, coordinates are device pixels of the target.
        painter->setWorldTransform(fToDevice.inverted() * painter->worldTransform());
    }
    ~DeviceGrid() { fPainter->restore(); }

    DeviceGrid(const DeviceGrid&) = delete;
    DeviceGrid& operator=(const DeviceGrid&) = delete;

    // The device edge at a boundary between view pixels.
    int X(double x) const { return int(std::lround(fToDevice.m11() * x + fToDevice.dx())); }
    int Y(double y) const { return int(std::lround(fToDevice.m22() * y + fToDevice.dy())); }

    // The device pixels covered by an inclusive view rectangle.
    QRect Cover(BRect r) const
    {
        int left = X(std::round(r.left)), top = Y(std::round(r.top));
        int right = X(std::round(r.right) + 1), bottom = Y(std::round(r.bottom) + 1);
        return QRect(left, top, std::max(1, right - left), std::max(1, bottom - top));
    }

    QPainter* Painter() const { return fPainter; }

private:
    QPainter* fPainter;
    QTransform fToDevice;
};

// One source pixel as an opaque 0xFFRRGGBB word.
inline uint32 fetch_pixel(const uint8* row, int32 x, color_space space)
{
    switch (space) {
    case B_RGB32:
    case B_RGBA32: {
        uint32 word;
        std::memcpy(&word, row + size_t(x) * 4, 4);
        return word | 0xff000000u;
    }
    case B_RGB24: {
        const uint8* p = row + size_t(x) * 3;
        return 0xff000000u | (uint32(p[2]) << 16) | (uint32(p[1]) << 8) | p[0];
    }
    case B_RGB16: {
        uint16 v;
        std::memcpy(&v, row + size_t(x) * 2, 2);
        uint32 r = (v >> 11) & 0x1f, g = (v >> 5) & 0x3f, b = v & 0x1f;
        return 0xff000000u | (((r << 3) | (r >> 2)) << 16) | (((g << 2) | (g >> 4)) << 8) |
               ((b << 3) | (b >> 2));
    }
    case B_RGB15:
    case B_RGBA15: {
        uint16 v;
        std::memcpy(&v, row + size_t(x) * 2, 2);
        uint32 r = (v >> 10) & 0x1f, g = (v >> 5) & 0x1f, b = v & 0x1f;
        return 0xff000000u | (((r << 3) | (r >> 2)) << 16) | (((g << 3) | (g >> 2)) << 8) |
               ((b << 3) | (b >> 2));
    }
    case B_GRAY8:
    case B_CMAP8: { // no system palette here: indices read as grey levels
        uint32 v = row[x];
        return 0xff000000u | (v << 16) | (v << 8) | v;
    }
    case B_GRAY1: {
        bool set = (row[x / 8] >> (7 - x % 8)) & 1;
        return set ? 0xff000000u : 0xffffffffu;
    }
    default:
        return 0xff000000u;
    }
}

} // namespace

QColor to_qcolor(rgb_color c)
{
    return QColor(c.red, c.green, c.blue, c.alpha);
}

QPalette board_palette()
{
    const QColor panel = to_qcolor(ui_color(B_PANEL_BACKGROUND_COLOR));
    const QColor text = to_qcolor(ui_color(B_PANEL_TEXT_COLOR));
    const QColor document = to_qcolor(ui_color(B_DOCUMENT_BACKGROUND_COLOR));
    const QColor documentText = to_qcolor(ui_color(B_DOCUMENT_TEXT_COLOR));
    const QColor navigation = to_qcolor(ui_color(B_KEYBOARD_NAVIGATION_COLOR));
    // Shades of the panel for bevels and frames, as the platform tints them.
    auto tint = [](color_which which, float amount) {
        return to_qcolor(tint_color(ui_color(which), amount));
    };
    QPalette palette(text, panel, tint(B_PANEL_BACKGROUND_COLOR, B_LIGHTEN_MAX_TINT),
                     tint(B_PANEL_BACKGROUND_COLOR, B_DARKEN_3_TINT),
                     tint(B_PANEL_BACKGROUND_COLOR, B_DARKEN_1_TINT), documentText, Qt::white,
                     document, panel);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Highlight, navigation);
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
        palette.setColor(group, QPalette::ButtonText, text);
        palette.setColor(group, QPalette::AlternateBase, panel);
        palette.setColor(group, QPalette::ToolTipBase, document);
        palette.setColor(group, QPalette::ToolTipText, documentText);
        palette.setColor(group, QPalette::PlaceholderText, QColor(96, 96, 96));
        palette.setColor(group, QPalette::Link, navigation);
    }
    // Greyed text still readable on the panel (4.5:1 and more).
    const QColor disabled(90, 90, 90);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, disabled);
    palette.setColor(QPalette::Disabled, QPalette::Text, disabled);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, disabled);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, tint(B_PANEL_BACKGROUND_COLOR,
                                                                   B_DARKEN_2_TINT));
    palette.setColor(QPalette::Disabled, QPalette::HighlightedText, documentText);
    return palette;
}

QRect to_qrect_inclusive(BRect r)
{
    int left = round_coord(r.left), top = round_coord(r.top);
    return QRect(QPoint(left, top), QPoint(round_coord(r.right), round_coord(r.bottom)));
}

QImage scaled_opaque_image(const BBitmap* bitmap, BRect source, int width, int height)
{
    if (bitmap == nullptr || bitmap->Bits() == nullptr || width <= 0 || height <= 0)
        return QImage();
    QImage out(width, height, QImage::Format_ARGB32);
    if (out.isNull())
        return out;
    const int32 bw = bitmap->PixelWidth(), bh = bitmap->PixelHeight();
    const double sx0 = std::clamp<double>(std::floor(source.left), 0, bw - 1);
    const double sy0 = std::clamp<double>(std::floor(source.top), 0, bh - 1);
    const double sw = std::clamp<double>(std::trunc(source.right - source.left) + 1, 1, bw - sx0);
    const double sh = std::clamp<double>(std::trunc(source.bottom - source.top) + 1, 1, bh - sy0);
    const auto* bits = static_cast<const uint8*>(bitmap->Bits());
    const color_space space = bitmap->ColorSpace();
    const size_t bpr = size_t(bitmap->BytesPerRow());

    std::vector<int32> columns(static_cast<size_t>(width));
    for (int i = 0; i < width; i++) {
        auto c = static_cast<int32>(sx0 + std::floor((i + 0.5) * sw / width));
        columns[size_t(i)] = std::min<int32>(c, bw - 1);
    }
    for (int j = 0; j < height; j++) {
        auto r = static_cast<int32>(sy0 + std::floor((j + 0.5) * sh / height));
        r = std::min<int32>(r, bh - 1);
        const uint8* row = bits + size_t(r) * bpr;
        auto* dst = reinterpret_cast<uint32*>(out.scanLine(j));
        for (int i = 0; i < width; i++)
            dst[i] = fetch_pixel(row, columns[size_t(i)], space);
    }
    return out;
}

ViewWidget::ViewWidget(BView* view, QWidget* parent) : QWidget(parent), fView(view) {}

void ViewWidget::paintEvent(QPaintEvent* event)
{
    BView::Private* p = KitAccess::Of(fView);
    QPainter painter(this);
    if (p->viewColor != B_TRANSPARENT_COLOR)
        painter.fillRect(rect(), to_qcolor(p->viewColor));
    p->painter = &painter;
    QRect r = event->rect();
    fView->Draw(BRect(r.left(), r.top(), r.right(), r.bottom()));
    p->painter = nullptr;
}

void ViewWidget::dragEnterEvent(QDragEnterEvent* event)
{
    if (!drop_is_acceptable(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void ViewWidget::dragMoveEvent(QDragMoveEvent* event)
{
    if (!drop_is_acceptable(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void ViewWidget::dropEvent(QDropEvent* event)
{
    if (!drop_is_acceptable(event->mimeData()) || !deliver_drop(fView, event)) {
        event->ignore();
        return;
    }
    // A copy: the file manager must never delete what was dropped.
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

QString local_file_of(const QUrl& url)
{
    if (!url.isValid() || url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0)
        return QString();
    // file:/p, file:///p, file://localhost/p and file://<this host>/p all
    // name a local file; Qt reads the last two as network shares.
    QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) != 0 ||
            host.compare(QString::fromLocal8Bit(name), Qt::CaseInsensitive) != 0)
            return QString();
    }
    QString path = url.path(QUrl::FullyDecoded);
    return path.startsWith(QLatin1Char('/')) ? path : QString();
}

QList<QUrl> dropped_urls(const QMimeData* data)
{
    if (data == nullptr)
        return {};
    if (data->hasUrls())
        return data->urls();
    // Some sources offer files only as text, one URL a line.
    QList<QUrl> urls;
    if (data->hasText()) {
        const QStringList lines = data->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString& line : lines) {
            QString text = line.trimmed();
            if (text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
                urls.append(QUrl(text));
        }
    }
    return urls;
}

bool drop_is_acceptable(const QMimeData* data)
{
    return data != nullptr && (data->hasUrls() || data->hasText());
}

bool deliver_drop(BView* view, const QDropEvent* event)
{
    BWindow* window = view != nullptr ? view->Window() : nullptr;
    if (window == nullptr)
        return false;
    BMessage message(B_SIMPLE_DATA);
    // Only local files become entry references; remote URLs and text do not.
    for (const QUrl& url : dropped_urls(event->mimeData())) {
        QString file = local_file_of(url);
        if (file.isEmpty())
            continue;
        entry_ref ref(QFile::encodeName(file).constData());
        if (!ref.path.empty())
            message.AddRef("refs", &ref);
    }
    QWidget* widget = KitAccess::Of(view)->widget;
    QPointF global = widget != nullptr ? widget->mapToGlobal(event->position()) : event->position();
    message.AddPoint("_drop_point_", BPoint(float(global.x()), float(global.y())));
    return window->PostMessage(&message, view) == B_OK;
}

QPainter* BView::Private::Painter()
{
    if (painter != nullptr)
        return painter;
    if (bitmap == nullptr || bitmap->Bits() == nullptr)
        return nullptr;
    if (!targetPainter) {
        QImage::Format format;
        switch (bitmap->ColorSpace()) {
        case B_RGB32:
            format = QImage::Format_RGB32;
            break;
        case B_RGBA32:
            format = QImage::Format_ARGB32;
            break;
        case B_GRAY8:
            format = QImage::Format_Grayscale8;
            break;
        case B_RGB16:
            format = QImage::Format_RGB16;
            break;
        default:
            return nullptr;
        }
        targetImage =
            std::make_unique<QImage>(static_cast<uchar*>(bitmap->Bits()), bitmap->PixelWidth(),
                                     bitmap->PixelHeight(), bitmap->BytesPerRow(), format);
        targetPainter = std::make_unique<QPainter>(targetImage.get());
        targetPainter->translate(frame.left - bitmap->Bounds().left,
                                 frame.top - bitmap->Bounds().top);
    }
    return targetPainter.get();
}

void BView::Private::EndBitmapPainting()
{
    if (targetPainter)
        targetPainter->end();
    targetPainter.reset();
    targetImage.reset();
}

QRect BView::Private::FrameRect() const
{
    return to_qrect_inclusive(frame);
}

void BView::Private::Realize(QWidget* parentWidget)
{
    if (widget == nullptr) {
        widget = makeWidget ? makeWidget(parentWidget) : new ViewWidget(owner, parentWidget);
        widget->setObjectName(QString::fromUtf8(owner->Name() ? owner->Name() : ""));
        widget->setGeometry(FrameRect());
        // The platform offers every view the drops that land on it.
        widget->setAcceptDrops(true);
        widget->show();
    } else if (widget->parentWidget() != parentWidget) {
        widget->setParent(parentWidget);
        widget->show();
    }
    for (BView* child : children)
        child->fPrivate->Realize(widget);
}

void BView::Private::SetWindow(BWindow* w)
{
    bool attached = window == nullptr && w != nullptr;
    bool detached = window != nullptr && w == nullptr;
    if (detached) {
        owner->DetachedFromWindow();
        window->RemoveHandler(owner);
    }
    window = w;
    if (attached)
        w->AddHandler(owner);
    for (BView* child : children)
        child->fPrivate->SetWindow(w);
    if (attached)
        owner->AttachedToWindow();
}

BView::BView(BRect frame, const char* name, uint32 resizingMode, uint32 flags)
    : BHandler(name), fPrivate(new Private(this))
{
    fPrivate->frame = frame;
    fPrivate->resizingMode = resizingMode;
    fPrivate->flags = flags;
}

BView::~BView()
{
    if (fPrivate->parent != nullptr)
        fPrivate->parent->RemoveChild(this);
    if (fPrivate->bitmap != nullptr)
        fPrivate->bitmap->RemoveChild(this);
    // A view owns its children, as on the platform.
    while (!fPrivate->children.empty()) {
        BView* child = fPrivate->children.back();
        RemoveChild(child);
        delete child;
    }
    // A window's top view has no parent to take it out of the window's
    // handlers; the looper must not keep a pointer to it.
    if (fPrivate->window != nullptr && fPrivate->window->HasHandler(this))
        fPrivate->window->RemoveHandler(this);
    fPrivate->EndBitmapPainting();
    delete fPrivate->widget;
    delete fPrivate;
}

void BView::Draw(BRect) {}

void BView::MessageReceived(BMessage* message)
{
    BHandler::MessageReceived(message);
}

void BView::AttachedToWindow() {}

void BView::DetachedFromWindow() {}

void BView::AddChild(BView* child, BView* before)
{
    if (child == nullptr || child == this || child->fPrivate->parent != nullptr)
        return;
    auto& list = fPrivate->children;
    auto at = std::find(list.begin(), list.end(), before);
    list.insert(at, child);
    child->fPrivate->parent = this;
    // What a view does not handle goes on to its parent, as on the platform.
    child->SetNextHandler(this);
    if (fPrivate->widget != nullptr)
        child->fPrivate->Realize(fPrivate->widget);
    if (fPrivate->window != nullptr)
        child->fPrivate->SetWindow(fPrivate->window);
}

bool BView::RemoveChild(BView* child)
{
    if (child == nullptr || child->fPrivate->parent != this)
        return false;
    auto& list = fPrivate->children;
    list.erase(std::find(list.begin(), list.end(), child));
    child->fPrivate->parent = nullptr;
    child->SetNextHandler(nullptr);
    child->fPrivate->SetWindow(nullptr);
    if (child->fPrivate->widget != nullptr) {
        child->fPrivate->widget->hide();
        child->fPrivate->widget->setParent(nullptr);
    }
    return true;
}

int32 BView::CountChildren() const
{
    return static_cast<int32>(fPrivate->children.size());
}

BView* BView::ChildAt(int32 index) const
{
    if (index < 0 || index >= CountChildren())
        return nullptr;
    return fPrivate->children[size_t(index)];
}

BView* BView::FindView(const char* name) const
{
    if (name == nullptr)
        return nullptr;
    for (BView* child : fPrivate->children) {
        if (child->Name() != nullptr && std::strcmp(child->Name(), name) == 0)
            return child;
        if (BView* found = child->FindView(name))
            return found;
    }
    return nullptr;
}

BView* BView::Parent() const
{
    return fPrivate->parent;
}

BWindow* BView::Window() const
{
    return fPrivate->window;
}

bool BView::RemoveSelf()
{
    if (fPrivate->parent != nullptr)
        return fPrivate->parent->RemoveChild(this);
    return false;
}

BRect BView::Bounds() const
{
    return BRect(0, 0, fPrivate->frame.Width(), fPrivate->frame.Height());
}

BRect BView::Frame() const
{
    return fPrivate->frame;
}

uint32 BView::ResizingMode() const
{
    return fPrivate->resizingMode;
}

uint32 BView::Flags() const
{
    return fPrivate->flags;
}

void BView::MoveTo(BPoint where)
{
    fPrivate->frame.OffsetTo(where.x, where.y);
    if (fPrivate->widget != nullptr)
        fPrivate->widget->setGeometry(fPrivate->FrameRect());
}

void BView::ResizeTo(float width, float height)
{
    fPrivate->frame.right = fPrivate->frame.left + width;
    fPrivate->frame.bottom = fPrivate->frame.top + height;
    if (fPrivate->widget != nullptr)
        fPrivate->widget->setGeometry(fPrivate->FrameRect());
}

void BView::SetHighColor(rgb_color color)
{
    fPrivate->high = color;
}

void BView::SetHighColor(uint8 r, uint8 g, uint8 b, uint8 a)
{
    SetHighColor(rgb_color{r, g, b, a});
}

rgb_color BView::HighColor() const
{
    return fPrivate->high;
}

void BView::SetLowColor(rgb_color color)
{
    fPrivate->low = color;
}

void BView::SetLowColor(uint8 r, uint8 g, uint8 b, uint8 a)
{
    SetLowColor(rgb_color{r, g, b, a});
}

rgb_color BView::LowColor() const
{
    return fPrivate->low;
}

void BView::SetViewColor(rgb_color color)
{
    fPrivate->viewColor = color;
    if (fPrivate->widget != nullptr)
        fPrivate->widget->update();
}

void BView::SetViewColor(uint8 r, uint8 g, uint8 b, uint8 a)
{
    SetViewColor(rgb_color{r, g, b, a});
}

rgb_color BView::ViewColor() const
{
    return fPrivate->viewColor;
}

void BView::SetFont(const BFont* font, uint32 mask)
{
    if (font == nullptr)
        return;
    BFont& own = fPrivate->font;
    if (!fPrivate->fontSet)
        own = *be_plain_font;
    if ((mask & B_FONT_ALL) == B_FONT_ALL) {
        own = *font;
    } else {
        if ((mask & B_FONT_FAMILY_AND_STYLE) != 0) {
            // The face goes with the family and style it belongs to.
            BFont merged(font);
            merged.SetSize(own.Size());
            merged.SetFlags(own.Flags());
            own = merged;
        }
        if ((mask & B_FONT_SIZE) != 0)
            own.SetSize(font->Size());
        if ((mask & B_FONT_FACE) != 0)
            own.SetFace(font->Face());
        if ((mask & B_FONT_FLAGS) != 0)
            own.SetFlags(font->Flags());
    }
    fPrivate->fontSet = true;
}

void BView::GetFont(BFont* font) const
{
    if (font != nullptr)
        *font = fPrivate->fontSet ? fPrivate->font : *be_plain_font;
}

float BView::StringWidth(const char* string) const
{
    return (fPrivate->fontSet ? fPrivate->font : *be_plain_font).StringWidth(string);
}

void BView::DrawString(const char* string, BPoint baseline)
{
    // A bitmap's view may draw in a process without a GUI application.
    if (fPrivate->painter == nullptr && !font_engine_ready())
        return;
    QPainter* painter = fPrivate->Painter();
    if (painter == nullptr || string == nullptr)
        return;
    if (fPrivate->fontSet)
        painter->setFont(FontAccess::QtFont(fPrivate->font));
    painter->setPen(to_qcolor(fPrivate->high));
    painter->drawText(QPointF(baseline.x, baseline.y), QString::fromUtf8(string));
}

void BView::StrokeRect(BRect rect, ::pattern p)
{
    QPainter* painter = fPrivate->Painter();
    if (painter == nullptr || !rect.IsValid())
        return;
    rgb_color color = std::memcmp(&p, &B_SOLID_LOW, sizeof p) == 0 ? fPrivate->low : fPrivate->high;
    DeviceGrid grid(painter);
    QColor qcolor = to_qcolor(color);
    QRect outer = grid.Cover(rect);
    // One device pixel wide, on the inner side of the edge pixels, so that
    // whatever fills the inside touches the line at every scale.
    int left = grid.X(std::round(rect.left) + 1) - 1, right = grid.X(std::round(rect.right));
    int top = grid.Y(std::round(rect.top) + 1) - 1, bottom = grid.Y(std::round(rect.bottom));
    if (right <= left || bottom <= top) {
        painter->fillRect(outer, qcolor); // too thin to have an inside
        return;
    }
    painter->fillRect(QRect(left, top, right - left + 1, 1), qcolor);
    painter->fillRect(QRect(left, bottom, right - left + 1, 1), qcolor);
    painter->fillRect(QRect(left, top, 1, bottom - top + 1), qcolor);
    painter->fillRect(QRect(right, top, 1, bottom - top + 1), qcolor);
}

void BView::FillRect(BRect rect, ::pattern p)
{
    QPainter* painter = fPrivate->Painter();
    if (painter == nullptr || !rect.IsValid())
        return;
    rgb_color color = std::memcmp(&p, &B_SOLID_LOW, sizeof p) == 0 ? fPrivate->low : fPrivate->high;
    DeviceGrid grid(painter);
    painter->fillRect(grid.Cover(rect), to_qcolor(color));
}

void BView::DrawBitmapAsync(const BBitmap* bitmap, BRect source, BRect destination)
{
    QPainter* painter = fPrivate->Painter();
    if (painter == nullptr || bitmap == nullptr || bitmap->Bits() == nullptr ||
        !destination.IsValid() || !source.IsValid())
        return;
    DeviceGrid grid(painter);
    QRect target = grid.Cover(destination);
    // Sampled straight into the device pixels shown: crisp at any scale, and
    // a huge bitmap costs only those pixels.
    QImage image = scaled_opaque_image(bitmap, source, target.width(), target.height());
    if (image.isNull())
        return;
    painter->setCompositionMode(QPainter::CompositionMode_Source);
    painter->drawImage(target.topLeft(), image);
}

void BView::DrawBitmapAsync(const BBitmap* bitmap, BRect destination)
{
    if (bitmap != nullptr)
        DrawBitmapAsync(bitmap, BRect(0, 0, bitmap->PixelWidth() - 1, bitmap->PixelHeight() - 1),
                        destination);
}

void BView::DrawBitmapAsync(const BBitmap* bitmap, BPoint where)
{
    if (bitmap != nullptr)
        DrawBitmapAsync(bitmap, BRect(where.x, where.y, where.x + bitmap->PixelWidth() - 1,
                                      where.y + bitmap->PixelHeight() - 1));
}

void BView::DrawBitmap(const BBitmap* bitmap, BRect source, BRect destination)
{
    DrawBitmapAsync(bitmap, source, destination);
    Sync();
}

void BView::DrawBitmap(const BBitmap* bitmap, BRect destination)
{
    DrawBitmapAsync(bitmap, destination);
    Sync();
}

void BView::DrawBitmap(const BBitmap* bitmap, BPoint where)
{
    DrawBitmapAsync(bitmap, where);
    Sync();
}

void BView::DrawBitmap(const BBitmap* bitmap)
{
    DrawBitmap(bitmap, B_ORIGIN);
}

// Drawing into a bitmap goes straight to its pixels; ending the painter makes
// sure every stroke is there before anyone reads them.
void BView::Sync() const
{
    if (fPrivate->painter == nullptr)
        fPrivate->EndBitmapPainting();
}

void BView::Flush() const
{
    Sync();
}

void BView::ConvertToParent(BPoint* point) const
{
    if (point != nullptr)
        *point += fPrivate->frame.LeftTop();
}

void BView::ConvertFromParent(BPoint* point) const
{
    if (point != nullptr)
        *point -= fPrivate->frame.LeftTop();
}

void BView::ConvertToScreen(BPoint* point) const
{
    if (point == nullptr)
        return;
    if (fPrivate->widget != nullptr) {
        QPointF global = fPrivate->widget->mapToGlobal(QPointF(point->x, point->y));
        point->Set(float(global.x()), float(global.y()));
        return;
    }
    for (const BView* v = this; v != nullptr; v = v->Parent())
        v->ConvertToParent(point);
}

BPoint BView::ConvertToScreen(BPoint point) const
{
    ConvertToScreen(&point);
    return point;
}

void BView::ConvertFromScreen(BPoint* point) const
{
    if (point == nullptr)
        return;
    if (fPrivate->widget != nullptr) {
        QPointF local = fPrivate->widget->mapFromGlobal(QPointF(point->x, point->y));
        point->Set(float(local.x()), float(local.y()));
        return;
    }
    BPoint origin = ConvertToScreen(B_ORIGIN);
    *point -= origin;
}

BPoint BView::ConvertFromScreen(BPoint point) const
{
    ConvertFromScreen(&point);
    return point;
}

void BView::Invalidate()
{
    if (fPrivate->widget != nullptr)
        fPrivate->widget->update();
}

void BView::Invalidate(BRect rect)
{
    if (fPrivate->widget != nullptr)
        fPrivate->widget->update(to_qrect_inclusive(rect));
}

void BView::_AttachToBitmap(BBitmap* bitmap)
{
    fPrivate->bitmap = bitmap;
}

void BView::_DetachFromBitmap()
{
    fPrivate->EndBitmapPainting();
    fPrivate->bitmap = nullptr;
}
