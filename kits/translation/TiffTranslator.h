// TIFF through libtiff: every layout its RGBA interface reads (grey,
// palette, RGB, CMYK, CIE Lab, YCbCr, 1 to 16 bits, planar, tiled), the
// first page, its orientation tag applied; written lossless, straight from
// the rows.
#ifndef _TIFF_TRANSLATOR_H
#define _TIFF_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* tiff_translator();

} // namespace BPrivate

#endif // _TIFF_TRANSLATOR_H
