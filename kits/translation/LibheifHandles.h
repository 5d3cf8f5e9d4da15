// libheif's objects owned by unique_ptr, and its ceiling on a side: shared
// by the HEIF translator and the depth maps HEIF photos carry. Private to
// the translation kit.
#ifndef _LIBHEIF_HANDLES_H
#define _LIBHEIF_HANDLES_H

#include <SupportDefs.h>

#include <functional>
#include <memory>

#include <libheif/heif.h>

namespace BPrivate {

// libheif's own ceiling on a side, kept explicit: the pixel budget is
// checked on top of it before anything is decoded.
constexpr int kMaxHeifSide = 32768;

struct HeifContextDeleter
{
    void operator()(heif_context* context) const { heif_context_free(context); }
};

struct HeifHandleDeleter
{
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};

struct HeifImageDeleter
{
    void operator()(heif_image* image) const { heif_image_release(image); }
};

struct HeifOptionsDeleter
{
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// A HEIF file in memory read by libheif within its side limit, and its
// primary picture; data must outlive the context. libheif's error as a
// status.
status_t open_heif(const uint8* data, size_t size,
                   std::unique_ptr<heif_context, HeifContextDeleter>* context,
                   std::unique_ptr<heif_image_handle, HeifHandleDeleter>* primary);

// A picture as libheif decodes it, turned, mirrored and cropped as viewers
// show it, interleaved red, green, blue (and alpha when asked) at its own
// depth, 8 bits or little-endian 16-bit words; the decoder's chatter on
// standard error silenced.
status_t decode_heif_image(heif_image_handle* handle, bool alpha,
                           std::unique_ptr<heif_image, HeifImageDeleter>* image);

// Every row of a picture decode_heif_image made, as B_RGB32 words, into
// row(y): deep samples rounded to the nearest 8-bit level. false when the
// picture is not laid out as asked.
bool heif_image_words(const heif_image* image, bool alpha,
                      const std::function<uint32*(int y)>& row);

} // namespace BPrivate

#endif // _LIBHEIF_HANDLES_H
