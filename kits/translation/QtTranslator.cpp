#include <LayerFormats.h>
#include <QtTranslator.h>

#include <Bitmap.h>
#include <DataIO.h>
#include <PictureFormats.h>
#include <RowWriters.h>
#include <TranslationPrivate.h>
#include <TranslationUtils.h>
#include <TranslatorFormats.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QtGlobal>

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <mutex>
#include <string>

namespace {

QtMessageHandler gPreviousHandler = nullptr;
// How many QuietQtCodecs live on this thread.
thread_local int tQuietDepth = 0;

bool is_codec_chatter(const QMessageLogContext& context, const QString& message)
{
    const char* category = context.category != nullptr ? context.category : "";
    if (std::strncmp(category, "qt.gui.imageio", 14) == 0 ||
        std::strncmp(category, "qt.imageformats", 15) == 0)
        return true;
    if (message.startsWith(QLatin1String("libpng ")) ||
        message.startsWith(QLatin1String("QImageReader::")) ||
        message.startsWith(QLatin1String("MNG error")) ||
        message.startsWith(QLatin1String("parseIconEntryInfo()")))
        return true;
    // The codecs' handlers name themselves first: "QWebpHandler::write() ...".
    qsizetype end = message.indexOf(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")));
    QStringView word = QStringView(message).left(end < 0 ? message.size() : end);
    return word.startsWith(u'Q') && word.endsWith(QLatin1String("Handler"));
}

void quiet_handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg && (tQuietDepth > 0 || is_codec_chatter(context, message)))
        return;
    if (gPreviousHandler != nullptr)
        gPreviousHandler(type, context, message);
    else
        qt_message_output(type, context, message);
}

// The formats Qt's plugins write for us are the table's (PictureFormats.h)
// whose writer is this translator. Left out on purpose: ico, cur and icns
// (Qt shrinks the picture to an icon size), pbm, xbm and wbmp (one bit a
// pixel: dithering destroys the repeats a stereogram is made of). PGM keeps
// the grey levels, which still carry the depth.
constexpr int kJpegQuality = 90;

void configure_writer(QImageWriter& writer, const char* qtFormat)
{
    if (std::strcmp(qtFormat, "jpeg") == 0)
        writer.setQuality(kJpegQuality);
    else if (std::strcmp(qtFormat, "webp") == 0)
        writer.setQuality(100); // Qt's WebP writer is lossless at 100
}

bool encode(const QImage& image, const char* qtFormat, QByteArray* out)
{
    BPrivate::QuietQtCodecs quiet;
    QBuffer buffer(out);
    if (!buffer.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&buffer, qtFormat);
    configure_writer(writer, qtFormat);
    return writer.write(image);
}

// A format is offered only if its codec, here and now, writes a small
// odd-sized colour picture that reads back at the same size.
bool writes_and_reads_back(const char* qtFormat)
{
    QImage probe(5, 3, QImage::Format_RGB32);
    for (int y = 0; y < probe.height(); y++)
        for (int x = 0; x < probe.width(); x++)
            probe.setPixel(x, y, qRgb(40 * x, 80 * y, 200 - 30 * x));
    QByteArray data;
    if (!encode(probe, qtFormat, &data) || data.isEmpty())
        return false;
    BPrivate::QuietQtCodecs quiet;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImage back = reader.read();
    return back.size() == probe.size();
}

// The bitmap as a QImage the writers accept, over its own pixels: no copy.
// B_RGB32 pixels may hold anything in their alpha byte; Qt's writers read an
// RGB32 image's colour channels only (tested for every format offered).
bool image_for(const BBitmap& bitmap, QImage* out)
{
    const int width = bitmap.PixelWidth(), height = bitmap.PixelHeight();
    const uchar* bits = static_cast<const uchar*>(bitmap.Bits());
    const qsizetype row = bitmap.BytesPerRow();
    switch (bitmap.ColorSpace()) {
    case B_RGB32:
        *out = QImage(bits, width, height, row, QImage::Format_RGB32);
        return !out->isNull();
    case B_RGBA32:
        *out = QImage(bits, width, height, row, QImage::Format_ARGB32);
        return !out->isNull();
    case B_RGB24:
        // The platform stores blue, green, red in that byte order.
        *out = QImage(bits, width, height, row, QImage::Format_BGR888);
        return !out->isNull();
    case B_RGB16:
        *out = QImage(bits, width, height, row, QImage::Format_RGB16);
        return !out->isNull();
    case B_RGB15:
        *out = QImage(bits, width, height, row, QImage::Format_RGB555);
        return !out->isNull();
    case B_GRAY8:
        *out = QImage(bits, width, height, row, QImage::Format_Grayscale8);
        return !out->isNull();
    default:
        // B_CMAP8 needs the system palette, which this layer does not have;
        // B_GRAY1 and B_RGBA15 have no faithful Qt layout.
        return false;
    }
}

