#include <PictureFormats.h>

#include <BitmapReading.h>

#include <DdsTranslator.h>
#include <ExrTranslator.h>
#include <GifTranslator.h>
#include <HeifTranslator.h>
#include <Jpeg2000Translator.h>
#include <JpegTranslator.h>
#include <JxlTranslator.h>
#include <LayerFormats.h>
#include <MagickTranslator.h>
#include <PfmTranslator.h>
#include <PictureHeaders.h>
#include <PngTranslator.h>
#include <ReadingPipeline.h>
#include <RowReaders.h>
#include <QoiTranslator.h>
#include <QtTranslator.h>
#include <TiffTranslator.h>
#include <TranslatorFormats.h>
#include <WebpTranslator.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace BPrivate {

namespace {

// The library formats' sniff and header stage are their translator's.
template <TranslatorFactory owner> identify_result sniff_of(const ImageSource& source)
{
    return owner()->Identify(source);
}

template <TranslatorFactory owner>
status_t header_of(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    return owner()->ReadHeader(source, budget, header);
}

template <typename Reader> std::unique_ptr<RowReader> row_reader_of()
{
    return std::make_unique<Reader>();
}

} // namespace

const std::vector<PictureFormat>& picture_formats()
{
    // Formats with a magic number first; then those without one (icons and
    // cursors, PCX, DIB, TGA, WBMP), whose sniffs decide among themselves.
    static const std::vector<PictureFormat> formats = {
        {"png", "png", "image/png", "PNG image", B_PNG_FORMAT, 0, true, 0.8f, 0.6f,
         sniff_of<png_translator>, header_of<png_translator>, png_translator, png_translator, "png",
         row_reader_of<PngRowReader>},
        {"jpeg", "jpeg jpg jpe jfif", "image/jpeg", "JPEG image", B_JPEG_FORMAT, 1, false, 0.6f,
         0.6f, sniff_of<jpeg_translator>, header_of<jpeg_translator>, jpeg_translator,
         jpeg_translator, "jpeg", row_reader_of<JpegRowReader>},
        {"tiff", "tiff tif", "image/tiff", "TIFF image", B_TIFF_FORMAT, 3, true, 0.7f, 0.5f,
         sniff_of<tiff_translator>, header_of<tiff_translator>, tiff_translator, tiff_translator,
         "tiff", row_reader_of<TiffRowReader>},
        {"webp", "webp", "image/webp", "WebP image", kWebpFormat, 4, true, 0.7f, 0.5f,
         sniff_of<webp_translator>, header_of<webp_translator>, webp_translator, webp_translator,
         "webp"},
        {"heif", "heif heic hif avif", "image/heif", "HEIF image", 0, -1, false, 0, 0,
         sniff_of<heif_translator>, header_of<heif_translator>, heif_translator, nullptr, nullptr},
        {"jxl", "jxl", "image/jxl", "JPEG XL image (lossless)", kJxlFormat, 8, true, 0.7f, 0.5f,
         sniff_of<jxl_translator>, header_of<jxl_translator>, jxl_translator, jxl_translator,
         nullptr},
        {"jp2", "jp2 j2k j2c jpf jpx", "image/jp2", "JPEG 2000 image", 0, -1, false, 0, 0,
         sniff_of<jpeg2000_translator>, header_of<jpeg2000_translator>, jpeg2000_translator,
         nullptr, nullptr},
        {"exr", "exr", "image/x-exr", "OpenEXR image", 0, -1, false, 0, 0, sniff_of<exr_translator>,
         header_of<exr_translator>, exr_translator, nullptr, nullptr},
        {"pfm", "pfm", "image/x-portable-floatmap", "PFM image", 0, -1, false, 0, 0,
         sniff_of<pfm_translator>, header_of<pfm_translator>, pfm_translator, nullptr, nullptr},
        {"qoi", "qoi", "image/qoi", "QOI image", 0, -1, false, 0, 0, sniff_of<qoi_translator>,
         header_of<qoi_translator>, qoi_translator, nullptr, nullptr},
        {"gif", "gif", "image/gif", "GIF image", 0, -1, false, 0, 0, sniff_of<gif_translator>,
         header_of<gif_translator>, gif_translator, nullptr, "gif"},
        {"bmp", "bmp dib", "image/bmp", "BMP image", B_BMP_FORMAT, 2, true, 0.6f, 0.6f, bmp_sniff,
         bmp_header, magick_translator, qt_translator, "bmp"},
        {"psd", "psd psb", "image/vnd.adobe.photoshop", "Photoshop image", 0, -1, false, 0, 0,
         psd_sniff, psd_header, magick_translator, nullptr, nullptr},
        {"dds", "dds", "image/x-dds", "DirectDraw surface", 0, -1, false, 0, 0,
         sniff_of<dds_translator>, header_of<dds_translator>, dds_translator, nullptr, nullptr},
        {"sgi", "sgi rgb rgba bw", "image/x-sgi", "SGI image", 0, -1, false, 0, 0, sgi_sniff,
         sgi_header, magick_translator, nullptr, nullptr},
        // Read as one format, P1 to P6; written as two.
        {"pnm", "pnm pbm pgm ppm", "image/x-portable-anymap", "PNM image", 0, -1, false, 0, 0,
         pnm_sniff, pnm_header, magick_translator, nullptr, "ppm", row_reader_of<PnmRowReader>},
        {"ppm", "ppm", "image/x-portable-pixmap", "PPM image", B_PPM_FORMAT, 5, true, 0.5f, 0.5f,
         nullptr, nullptr, nullptr, qt_translator, "ppm"},
        {"pgm", "pgm", "image/x-portable-graymap", "PGM image", kPgmFormat, 6, false, 0.3f, 0.5f,
         nullptr, nullptr, nullptr, qt_translator, "pgm"},
        {"pam", "pam", "image/x-portable-arbitrarymap", "PAM image", 0, -1, false, 0, 0, pam_sniff,
         pam_header, magick_translator, nullptr, nullptr},
        {"xbm", "xbm", "image/x-xbitmap", "XBM image", 0, -1, false, 0, 0, xbm_sniff, xbm_header,
         magick_translator, nullptr, "xbm"},
        {"xpm", "xpm", "image/x-xpixmap", "XPM image", kXpmFormat, 7, true, 0.3f, 0.4f, xpm_sniff,
         xpm_header, nullptr, qt_translator, "xpm"},
        {"mng", "mng", "video/x-mng", "MNG animation", 0, -1, false, 0, 0, mng_sniff, mng_header,
         nullptr, nullptr, "mng"},
        {"icns", "icns", "image/x-icns", "Apple icon image", 0, -1, false, 0, 0, icns_sniff,
         icns_header, nullptr, nullptr, "icns"},
        {"ico", "ico cur", "image/vnd.microsoft.icon", "Windows icon", 0, -1, false, 0, 0,
         ico_sniff, ico_header, magick_translator, nullptr, "ico"},
        {"pcx", "pcx", "image/vnd.zbrush.pcx", "PCX image", 0, -1, false, 0, 0, pcx_sniff,
         pcx_header, magick_translator, nullptr, nullptr},
        {"dib", "dib", "image/bmp", "DIB image", 0, -1, false, 0, 0, dib_sniff, dib_header,
         magick_translator, nullptr, nullptr},
        {"tga", "tga icb vda vst", "image/x-tga", "TGA image", 0, -1, false, 0, 0, tga_sniff,
         tga_header, magick_translator, nullptr, "tga"},
        {"wbmp", "wbmp", "image/vnd.wap.wbmp", "WBMP image", 0, -1, false, 0, 0, wbmp_sniff,
         wbmp_header, nullptr, nullptr, "wbmp"},
    };
    return formats;
}

