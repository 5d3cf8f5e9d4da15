// HEIF depth images: libheif's depth API and the primary item's rotation
// and mirroring read from its boxes.
#include "FuzzDepth.h"
#include "FuzzTranslator.h"

#include <DepthMapsPrivate.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const int32 orientation = BPrivate::heif_primary_orientation(data, size);
    if (orientation < 1 || orientation > 8)
        std::abort();
    depth_map map;
    const char* problem = nullptr;
    fuzzing::check_depth_map(
        BPrivate::read_heif_depth(data, size, fuzzing::fuzz_budget(), &map, &problem), map);
    return 0;
}
