// JPEG XL through libjxl: the first frame (animations coalesced), its
// orientation applied by the decoder, associated alpha made straight;
// written lossless, which libjxl gives back bit for bit.
#ifndef _JXL_TRANSLATOR_H
#define _JXL_TRANSLATOR_H

#include <ImageTranslator.h>
#include <TranslatorFormats.h>

namespace BPrivate {

// This layer's own type code for JPEG XL.
constexpr uint32 kJxlFormat = translation_type_code("JXL ");

const ImageTranslator* jxl_translator();

} // namespace BPrivate

#endif // _JXL_TRANSLATOR_H
