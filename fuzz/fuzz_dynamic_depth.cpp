// Dynamic Depth: the JPEG walked to its end, the XMP directory read, the
// depth map's item found by its place and read.
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
    fuzzing::check_depth_map(BPrivate::read_dynamic_depth(data, size, layout, &map, &problem),
                             map);
    return 0;
}
