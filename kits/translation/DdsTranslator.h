// DirectDraw surfaces: the header stage of every layout, and our own
// decoder for the layouts ImageMagick 6's coder does not read (BC4 to BC7,
// the DX10 header's layouts, luminance, alpha-only and palette pictures).
// ImageMagick keeps DXT1, DXT3, DXT5 and the masked RGB layouts.
#ifndef _DDS_TRANSLATOR_H
#define _DDS_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* dds_translator();

} // namespace BPrivate

#endif // _DDS_TRANSLATOR_H
