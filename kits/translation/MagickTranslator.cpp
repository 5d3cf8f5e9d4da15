#include <MagickTranslator.h>

#include <Bitmap.h>
#include <PictureHeaders.h>

#include <magick/MagickCore.h>

#include <cstring>
#include <memory>
#include <bit>
#include <mutex>

namespace BPrivate {

namespace {

// Only the coders of the formats we promise (PNG for icons that hold one),
// no delegate programs, no file indirection ("@list"), never a pixel cache on
// disk, and one thread: the reader must stay as small as the budget says.
const char kPolicy[] =
    "<policymap>"
    "<policy domain=\"delegate\" rights=\"none\" pattern=\"*\"/>"
    "<policy domain=\"path\" rights=\"none\" pattern=\"@*\"/>"
    "<policy domain=\"coder\" rights=\"none\" pattern=\"*\"/>"
    "<policy domain=\"coder\" rights=\"read\" "
    "pattern=\"{BMP,BMP2,BMP3,DIB,TGA,PSD,DDS,SGI,PCX,ICO,ICON,CUR,PNM,PBM,PGM,PPM,PAM,XBM,PNG}\"/>"
    "<policy domain=\"resource\" name=\"disk\" value=\"0\"/>"
    "<policy domain=\"resource\" name=\"thread\" value=\"1\"/>"
    "</policymap>";

// Pictures are many frames in an icon only; PSD's layers are skipped.
constexpr MagickSizeType kMaxFrames = 256;

void quiet_warning(const ExceptionType, const char*, const char*) {}
void quiet_fatal(const ExceptionType, const char*, const char*) {}

std::mutex gMagickLock;

void start_magick()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // No signal handlers of its own: the application keeps its own.
        MagickCoreGenesis(nullptr, MagickFalse);
        SetErrorHandler(quiet_warning);
        SetWarningHandler(quiet_warning);
        SetFatalErrorHandler(quiet_fatal);
        ExceptionInfo* exception = AcquireExceptionInfo();
        SetMagickSecurityPolicy(kPolicy, exception);
        DestroyExceptionInfo(exception);
        SetMagickResourceLimit(DiskResource, 0);
        SetMagickResourceLimit(ThreadResource, 1);
        SetMagickResourceLimit(ListLengthResource, kMaxFrames);
    });
}

const char* coder_for(int32 format)
{
    switch (format) {
    case kBmpTail: return "BMP";
    case kDibTail: return "DIB";
    case kPamTail: return "PAM";
    case kTgaTail: return "TGA";
    case kPsdTail: return "PSD";
    case kDdsTail: return "DDS";
    case kSgiTail: return "SGI";
    case kPcxTail: return "PCX";
    case kIcoTail: return "ICO";
    case kPnmTail: return "PNM";
    case kXbmTail: return "XBM";
    default: return nullptr; // XPM and others: Qt's
    }
}

struct ImageListDeleter
{
    void operator()(Image* images) const { DestroyImageList(images); }
};
struct ImageInfoDeleter
{
    void operator()(ImageInfo* info) const { DestroyImageInfo(info); }
};
struct ExceptionDeleter
{
    void operator()(ExceptionInfo* exception) const { DestroyExceptionInfo(exception); }
};

// The picture passed the budget's checks; when the system's ImageMagick
// policy (Debian's allows about 60 megapixels) still refuses it, Qt's plugins
// are asked instead of refusing a valid picture.
status_t status_for(const ExceptionInfo* exception)
{
    switch (exception->severity) {
    case ResourceLimitWarning:
    case ResourceLimitError:
    case ResourceLimitFatalError:
    case CacheWarning:
    case CacheError:
    case CacheFatalError:
        return B_NO_TRANSLATOR;
    default:
        return B_ILLEGAL_DATA;
    }
}

