#include "ModelReader.h"

#include "ModelDepth.h"
#include "ModelWall.h"

#include <RegularFile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/MemoryIOWrapper.h>
#include <assimp/scene.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace depth {

namespace {

constexpr double kMargin = kModelMargin;
// Node trees deeper than this are refused rather than walked.
constexpr size_t kMaxNodeDepth = 1024;

// The child's allowance: its memory beyond the bytes given, a triangle the
// checks counted; its CPU time, a base, by the byte and by the triangle
// (several times what assimp takes, so a loaded machine still has room).
constexpr uint64 kWallBytesPerTriangle = 512;
constexpr double kWallCpuSecondsPerTriangle = 2e-6;
constexpr uint64 kWallBytesPerCpuSecond = uint64(8) << 20;
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLARA_INSTRUMENTED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(PELLARA_INSTRUMENTED)
constexpr double kWallCpuSeconds = 6; // the instrumented code is slower
#else
constexpr double kWallCpuSeconds = 2;
#endif

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

// The files the library is given, from memory: the model under the name
// kModelName plus its format's extension, and the buffers the parent read.
// Nothing else exists, so a material library, an image or any other file a
// model names is simply not found.
class MemoryFiles : public Assimp::IOSystem
{
public:
    void Add(const std::string& name, const std::string_view& bytes)
    {
        fFiles[std::string(_Key(name.c_str()))] = bytes;
    }

    bool Exists(const char* name) const override { return _Find(name) != nullptr; }
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* name, const char* mode) override
    {
        const std::string_view* bytes = _Find(name);
        if (bytes == nullptr || mode == nullptr || std::strpbrk(mode, "wa+") != nullptr)
            return nullptr;
        return new Assimp::MemoryIOStream(reinterpret_cast<const uint8_t*>(bytes->data()),
                                          bytes->size(), false);
    }
    void Close(Assimp::IOStream* stream) override { delete stream; }

private:
    static std::string_view _Key(const char* name)
    {
        std::string_view key(name);
        while (key.rfind("./", 0) == 0)
            key.remove_prefix(2);
        return key;
    }
    const std::string_view* _Find(const char* name) const
    {
        if (name == nullptr)
            return nullptr;
        const auto found = fFiles.find(std::string(_Key(name)));
        return found != fFiles.end() ? &found->second : nullptr;
    }

    std::map<std::string, std::string_view> fFiles;
};

constexpr const char* kModelName = "model.";

// A buffer a glTF text names, as the parent read it.
struct ModelBuffer
{
    std::string uri;
    std::string decoded;
    std::string bytes;
};

