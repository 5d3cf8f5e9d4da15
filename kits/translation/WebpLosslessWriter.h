// Lossless WebP written by our own encoder: libwebp's lossless encoder, even
// at its lowest effort, takes twenty times what our PNG writer takes on a
// stereogram. Ours looks for the repeats a stereogram is made of (the last
// distance and its neighbours, the row above, a small hash) in bands of rows
// over the cores, then writes one set of prefix codes for the whole picture.
// libwebp still decodes.
#ifndef _WEBP_LOSSLESS_WRITER_H
#define _WEBP_LOSSLESS_WRITER_H

#include <Bitmap.h>
#include <DataIO.h>

namespace BPrivate {

struct WebpLosslessOptions
{
    // Threads that work on bands at once; 0: one per core.
    int32 threads = 0;
    // Pixels a band holds (whole rows, at least one). The file depends on
    // it, never on the number of threads.
    size_t bandPixels = size_t(1) << 20;
    // A print resolution, kept in an EXIF chunk (WebP has no field of its
    // own for it), which makes the file an extended one; 0 writes none.
    uint32 dotsPerInch = 0;
};

// B_RGB32 or B_RGBA32 bitmaps of at most 16383 pixels a side; B_RGB32's
// alpha bytes are written as opaque.
status_t write_webp_lossless(const BBitmap& bitmap, BPositionIO* destination,
                             const WebpLosslessOptions& options = WebpLosslessOptions());

} // namespace BPrivate

#endif // _WEBP_LOSSLESS_WRITER_H