// Whether a read's complaints mean its pixels cannot be trusted: every error
// and a damaged picture's warning (missing data is made up), or no picture
// at all. Other warnings (a libpng remark on an icon's PNG, an odd field)
// leave the pixels whole. A BMP's file size field, which many writers get
// wrong, was made irrelevant by the header check.
bool spoiled(const ExceptionInfo* exception, int32 format, bool read)
{
    if (!read)
        return true;
    if (exception->severity == UndefinedException)
        return false;
    if (format == kBmpTail && exception->reason != nullptr &&
        std::strstr(exception->reason, "length and filesize do not match") != nullptr)
        return false;
    return exception->severity >= ErrorException || exception->severity == CorruptImageWarning ||
           exception->severity == ResourceLimitWarning || exception->severity == CacheWarning;
}

class MagickTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "magick"; }

    // The header stages are the formats' own (PictureHeaders.h).
    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override;

private:
    static void _FixOneBitAlpha(const ImageSource& source, BBitmap* bitmap, PictureHeader* header);
    static void _FixDdsChannelOrder(const ImageSource& source, BBitmap* bitmap);
};

// Little-endian fields of a file's first bytes, 0 past its end.
uint32 le32_at(const ImageSource& source, size_t offset)
{
    if (source.size < offset + 4)
        return 0;
    const uint8* p = static_cast<const uint8*>(source.data) + offset;
    return uint32(p[0]) | uint32(p[1]) << 8 | uint32(p[2]) << 16 | uint32(p[3]) << 24;
}

// A 16-bit BMP whose bit fields give alpha one bit (ARGB 1-5-5-5): a set bit
// is opaque, a clear one transparent. ImageMagick scales the bit to half
// opacity. A picture whose every alpha bit is clear was written by a program
// that left the bit unused, so it is shown opaque, as other readers show it.
void MagickTranslator::_FixOneBitAlpha(const ImageSource& source, BBitmap* bitmap,
                                       PictureHeader* header)
{
    const uint32 infoSize = le32_at(source, 14);
    const uint32 bitsAndPlanes = le32_at(source, 26);
    const uint32 compression = le32_at(source, 30);
    // The alpha mask follows the colour masks at the same offset in a V4 or
    // V5 header and after a BITMAPINFOHEADER with BI_ALPHABITFIELDS.
    const bool masks = (compression == 3 && infoSize >= 56) || (compression == 6 && infoSize >= 40);
    const uint32 alphaMask = masks ? le32_at(source, 66) : 0;
    if ((bitsAndPlanes >> 16) != 16 || std::popcount(alphaMask) != 1 || !header->alpha)
        return;
    uint32* pixels = static_cast<uint32*>(bitmap->Bits());
    const size_t count = size_t(bitmap->BitsLength()) / 4;
    bool anySet = false;
    for (size_t i = 0; i < count && !anySet; i++)
        anySet = (pixels[i] >> 24) != 0;
    for (size_t i = 0; i < count; i++) {
        const bool opaque = !anySet || (pixels[i] >> 24) != 0;
        pixels[i] = (pixels[i] & 0x00FFFFFFu) | (opaque ? 0xFF000000u : 0u);
    }
    header->alpha = anySet;
}