// A URI as a message may quote it: one line, not too long.
std::string quoted(const std::string& uri)
{
    std::string shown;
    for (char c : uri.substr(0, 80))
        shown += uint8(c) < 0x20 || uint8(c) == 0x7F ? '?' : c;
    if (uri.size() > 80)
        shown += "...";
    return "'" + shown + "'";
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The URI's path with its %XX escapes decoded; false for a broken escape or
// one that decodes to a NUL.
bool percent_decoded(const std::string& uri, std::string* path)
{
    path->clear();
    for (size_t i = 0; i < uri.size(); i++) {
        if (uri[i] != '%') {
            *path += uri[i];
            continue;
        }
        const int high = i + 2 < uri.size() ? hex_value(uri[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(uri[i + 2]) : -1;
        if (low < 0 || (high == 0 && low == 0))
            return false;
        *path += char(high * 16 + low);
        i += 2;
    }
    return path->find('\0') == std::string::npos;
}

// The folder a file lies in.
std::string folder_of(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, size_t(slash - path));
}

// Reads a buffer named by a relative URI, only as a regular file inside the
// model's folder: no absolute path, no "..", no symbolic link anywhere on
// the way, and nothing that is not a regular file opened for reading.
status_t read_buffer(int folder, ModelBuffer* buffer, uint64 room, std::string* why)
{
    const std::string name = "its buffer " + quoted(buffer->uri);
    std::string& path = buffer->decoded;
    if (!percent_decoded(buffer->uri, &path) || path.empty()) {
        *why = name + " is not a file name";
        return B_ILLEGAL_DATA;
    }
    // A scheme (file:, http:) or an absolute path points elsewhere.
    const size_t colon = path.find(':'), slash = path.find('/');
    if (path[0] == '/' || path.find('\\') != std::string::npos ||
        (colon != std::string::npos && (slash == std::string::npos || colon < slash))) {
        *why = name + " is not a file inside the model's folder";
        return B_ILLEGAL_DATA;
    }
    std::vector<std::string> parts;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            *why = name + " is not a file inside the model's folder";
            return B_ILLEGAL_DATA;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        at = end + 1;
    }
    if (parts.empty()) {
        *why = name + " is not a file name";
        return B_ILLEGAL_DATA;
    }
    int at = dup(folder);
    for (size_t i = 0; i + 1 < parts.size() && at >= 0; i++) {
        const int next =
            openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(at);
        at = next;
    }
    struct stat info{};
    if (at < 0 || fstatat(at, parts.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        if (at >= 0)
            close(at);
        *why = name + (error == ELOOP || error == ENOTDIR
                           ? " is not a file inside the model's folder"
                           : std::string(" cannot be read: ") + std::strerror(error));
        return B_ILLEGAL_DATA;
    }
    if (S_ISLNK(info.st_mode) || !S_ISREG(info.st_mode)) {
        close(at);
        *why = name + (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is not a regular file");
        return B_ILLEGAL_DATA;
    }
    // Without blocking and without following a link: what was checked may
    // have been swapped since, and is checked again once open.
    const int fd = openat(at, parts.back().c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int error = errno;
    close(at);
    off_t size = 0;
    if (fd < 0 || check_regular_file(fd, &size) != B_OK) {
        if (fd >= 0)
            close(fd);
        *why = name + (fd < 0 ? std::string(" cannot be read: ") + std::strerror(error)
                              : std::string(" is not a regular file"));
        return B_ILLEGAL_DATA;
    }
    if (uint64(size) > room) {
        close(fd);
        *why = name + " makes the model larger than 2 GiB";
        return B_NO_MEMORY;
    }
    try {
        buffer->bytes.resize(size_t(size));
    } catch (const std::bad_alloc&) {
        close(fd);
        *why = "out of memory";
        return B_NO_MEMORY;
    }
    size_t done = 0;
    while (done < buffer->bytes.size()) {
        const ssize_t got = read(fd, buffer->bytes.data() + done, buffer->bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += size_t(got);
    }
    const int readError = errno;
    close(fd);
    if (done < buffer->bytes.size()) {
        *why = name + " cannot be read: " +
               (done == 0 && readError != 0 ? std::strerror(readError) : "it shrank while read");
        return B_IO_ERROR;
    }
    return B_OK;
}

// The buffers a glTF text names, read from the model's folder.
status_t read_buffers(const ModelSource& source, uint64 room, std::vector<ModelBuffer>* buffers,
                      std::string* why)
{
    if (source.check == nullptr || source.check->bufferUris.empty())
        return B_OK;
    if (source.path == nullptr) {
        *why = "its buffer " + quoted(source.check->bufferUris.front()) +
               " is a file of its own: give the model by its name, not on standard input";
        return B_ILLEGAL_DATA;
    }
    const std::string folderPath = folder_of(source.path);
    const int folder = open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        *why = std::string("its folder cannot be read: ") + std::strerror(errno);
        return B_IO_ERROR;
    }
    status_t status = B_OK;
    for (const std::string& uri : source.check->bufferUris) {
        const bool seen = std::any_of(buffers->begin(), buffers->end(),
                                      [&](const ModelBuffer& b) { return b.uri == uri; });
        if (seen)
            continue;
        buffers->push_back({uri, "", ""});
        status = read_buffer(folder, &buffers->back(), room, why);
        if (status != B_OK)
            break;
        room -= buffers->back().bytes.size();
    }
    close(folder);
    return status;
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

// The library's work, in the walled child: the model read from memory,
// its meshes placed and brought to the picture's coordinates.
status_t read_triangles(const std::string_view& model, ModelFormat format,
                        const std::vector<ModelBuffer>& buffers, const ModelView& view,
                        std::vector<PlacedTriangle>* triangles, std::string* why)
{
    const std::string name = std::string(kModelName) + hint_of(format);
    auto files = std::make_unique<MemoryFiles>();
    files->Add(name, model);
    // The library may ask for a buffer by its URI as written or as decoded.
    for (const ModelBuffer& buffer : buffers) {
        files->Add(buffer.uri, buffer.bytes);
        files->Add(buffer.decoded, buffer.bytes);
    }
    Assimp::Importer importer;
    importer.SetIOHandler(files.release());
    // No post-processing: polygons are fanned and indices checked here.
    const unsigned flags = 0;
    const aiScene* scene = importer.ReadFile(name, flags);
    if (scene == nullptr) {
        std::string reason = importer.GetErrorString();
        reason = reason.substr(0, reason.find('\n'));
        *why = reason.empty() ? "assimp cannot read it" : "assimp: " + reason;
        return B_ILLEGAL_DATA;
    }

    // A model to be turned frame by frame comes back unturned.
    const Affine turn = view.modelSpace ? Affine()
                                        : Affine::Rotation(2, view.rotate[2]) *
                                              Affine::Rotation(1, view.rotate[1]) *
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
    if (view.modelSpace) {
        // About the box's centre, so that the floats keep their precision
        // however far from the origin the model lies.
        if (!(spanX > 0 || spanY > 0 || spanZ > 0) || !std::isfinite(spanX) ||
            !std::isfinite(spanY) || !std::isfinite(spanZ)) {
            *why = "the model has no extent";
            return B_BAD_DATA;
        }
        const double centre[3] = {(low[0] + high[0]) / 2, (low[1] + high[1]) / 2,
                                  (low[2] + high[2]) / 2};
        triangles->reserve(size_t(counted));
        for_each_triangle(instances, [&](const double corners[3][3]) {
            PlacedTriangle placed;
            for (int k = 0; k < 3; k++)
                for (int axis = 0; axis < 3; axis++)
                    placed.corner[k][axis] = float(corners[k][axis] - centre[axis]);
            triangles->push_back(placed);
        });
        return B_OK;
    }
    if (!(spanX > 0 || spanY > 0) || !std::isfinite(spanX) || !std::isfinite(spanY) ||
        !std::isfinite(spanZ)) {
        *why = "the model has no extent across the view";
        return B_BAD_DATA;
    }

    const double usableW = view.width * (1 - 2 * kMargin), usableH = view.height * (1 - 2 * kMargin);
    const double scale = std::min(spanX > 0 ? usableW / spanX : INFINITY,
                                  spanY > 0 ? usableH / spanY : INFINITY);
    const double centreX = (low[0] + high[0]) / 2, centreY = (low[1] + high[1]) / 2;
    triangles->reserve(size_t(counted));
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

} // namespace

status_t ReadModelTriangles(const ModelSource& source, const ModelView& view,
                            std::vector<PlacedTriangle>* triangles, std::string* why)
{
    triangles->clear();
    const ModelCheck* check = source.check;
    const std::string_view model =
        check != nullptr && !check->replacement.empty()
            ? std::string_view(check->replacement)
            : std::string_view(reinterpret_cast<const char*>(source.data), source.size);
    std::vector<ModelBuffer> buffers;
    const uint64 room = kMaxModelBytes > model.size() ? kMaxModelBytes - model.size() : 0;
    status_t status = read_buffers(source, room, &buffers, why);
    if (status != B_OK)
        return status;

    // The limits grow with what the checks counted and the bytes given, so
    // that the largest model allowed loads while a small hostile file that
    // claims little fails fast.
    uint64 bytes = model.size();
    for (const ModelBuffer& buffer : buffers)
        bytes += buffer.bytes.size();
    const bool counted = check != nullptr && check->knowsCount;
    const uint64 declared = check != nullptr ? check->triangles : 0;
    WallLimits limits;
    limits.maxTriangles = view.maxTriangles;
    // assimp holds about 170 bytes a binary STL triangle; the child's result
    // 36 more. Uncounted (glTF), the result may reach the ceiling.
    limits.memoryBytes = (uint64(256) << 20) + 4 * bytes + kWallBytesPerTriangle * declared +
                         (counted ? 0 : sizeof(PlacedTriangle) * view.maxTriangles);
    limits.cpuSeconds = kWallCpuSeconds + double(bytes) / double(kWallBytesPerCpuSecond) +
                        double(declared) * kWallCpuSecondsPerTriangle;
    limits.wallSeconds = 1.5 * limits.cpuSeconds + 1;
    return RunWalled(
        limits,
        [&](std::vector<PlacedTriangle>* placed, std::string* reason) {
            return read_triangles(model, source.format, buffers, view, placed, reason);
        },
        triangles, why);
}

} // namespace depth
