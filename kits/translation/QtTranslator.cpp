#include <QtTranslator.h>
#include <LayerFormats.h>

#include <Bitmap.h>
#include <DataIO.h>
#include <PictureHeaders.h>
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

#include <cstring>
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

uint32 be32(const uint8* p)
{
    return (uint32(p[0]) << 24) | (uint32(p[1]) << 16) | (uint32(p[2]) << 8) | uint32(p[3]);
}

uint32 le32(const uint8* p)
{
    return uint32(p[0]) | (uint32(p[1]) << 8) | (uint32(p[2]) << 16) | (uint32(p[3]) << 24);
}

// libpng reports a damaged file on stderr by itself before Qt sees the
// failure. A PNG whose chunks do not reach IEND within the file is truncated:
// refuse it here, quietly.
bool png_is_truncated(const uint8* data, size_t size)
{
    static const uint8 kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size < 8 || std::memcmp(data, kSignature, 8) != 0)
        return false; // not a PNG: not this check's business
    size_t at = 8;
    while (true) {
        if (size - at < 12)
            return true;
        uint32 length = be32(data + at);
        if (length > 0x7FFFFFFFu || length > size - at - 12)
            return true;
        if (std::memcmp(data + at + 4, "IEND", 4) == 0)
            return false;
        at += 12 + size_t(length);
    }
}

// Qt's BMP reader fills whatever rows are missing and reports success. For
// the uncompressed layouts the file's length must cover every row.
bool bmp_is_truncated(const uint8* h, size_t size)
{
    if (size < 34 || h[0] != 'B' || h[1] != 'M')
        return false;
    uint32 offset = le32(h + 10), headerSize = le32(h + 14), compression = le32(h + 30);
    int64 width = int32(le32(h + 18)), height = int32(le32(h + 22));
    uint32 bits = uint32(h[28]) | (uint32(h[29]) << 8);
    if (headerSize < 40 || (compression != 0 && compression != 3) || width <= 0 || bits == 0)
        return false; // compressed or odd: the reader's own checks apply
    uint64 row = ((uint64(width) * bits + 31) / 32) * 4;
    uint64 needed = uint64(offset) + row * uint64(height < 0 ? -height : height);
    return needed > uint64(size);
}

// The formats offered for writing. Left out on purpose: ico, cur and icns
// (Qt shrinks the picture to an icon size), pbm, xbm and wbmp (one bit a
// pixel: dithering destroys the repeats a stereogram is made of). PGM keeps
// the grey levels, which still carry the depth.
struct Candidate
{
    const char* qtFormat;
    const char* shortName;
    const char* extensions; // space separated, short name first
    uint32 type;
    const char* mime;
    bool lossless;
    float quality;
    float capability;
};

const Candidate kCandidates[] = {
    {"png", "png", "png", B_PNG_FORMAT, "image/png", true, 0.8f, 0.6f},
    {"jpeg", "jpeg", "jpeg jpg jpe jfif", B_JPEG_FORMAT, "image/jpeg", false, 0.6f, 0.6f},
    {"bmp", "bmp", "bmp dib", B_BMP_FORMAT, "image/bmp", true, 0.6f, 0.6f},
    {"tiff", "tiff", "tiff tif", B_TIFF_FORMAT, "image/tiff", true, 0.7f, 0.5f},
    {"webp", "webp", "webp", kWebpFormat, "image/webp", true, 0.7f, 0.5f},
    {"ppm", "ppm", "ppm", B_PPM_FORMAT, "image/x-portable-pixmap", true, 0.5f, 0.5f},
    {"pgm", "pgm", "pgm", kPgmFormat, "image/x-portable-graymap", false, 0.3f, 0.5f},
    {"xpm", "xpm", "xpm", kXpmFormat, "image/x-xpixmap", true, 0.3f, 0.4f},
};

constexpr int kJpegQuality = 90;

void configure_writer(QImageWriter& writer, const Candidate& candidate)
{
    if (std::strcmp(candidate.qtFormat, "jpeg") == 0)
        writer.setQuality(kJpegQuality);
    else if (std::strcmp(candidate.qtFormat, "webp") == 0)
        writer.setQuality(100); // Qt's WebP writer is lossless at 100
}

bool encode(const QImage& image, const Candidate& candidate, QByteArray* out)
{
    BPrivate::QuietQtCodecs quiet;
    QBuffer buffer(out);
    if (!buffer.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&buffer, candidate.qtFormat);
    configure_writer(writer, candidate);
    return writer.write(image);
}

