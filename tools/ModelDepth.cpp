#include "ModelDepth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

namespace depth {

namespace {

// What the picture keeps free on each side.
constexpr double kMargin = 0.05;
// glTF never nests its JSON deeply; the JSON parser inside assimp recurses
// once per level, so a file of nothing but brackets would end the process.
constexpr int kMaxJsonDepth = 64;
// Node trees deeper than this are refused rather than walked.
constexpr size_t kMaxNodeDepth = 1024;

uint32 le32(const uint8* at)
{
    return uint32(at[0]) | (uint32(at[1]) << 8) | (uint32(at[2]) << 16) | (uint32(at[3]) << 24);
}

bool is_space(uint8 c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// The text after a UTF-8 byte order mark and leading white space.
size_t text_start(const uint8* data, size_t size)
{
    size_t at = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    while (at < size && is_space(data[at]))
        at++;
    return at;
}

bool contains(const uint8* data, size_t size, std::string_view word)
{
    return std::search(data, data + size, word.begin(), word.end()) != data + size;
}

size_t count_of(const uint8* data, size_t size, std::string_view word)
{
    size_t count = 0;
    const uint8* end = data + size;
    for (const uint8* at = data;; at += word.size(), count++) {
        at = std::search(at, end, word.begin(), word.end());
        if (at == end)
            return count;
    }
}

// The lines of a text, each without its line end.
template <typename Visit>
void for_each_line(const uint8* data, size_t size, Visit visit)
{
    for (size_t at = 0; at < size;) {
        const void* newline = std::memchr(data + at, '\n', size - at);
        const size_t end = newline != nullptr ? size_t(static_cast<const uint8*>(newline) - data) : size;
        size_t first = at;
        while (first < end && is_space(data[first]))
            first++;
        if (!visit(std::string_view(reinterpret_cast<const char*>(data + first), end - first)))
            return;
        at = end + 1;
    }
}

std::string_view keyword_of(std::string_view line)
{
    size_t end = 0;
    while (end < line.size() && !is_space(uint8(line[end])))
        end++;
    return line.substr(0, end);
}

// An OBJ file is text whose lines, as far as they are looked at, are its
// statements: a known keyword, a comment or nothing, with vertices.
bool looks_like_obj(const uint8* data, size_t size)
{
    static const std::string_view kKeywords[] = {
        "v", "vt", "vn", "vp", "f", "l", "p", "o", "g", "s", "mtllib", "usemtl",
        "cstype", "deg", "bmat", "step", "curv", "curv2", "surf", "parm", "trim", "hole",
        "scrv", "sp", "end", "con", "mg", "bevel", "c_interp", "d_interp", "lod", "shadow_obj",
        "trace_obj", "ctech", "stech", "call", "csh", "maplib", "usemap"};
    const size_t look = std::min<size_t>(size, 65536);
    if (std::memchr(data, 0, look) != nullptr)
        return false;
    bool vertex = false, statements = true;
    size_t lines = 0;
    for_each_line(data, look, [&](std::string_view line) {
        if (line.empty() || line[0] == '#')
            return true;
        // The last line looked at may be cut short.
        if (line.data() + line.size() >= reinterpret_cast<const char*>(data + look) && look < size)
            return false;
        const std::string_view word = keyword_of(line);
        statements = std::find(std::begin(kKeywords), std::end(kKeywords), word) !=
                     std::end(kKeywords);
        vertex = vertex || word == "v";
        lines++;
        return statements;
    });
    return statements && vertex && lines > 0;
}

// The triangles an OBJ file's faces make once each polygon is fanned.
uint64 obj_triangles(const uint8* data, size_t size)
{
    uint64 triangles = 0;
    for_each_line(data, size, [&](std::string_view line) {
        if (line.size() < 2 || line[0] != 'f' || !is_space(uint8(line[1])))
            return true;
        uint64 corners = 0;
        bool inWord = false;
        for (size_t i = 1; i < line.size(); i++) {
            const bool space = is_space(uint8(line[i]));
            if (line[i] == '#')
                break;
            if (!space && !inWord)
                corners++;
            inWord = !space;
        }
        if (corners >= 3)
            triangles += corners - 2;
        return true;
    });
    return triangles;
}

struct PlyHeader
{
    bool valid = false;
    // A header line holding a control character, or text after
    // end_header: assimp's PLY reader can loop for ever on such a header.
    bool damaged = false;
    uint64 vertices = 0;
    uint64 faces = 0;
};

PlyHeader ply_header(const uint8* data, size_t size)
{
    PlyHeader header;
    const size_t look = std::min<size_t>(size, 65536);
    for_each_line(data, look, [&](std::string_view line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        for (char c : line) {
            if ((uint8(c) < 0x20 && c != '\t' && c != '\r') || uint8(c) == 0x7F) {
                header.damaged = true;
                return false;
            }
        }
        if (line.rfind("end_header", 0) == 0) {
            header.valid = line == "end_header";
            header.damaged = !header.valid;
            return false;
        }
        if (line.rfind("element ", 0) != 0)
            return true;
        std::string_view rest = line.substr(8);
        const size_t space = rest.find(' ');
        if (space == std::string_view::npos)
            return true;
        const std::string_view name = rest.substr(0, space);
        uint64 count = 0;
        for (char c : rest.substr(space + 1)) {
            if (c < '0' || c > '9' || count > (UINT64_MAX - 9) / 10)
                break;
            count = count * 10 + uint64(c - '0');
        }
        if (name == "vertex")
            header.vertices = count;
        else if (name == "face")
            header.faces = count;
        return true;
    });
    return header;
}

// Whether a JSON text nests no deeper than the limit.
bool json_depth_within(const uint8* data, size_t size, int limit)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < size; i++) {
        const uint8 c = data[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            depth--;
        }
    }
    return true;
}

const char* hint_of(ModelFormat format)
{
    switch (format) {
    case ModelFormat::kStlBinary:
    case ModelFormat::kStlAscii: return "stl";
    case ModelFormat::kObj: return "obj";
    case ModelFormat::kPly: return "ply";
    case ModelFormat::kGltf: return "gltf";
    case ModelFormat::kGlb: return "glb";
    default: return "";
    }
}

bool ends_with_gltf(const char* path)
{
    const size_t length = std::strlen(path);
    return length > 5 && strcasecmp(path + length - 5, ".gltf") == 0;
}

// A 3 x 4 affine transform.
struct Affine
{
    double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

