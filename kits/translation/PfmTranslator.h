// Portable float maps, as depth-estimation tools write them: "PF" (colour)
// or "Pf" (grey), the scale's sign giving the byte order, rows from the
// bottom up. Levels as FloatLevels.h says.
#ifndef _PFM_TRANSLATOR_H
#define _PFM_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* pfm_translator();

} // namespace BPrivate

#endif // _PFM_TRANSLATOR_H
