// Checks shared by the depth map fuzz targets: a map given back is whole,
// within the budget, and every value a nearness.
#ifndef FUZZ_DEPTH_H
#define FUZZ_DEPTH_H

#include <BitmapReading.h>
#include <DepthMaps.h>

#include <cmath>
#include <cstdlib>

namespace fuzzing {

// Embedded pictures are read with the kit's default budget: kept small so
// that a run stays quick.
inline void small_depth_budget()
{
    static const bool done = [] {
        set_max_picture_pixels(uint64(1) << 18);
        return true;
    }();
    (void)done;
}

inline void check_depth_map(status_t status, const depth_map& map)
{
    // Only B_OK promises a map; a failing reader may leave a partial one.
    if (status != B_OK)
        return;
    if (map.width <= 0 || map.height <= 0 || map.photoWidth <= 0 || map.photoHeight <= 0 ||
        depth_map_count(map) != size_t(map.width) * size_t(map.height) ||
        uint64(map.width) * uint64(map.height) > max_picture_pixels())
        std::abort();
    for (size_t i = 0; i < map.values.size(); i++) {
        const float v = map.values[i];
        if (!(v >= 0.0f && v <= 1.0f))
            std::abort();
    }
}

} // namespace fuzzing

#endif // FUZZ_DEPTH_H
