// The long tail of formats (BMP in all its variants, TGA, PSD, DDS, SGI, PCX,
// ICO and CUR, PNM, XBM), read by ImageMagick's core library, restricted to
// those coders, after their headers have been held against the budget.
#ifndef _MAGICK_TRANSLATOR_H
#define _MAGICK_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* magick_translator();

} // namespace BPrivate

#endif // _MAGICK_TRANSLATOR_H
