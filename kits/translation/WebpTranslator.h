// WebP read through libwebp and its demux: still pictures and the first
// frame of an animation on its canvas, EXIF orientation applied. Written
// lossless by our own encoder (WebpLosslessWriter.h), straight from the rows.
#ifndef _WEBP_TRANSLATOR_H
#define _WEBP_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* webp_translator();

} // namespace BPrivate

#endif // _WEBP_TRANSLATOR_H
