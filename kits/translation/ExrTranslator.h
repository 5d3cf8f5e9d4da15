// OpenEXR through its C++ library: colour (R, G, B, with A), luminance (Y,
// with A; with chroma, in colour) and single-channel passes such as a
// render's depth (Z), which become grey; levels as FloatLevels.h says. The
// picture is the display window, the data window placed in it.
#ifndef _EXR_TRANSLATOR_H
#define _EXR_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* exr_translator();

} // namespace BPrivate

#endif // _EXR_TRANSLATOR_H
