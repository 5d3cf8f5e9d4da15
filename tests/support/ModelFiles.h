// Triangle meshes of known shape, written in each model format pellara-depth
// reads: binary and ASCII STL, OBJ, ASCII and binary PLY, glTF 2.0 (JSON with
// the buffer inline or beside it) and GLB.
#ifndef MODEL_FILES_H
#define MODEL_FILES_H

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct Mesh
{
    std::vector<std::array<float, 3>> vertices;
    std::vector<std::array<uint32_t, 3>> triangles;
};

// The cube [-1, 1]^3, two triangles a face.
inline Mesh cube_mesh()
{
    Mesh mesh;
    for (int i = 0; i < 8; i++)
        mesh.vertices.push_back({i & 1 ? 1.f : -1.f, i & 2 ? 1.f : -1.f, i & 4 ? 1.f : -1.f});
    const uint32_t faces[6][4] = {{0, 1, 3, 2}, {4, 6, 7, 5}, {0, 4, 5, 1},
                                  {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 5, 7, 3}};
    for (const auto& f : faces) {
        mesh.triangles.push_back({f[0], f[1], f[2]});
        mesh.triangles.push_back({f[0], f[2], f[3]});
    }
    return mesh;
}

// The unit sphere: rows bands of latitude, 2 x rows of longitude.
inline Mesh sphere_mesh(int rows)
{
    Mesh mesh;
    for (int i = 0; i <= rows; i++) {
        const double theta = M_PI * i / rows;
        for (int j = 0; j < 2 * rows; j++) {
            const double phi = M_PI * j / rows;
            mesh.vertices.push_back({float(std::sin(theta) * std::cos(phi)),
                                     float(std::sin(theta) * std::sin(phi)),
                                     float(std::cos(theta))});
        }
    }
    auto at = [rows](int i, int j) { return uint32_t(i * 2 * rows + (j % (2 * rows))); };
    for (int i = 0; i < rows; i++) {
        for (int j = 0; j < 2 * rows; j++) {
            mesh.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            mesh.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    return mesh;
}

// The square [-1, 1]^2 at z = 0, in a grid of cells x cells squares.
inline Mesh plane_mesh(int cells = 4)
{
    Mesh mesh;
    for (int i = 0; i <= cells; i++)
        for (int j = 0; j <= cells; j++)
            mesh.vertices.push_back({-1.f + 2.f * j / cells, -1.f + 2.f * i / cells, 0.f});
    auto at = [cells](int i, int j) { return uint32_t(i * (cells + 1) + j); };
    for (int i = 0; i < cells; i++) {
        for (int j = 0; j < cells; j++) {
            mesh.triangles.push_back({at(i, j), at(i, j + 1), at(i + 1, j + 1)});
            mesh.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i + 1, j)});
        }
    }
    return mesh;
}

inline void put(std::string* out, const void* data, size_t size)
{
    out->append(static_cast<const char*>(data), size);
}

inline std::string binary_stl(const Mesh& mesh)
{
    std::string out(80, '\0');
    const uint32_t count = uint32_t(mesh.triangles.size());
    put(&out, &count, 4);
    for (const auto& t : mesh.triangles) {
        const float normal[3] = {0, 0, 0};
        put(&out, normal, 12);
        for (uint32_t v : t)
            put(&out, mesh.vertices[v].data(), 12);
        out.append(2, '\0');
    }
    return out;
}

inline std::string ascii_stl(const Mesh& mesh)
{
    std::ostringstream out;
    out.precision(9);
    out << "solid shape\n";
    for (const auto& t : mesh.triangles) {
        out << "  facet normal 0 0 0\n    outer loop\n";
        for (uint32_t v : t)
            out << "      vertex " << mesh.vertices[v][0] << ' ' << mesh.vertices[v][1] << ' '
                << mesh.vertices[v][2] << '\n';
        out << "    endloop\n  endfacet\n";
    }
    out << "endsolid shape\n";
    return out.str();
}

inline std::string obj(const Mesh& mesh)
{
    std::ostringstream out;
    out.precision(9);
    out << "# made by the tests\no shape\n";
    for (const auto& v : mesh.vertices)
        out << "v " << v[0] << ' ' << v[1] << ' ' << v[2] << '\n';
    for (const auto& t : mesh.triangles)
        out << "f " << t[0] + 1 << ' ' << t[1] + 1 << ' ' << t[2] + 1 << '\n';
    return out.str();
}

