#include <Bitmap.h>
#include <BitmapStream.h>
#include <TranslationPrivate.h>
#include <TranslatorRoster.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QMimeDatabase>

#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

// The formats offered for writing, in menu order. Left out on purpose:
// ico, cur and icns (Qt shrinks the picture to an icon size), pbm, xbm and
// wbmp (one bit a pixel: dithering destroys the repeats a stereogram is made
// of). PGM keeps the grey levels, which still carry the depth.
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
    {"webp", "webp", "webp", B_WEBP_FORMAT, "image/webp", true, 0.7f, 0.5f},
    {"ppm", "ppm", "ppm", B_PPM_FORMAT, "image/x-portable-pixmap", true, 0.5f, 0.5f},
    {"pgm", "pgm", "pgm", B_PGM_FORMAT, "image/x-portable-graymap", false, 0.3f, 0.5f},
    {"xpm", "xpm", "xpm", B_XPM_FORMAT, "image/x-xpixmap", true, 0.3f, 0.4f},
};

constexpr int kJpegQuality = 90;
// Qt's PNG writer takes its zlib level from the quality (higher quality,
// lower level; 90 and above store uncompressed) and ignores setCompression.
constexpr int kPngQuality = -1;

struct Translator
{
    translator_id id;
    const Candidate* candidate;
    std::string name;
    std::string info;
    std::vector<std::string> extensions;
    translation_format input;
    translation_format output;
};

void copy_text(char* to, const std::string& from)
{
    std::strncpy(to, from.c_str(), B_MIME_STRING_LENGTH - 1);
    to[B_MIME_STRING_LENGTH - 1] = '\0';
}

bool configure_writer(QImageWriter& writer, const Candidate& candidate)
{
    if (std::strcmp(candidate.qtFormat, "jpeg") == 0)
        writer.setQuality(kJpegQuality);
    else if (std::strcmp(candidate.qtFormat, "webp") == 0)
        writer.setQuality(100); // Qt's WebP writer is lossless at 100
    else if (std::strcmp(candidate.qtFormat, "png") == 0 && kPngQuality >= 0)
        writer.setQuality(kPngQuality);
    return true;
}

bool encode(const QImage& image, const Candidate& candidate, QByteArray* out)
{
    QBuffer buffer(out);
    if (!buffer.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&buffer, candidate.qtFormat);
    configure_writer(writer, candidate);
    return writer.write(image);
}

// A translator is offered only if its codec, here and now, writes a small
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
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImage back = reader.read();
    return back.size() == probe.size();
}

