#include <MagickTranslator.h>

#include <Bitmap.h>

#include <magick/MagickCore.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace BPrivate {

namespace {

// The coders the modules' codings name, in the order they were made.
std::vector<const char*>& named_coders()
{
    static std::vector<const char*> coders;
    return coders;
}

// Only the coders the modules name (and those they call inside), no
// delegate programs, no file indirection ("@list"), never a pixel cache on
// disk, and one thread: the reader must stay as small as the budget says.
std::string policy()
{
    std::string coders;
    for (const char* coder : named_coders()) {
        const std::string name = std::string(coder) + ",";
        if (("," + coders).find("," + name) == std::string::npos)
            coders += name;
    }
    if (!coders.empty())
        coders.pop_back();
    return "<policymap>"
           "<policy domain=\"delegate\" rights=\"none\" pattern=\"*\"/>"
           "<policy domain=\"path\" rights=\"none\" pattern=\"@*\"/>"
           "<policy domain=\"coder\" rights=\"none\" pattern=\"*\"/>"
           "<policy domain=\"coder\" rights=\"read\" pattern=\"{" +
           coders +
           "}\"/>"
           "<policy domain=\"resource\" name=\"disk\" value=\"0\"/>"
           "<policy domain=\"resource\" name=\"thread\" value=\"1\"/>"
           "</policymap>";
}

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
        SetMagickSecurityPolicy(policy().c_str(), exception);
        DestroyExceptionInfo(exception);
        SetMagickResourceLimit(DiskResource, 0);
        SetMagickResourceLimit(ThreadResource, 1);
        SetMagickResourceLimit(ListLengthResource, kMaxFrames);
    });
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
// leave the pixels whole, as do those the format's module calls harmless.
bool spoiled(const ExceptionInfo* exception, const MagickCoding& coding, bool read)
{
    if (!read)
        return true;
    if (exception->severity == UndefinedException)
        return false;
    if (coding.harmlessWarning != nullptr && exception->reason != nullptr &&
        std::strstr(exception->reason, coding.harmlessWarning) != nullptr)
        return false;
    return exception->severity >= ErrorException || exception->severity == CorruptImageWarning ||
           exception->severity == ResourceLimitWarning || exception->severity == CacheWarning;
}

class MagickTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "magick"; }

    // The header stages are the formats' own (formats/).
    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override;
};

status_t MagickTranslator::Decode(const ImageSource& source, const ReadBudget& budget,
                                  PictureHeader* header, BBitmap* bitmap) const
{
    if (header->magick == nullptr)
        return B_NO_TRANSLATOR;
    const MagickCoding& coding = *header->magick;
    const char* coder = coding.coder;

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
    if (!coding.everyPicture) {
        // One picture: a PSD's composite, without decoding its layers.
        info->scene = 0;
        info->number_scenes = 1;
    }
    std::unique_ptr<Image, ImageListDeleter> images(
        BlobToImage(info.get(), source.data, source.size, exception.get()));
    if (spoiled(exception.get(), coding, images != nullptr))
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
    if (coding.setBitIsWhite && image->storage_class == PseudoClass && image->colors == 2 &&
        image->colormap != nullptr) {
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
    if (coding.mend != nullptr)
        coding.mend(header, bitmap);
    // TGA records its origin rather than turning its rows; the orientation
    // values are EXIF's.
    if (image->orientation > TopLeftOrientation && image->orientation <= LeftBottomOrientation)
        header->orientation = int32(image->orientation);
    return B_OK;
}

} // namespace

MagickCoding::MagickCoding(const char* coder, bool everyPicture, bool setBitIsWhite,
                           const char* harmlessWarning,
                           void (*mend)(PictureHeader* header, BBitmap* bitmap), const char* inner)
    : coder(coder),
      everyPicture(everyPicture),
      setBitIsWhite(setBitIsWhite),
      harmlessWarning(harmlessWarning),
      mend(mend),
      inner(inner)
{
    named_coders().push_back(coder);
    if (inner != nullptr)
        named_coders().push_back(inner);
}

const ImageTranslator* magick_translator()
{
    static const MagickTranslator translator;
    return &translator;
}

} // namespace BPrivate
