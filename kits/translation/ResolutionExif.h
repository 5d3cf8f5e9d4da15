// A print resolution as a small EXIF block, for the formats that keep one
// only there (WebP, JPEG XL). Private to the kit.
#ifndef _RESOLUTION_EXIF_H
#define _RESOLUTION_EXIF_H

#include <SupportDefs.h>

#include <vector>

namespace BPrivate {

// A little-endian TIFF structure whose first directory holds XResolution,
// YResolution (dotsPerInch / 1) and ResolutionUnit (inches), nothing else.
std::vector<uint8> resolution_exif(uint32 dotsPerInch);

} // namespace BPrivate

#endif // _RESOLUTION_EXIF_H