    static Affine Of(const aiMatrix4x4& a)
    {
        Affine t;
        const double rows[3][4] = {{a.a1, a.a2, a.a3, a.a4},
                                   {a.b1, a.b2, a.b3, a.b4},
                                   {a.c1, a.c2, a.c3, a.c4}};
        std::memcpy(t.m, rows, sizeof(rows));
        return t;
    }
    static Affine Rotation(int axis, double degrees)
    {
        Affine t;
        const double r = degrees * M_PI / 180.0, c = std::cos(r), s = std::sin(r);
        const int i = (axis + 1) % 3, j = (axis + 2) % 3;
        t.m[i][i] = c;
        t.m[i][j] = -s;
        t.m[j][i] = s;
        t.m[j][j] = c;
        return t;
    }
    Affine operator*(const Affine& b) const
    {
        Affine t;
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 4; c++) {
                double v = c == 3 ? m[r][3] : 0.0;
                for (int k = 0; k < 3; k++)
                    v += m[r][k] * b.m[k][c];
                t.m[r][c] = v;
            }
        }
        return t;
    }
    void Apply(const aiVector3D& p, double out[3]) const
    {
        for (int r = 0; r < 3; r++)
            out[r] = m[r][0] * p.x + m[r][1] * p.y + m[r][2] * p.z + m[r][3];
    }
};

struct Instance
{
    const aiMesh* mesh;
    Affine transform;
};

// Every mesh of the scene where its nodes put it, turned by view.
bool place_meshes(const aiScene& scene, const Affine& view, std::vector<Instance>* instances)
{
    struct Visit
    {
        const aiNode* node;
        Affine transform;
        size_t depth;
    };
    std::vector<Visit> pending;
    if (scene.mRootNode != nullptr)
        pending.push_back({scene.mRootNode, view * Affine::Of(scene.mRootNode->mTransformation), 0});
    while (!pending.empty()) {
        Visit visit = pending.back();
        pending.pop_back();
        if (visit.depth > kMaxNodeDepth)
            return false;
        for (unsigned i = 0; i < visit.node->mNumMeshes; i++) {
            const unsigned index = visit.node->mMeshes[i];
            if (index < scene.mNumMeshes && scene.mMeshes[index] != nullptr)
                instances->push_back({scene.mMeshes[index], visit.transform});
        }
        for (unsigned i = 0; i < visit.node->mNumChildren; i++) {
            const aiNode* child = visit.node->mChildren[i];
            if (child != nullptr)
                pending.push_back({child, visit.transform * Affine::Of(child->mTransformation),
                                   visit.depth + 1});
        }
    }
    return true;
}

