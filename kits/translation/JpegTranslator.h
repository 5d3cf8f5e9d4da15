// JPEG through libjpeg-turbo: reads grey, colour, CMYK and YCCK pictures
// (EXIF orientation applied), writes at quality 90 straight from the rows.
#ifndef _JPEG_TRANSLATOR_H
#define _JPEG_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* jpeg_translator();

} // namespace BPrivate

#endif // _JPEG_TRANSLATOR_H