// A file holding one picture at several sizes, in no particular order,
// whose plugin tells no size before decoding (an icon): each is read, and the
// one of the size the header stage found largest kept, as viewers show it.
bool read_icon_of_size(QImageReader& reader, const BPrivate::PictureHeader& header, QImage* out)
{
    const int count = reader.imageCount();
    for (int i = 0; i < count; i++) {
        QImage candidate;
        if (!reader.jumpToImage(i) || !reader.read(&candidate) || candidate.isNull())
            continue;
        if (uint64(candidate.width()) == header.width &&
            uint64(candidate.height()) == header.height) {
            *out = candidate;
            return true;
        }
    }
    return false;
}

// Qt's plugin of a format, by the name the table gives, or the one its
// header stage chose for the file.
QByteArray plugin_for(const BPrivate::PictureHeader& header)
{
    return QByteArray(header.qtPlugin != nullptr ? header.qtPlugin : header.format->qtName);
}

class QtTranslator : public BPrivate::ImageTranslator
{
public:
    const char* Name() const override { return "qt"; }

    // Only ever asked by the reading pipeline for a format whose header
    // stage passed, by the format's name: Qt never guesses from the content.
    status_t Decode(const BPrivate::ImageSource& source, const BPrivate::ReadBudget& budget,
                    BPrivate::PictureHeader* header, BBitmap* bitmap) const override;

    std::vector<BPrivate::WriteFormat> OutputFormats() const override
    {
        std::call_once(fFormatsOnce, [this] { _FindFormats(); });
        return fFormats;
    }

    status_t Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const override;

private:
    void _FindFormats() const;

    mutable std::once_flag fFormatsOnce;
    mutable std::vector<BPrivate::WriteFormat> fFormats;
    mutable std::vector<std::string> fNames; // what fFormats' names point to
};

status_t QtTranslator::Decode(const BPrivate::ImageSource& source, const BPrivate::ReadBudget&,
                              BPrivate::PictureHeader* header, BBitmap* bitmap) const
{
    if (header->format == nullptr || header->format->qtName == nullptr)
        return B_NO_TRANSLATOR;
    BPrivate::prepare_image_codecs();
    BPrivate::QuietQtCodecs quiet;
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(source.data), qsizetype(source.size));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return B_IO_ERROR;
    QImageReader reader(&buffer, plugin_for(*header));
    reader.setDecideFormatFromContent(false);
    // Orientation is the pipeline's to apply.
    reader.setAutoTransform(false);
    if (!reader.canRead())
        return B_NO_TRANSLATOR;
    // What the plugin means to allocate must be what the header said.
    const QSize announced = reader.size();
    if (announced.isValid() && !header->qtPicksBySize &&
        (uint64(announced.width()) != header->width ||
         uint64(announced.height()) != header->height))
        return B_ILLEGAL_DATA;

    QImage image;
    if (header->qtPicksBySize) {
        if (!read_icon_of_size(reader, *header, &image))
            return B_ILLEGAL_DATA;
    } else if (!reader.read(&image) || image.isNull()) {
        return B_ILLEGAL_DATA;
    }
    if (uint64(image.width()) != header->width || uint64(image.height()) != header->height)
        return B_ILLEGAL_DATA;
    header->alpha = image.hasAlphaChannel();
    // Straight colour: RGB32 already has the ARGB32 layout with an opaque
    // alpha byte; a premultiplied picture would lose its transparent
    // pixels' colour, and Qt's readers give none.
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            return B_NO_MEMORY;
    }
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    const size_t rowBytes = size_t(image.width()) * 4;
    for (int y = 0; y < image.height(); y++)
        std::memcpy(bits + size_t(y) * size_t(bitmap->BytesPerRow()), image.constScanLine(y),
                    rowBytes);
    return B_OK;
}

void QtTranslator::_FindFormats() const
{
    BPrivate::prepare_image_codecs();
    QList<QByteArray> writable = QImageWriter::supportedImageFormats();
    QMimeDatabase mimes;
    const std::vector<const BPrivate::PictureFormat*> formats = BPrivate::written_formats();
    fNames.reserve(formats.size());
    for (const BPrivate::PictureFormat* format : formats) {
        if (format->writer != BPrivate::qt_translator || format->qtName == nullptr ||
            !writable.contains(QByteArray(format->qtName)) ||
            !writes_and_reads_back(format->qtName))
            continue;
        // The desktop's own name for the format ("Windows BMP image").
        std::string comment =
            mimes.mimeTypeForName(QString::fromLatin1(format->mime)).comment().toStdString();
        fNames.push_back(comment.empty() ? std::string(format->name) : comment);
        BPrivate::WriteFormat written = BPrivate::write_format_of(*format);
        written.name = fNames.back().c_str();
        fFormats.push_back(written);
    }
}