// Calls visit(corners) for each triangle of the instances, its corners
// placed and finite.
template <typename Visit>
void for_each_triangle(const std::vector<Instance>& instances, Visit visit)
{
    double corners[3][3];
    for (const Instance& instance : instances) {
        const aiMesh& mesh = *instance.mesh;
        if (mesh.mVertices == nullptr || mesh.mFaces == nullptr)
            continue;
        for (unsigned f = 0; f < mesh.mNumFaces; f++) {
            const aiFace& face = mesh.mFaces[f];
            if (face.mNumIndices < 3 || face.mIndices == nullptr)
                continue; // points and lines
            // Polygons are fanned from their first corner: assimp's own
            // post-processing steps end the process on some damaged models.
            for (unsigned second = 1; second + 1 < face.mNumIndices; second++) {
                const unsigned picks[3] = {0, second, second + 1};
                bool usable = true;
                for (int k = 0; k < 3 && usable; k++) {
                    const unsigned index = face.mIndices[picks[k]];
                    usable = index < mesh.mNumVertices;
                    if (usable) {
                        instance.transform.Apply(mesh.mVertices[index], corners[k]);
                        usable = std::isfinite(corners[k][0]) && std::isfinite(corners[k][1]) &&
                                 std::isfinite(corners[k][2]);
                    }
                }
                if (usable)
                    visit(corners);
            }
        }
    }
}

} // namespace

