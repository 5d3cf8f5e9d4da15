#include <StereoViews.h>

#include <CodecSupport.h>
#include <HeifTranslator.h>
#include <ImageTranslator.h>
#include <LibheifHandles.h>

#include <BitmapReading.h>
#include <Bitmap.h>

#include <libheif/heif.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>


namespace {

using namespace BPrivate;

status_t refuse(const char** why, const char* what)
{
    if (why != nullptr)
        *why = what;
    return B_ILLEGAL_DATA;
}

// One view as shown (turned, mirrored, cropped), 8 bits a sample.
status_t decode_view(heif_context* context, uint32 item, const ReadBudget& budget,
                     std::unique_ptr<BBitmap>* view, const char** why)
{
    heif_image_handle* raw = nullptr;
    if (libheif_status(heif_context_get_image_handle(context, item, &raw)) != B_OK) {
        heif_image_handle_release(raw);
        return refuse(why, "its stereo pair group names an item that is not a picture");
    }
    std::unique_ptr<heif_image_handle, HeifHandleDeleter> handle(raw);
    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    if (width <= 0 || height <= 0)
        return refuse(why, "a view of its stereo pair has no size");
    if (!budget.Admits(uint64(width), uint64(height)))
        return B_NO_MEMORY;
    std::unique_ptr<heif_image, HeifImageDeleter> image;
    const status_t status = decode_heif_image(handle.get(), false, &image);
    if (status == B_NO_MEMORY)
        return B_NO_MEMORY;
    if (status != B_OK)
        return refuse(why, "a view of its stereo pair cannot be decoded");
    const int shownWidth = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int shownHeight = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (shownWidth <= 0 || shownHeight <= 0 ||
        !budget.Admits(uint64(shownWidth), uint64(shownHeight)))
        return refuse(why, "a view of its stereo pair cannot be decoded");
    view->reset(new (std::nothrow) BBitmap(pixel_bounds(shownWidth, shownHeight), B_RGB32));
    if (!*view || !(*view)->IsValid())
        return B_NO_MEMORY;
    BBitmap* bitmap = view->get();
    if (!heif_image_words(image.get(), false, [bitmap](int y) {
            return reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                             size_t(y) * size_t(bitmap->BytesPerRow()));
        }))
        return refuse(why, "a view of its stereo pair cannot be decoded");
    return B_OK;
}

} // namespace

status_t read_heif_stereo_views(const void* data, size_t size, BBitmap** left, BBitmap** right,
                                const char** why)
{
    const uint8* bytes = static_cast<const uint8*>(data);
    if (bytes == nullptr || left == nullptr || right == nullptr || size < 12)
        return B_NO_TRANSLATOR;
    switch (heif_check_filetype(bytes, int(std::min<size_t>(size, INT_MAX)))) {
    case heif_filetype_yes_supported:
    case heif_filetype_yes_unsupported: break;
    default: return B_NO_TRANSLATOR;
    }
    uint32 items[2] = {};
    const status_t found = heif_stereo_items(bytes, size, items, why);
    if (found != B_OK)
        return found;
    if (size > size_t(INT_MAX))
        return B_NO_MEMORY;
    ReadBudget budget;
    budget.maxPixels = max_picture_pixels();
    // The checks made before libheif allocates anything, as for any HEIF.
    if (!heif_canvases_admitted(bytes, size, budget))
        return B_NO_MEMORY;
    if (!heif_derivations_sound(bytes, size))
        return refuse(why, "its pictures refer to items that are not pictures");
    initialise_libheif();
    std::unique_ptr<heif_context, HeifContextDeleter> context(heif_context_alloc());
    if (!context)
        return B_NO_MEMORY;
    heif_context_set_maximum_image_size_limit(context.get(), kMaxHeifSide);
    const status_t status = libheif_status(
        heif_context_read_from_memory_without_copy(context.get(), bytes, size, nullptr));
    if (status == B_NO_MEMORY)
        return B_NO_MEMORY;
    if (status != B_OK)
        return refuse(why, "its pictures cannot be read");
    std::unique_ptr<BBitmap> views[2];
    for (int i = 0; i < 2; i++) {
        const status_t decoded = decode_view(context.get(), items[i], budget, &views[i], why);
        if (decoded != B_OK)
            return decoded;
    }
    *left = views[0].release();
    *right = views[1].release();
    return B_OK;
}
