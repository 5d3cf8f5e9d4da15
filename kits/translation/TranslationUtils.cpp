#include <Bitmap.h>
#include <Menu.h>
#include <MenuItem.h>
#include <Message.h>
#include <RegularFile.h>
#include <StoragePrivate.h>
#include <TranslationPrivate.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QtMessageHandler gPreviousHandler = nullptr;

bool is_codec_chatter(const QMessageLogContext& context, const QString& message)
{
    const char* category = context.category != nullptr ? context.category : "";
    if (std::strncmp(category, "qt.gui.imageio", 14) == 0 ||
        std::strncmp(category, "qt.imageformats", 15) == 0)
        return true;
    if (message.startsWith(QLatin1String("libpng ")) ||
        message.startsWith(QLatin1String("QImageReader::")))
        return true;
    // The codecs' handlers name themselves first: "QWebpHandler::write() ...".
    qsizetype end = message.indexOf(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")));
    QStringView word = QStringView(message).left(end < 0 ? message.size() : end);
    return word.startsWith(u'Q') && word.endsWith(QLatin1String("Handler"));
}

void quiet_handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg && is_codec_chatter(context, message))
        return;
    if (gPreviousHandler != nullptr)
        gPreviousHandler(type, context, message);
    else
        qt_message_output(type, context, message);
}

// Bytes of a w x h B_RGB32 bitmap (rows are already a multiple of 4), or 0
// when a BBitmap could not hold it.
uint64 bitmap_bytes(int64 width, int64 height)
{
    if (width <= 0 || height <= 0)
        return 0;
    uint64 bytes = uint64(width) * uint64(height) * 4;
    if (uint64(width) * 4 > uint64(std::numeric_limits<int32>::max()) ||
        bytes > uint64(std::numeric_limits<int32>::max()))
        return 0;
    return bytes;
}

bool within_limits(int64 width, int64 height)
{
    uint64 bytes = bitmap_bytes(width, height);
    return bytes != 0 && bytes <= uint64(BTranslationUtils::kDecodeLimitMiB) << 20;
}

// libpng reports a damaged file on stderr by itself before Qt sees the
// failure. A PNG whose chunks do not reach IEND within the file is truncated:
// refuse it here, quietly. Reads only the 8-byte chunk headers.
bool png_is_truncated(int fd, off_t fileSize)
{
    static const uint8 kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    uint8 head[8];
    if (pread(fd, head, 8, 0) != 8 || std::memcmp(head, kSignature, 8) != 0)
        return false; // not a PNG: not this check's business
    off_t at = 8;
    while (true) {
        if (fileSize - at < 12 || pread(fd, head, 8, at) != 8)
            return true;
        uint32 length = (uint32(head[0]) << 24) | (uint32(head[1]) << 16) | (uint32(head[2]) << 8) |
                        uint32(head[3]);
        if (length > 0x7FFFFFFFu || off_t(length) > fileSize - at - 12)
            return true;
        if (std::memcmp(head + 4, "IEND", 4) == 0)
            return false;
        at += 12 + off_t(length);
    }
}

// Qt's BMP reader fills whatever rows are missing and reports success. For
// the uncompressed layouts the file's length must cover every row.
bool bmp_is_truncated(int fd, off_t fileSize)
{
    uint8 h[34];
    if (pread(fd, h, sizeof(h), 0) != ssize_t(sizeof(h)) || h[0] != 'B' || h[1] != 'M')
        return false;
    auto le32 = [&](int at) {
        return uint32(h[at]) | (uint32(h[at + 1]) << 8) | (uint32(h[at + 2]) << 16) |
               (uint32(h[at + 3]) << 24);
    };
    uint32 offset = le32(10), headerSize = le32(14), compression = le32(30);
    int64 width = int32(le32(18)), height = int32(le32(22));
    uint32 bits = uint32(h[28]) | (uint32(h[29]) << 8);
    if (headerSize < 40 || (compression != 0 && compression != 3) || width <= 0 || bits == 0)
        return false; // compressed or odd: the reader's own checks apply
    uint64 row = ((uint64(width) * bits + 31) / 32) * 4;
    uint64 needed = uint64(offset) + row * uint64(height < 0 ? -height : height);
    return needed > uint64(fileSize);
}

} // namespace

namespace BPrivate {

void prepare_image_codecs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QImageReader::setAllocationLimit(BTranslationUtils::kDecodeLimitMiB);
        gPreviousHandler = qInstallMessageHandler(quiet_handler);
    });
}

} // namespace BPrivate