status_t QtTranslator::Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const
{
    const BPrivate::PictureFormat* format = BPrivate::format_of_type(type);
    if (format == nullptr || format->qtName == nullptr)
        return B_NO_TRANSLATOR;
    if (destination == nullptr || !bitmap.IsValid() || bitmap.Bits() == nullptr)
        return B_BAD_VALUE;
    BPrivate::prepare_image_codecs();
    QImage image;
    if (!image_for(bitmap, &image))
        return B_BAD_VALUE;
    QByteArray data;
    if (!encode(image, format->qtName, &data) || data.isEmpty())
        return B_ERROR;
    // Encoded in memory first: Qt's writers do not report a failing device,
    // a BPositionIO does.
    return destination->WriteExactly(data.constData(), size_t(data.size()));
}

} // namespace

namespace BPrivate {

void prepare_image_codecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QImageReader::setAllocationLimit(BTranslationUtils::kDecodeLimitMiB);
        gPreviousHandler = qInstallMessageHandler(quiet_handler);
        // Also links libpng's quiet errors into every program reading here.
        png_errors_quiet();
    });
}

QuietQtCodecs::QuietQtCodecs()
{
    tQuietDepth++;
}

QuietQtCodecs::~QuietQtCodecs()
{
    tQuietDepth--;
}

const ImageTranslator* qt_translator()
{
    static const QtTranslator translator;
    return &translator;
}

} // namespace BPrivate

// --- PPM and PGM written by rows ----------------------------------------------

namespace {

// The bytes Qt's writer gives for the whole picture: its header, then each
// row's samples, the grey ones by Qt's own conversion, on any thread.
class PnmRowWriter : public RowWriter
{
public:
    PnmRowWriter(uint32 width, uint32 height, bool grey)
        : fWidth(width), fHeight(height), fGrey(grey)
    {
    }

    status_t Head(BPositionIO* destination) override
    {
        if (destination == nullptr || fWidth == 0 || fHeight == 0 || fWidth > uint32(INT_MAX))
            return B_BAD_VALUE;
        fDestination = destination;
        const std::string head = std::string(fGrey ? "P5\n" : "P6\n") + std::to_string(fWidth) +
                                 " " + std::to_string(fHeight) + "\n255\n";
        return fDestination->WriteExactly(head.data(), head.size());
    }

    bool Encode(const uint32* rows, size_t stride, uint32 first, uint32 last,
                RowBand* band) const override
    {
        const uint32 count = last - first;
        try {
            band->bytes.resize(size_t(fWidth) * count * (fGrey ? 1 : 3));
        } catch (const std::bad_alloc&) {
            return false;
        }
        uint8* to = band->bytes.data();
        if (!fGrey) {
            for (uint32 y = 0; y < count; y++, rows += stride) {
                for (uint32 x = 0; x < fWidth; x++) {
                    const QRgb v = rows[x];
                    *to++ = uint8(qRed(v));
                    *to++ = uint8(qGreen(v));
                    *to++ = uint8(qBlue(v));
                }
            }
            return true;
        }
        // A band at a time through the conversion the whole picture goes
        // through: each pixel's grey is its own.
        for (uint32 y = 0; y < count;) {
            const uint32 part = std::min<uint32>(count - y, std::max<uint32>(1, uint32(INT_MAX) / 4 / fWidth));
            const QImage colour(reinterpret_cast<const uchar*>(rows + size_t(y) * stride),
                                int(fWidth), int(part), qsizetype(stride * 4),
                                QImage::Format_RGB32);
            const QImage grey = colour.convertToFormat(QImage::Format_Grayscale8);
            if (grey.isNull())
                return false;
            for (uint32 i = 0; i < part; i++, to += fWidth)
                std::memcpy(to, grey.constScanLine(int(i)), fWidth);
            y += part;
        }
        return true;
    }

    status_t Write(const uint32*, size_t, uint32, uint32, RowBand& band) override
    {
        if (fDestination == nullptr)
            return B_NO_INIT;
        return fDestination->WriteExactly(band.bytes.data(), band.bytes.size());
    }

    status_t Finish() override { return fDestination == nullptr ? B_NO_INIT : B_OK; }

private:
    uint32 fWidth, fHeight;
    bool fGrey;
    BPositionIO* fDestination = nullptr;
};

} // namespace

std::unique_ptr<RowWriter> MakePnmRowWriter(uint32 width, uint32 height, bool grey)
{
    return std::make_unique<PnmRowWriter>(width, height, grey);
}