// An uncompressed DDS whose masks put red in the lowest byte (ABGR, as
// Direct3D's R8G8B8A8 surfaces are written): ImageMagick reads every such
// file as blue first, whatever the masks say.
void MagickTranslator::_FixDdsChannelOrder(const ImageSource& source, BBitmap* bitmap)
{
    const uint32 flags = le32_at(source, 80);
    const uint32 bits = le32_at(source, 88);
    if ((flags & 0x4) != 0 || (flags & 0x40) == 0 || (bits != 24 && bits != 32) ||
        le32_at(source, 92) != 0xFFu || le32_at(source, 96) != 0xFF00u ||
        le32_at(source, 100) != 0xFF0000u)
        return;
    uint32* pixels = static_cast<uint32*>(bitmap->Bits());
    const size_t count = size_t(bitmap->BitsLength()) / 4;
    for (size_t i = 0; i < count; i++) {
        const uint32 p = pixels[i];
        pixels[i] = (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | (p >> 16 & 0xFFu);
    }
}

status_t MagickTranslator::Decode(const ImageSource& source, const ReadBudget& budget,
                                  PictureHeader* header, BBitmap* bitmap) const
{
    const int32 format = header->variant;
    const char* coder = coder_for(format);
    if (coder == nullptr)
        return B_NO_TRANSLATOR;

    std::lock_guard<std::mutex> lock(gMagickLock);
    start_magick();
    // The headers were checked; these keep the decoder itself to the same
    // sizes. Policy limits of the system may be lower still.
    SetMagickResourceLimit(WidthResource, MagickSizeType(header->width));
    SetMagickResourceLimit(HeightResource, MagickSizeType(header->height));
    SetMagickResourceLimit(MemoryResource, MagickSizeType(budget.maxPixels) * 8 + (64 << 20));

    std::unique_ptr<ExceptionInfo, ExceptionDeleter> exception(AcquireExceptionInfo());
    std::unique_ptr<ImageInfo, ImageInfoDeleter> info(CloneImageInfo(nullptr));
    if (exception == nullptr || info == nullptr)
        return B_NO_MEMORY;
    // The coder is named, never guessed from the content again.
    CopyMagickString(info->magick, coder, MaxTextExtent);
    FormatLocaleString(info->filename, MaxTextExtent, "%s:", coder);
    info->affirm = MagickTrue;
    if (format != kIcoTail) {
        // One picture: a PSD's composite, without decoding its layers.
        info->scene = 0;
        info->number_scenes = 1;
    }
    std::unique_ptr<Image, ImageListDeleter> images(
        BlobToImage(info.get(), source.data, source.size, exception.get()));
    if (spoiled(exception.get(), format, images != nullptr))
        return status_for(exception.get());
    ClearMagickException(exception.get());
    if (images == nullptr)
        return B_ILLEGAL_DATA;

    // An icon's largest picture, as viewers show, which its header stage
    // found too.
    Image* image = images.get();
    for (Image* next = image->next; next != nullptr; next = next->next) {
        if (uint64(next->columns) * next->rows > uint64(image->columns) * image->rows)
            image = next;
    }
    if (image->columns != header->width || image->rows != header->height)
        return B_ILLEGAL_DATA;
    // A one-plane 1-bit PCX is black and white, a set bit white: the
    // palette in its header is the 16-colour one, unused here and often left
    // empty, as Pillow and FFmpeg read it. ImageMagick reads it through that
    // palette, with a set bit as index 0.
    const uint8* pcx = static_cast<const uint8*>(source.data);
    if (format == kPcxTail && source.size >= 128 && pcx[3] == 1 && pcx[65] == 1 &&
        image->storage_class == PseudoClass && image->colors == 2 && image->colormap != nullptr) {
        for (int i = 0; i < 2; i++) {
            const Quantum level = i == 0 ? Quantum(QuantumRange) : Quantum(0);
            image->colormap[i].red = image->colormap[i].green = image->colormap[i].blue = level;
            image->colormap[i].opacity = OpaqueOpacity;
        }
        if (SyncImage(image) == MagickFalse)
            return B_ILLEGAL_DATA;
    }
    if (image->colorspace != sRGBColorspace && image->colorspace != RGBColorspace &&
        image->colorspace != GRAYColorspace && image->colorspace != TransparentColorspace &&
        TransformImageColorspace(image, sRGBColorspace) == MagickFalse)
        return B_ILLEGAL_DATA;

    // Little-endian 0xAARRGGBB words; without an alpha channel A is opaque.
    if (ExportImagePixels(image, 0, 0, image->columns, image->rows, "BGRA", CharPixel,
                          bitmap->Bits(), exception.get()) == MagickFalse ||
        exception->severity != UndefinedException)
        return B_ILLEGAL_DATA;
    header->alpha = image->matte != MagickFalse;
    if (format == kBmpTail)
        _FixOneBitAlpha(source, bitmap, header);
    else if (format == kDdsTail)
        _FixDdsChannelOrder(source, bitmap);
    // TGA records its origin rather than turning its rows; the orientation
    // values are EXIF's.
    if (image->orientation > TopLeftOrientation && image->orientation <= LeftBottomOrientation)
        header->orientation = int32(image->orientation);
    return B_OK;
}

} // namespace

const ImageTranslator* magick_translator()
{
    static const MagickTranslator translator;
    return &translator;
}

} // namespace BPrivate