BBitmap* BTranslationUtils::GetBitmapFile(const char* path, BTranslatorRoster*)
{
    BBitmap* bitmap = nullptr;
    return ReadBitmapFile(path, &bitmap) == B_OK ? bitmap : nullptr;
}

BBitmap* BTranslationUtils::GetBitmap(const char* path, BTranslatorRoster* roster)
{
    return GetBitmapFile(path, roster);
}

status_t BTranslationUtils::ReadBitmapFile(const char* path, BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;
    BPrivate::prepare_image_codecs();

    // Opened without blocking and checked before any codec sees it: a pipe
    // or a device would never end, a folder has no content to read.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return BPrivate::status_for_errno(errno);
    off_t size = 0;
    if (status_t status = check_regular_file(fd, &size); status != B_OK) {
        close(fd);
        return status;
    }
    if (size == 0) {
        close(fd);
        return B_NO_TRANSLATOR;
    }

    if (png_is_truncated(fd, size) || bmp_is_truncated(fd, size)) {
        close(fd);
        return B_ILLEGAL_DATA;
    }

    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        close(fd);
        return B_IO_ERROR;
    }
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    reader.setDecideFormatFromContent(true);
    if (reader.format().isEmpty())
        return B_NO_TRANSLATOR;

    // The header's size is checked before any pixel is allocated.
    QSize announced = reader.size();
    if (announced.isValid() && !within_limits(announced.width(), announced.height()))
        return B_NO_MEMORY;

    QImage image;
    if (!reader.read(&image) || image.isNull())
        return B_ILLEGAL_DATA;
    if (!within_limits(image.width(), image.height()))
        return B_NO_MEMORY;

    bool alpha = image.hasAlphaChannel();
    // RGB32 already has the ARGB32 layout with an opaque alpha byte.
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32) {
        image = image.convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            return B_NO_MEMORY;
    }

    BBitmap* bitmap = new BBitmap(BRect(0, 0, float(image.width() - 1), float(image.height() - 1)),
                                  alpha ? B_RGBA32 : B_RGB32);
    if (bitmap->InitCheck() != B_OK || bitmap->PixelWidth() != image.width() ||
        bitmap->PixelHeight() != image.height()) {
        delete bitmap;
        return B_NO_MEMORY;
    }
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    size_t rowBytes = size_t(image.width()) * 4;
    for (int y = 0; y < image.height(); y++)
        std::memcpy(bits + size_t(y) * size_t(bitmap->BytesPerRow()), image.constScanLine(y),
                    rowBytes);
    *outBitmap = bitmap;
    return B_OK;
}

status_t BTranslationUtils::AddTranslationItems(BMenu* intoMenu, uint32 fromType,
                                                const BMessage* model, const char* translatorIdName,
                                                const char* translatorTypeName,
                                                BTranslatorRoster* roster)
{
    if (intoMenu == nullptr)
        return B_BAD_VALUE;
    if (roster == nullptr)
        roster = BTranslatorRoster::Default();
    if (translatorIdName == nullptr)
        translatorIdName = "be:translator";
    if (translatorTypeName == nullptr)
        translatorTypeName = "be:type";

    translator_id* ids = nullptr;
    int32 count = 0;
    status_t status = roster->GetAllTranslators(&ids, &count);
    if (status != B_OK)
        return status;
    for (int32 i = 0; i < count; i++) {
        const translation_format* inputs = nullptr;
        const translation_format* outputs = nullptr;
        int32 inputCount = 0, outputCount = 0;
        if (roster->GetInputFormats(ids[i], &inputs, &inputCount) != B_OK ||
            roster->GetOutputFormats(ids[i], &outputs, &outputCount) != B_OK)
            continue;
        bool reads = false;
        for (int32 j = 0; j < inputCount; j++)
            reads = reads || inputs[j].type == fromType;
        if (!reads)
            continue;
        for (int32 j = 0; j < outputCount; j++) {
            if (outputs[j].type == fromType)
                continue;
            auto* message =
                model != nullptr ? new BMessage(*model) : new BMessage(B_TRANSLATION_MENU);
            message->AddInt32(translatorIdName, ids[i]);
            message->AddInt32(translatorTypeName, int32(outputs[j].type));
            intoMenu->AddItem(new BMenuItem(outputs[j].name, message));
        }
    }
    delete[] ids;
    return B_OK;
}
