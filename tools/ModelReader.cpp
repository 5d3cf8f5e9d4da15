#include "ModelReader.h"

#include "ModelDepth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/scene.h>

#include <strings.h>

namespace depth {

namespace {

// What the picture keeps free on each side.
constexpr double kMargin = 0.05;
// Node trees deeper than this are refused rather than walked.
constexpr size_t kMaxNodeDepth = 1024;

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

// The files beside the model as they are, the model itself as the checks
// rewrote it.
class ReplacedModelSystem : public Assimp::DefaultIOSystem
{
public:
    ReplacedModelSystem(const char* path, const std::string& bytes) : fPath(path), fBytes(bytes) {}

    bool Exists(const char* file) const override
    {
        return fPath == file || Assimp::DefaultIOSystem::Exists(file);
    }
    Assimp::IOStream* Open(const char* file, const char* mode) override
    {
        if (fPath == file)
            return new Assimp::MemoryIOStream(reinterpret_cast<const uint8_t*>(fBytes.data()),
                                              fBytes.size());
        return Assimp::DefaultIOSystem::Open(file, mode);
    }

private:
    std::string fPath;
    const std::string& fBytes;
};

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

status_t ReadModelTriangles(const ModelSource& source, const ModelView& view,
                            std::vector<PlacedTriangle>* triangles, std::string* why)
{
    triangles->clear();
    const ModelFormat format = source.format;
    const char* path = source.path;
    // The checks' copy, when they made one, stands for the file's bytes.
    const std::string* replacement = source.check != nullptr && !source.check->replacement.empty()
                                         ? &source.check->replacement
                                         : nullptr;
    const uint8* data =
        replacement != nullptr ? reinterpret_cast<const uint8*>(replacement->data()) : source.data;
    const size_t size = replacement != nullptr ? replacement->size() : source.size;
    Assimp::Importer importer;
    // No post-processing: polygons are fanned and indices checked here.
    const unsigned flags = 0;
    const aiScene* scene = nullptr;
    try {
        // A glTF text names its buffers by paths relative to itself.
        if (format == ModelFormat::kGltf && path != nullptr && ends_with_gltf(path)) {
            if (replacement != nullptr)
                importer.SetIOHandler(new ReplacedModelSystem(path, *replacement));
            scene = importer.ReadFile(path, flags);
        } else
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
    uint64 counted = 0;
    double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for_each_triangle(instances, [&](const double corners[3][3]) {
        counted++;
        for (int k = 0; k < 3; k++) {
            for (int axis = 0; axis < 3; axis++) {
                low[axis] = std::min(low[axis], corners[k][axis]);
                high[axis] = std::max(high[axis], corners[k][axis]);
            }
        }
    });
    if (counted == 0) {
        *why = "the model has no triangles";
        return B_BAD_DATA;
    }
    if (counted > view.maxTriangles) {
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
        triangles->reserve(size_t(counted));
    } catch (const std::bad_alloc&) {
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    for_each_triangle(instances, [&](const double corners[3][3]) {
        PlacedTriangle placed;
        for (int k = 0; k < 3; k++) {
            placed.corner[k][0] = float((corners[k][0] - centreX) * scale + view.width / 2.0);
            placed.corner[k][1] = float(view.height / 2.0 - (corners[k][1] - centreY) * scale);
            // Seen down -Z: the greatest z is the nearest.
            placed.corner[k][2] = spanZ > 0 ? float((corners[k][2] - low[2]) / spanZ) : 1.0f;
        }
        triangles->push_back(placed);
    });
    return B_OK;
}

} // namespace depth