// A format is offered only if its codec, here and now, writes a small
// odd-sized colour picture that reads back at the same size.
bool writes_and_reads_back(const Candidate& candidate)
{
    QImage probe(5, 3, QImage::Format_RGB32);
    for (int y = 0; y < probe.height(); y++)
        for (int x = 0; x < probe.width(); x++)
            probe.setPixel(x, y, qRgb(40 * x, 80 * y, 200 - 30 * x));
    QByteArray data;
    if (!encode(probe, candidate, &data) || data.isEmpty())
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

// An icon file holds one picture at several sizes, in no particular order,
// and Qt's ICNS reader tells no size before decoding: each is read, and the
// largest kept, as viewers show it.
bool read_largest_icon(QImageReader& reader, const BPrivate::ReadBudget& budget, QImage* out)
{
    const int count = reader.imageCount();
    for (int i = 0; i < count; i++) {
        QImage candidate;
        if (!reader.jumpToImage(i) || !reader.read(&candidate) || candidate.isNull())
            continue;
        const uint64 area = uint64(candidate.width()) * uint64(candidate.height());
        if (budget.Admits(uint64(candidate.width()), uint64(candidate.height())) &&
            area > uint64(out->width()) * uint64(out->height()))
            *out = candidate;
    }
    return !out->isNull();
}

class QtTranslator : public BPrivate::ImageTranslator
{
public:
    const char* Name() const override { return "qt"; }

    BPrivate::identify_result Identify(const BPrivate::ImageSource& source) const override
    {
        if (source.size == 0)
            return BPrivate::kNotMine;
        // Probing the content already decodes some formats (XBM, XPM) at
        // their declared size: a header refused by the budget is not probed,
        // and Read gives the reason.
        status_t declared =
            BPrivate::check_declared_picture(source, BPrivate::default_read_budget());
        if (declared != B_OK && declared != B_NO_TRANSLATOR)
            return BPrivate::kMaybeMine;
        BPrivate::prepare_image_codecs();
        BPrivate::QuietQtCodecs quiet;
        QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(source.data),
                                                   qsizetype(source.size));
        QBuffer buffer(&bytes);
        if (!buffer.open(QIODevice::ReadOnly))
            return BPrivate::kNotMine;
        QImageReader reader(&buffer);
        reader.setDecideFormatFromContent(true);
        // Below every translator of ours, even those without a magic number.
        return reader.format().isEmpty() ? BPrivate::kNotMine : BPrivate::kMaybeMine;
    }

    status_t Read(const BPrivate::ImageSource& source, const BPrivate::ReadBudget& budget,
                  BBitmap** outBitmap) const override;

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

status_t QtTranslator::Read(const BPrivate::ImageSource& source,
                            const BPrivate::ReadBudget& budget, BBitmap** outBitmap) const
{
    *outBitmap = nullptr;
    BPrivate::prepare_image_codecs();
    BPrivate::QuietQtCodecs quiet;
    if (source.size == 0)
        return B_NO_TRANSLATOR;
    if (png_is_truncated(source.data, source.size) || bmp_is_truncated(source.data, source.size))
        return B_ILLEGAL_DATA;
    // Qt's readers allocate the declared picture first and fill what the
    // file lacks: sizes a header can claim cheaply are checked here.
    status_t declared = BPrivate::check_declared_picture(source, budget);
    if (declared != B_OK && declared != B_NO_TRANSLATOR)
        return declared;

    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(source.data),
                                               qsizetype(source.size));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return B_IO_ERROR;
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    reader.setDecideFormatFromContent(true);
    if (reader.format().isEmpty())
        return B_NO_TRANSLATOR;

    // The header's size is checked before any pixel is allocated.
    QSize announced = reader.size();
    if (announced.isValid() && !budget.Admits(uint64(qMax(announced.width(), 0)),
                                              uint64(qMax(announced.height(), 0))))
        return B_NO_MEMORY;

    QImage image;
    if (reader.format() == "icns" && reader.imageCount() > 1) {
        if (!read_largest_icon(reader, budget, &image))
            return B_ILLEGAL_DATA;
    } else if (!reader.read(&image) || image.isNull()) {
        return B_ILLEGAL_DATA;
    }
    if (!budget.Admits(uint64(image.width()), uint64(image.height())))
        return B_NO_MEMORY;

    bool alpha = image.hasAlphaChannel();
    // RGB32 already has the ARGB32 layout with an opaque alpha byte.
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            return B_NO_MEMORY;
    }

    BBitmap* bitmap = BPrivate::new_picture(uint64(image.width()), uint64(image.height()), alpha,
                                            budget);
    if (bitmap == nullptr)
        return B_NO_MEMORY;
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    size_t rowBytes = size_t(image.width()) * 4;
    for (int y = 0; y < image.height(); y++)
        std::memcpy(bits + size_t(y) * rowBytes, image.constScanLine(y), rowBytes);
    *outBitmap = bitmap;
    return B_OK;
}

void QtTranslator::_FindFormats() const
{
    BPrivate::prepare_image_codecs();
    QList<QByteArray> writable = QImageWriter::supportedImageFormats();
    QMimeDatabase mimes;
    fNames.reserve(std::size(kCandidates));
    for (const Candidate& candidate : kCandidates) {
        if (!writable.contains(QByteArray(candidate.qtFormat)) || !writes_and_reads_back(candidate))
            continue;
        std::string comment =
            mimes.mimeTypeForName(QString::fromLatin1(candidate.mime)).comment().toStdString();
        if (comment.empty()) {
            comment = candidate.shortName;
            for (char& c : comment)
                c = char(toupper(uchar(c)));
            comment += " image";
        }
        fNames.push_back(comment);
        fFormats.push_back(BPrivate::WriteFormat{candidate.type, candidate.shortName,
                                                 candidate.extensions, candidate.mime,
                                                 fNames.back().c_str(), candidate.lossless,
                                                 candidate.quality, candidate.capability});
    }
}

status_t QtTranslator::Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const
{
    const Candidate* candidate = nullptr;
    for (const Candidate& c : kCandidates)
        if (c.type == type)
            candidate = &c;
    if (candidate == nullptr)
        return B_NO_TRANSLATOR;
    if (destination == nullptr || !bitmap.IsValid() || bitmap.Bits() == nullptr)
        return B_BAD_VALUE;
    BPrivate::prepare_image_codecs();
    QImage image;
    if (!image_for(bitmap, &image))
        return B_BAD_VALUE;
    QByteArray data;
    if (!encode(image, *candidate, &data) || data.isEmpty())
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