inline std::string ply(const Mesh& mesh, bool binary)
{
    std::ostringstream header;
    header << "ply\nformat " << (binary ? "binary_little_endian" : "ascii") << " 1.0\n"
           << "element vertex " << mesh.vertices.size() << "\n"
           << "property float x\nproperty float y\nproperty float z\n"
           << "element face " << mesh.triangles.size() << "\n"
           << "property list uchar int vertex_indices\nend_header\n";
    std::string out = header.str();
    if (binary) {
        for (const auto& v : mesh.vertices)
            put(&out, v.data(), 12);
        for (const auto& t : mesh.triangles) {
            out.push_back(3);
            for (uint32_t v : t) {
                const int32_t index = int32_t(v);
                put(&out, &index, 4);
            }
        }
        return out;
    }
    std::ostringstream body;
    body.precision(9);
    for (const auto& v : mesh.vertices)
        body << v[0] << ' ' << v[1] << ' ' << v[2] << '\n';
    for (const auto& t : mesh.triangles)
        body << "3 " << t[0] << ' ' << t[1] << ' ' << t[2] << '\n';
    return out + body.str();
}

inline std::string base64(const std::string& bytes)
{
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= uint8_t(bytes[i + 2]);
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

// The mesh's buffer for glTF: positions, then 32-bit indices.
inline std::string gltf_buffer(const Mesh& mesh)
{
    std::string buffer;
    for (const auto& v : mesh.vertices)
        put(&buffer, v.data(), 12);
    for (const auto& t : mesh.triangles)
        put(&buffer, t.data(), 12);
    return buffer;
}

// A glTF document; uri is the buffer's (none in a GLB); node is the node's
// extra members, such as "\"rotation\": [0, 0.2588, 0, 0.9659]".
inline std::string gltf_json(const Mesh& mesh, const std::string& uri, const std::string& node)
{
    const size_t positions = mesh.vertices.size() * 12, indices = mesh.triangles.size() * 12;
    float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
    for (const auto& v : mesh.vertices) {
        for (int k = 0; k < 3; k++) {
            low[k] = std::min(low[k], v[k]);
            high[k] = std::max(high[k], v[k]);
        }
    }
    std::ostringstream out;
    out << "{\"asset\": {\"version\": \"2.0\"}, \"scene\": 0, \"scenes\": [{\"nodes\": [0]}],\n"
        << " \"nodes\": [{\"mesh\": 0" << (node.empty() ? "" : ", " + node) << "}],\n"
        << " \"meshes\": [{\"primitives\": [{\"attributes\": {\"POSITION\": 0}, \"indices\": 1}]}],\n"
        << " \"buffers\": [{\"byteLength\": " << positions + indices
        << (uri.empty() ? "" : ", \"uri\": \"" + uri + "\"") << "}],\n"
        << " \"bufferViews\": [{\"buffer\": 0, \"byteOffset\": 0, \"byteLength\": " << positions
        << ", \"target\": 34962},\n  {\"buffer\": 0, \"byteOffset\": " << positions
        << ", \"byteLength\": " << indices << ", \"target\": 34963}],\n"
        << " \"accessors\": [{\"bufferView\": 0, \"componentType\": 5126, \"count\": "
        << mesh.vertices.size() << ", \"type\": \"VEC3\", \"min\": [" << low[0] << ", " << low[1]
        << ", " << low[2] << "], \"max\": [" << high[0] << ", " << high[1] << ", " << high[2]
        << "]},\n  {\"bufferView\": 1, \"componentType\": 5125, \"count\": "
        << mesh.triangles.size() * 3 << ", \"type\": \"SCALAR\"}]}\n";
    return out.str();
}

inline std::string gltf(const Mesh& mesh, const std::string& node = "")
{
    return gltf_json(mesh, "data:application/octet-stream;base64," + base64(gltf_buffer(mesh)),
                     node);
}

// A GLB container: the JSON chunk, then the BIN chunk when bin is not empty.
inline std::string glb_of(std::string json, std::string bin)
{
    while (json.size() % 4 != 0)
        json += ' ';
    while (bin.size() % 4 != 0)
        bin += '\0';
    std::string out = "glTF";
    auto word = [&out](uint32_t value) { put(&out, &value, 4); };
    word(2);
    word(uint32_t(12 + 8 + json.size() + (bin.empty() ? 0 : 8 + bin.size())));
    word(uint32_t(json.size()));
    out += "JSON";
    out += json;
    if (!bin.empty()) {
        word(uint32_t(bin.size()));
        out += std::string("BIN\0", 4);
        out += bin;
    }
    return out;
}

inline std::string glb(const Mesh& mesh, const std::string& node = "")
{
    return glb_of(gltf_json(mesh, "", node), gltf_buffer(mesh));
}

inline void write_text(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                  std::streamsize(bytes.size()));
}

#endif // MODEL_FILES_H
