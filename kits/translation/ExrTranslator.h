// OpenEXR through its C++ library: colour (R, G, B, with A), luminance (Y),
// and single-channel passes such as a render's depth (Z), which become grey;
// levels as FloatLevels.h says.
#ifndef _EXR_TRANSLATOR_H
#define _EXR_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* exr_translator();

} // namespace BPrivate

#endif // _EXR_TRANSLATOR_H