ModelFormat SniffModel(const uint8* data, size_t size)
{
    if (data == nullptr || size < 4)
        return ModelFormat::kNone;
    if (size >= 12 && std::memcmp(data, "glTF", 4) == 0)
        return ModelFormat::kGlb;
    if (std::memcmp(data, "ply", 3) == 0 && (data[3] == '\n' || data[3] == '\r'))
        return ModelFormat::kPly;
    // A binary STL is its 80-byte header, a count, and 50 bytes a triangle,
    // exactly: the header may say anything, "solid" included.
    if (size >= 84 && 84 + 50 * uint64(le32(data + 80)) == size)
        return ModelFormat::kStlBinary;
    const size_t start = text_start(data, size);
    const uint8* text = data + start;
    const size_t length = size - start;
    if (length >= 5 && std::memcmp(text, "solid", 5) == 0 &&
        contains(text, std::min<size_t>(length, 4096), "facet"))
        return ModelFormat::kStlAscii;
    if (length > 0 && text[0] == '{' && contains(text, std::min<size_t>(length, 65536), "\"asset\""))
        return ModelFormat::kGltf;
    if (looks_like_obj(text, length))
        return ModelFormat::kObj;
    return ModelFormat::kNone;
}

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
    // What can be counted before assimp allocates anything is counted.
    uint64 counted = 0;
    bool knowsCount = true;
    switch (format) {
    case ModelFormat::kStlBinary: counted = le32(data + 80); break;
    case ModelFormat::kStlAscii: counted = count_of(data, size, "endfacet"); break;
    case ModelFormat::kObj: counted = obj_triangles(data, size); break;
    case ModelFormat::kPly: {
        const PlyHeader header = ply_header(data, size);
        if (header.damaged) {
            *why = "its PLY header is damaged";
            return B_ILLEGAL_DATA;
        }
        if (!header.valid || header.vertices > size || header.faces > size) {
            *why = "its PLY header declares more than the file holds";
            return B_ILLEGAL_DATA;
        }
        counted = header.faces;
        break;
    }
    case ModelFormat::kGltf:
        knowsCount = false;
        if (!json_depth_within(data, size, kMaxJsonDepth)) {
            *why = "its glTF JSON nests too deeply";
            return B_ILLEGAL_DATA;
        }
        break;
    case ModelFormat::kGlb: {
        knowsCount = false;
        // Header, then the JSON chunk: its length, "JSON", the text.
        const uint64 jsonLength = size >= 20 ? le32(data + 12) : 0;
        if (size < 20 || std::memcmp(data + 16, "JSON", 4) != 0 || jsonLength > size - 20) {
            *why = "its glTF container has no JSON chunk";
            return B_ILLEGAL_DATA;
        }
        if (!json_depth_within(data + 20, size_t(jsonLength), kMaxJsonDepth)) {
            *why = "its glTF JSON nests too deeply";
            return B_ILLEGAL_DATA;
        }
        break;
    }
    default: break;
    }
    if (knowsCount && counted == 0) {
        *why = "the model has no triangles";
        return B_BAD_DATA;
    }
    if (counted > view.maxTriangles) {
        *why = "the model has more than " + std::to_string(view.maxTriangles) + " triangles";
        return B_NO_MEMORY;
    }

    Assimp::Importer importer;
    // No post-processing: polygons are fanned and indices checked here.
    const unsigned flags = 0;
    const aiScene* scene = nullptr;
    try {
        // A glTF text names its buffers by paths relative to itself.
        if (format == ModelFormat::kGltf && path != nullptr && ends_with_gltf(path))
            scene = importer.ReadFile(path, flags);
        else
            scene = importer.ReadFileFromMemory(data, size, flags, hint_of(format));
    } catch (const std::bad_alloc&) {
        *why = "out of memory reading the model";
        return B_NO_MEMORY;
    } catch (const std::exception& failure) {
        *why = failure.what();
        return B_ILLEGAL_DATA;
    }
    if (scene == nullptr) {
        std::string reason = importer.GetErrorString();
        reason = reason.substr(0, reason.find('\n'));
        *why = reason.empty() ? "assimp cannot read it" : "assimp: " + reason;
        return B_ILLEGAL_DATA;
    }

    const Affine turn = Affine::Rotation(2, view.rotate[2]) * Affine::Rotation(1, view.rotate[1]) *
                        Affine::Rotation(0, view.rotate[0]);
    std::vector<Instance> instances;
    if (!place_meshes(*scene, turn, &instances)) {
        *why = "its node tree is too deep";
        return B_ILLEGAL_DATA;
    }
    uint64 triangles = 0;
    double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for_each_triangle(instances, [&](const double corners[3][3]) {
        triangles++;
        for (int k = 0; k < 3; k++) {
            for (int axis = 0; axis < 3; axis++) {
                low[axis] = std::min(low[axis], corners[k][axis]);
                high[axis] = std::max(high[axis], corners[k][axis]);
            }
        }
    });
    if (triangles == 0) {
        *why = "the model has no triangles";
        return B_BAD_DATA;
    }
    if (triangles > view.maxTriangles) {
        *why = "the model has more than " + std::to_string(view.maxTriangles) + " triangles";
        return B_NO_MEMORY;
    }
    const double spanX = high[0] - low[0], spanY = high[1] - low[1], spanZ = high[2] - low[2];
    if (!(spanX > 0 || spanY > 0) || !std::isfinite(spanX) || !std::isfinite(spanY) ||
        !std::isfinite(spanZ)) {
        *why = "the model has no extent across the view";
        return B_BAD_DATA;
    }

    const double usableW = view.width * (1 - 2 * kMargin), usableH = view.height * (1 - 2 * kMargin);
    const double scale = std::min(spanX > 0 ? usableW / spanX : INFINITY,
                                  spanY > 0 ? usableH / spanY : INFINITY);
    const double centreX = (low[0] + high[0]) / 2, centreY = (low[1] + high[1]) / 2;
    try {
        map->values.assign(size_t(view.width) * size_t(view.height), 0.0f);
    } catch (const std::bad_alloc&) {
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    map->width = view.width;
    map->height = view.height;
    DepthBuffer buffer(view.width, view.height, map->values.data());
    for_each_triangle(instances, [&](const double corners[3][3]) {
        float placed[3][3];
        for (int k = 0; k < 3; k++) {
            placed[k][0] = float((corners[k][0] - centreX) * scale + view.width / 2.0);
            placed[k][1] = float(view.height / 2.0 - (corners[k][1] - centreY) * scale);
            // Seen down -Z: the greatest z is the nearest.
            placed[k][2] = spanZ > 0 ? float((corners[k][2] - low[2]) / spanZ) : 1.0f;
        }
        buffer.Triangle(placed[0], placed[1], placed[2]);
    });
    return B_OK;
}

} // namespace depth
