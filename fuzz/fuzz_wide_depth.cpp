// 16-bit depth pictures read at their own precision: libspng's decoding
// behind our header checks, every colour type, Adam7, tRNS and eXIf.
#include "FuzzDepth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::small_depth_budget();
    depth_map map;
    fuzzing::check_depth_map(read_wide_depth_picture_data(data, size, &map), map);
    return 0;
}
