#include "ModelDepth.h"

#include "ModelReader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace depth {

namespace {

// Pixels are tested in tiles of this side for what they already hold.
constexpr int64 kTile = 16;
// ... and in groups of kGroup x kGroup tiles, for a triangle behind them all.
constexpr int64 kGroup = 8;
// Work up to this many times the picture's pixels is drawn as it comes.
constexpr uint64 kPlainDepth = 16;
// A row's span costs as much as this many pixels.
constexpr uint64 kRowWork = 24;

// A triangle ready to draw: its edges, its nearness plane, and the pixels
// whose centres may lie inside it.
struct Setup
{
    // Edge functions w(p) = ex * p.x + ey * p.y + e0, positive inside and
    // zero on the edge: edge i faces corner i.
    double ex[3], ey[3], e0[3], tolerance[3];
    // The nearness is a plane over the picture: z = zx * x + zy * y + z0.
    double zx, zy, z0;
    int64 x0, x1, y0, y1;
    // Twice the triangle's area, in pixels.
    double area;

    double Nearness(double px, double py) const { return zx * px + zy * py + z0; }

    // The first and last pixel of row y whose centres lie inside or on an
    // edge; first > last when none does.
    void Span(int64 y, int64* first, int64* last) const
    {
        const double py = double(y) + 0.5;
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
        *first = int64(from);
        *last = from > to ? int64(from) - 1 : int64(to);
    }

    // Whether the point lies inside, clear of every edge.
    bool Within(double px, double py) const
    {
        for (int i = 0; i < 3; i++) {
            if (!(ex[i] * px + ey[i] * py + e0[i] > 2 * tolerance[i]))
                return false;
        }
        return true;
    }

    void Draw(float* row, int64 y, int64 first, int64 last) const
    {
        const double start = Nearness(double(first) + 0.5, double(y) + 0.5);
        for (int64 x = first; x <= last; x++) {
            const float nearness = float(std::clamp(start + zx * double(x - first), 0.0, 1.0));
            row[x] = std::max(row[x], nearness);
        }
    }
};

// False for a triangle that covers no pixel centre of the picture, is
// degenerate, or is not a number.
bool set_up(const float* a, const float* b, const float* c, int32 width, int32 height, Setup* s)
{
    double area = (double(b[0]) - a[0]) * (double(c[1]) - a[1]) -
                  (double(b[1]) - a[1]) * (double(c[0]) - a[0]);
    if (!(std::fabs(area) > 1e-12) || !std::isfinite(area) || !std::isfinite(a[2]) ||
        !std::isfinite(b[2]) || !std::isfinite(c[2]))
        return false;
    if (area < 0) {
        std::swap(b, c);
        area = -area;
    }
    s->area = area;
    const double minY = std::min({a[1], b[1], c[1]}), maxY = std::max({a[1], b[1], c[1]});
    const double minX = std::min({a[0], b[0], c[0]}), maxX = std::max({a[0], b[0], c[0]});
    // Pixels whose centres (x + 0.5, y + 0.5) may lie inside.
    s->x0 = std::max<int64>(0, int64(std::ceil(std::max(minX - 0.5, -1.0))));
    s->x1 = std::min<int64>(width - 1, int64(std::floor(std::min(maxX - 0.5, double(width)))));
    s->y0 = std::max<int64>(0, int64(std::ceil(std::max(minY - 0.5, -1.0))));
    s->y1 = std::min<int64>(height - 1, int64(std::floor(std::min(maxY - 0.5, double(height)))));
    if (s->x0 > s->x1 || s->y0 > s->y1)
        return false;
    // A pixel centre on an edge two triangles share belongs to both, with a
    // little room for rounding, so that no seam lets the background show.
    const float* corners[3] = {a, b, c};
    for (int i = 0; i < 3; i++) {
        const float* from = corners[(i + 1) % 3];
        const float* to = corners[(i + 2) % 3];
        s->ex[i] = -(double(to[1]) - from[1]);
        s->ey[i] = double(to[0]) - from[0];
        s->e0[i] = -(s->ex[i] * from[0] + s->ey[i] * from[1]);
        s->tolerance[i] = 1e-7 * (std::fabs(s->ex[i]) + std::fabs(s->ey[i])) *
                          (1 + std::fabs(from[0]) + std::fabs(from[1]));
    }
    const double inverse = 1.0 / area;
    s->zx = (s->ex[0] * a[2] + s->ex[1] * b[2] + s->ex[2] * c[2]) * inverse;
    s->zy = (s->ey[0] * a[2] + s->ey[1] * b[2] + s->ey[2] * c[2]) * inverse;
    s->z0 = (s->e0[0] * a[2] + s->e0[1] * b[2] + s->e0[2] * c[2]) * inverse;
    return true;
}

// What a triangle costs to draw, at most (its rows, and its pixels); 0 for
// one that set_up would refuse, as cheaply as can be told.
uint64 work_of(const PlacedTriangle& t, int32 width, int32 height)
{
    const float* a = t.corner[0];
    const float* b = t.corner[1];
    const float* c = t.corner[2];
    const double area = std::fabs((double(b[0]) - a[0]) * (double(c[1]) - a[1]) -
                                  (double(b[1]) - a[1]) * (double(c[0]) - a[0]));
    if (!(area > 1e-12) || !std::isfinite(area) || !std::isfinite(a[2]) ||
        !std::isfinite(b[2]) || !std::isfinite(c[2]))
        return 0;
    const double x0 = std::max(0.0, std::ceil(std::min({a[0], b[0], c[0]}) - 0.5));
    const double x1 = std::min(double(width - 1), std::floor(std::max({a[0], b[0], c[0]}) - 0.5));
    const double y0 = std::max(0.0, std::ceil(std::min({a[1], b[1], c[1]}) - 0.5));
    const double y1 = std::min(double(height - 1), std::floor(std::max({a[1], b[1], c[1]}) - 0.5));
    if (x0 > x1 || y0 > y1)
        return 0;
    const double rows = y1 - y0 + 1, columns = x1 - x0 + 1;
    return uint64(rows * kRowWork + std::min(rows * columns, area / 2 + rows + columns));
}

float nearest_corner(const PlacedTriangle& t)
{
    return std::max({t.corner[0][2], t.corner[1][2], t.corner[2][2]});
}

// The corners in one order, so that copies of a triangle compare equal
// whichever corner they start from.
void put_in_order(PlacedTriangle* t)
{
    auto less = [](const float* p, const float* q) {
        return std::lexicographical_compare(p, p + 3, q, q + 3);
    };
    float(*c)[3] = t->corner;
    if (less(c[1], c[0]))
        std::swap(c[0], c[1]);
    if (less(c[2], c[1]))
        std::swap(c[1], c[2]);
    if (less(c[1], c[0]))
        std::swap(c[0], c[1]);
}

} // namespace