// The bitmap as a QImage the writers accept. B_RGB32 pixels may hold
// anything in their alpha byte: it is forced opaque on a copy.
bool image_for(const BBitmap* bitmap, QImage* out)
{
    const int width = bitmap->PixelWidth(), height = bitmap->PixelHeight();
    const uchar* bits = static_cast<const uchar*>(bitmap->Bits());
    const qsizetype row = bitmap->BytesPerRow();
    switch (bitmap->ColorSpace()) {
    case B_RGB32: {
        QImage image(width, height, QImage::Format_RGB32);
        if (image.isNull())
            return false;
        for (int y = 0; y < height; y++) {
            const uint32* from = reinterpret_cast<const uint32*>(bits + y * row);
            uint32* to = reinterpret_cast<uint32*>(image.scanLine(y));
            for (int x = 0; x < width; x++)
                to[x] = from[x] | 0xFF000000u;
        }
        *out = image;
        return true;
    }
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

} // namespace

struct BTranslatorRoster::Private
{
    std::vector<Translator> translators;

    const Translator* Find(translator_id id) const
    {
        if (id < 1 || size_t(id) > translators.size())
            return nullptr;
        return &translators[size_t(id - 1)];
    }

    status_t Formats(translator_id id, bool output, const translation_format** formats,
                     int32* count) const
    {
        if (formats == nullptr || count == nullptr)
            return B_BAD_VALUE;
        const Translator* t = Find(id);
        if (t == nullptr)
            return B_NO_TRANSLATOR;
        *formats = output ? &t->output : &t->input;
        *count = 1;
        return B_OK;
    }
};

BTranslatorRoster::BTranslatorRoster() : fPrivate(std::make_unique<Private>())
{
    BPrivate::prepare_image_codecs();
    QList<QByteArray> writable = QImageWriter::supportedImageFormats();
    QMimeDatabase mimes;
    for (const Candidate& candidate : kCandidates) {
        if (!writable.contains(QByteArray(candidate.qtFormat)) || !writes_and_reads_back(candidate))
            continue;
        Translator t;
        t.id = translator_id(fPrivate->translators.size() + 1);
        t.candidate = &candidate;
        std::string comment =
            mimes.mimeTypeForName(QString::fromLatin1(candidate.mime)).comment().toStdString();
        if (comment.empty()) {
            comment = candidate.shortName;
            for (char& c : comment)
                c = char(toupper(uchar(c)));
            comment += " image";
        }
        t.name = comment;
        t.info = std::string("Writes ") + comment + " files (" + candidate.mime + ")" +
                 (candidate.lossless ? "" : ", not pixel-exact");
        std::string list = candidate.extensions;
        for (size_t start = 0; start < list.size();) {
            size_t end = list.find(' ', start);
            if (end == std::string::npos)
                end = list.size();
            t.extensions.push_back(list.substr(start, end - start));
            start = end + 1;
        }
        t.input = translation_format{B_TRANSLATOR_BITMAP, B_TRANSLATOR_BITMAP, 0.4f, 0.6f, {}, {}};
        copy_text(t.input.MIME, "image/x-be-bitmap");
        copy_text(t.input.name, "Be Bitmap Format");
        t.output = translation_format{
            candidate.type, B_TRANSLATOR_BITMAP, candidate.quality, candidate.capability, {}, {}};
        copy_text(t.output.MIME, candidate.mime);
        copy_text(t.output.name, comment);
        fPrivate->translators.push_back(std::move(t));
    }
}

BTranslatorRoster::~BTranslatorRoster() = default;

BTranslatorRoster* BTranslatorRoster::Default()
{
    static BTranslatorRoster roster;
    return &roster;
}

status_t BTranslatorRoster::GetAllTranslators(translator_id** list, int32* count) const
{
    if (list == nullptr || count == nullptr)
        return B_BAD_VALUE;
    const std::vector<Translator>& all = fPrivate->translators;
    *list = new translator_id[all.size() > 0 ? all.size() : 1];
    for (size_t i = 0; i < all.size(); i++)
        (*list)[i] = all[i].id;
    *count = int32(all.size());
    return B_OK;
}

status_t BTranslatorRoster::GetTranslatorInfo(translator_id id, const char** name,
                                              const char** info, int32* version) const
{
    const Translator* t = fPrivate->Find(id);
    if (t == nullptr)
        return B_NO_TRANSLATOR;
    if (name != nullptr)
        *name = t->name.c_str();
    if (info != nullptr)
        *info = t->info.c_str();
    if (version != nullptr)
        *version = B_TRANSLATION_MAKE_VERSION(1, 0, 0);
    return B_OK;
}

// Each translator reads one format and writes one.
status_t BTranslatorRoster::GetInputFormats(translator_id id, const translation_format** formats,
                                            int32* count) const
{
    return fPrivate->Formats(id, false, formats, count);
}

status_t BTranslatorRoster::GetOutputFormats(translator_id id, const translation_format** formats,
                                             int32* count) const
{
    return fPrivate->Formats(id, true, formats, count);
}

status_t BTranslatorRoster::Translate(translator_id id, BPositionIO* source, BMessage*,
                                      BPositionIO* destination, uint32 wantedType)
{
    const Translator* t = fPrivate->Find(id);
    if (t == nullptr)
        return B_NO_TRANSLATOR;
    if (wantedType != 0 && wantedType != t->output.type)
        return B_NO_TRANSLATOR;
    if (source == nullptr || destination == nullptr)
        return B_BAD_VALUE;
    BBitmapStream* stream = dynamic_cast<BBitmapStream*>(source);
    if (stream == nullptr)
        return B_NO_TRANSLATOR;
    const BBitmap* bitmap = stream->fBitmap;
    if (bitmap == nullptr || !bitmap->IsValid() || bitmap->Bits() == nullptr)
        return B_BAD_VALUE;

    QImage image;
    if (!image_for(bitmap, &image))
        return B_BAD_VALUE;
    QByteArray data;
    if (!encode(image, *t->candidate, &data) || data.isEmpty())
        return B_ERROR;
    // Encoded in memory first: Qt's writers do not report a failing device,
    // a BPositionIO does.
    return destination->WriteExactly(data.constData(), size_t(data.size()));
}

status_t BTranslatorRoster::FindTranslator(uint32 type, translator_id* id) const
{
    if (id == nullptr)
        return B_BAD_VALUE;
    for (const Translator& t : fPrivate->translators) {
        if (t.output.type == type) {
            *id = t.id;
            return B_OK;
        }
    }
    return B_NO_TRANSLATOR;
}

status_t BTranslatorRoster::FindTranslator(const char* name, translator_id* id) const
{
    if (id == nullptr || name == nullptr)
        return B_BAD_VALUE;
    for (const Translator& t : fPrivate->translators) {
        for (const std::string& extension : t.extensions) {
            if (strcasecmp(extension.c_str(), name) == 0) {
                *id = t.id;
                return B_OK;
            }
        }
    }
    return B_NO_TRANSLATOR;
}

const char* BTranslatorRoster::ShortName(translator_id id) const
{
    const Translator* t = fPrivate->Find(id);
    return t != nullptr ? t->candidate->shortName : nullptr;
}

bool BTranslatorRoster::IsLossless(translator_id id) const
{
    const Translator* t = fPrivate->Find(id);
    return t != nullptr && t->candidate->lossless;
}