std::vector<const PictureFormat*> written_formats()
{
    std::vector<const PictureFormat*> written;
    for (const PictureFormat& format : picture_formats()) {
        if (format.menuOrder >= 0 && format.writer != nullptr)
            written.push_back(&format);
    }
    std::stable_sort(
        written.begin(), written.end(),
        [](const PictureFormat* a, const PictureFormat* b) { return a->menuOrder < b->menuOrder; });
    return written;
}

const PictureFormat* format_of_type(uint32 type)
{
    if (type == 0)
        return nullptr;
    for (const PictureFormat& format : picture_formats()) {
        if (format.type == type)
            return &format;
    }
    return nullptr;
}

WriteFormat write_format_of(const PictureFormat& format)
{
    return WriteFormat{format.type, format.shortName, format.extensions, format.mime,
                       format.name, format.lossless,  format.quality,    format.capability};
}

std::vector<const PictureFormat*> sniff_formats(const ImageSource& source)
{
    std::vector<std::pair<const PictureFormat*, identify_result>> found;
    if (source.data == nullptr || source.size == 0)
        return {};
    for (const PictureFormat& format : picture_formats()) {
        if (format.sniff == nullptr)
            continue;
        identify_result score = format.sniff(source);
        if (score != kNotMine)
            found.emplace_back(&format, score);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<const PictureFormat*> formats;
    for (const auto& entry : found)
        formats.push_back(entry.first);
    return formats;
}

} // namespace BPrivate

bool is_read_format_name(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return false;
    const size_t length = std::strlen(name);
    for (const BPrivate::PictureFormat& format : BPrivate::picture_formats()) {
        if (strcasecmp(format.shortName, name) == 0)
            return true;
        for (const char* at = format.extensions; *at != '\0';) {
            const size_t word = std::strcspn(at, " ");
            if (word == length && strncasecmp(at, name, length) == 0)
                return true;
            at += word;
            at += std::strspn(at, " ");
        }
    }
    return false;
}

std::unique_ptr<RowReader> row_reader_for(const uint8* prefix, size_t size, uint64 fileSize,
                                          const char* name)
{
    BPrivate::ImageSource source;
    source.data = prefix;
    source.size = size;
    source.wholeSize = std::max<uint64>(fileSize, size);
    source.extension = BPrivate::extension_of(name);
    const std::vector<const BPrivate::PictureFormat*> formats = BPrivate::sniff_formats(source);
    // Only the format the whole reading would read the file as.
    if (formats.empty() || formats.front()->rowReader == nullptr)
        return nullptr;
    return formats.front()->rowReader();
}