DepthBuffer::DepthBuffer(int32 width, int32 height, float* values)
    : fWidth(width), fHeight(height), fValues(values)
{
}

void DepthBuffer::Triangle(const float a[3], const float b[3], const float c[3])
{
    Setup s;
    if (!set_up(a, b, c, fWidth, fHeight, &s))
        return;
    for (int64 y = s.y0; y <= s.y1; y++) {
        int64 first, last;
        s.Span(y, &first, &last);
        if (first <= last)
            s.Draw(fValues + y * fWidth, y, first, last);
    }
}

status_t DrawTriangles(std::vector<PlacedTriangle>* triangles, int32 width, int32 height,
                       float* values, std::string* why, const FillLimits& limits)
{
    // Triangles that miss every pixel centre go first; what is left is
    // measured.
    uint64 work = 0;
    size_t kept = 0;
    for (const PlacedTriangle& t : *triangles) {
        if (const uint64 cost = work_of(t, width, height)) {
            work += cost;
            (*triangles)[kept++] = t;
        }
    }
    triangles->resize(kept);
    DepthBuffer buffer(width, height, values);
    // Drawn as they come while they cover the picture only a few times
    // over: sorting would cost more than it saves.
    const uint64 pixels = uint64(width) * uint64(height);
    if (work <= limits.plainWork || (work <= limits.mostWork && work <= kPlainDepth * pixels)) {
        for (const PlacedTriangle& t : *triangles)
            buffer.Triangle(t.corner[0], t.corner[1], t.corner[2]);
        return B_OK;
    }

    // Many triangles over the same pixels: nearest first, each copy of a
    // triangle once, and each tile's least nearness kept, so that a triangle
    // behind what a tile already shows skips the tile.
    for (PlacedTriangle& t : *triangles)
        put_in_order(&t);
    std::sort(triangles->begin(), triangles->end(),
              [](const PlacedTriangle& p, const PlacedTriangle& q) {
                  const float np = nearest_corner(p), nq = nearest_corner(q);
                  if (np != nq)
                      return np > nq;
                  return std::memcmp(&p, &q, sizeof(PlacedTriangle)) < 0;
              });
    triangles->erase(std::unique(triangles->begin(), triangles->end(),
                                 [](const PlacedTriangle& p, const PlacedTriangle& q) {
                                     return std::memcmp(&p, &q, sizeof(PlacedTriangle)) == 0;
                                 }),
                     triangles->end());
    const int64 across = (width + kTile - 1) / kTile, down = (height + kTile - 1) / kTile;
    const int64 wide = (across + kGroup - 1) / kGroup, high = (down + kGroup - 1) / kGroup;
    std::vector<float> least, groupLeast;
    try {
        least.assign(size_t(across * down), 0.0f);
        groupLeast.assign(size_t(wide * high), 0.0f);
    } catch (const std::bad_alloc&) {
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    work = 0;
    for (const PlacedTriangle& t : *triangles) {
        Setup s;
        if (!set_up(t.corner[0], t.corner[1], t.corner[2], width, height, &s))
            continue;
        // The plane is greatest over a rectangle at the corner its slopes
        // point to.
        const bool right = s.zx > 0, lower = s.zy > 0;
        auto most_over = [&](int64 l, int64 top, int64 r, int64 bottom) {
            return std::min(1.0, s.Nearness(double(right ? r : l) + 0.5,
                                             double(lower ? bottom : top) + 0.5));
        };
        const int64 span = kTile * kGroup;
        for (int64 gy = s.y0 / span; gy <= s.y1 / span; gy++) {
            for (int64 gx = s.x0 / span; gx <= s.x1 / span; gx++) {
                const int64 gl = std::max(s.x0, gx * span), gr = std::min(s.x1, gx * span + span - 1);
                const int64 gt = std::max(s.y0, gy * span), gb = std::min(s.y1, gy * span + span - 1);
                work += 4;
                if (most_over(gl, gt, gr, gb) <= double(groupLeast[size_t(gy * wide + gx)]))
                    continue;
                bool raised = false;
                for (int64 ty = gt / kTile; ty <= gb / kTile; ty++) {
                    const int64 top = ty * kTile, bottom = std::min<int64>(height - 1, top + kTile - 1);
                    const int64 ry0 = std::max(gt, top), ry1 = std::min(gb, bottom);
                    float* tiles = least.data() + ty * across;
                    uint32 open = 0; // a bit a tile of the group
                    for (int64 tx = gl / kTile; tx <= gr / kTile; tx++) {
                        const int64 l = std::max(gl, tx * kTile), r = std::min(gr, tx * kTile + kTile - 1);
                        if (most_over(l, ry0, r, ry1) > double(tiles[tx]))
                            open |= 1u << (tx - gx * kGroup);
                    }
                    work += 2 * uint64(gr / kTile - gl / kTile + 1);
                    if (open == 0)
                        continue;
                    for (int64 y = ry0; y <= ry1; y++) {
                        int64 first, last;
                        s.Span(y, &first, &last);
                        first = std::max(first, gl);
                        last = std::min(last, gr);
                        work += kRowWork;
                        for (int64 tx = first / kTile; first <= last && tx <= last / kTile; tx++) {
                            if ((open & (1u << (tx - gx * kGroup))) == 0)
                                continue;
                            const int64 from = std::max(first, tx * kTile);
                            const int64 to = std::min(last, tx * kTile + kTile - 1);
                            s.Draw(values + y * width, y, from, to);
                            work += uint64(to - from + 1);
                        }
                    }
                    // A tile the triangle covers whole holds at least the
                    // plane's least value over it from now on.
                    for (int64 tx = gl / kTile; tx <= gr / kTile; tx++) {
                        if ((open & (1u << (tx - gx * kGroup))) == 0)
                            continue;
                        const double l = double(tx * kTile) + 0.5;
                        const double r = double(std::min<int64>(width - 1, tx * kTile + kTile - 1)) + 0.5;
                        const double t0 = double(top) + 0.5, t1 = double(bottom) + 0.5;
                        if (!s.Within(l, t0) || !s.Within(r, t0) || !s.Within(l, t1) || !s.Within(r, t1))
                            continue;
                        const double lowest = std::min({s.Nearness(l, t0), s.Nearness(r, t0),
                                                        s.Nearness(l, t1), s.Nearness(r, t1)});
                        const float now = float(std::clamp(lowest, 0.0, 1.0));
                        if (now > tiles[tx]) {
                            tiles[tx] = now;
                            raised = true;
                        }
                    }
                }
                if (raised) {
                    float lowest = 1.0f;
                    for (int64 ty = gy * kGroup; ty < std::min(down, gy * kGroup + kGroup); ty++)
                        for (int64 tx = gx * kGroup; tx < std::min(across, gx * kGroup + kGroup); tx++)
                            lowest = std::min(lowest, least[size_t(ty * across + tx)]);
                    groupLeast[size_t(gy * wide + gx)] = lowest;
                }
            }
        }
        if (work > limits.mostWork) {
            *why = "its triangles cover the picture too many times over to be drawn at " +
                   std::to_string(width) + "x" + std::to_string(height) +
                   " (a smaller --size draws it)";
            return B_NO_MEMORY;
        }
    }
    return B_OK;
}

namespace {

// The model's triangles as the walled reader brings them back for view.
status_t read_model(const uint8* data, size_t size, const char* path, const ModelView& view,
                    std::vector<PlacedTriangle>* triangles, std::string* why)
{
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
    return ReadModelTriangles(source, view, triangles, why);
}

// A picture's worth of nearness, zeroed, in *map.
status_t clear_map(int32 width, int32 height, depth_map* map, std::string* why)
{
    try {
        map->values.assign(size_t(width) * size_t(height), 0.0f);
    } catch (const std::bad_alloc&) {
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    map->width = width;
    map->height = height;
    return B_OK;
}

} // namespace

status_t RenderModel(const uint8* data, size_t size, const char* path, const ModelView& view,
                     depth_map* map, std::string* why)
{
    *map = depth_map();
    std::vector<PlacedTriangle> triangles;
    status_t status = read_model(data, size, path, view, &triangles, why);
    if (status != B_OK)
        return status;

    status = clear_map(view.width, view.height, map, why);
    if (status != B_OK)
        return status;
    return DrawTriangles(&triangles, view.width, view.height, map->values.data(), why);
}

status_t ModelTurn::Read(const uint8* data, size_t size, const char* path, const ModelView& view,
                         std::string* why)
{
    ModelView unturned = view;
    unturned.modelSpace = true;
    fModel.clear();
    fPlaced.clear();
    status_t status = read_model(data, size, path, unturned, &fModel, why);
    if (status != B_OK)
        return status;
    // The sphere about the box's centre (the corners come back about it)
    // through the farthest corner: whatever the turn, it holds the model.
    double most = 0;
    for (const PlacedTriangle& t : fModel)
        for (const auto& corner : t.corner)
            most = std::max(most, double(corner[0]) * corner[0] + double(corner[1]) * corner[1] +
                                      double(corner[2]) * corner[2]);
    fRadius = std::sqrt(most);
    if (!(fRadius > 0) || !std::isfinite(fRadius)) {
        fModel.clear();
        *why = "the model has no extent";
        return B_BAD_DATA;
    }
    try {
        fPlaced.reserve(fModel.size());
    } catch (const std::bad_alloc&) {
        fModel.clear();
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    fWidth = view.width;
    fHeight = view.height;
    return B_OK;
}

status_t ModelTurn::Draw(const double angles[3], depth_map* map, std::string* why,
                         const FillLimits& limits)
{
    if (fModel.empty()) {
        *why = "no model";
        return B_NO_INIT;
    }
    // Z * Y * X, each a right-handed turn, as the still view turns.
    double turn[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int axis = 0; axis < 3; axis++) {
        const double r = angles[axis] * M_PI / 180.0, c = std::cos(r), s = std::sin(r);
        const int i = (axis + 1) % 3, j = (axis + 2) % 3;
        double next[3][3];
        for (int col = 0; col < 3; col++) {
            for (int row = 0; row < 3; row++)
                next[row][col] = turn[row][col];
            next[i][col] = c * turn[i][col] - s * turn[j][col];
            next[j][col] = s * turn[i][col] + c * turn[j][col];
        }
        std::memcpy(turn, next, sizeof(turn));
    }
    const double scale =
        std::min(fWidth, fHeight) * (1 - 2 * kModelMargin) / (2 * fRadius);
    const double midX = fWidth / 2.0, midY = fHeight / 2.0;
    fPlaced.clear();
    for (const PlacedTriangle& t : fModel) {
        PlacedTriangle placed;
        for (int k = 0; k < 3; k++) {
            double q[3];
            for (int row = 0; row < 3; row++)
                q[row] = turn[row][0] * t.corner[k][0] + turn[row][1] * t.corner[k][1] +
                         turn[row][2] * t.corner[k][2];
            placed.corner[k][0] = float(midX + q[0] * scale);
            placed.corner[k][1] = float(midY - q[1] * scale);
            placed.corner[k][2] = float((q[2] + fRadius) / (2 * fRadius));
        }
        fPlaced.push_back(placed);
    }
    status_t status = clear_map(fWidth, fHeight, map, why);
    if (status != B_OK)
        return status;
    return DrawTriangles(&fPlaced, fWidth, fHeight, map->values.data(), why, limits);
}

} // namespace depth
