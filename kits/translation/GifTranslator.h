// GIF pictures, read with giflib: the first frame on its logical screen.
#ifndef _GIF_TRANSLATOR_H
#define _GIF_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* gif_translator();

} // namespace BPrivate

#endif // _GIF_TRANSLATOR_H
