// JPEG 2000 through OpenJPEG: .jp2 files and raw codestreams (.j2k, .j2c),
// grey, colour and YCC, any sample depth brought to 8 bits, alpha kept;
// a truncated codestream is refused rather than shown half decoded.
#ifndef _JPEG2000_TRANSLATOR_H
#define _JPEG2000_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* jpeg2000_translator();

} // namespace BPrivate

#endif // _JPEG2000_TRANSLATOR_H
