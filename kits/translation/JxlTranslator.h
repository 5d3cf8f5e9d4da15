// JPEG XL through libjxl: the first frame (animations coalesced), its
// orientation applied by the decoder, associated alpha made straight.
#ifndef _JXL_TRANSLATOR_H
#define _JXL_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* jxl_translator();

} // namespace BPrivate

#endif // _JXL_TRANSLATOR_H
