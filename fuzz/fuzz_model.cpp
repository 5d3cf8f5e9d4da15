// 3D models through assimp: the signatures and counts checked before it
// loads, the scene walked and drawn into a small z-buffer.
#include <ModelDepth.h>

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    depth::ModelView view;
    view.width = 48;
    view.height = 32;
    view.rotate[1] = 20;
    // Small, so that a run stays quick; the same checks apply at any count.
    view.maxTriangles = 1 << 16;
    depth_map map;
    std::string why;
    if (depth::RenderModel(data, size, nullptr, view, &map, &why) != B_OK) {
        if (why.empty())
            std::abort(); // every refusal says why
        return 0;
    }
    if (map.width != view.width || map.height != view.height ||
        map.values.size() != size_t(view.width) * size_t(view.height))
        std::abort();
    for (float v : map.values) {
        if (!(v >= 0.0f && v <= 1.0f))
            std::abort();
    }
    return 0;
}
