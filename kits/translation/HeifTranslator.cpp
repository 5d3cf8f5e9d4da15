#include <HeifTranslator.h>

#include <CodecSupport.h>

#include <climits>
#include <memory>

#include <libheif/heif.h>

namespace BPrivate {

namespace {

// libheif's own ceiling on a side, kept explicit: the pixel budget is
// checked on top of it before anything is decoded.
constexpr int kMaxSide = 32768;

struct ContextDeleter
{
    void operator()(heif_context* context) const { heif_context_free(context); }
};

struct HandleDeleter
{
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};

struct ImageDeleter
{
    void operator()(heif_image* image) const { heif_image_release(image); }
};

struct OptionsDeleter
{
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

void initialise_libheif()
{
    // Registers the decoders built into the library, once for the process.
    static const bool done = [] {
        heif_init(nullptr);
        return true;
    }();
    (void)done;
}

status_t status_of(const heif_error& error)
{
    if (error.code == heif_error_Ok)
        return B_OK;
    if (error.code == heif_error_Memory_allocation_error ||
        error.subcode == heif_suberror_Security_limit_exceeded)
        return B_NO_MEMORY;
    if (error.code == heif_error_Unsupported_feature ||
        error.code == heif_error_Unsupported_filetype || error.code == heif_error_Plugin_loading_error)
        return B_NO_TRANSLATOR;
    return B_ILLEGAL_DATA;
}

status_t decode(const ImageSource& source, const ReadBudget& budget, BBitmap** outBitmap)
{
    initialise_libheif();
    if (source.size > size_t(INT_MAX))
        return B_NO_MEMORY;
    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context)
        return B_NO_MEMORY;
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
    status_t status = status_of(heif_context_read_from_memory_without_copy(
        context.get(), source.data, source.size, nullptr));
    if (status != B_OK)
        return status;
    heif_image_handle* rawHandle = nullptr;
    status = status_of(heif_context_get_primary_image_handle(context.get(), &rawHandle));
    std::unique_ptr<heif_image_handle, HandleDeleter> handle(rawHandle);
    if (status != B_OK)
        return status;
    // The stored size; a quarter turn swaps it, which the budget does not mind.
    const int storedWidth = heif_image_handle_get_width(handle.get());
    const int storedHeight = heif_image_handle_get_height(handle.get());
    if (storedWidth <= 0 || storedHeight <= 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(uint64(storedWidth), uint64(storedHeight)))
        return B_NO_MEMORY;
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;

    std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    if (!options)
        return B_NO_MEMORY;
    // Rotation, mirroring and crop are applied, as viewers do; deep colour
    // comes as 8 bits.
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = 1;
    heif_image* rawImage = nullptr;
    status = status_of(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                                         alpha ? heif_chroma_interleaved_RGBA
                                               : heif_chroma_interleaved_RGB,
                                         options.get()));
    std::unique_ptr<heif_image, ImageDeleter> image(rawImage);
    if (status != B_OK)
        return status;
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    int stride = 0;
    const uint8_t* pixels =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (pixels == nullptr || width <= 0 || height <= 0 ||
        heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8 ||
        stride < width * (alpha ? 4 : 3))
        return B_ILLEGAL_DATA;
    BBitmap* bitmap = new_picture(uint64(width), uint64(height), alpha, budget);
    if (bitmap == nullptr)
        return B_NO_MEMORY;
    for (int y = 0; y < height; y++) {
        const uint8* in = pixels + int64(y) * stride;
        uint32* out = bitmap_row(bitmap, y);
        if (alpha) {
            for (int x = 0; x < width; x++, in += 4)
                out[x] = (uint32(in[3]) << 24) | (uint32(in[0]) << 16) | (uint32(in[1]) << 8) |
                         in[2];
        } else {
            for (int x = 0; x < width; x++, in += 3)
                out[x] = 0xFF000000u | (uint32(in[0]) << 16) | (uint32(in[1]) << 8) | in[2];
        }
    }
    *outBitmap = bitmap;
    return B_OK;
}

class HeifTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "heif"; }

    identify_result Identify(const ImageSource& source) const override
    {
        if (source.size < 12)
            return kNotMine;
        switch (heif_check_filetype(source.data, int(std::min<size_t>(source.size, INT_MAX)))) {
        case heif_filetype_yes_supported:
        case heif_filetype_yes_unsupported: return kMine;
        default: return kNotMine;
        }
    }

    status_t Read(const ImageSource& source, const ReadBudget& budget,
                  BBitmap** outBitmap) const override
    {
        *outBitmap = nullptr;
        if (Identify(source) != kMine)
            return B_NO_TRANSLATOR;
        return decode(source, budget, outBitmap);
    }
};

} // namespace

const ImageTranslator* heif_translator()
{
    static const HeifTranslator translator;
    return &translator;
}

} // namespace BPrivate
