// HEIF (HEIC, every phone's photos) and AVIF through libheif: the primary
// picture, its rotation, mirroring and crop applied, deep colour brought to
// 8 bits.
#ifndef _HEIF_TRANSLATOR_H
#define _HEIF_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* heif_translator();

} // namespace BPrivate

#endif // _HEIF_TRANSLATOR_H
