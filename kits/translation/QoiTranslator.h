// The "Quite OK Image" format: RGB or RGBA, 8 bits a channel, in runs,
// references to recent colours and small differences. Decoded by the
// format's reference library (qoi.h), after the header stage has walked
// the whole stream: the library repeats the last pixel where the data ends
// early, and a truncated picture must be refused, not padded.
#ifndef _QOI_TRANSLATOR_H
#define _QOI_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* qoi_translator();

} // namespace BPrivate

#endif // _QOI_TRANSLATOR_H
