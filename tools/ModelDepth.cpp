#include "ModelDepth.h"

#include "ModelReader.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>
#include <vector>

namespace depth {

DepthBuffer::DepthBuffer(int32 width, int32 height, float* values)
    : fWidth(width), fHeight(height), fValues(values)
{
}

void DepthBuffer::Triangle(const float a[3], const float b[3], const float c[3])
{
    double area = (double(b[0]) - a[0]) * (double(c[1]) - a[1]) -
                  (double(b[1]) - a[1]) * (double(c[0]) - a[0]);
    if (!(std::fabs(area) > 1e-12))
        return; // degenerate, or not a number
    if (area < 0) {
        std::swap(b, c);
        area = -area;
    }
    const double minY = std::min({a[1], b[1], c[1]}), maxY = std::max({a[1], b[1], c[1]});
    const double minX = std::min({a[0], b[0], c[0]}), maxX = std::max({a[0], b[0], c[0]});
    // Pixels whose centres (x + 0.5, y + 0.5) may lie inside.
    const int64 x0 = std::max<int64>(0, int64(std::ceil(std::max(minX - 0.5, -1.0))));
    const int64 x1 = std::min<int64>(fWidth - 1, int64(std::floor(std::min(maxX - 0.5, double(fWidth)))));
    const int64 y0 = std::max<int64>(0, int64(std::ceil(std::max(minY - 0.5, -1.0))));
    const int64 y1 = std::min<int64>(fHeight - 1, int64(std::floor(std::min(maxY - 0.5, double(fHeight)))));
    if (x0 > x1 || y0 > y1)
        return;
    // Edge functions w(p) = ex * p.x + ey * p.y + e0, positive inside and
    // zero on the edge: edge i faces corner i. A pixel centre on an edge
    // two triangles share belongs to both, with a little room for rounding,
    // so that no seam lets the background show through.
    const float* corners[3] = {a, b, c};
    double ex[3], ey[3], e0[3], tolerance[3];
    for (int i = 0; i < 3; i++) {
        const float* from = corners[(i + 1) % 3];
        const float* to = corners[(i + 2) % 3];
        ex[i] = -(double(to[1]) - from[1]);
        ey[i] = double(to[0]) - from[0];
        e0[i] = -(ex[i] * from[0] + ey[i] * from[1]);
        tolerance[i] = 1e-7 * (std::fabs(ex[i]) + std::fabs(ey[i])) * (1 + std::fabs(from[0]) + std::fabs(from[1]));
    }
    // The nearness is a plane over the picture: z = zx * x + zy * y + z0.
    const double inverse = 1.0 / area;
    const double zx = (ex[0] * a[2] + ex[1] * b[2] + ex[2] * c[2]) * inverse;
    const double zy = (ey[0] * a[2] + ey[1] * b[2] + ey[2] * c[2]) * inverse;
    const double z0 = (e0[0] * a[2] + e0[1] * b[2] + e0[2] * c[2]) * inverse;
    for (int64 y = y0; y <= y1; y++) {
        const double py = double(y) + 0.5;
        // Each edge bounds the row's run of pixels on one side.
        double from = double(x0), to = double(x1);
        for (int i = 0; i < 3; i++) {
            const double rest = ey[i] * py + e0[i] + tolerance[i];
            if (ex[i] > 0)
                from = std::max(from, std::ceil(-rest / ex[i] - 0.5));
            else if (ex[i] < 0)
                to = std::min(to, std::floor(-rest / ex[i] - 0.5));
            else if (rest < 0)
                to = from - 1;
        }
        if (from > to)
            continue;
        const int64 first = int64(from), last = int64(to);
        float* row = fValues + y * fWidth;
        const double start = zx * (double(first) + 0.5) + zy * py + z0;
        for (int64 x = first; x <= last; x++) {
            const float nearness = float(std::clamp(start + zx * double(x - first), 0.0, 1.0));
            row[x] = std::max(row[x], nearness);
        }
    }
}

status_t RenderModel(const uint8* data, size_t size, const char* path, const ModelView& view,
                     depth_map* map, std::string* why)
{
    *map = depth_map();
    const ModelFormat format = SniffModel(data, size);
    if (format == ModelFormat::kNone) {
        *why = "not a 3D model";
        return B_NO_TRANSLATOR;
    }
    if (size > kMaxModelBytes) {
        *why = "the model file is larger than 2 GiB";
        return B_NO_MEMORY;
    }
    // What can be counted before the library allocates anything is counted.
    ModelCheck check;
    status_t status = CheckModel(format, data, size, view.maxTriangles, &check, why);
    if (status != B_OK)
        return status;
    ModelSource source;
    source.data = data;
    source.size = size;
    source.format = format;
    source.path = path;
    source.check = &check;
    std::vector<PlacedTriangle> triangles;
    status = ReadModelTriangles(source, view, &triangles, why);
    if (status != B_OK)
        return status;

    try {
        map->values.assign(size_t(view.width) * size_t(view.height), 0.0f);
    } catch (const std::bad_alloc&) {
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    map->width = view.width;
    map->height = view.height;
    DepthBuffer buffer(view.width, view.height, map->values.data());
    for (const PlacedTriangle& t : triangles)
        buffer.Triangle(t.corner[0], t.corner[1], t.corner[2]);
    return B_OK;
}

} // namespace depth
