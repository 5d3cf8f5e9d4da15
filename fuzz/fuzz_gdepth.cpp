// GDepth maps in a JPEG's XMP: the segments walked, the extended XMP
// joined, the packets parsed, the base64 decoded and the picture read.
#include "FuzzDepth.h"

#include <DepthMapsPrivate.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::small_depth_budget();
    BPrivate::JpegLayout layout;
    if (BPrivate::walk_jpeg(data, size, &layout) != B_OK)
        return 0;
    depth_map map;
    const char* problem = nullptr;
    fuzzing::check_depth_map(BPrivate::read_gdepth(layout, &map, &problem), map);
    return 0;
}
