// Models that lie about their size or shape, refused by the checks made
// before the model library reads anything: each ends in one line, quickly,
// at the cost of the bytes present; valid variants still read.
#include <ModelChecks.h>
#include <ModelDepth.h>

#include "DepthToolRun.h"
#include "ModelFiles.h"

#include <QImage>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using ModelRun = DepthToolRun;

// pellara-depth on one model, with its CPU time and peak memory.
ModelRun run_depth(const std::string& folder, const std::vector<std::string>& args)
{
    return run_depth_tool(folder, args);
}

class ModelChecks : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-checks-XXXXXX").string();
        fFolder = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(fFolder); }

    std::string fFolder;
};

status_t check(const std::string& bytes, depth::ModelCheck* result, std::string* why,
               uint64 maxTriangles = depth::kMaxModelTriangles)
{
    const auto* data = reinterpret_cast<const uint8*>(bytes.data());
    return depth::CheckModel(depth::SniffModel(data, bytes.size()), data, bytes.size(),
                             maxTriangles, result, why);
}

// --- PLY -------------------------------------------------------------------------

const char kVertexHeader[] = "element vertex 3\nproperty float x\nproperty float y\n"
                             "property float z\n";

// One triangle, binary, its face's list count as given.
std::string ply_one_face(uint32_t count, const char* countType = "uint")
{
    std::string out = std::string("ply\nformat binary_little_endian 1.0\n") + kVertexHeader +
                      "element face 1\nproperty list " + countType +
                      " int vertex_indices\nend_header\n";
    const float corners[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    put(&out, corners, sizeof(corners));
    put(&out, &count, std::string(countType) == "uchar" ? 1 : 4);
    const int32_t indices[3] = {0, 1, 2};
    put(&out, indices, sizeof(indices));
    return out;
}

std::string ply_ascii(const std::string& elements, const std::string& body)
{
    return std::string("ply\nformat ascii 1.0\n") + kVertexHeader + elements + "end_header\n" +
           "0 0 0\n1 0 0\n0 1 0\n" + body;
}

const char kFaces[] = "element face 1\nproperty list uchar int vertex_indices\n";

// The cube, big-endian.
std::string ply_big_endian()
{
    const Mesh mesh = cube_mesh();
    std::string out = "ply\nformat binary_big_endian 1.0\nelement vertex 8\nproperty float x\n"
                      "property float y\nproperty float z\nelement face 12\n"
                      "property list uchar int vertex_indices\nend_header\n";
    auto big = [&out](const void* value) {
        const auto* bytes = static_cast<const char*>(value);
        for (int i = 3; i >= 0; i--)
            out.push_back(bytes[i]);
    };
    for (const auto& v : mesh.vertices)
        for (float c : v)
            big(&c);
    for (const auto& t : mesh.triangles) {
        out.push_back(3);
        for (uint32_t v : t)
            big(&v);
    }
    return out;
}

// --- glTF ------------------------------------------------------------------------

// The cube's glTF document, changed by edit.
std::string gltf_edited(const std::function<void(json&)>& edit)
{
    json document = json::parse(gltf(cube_mesh()));
    edit(document);
    return document.dump();
}

// levels nodes, each reusing the next twice, the last one placing a mesh of
// corners zeros (an accessor without a buffer view costs no bytes).
std::string reused_nodes(int levels, uint64_t corners)
{
    json nodes = json::array();
    for (int i = 0; i + 1 < levels; i++)
        nodes.push_back({{"children", {i + 1, i + 1}}});
    nodes.push_back({{"mesh", 0}});
    json document = json::parse(R"({"asset": {"version": "2.0"}, "scene": 0,
        "scenes": [{"nodes": [0]}],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
        "accessors": [{"componentType": 5126, "type": "VEC3"}]})");
    document["nodes"] = nodes;
    document["accessors"][0]["count"] = corners;
    return document.dump();
}

// A chain of count nodes, or a cycle when the last names the first.
std::string node_chain(int count, bool cycle)
{
    return gltf_edited([&](json& d) {
        json nodes = json::array();
        for (int i = 0; i < count; i++)
            nodes.push_back(i + 1 < count ? json{{"children", {i + 1}}}
                            : cycle       ? json{{"children", {0}}, {"mesh", 0}}
                                          : json{{"mesh", 0}});
        d["nodes"] = nodes;
    });
}

std::string glb_version_one()
{
    const std::string text = R"({"asset": {"version": "1.0"}, "scene": "s"})";
    std::string out = "glTF";
    const uint32_t words[4] = {1, uint32_t(20 + text.size()), uint32_t(text.size()), 0};
    put(&out, words, sizeof(words));
    return out + text;
}

struct Hostile
{
    const char* name;
    std::string bytes;
    status_t status;
    const char* said;
};

std::vector<Hostile> hostile_models()
{
    return {
        // A header that passes, a list count that claims 8 GB of indices.
        {"ply-count-2-31.ply", ply_one_face(0x80000000u), B_ILLEGAL_DATA,
         "its PLY face list is damaged: a count of 2147483648 where 12 bytes are left"},
        {"ply-count-10-8.ply", ply_one_face(100000000u), B_ILLEGAL_DATA,
         "its PLY face list is damaged: a count of 100000000"},
        {"ply-negative.ply", ply_one_face(0xFFFFFFFFu, "int"), B_ILLEGAL_DATA,
         "its PLY face list is damaged: a negative count"},
        {"ply-short-vertices.ply",
         ply_one_face(3).substr(0, ply_one_face(3).find("end_header") + 31), B_ILLEGAL_DATA,
         "its PLY vertex data is cut short"},
        {"ply-ascii-long-list.ply", ply_ascii(kFaces, "3 0 1\n"), B_ILLEGAL_DATA,
         "its PLY face list is damaged: a count of 3 where 2 numbers are left on the line"},
        {"ply-ascii-negative.ply", ply_ascii(kFaces, "-3 0 1 2\n"), B_ILLEGAL_DATA,
         "its PLY face list is damaged: a negative count"},
        {"ply-ascii-missing-face.ply",
         ply_ascii("element face 2\n" + std::string(kFaces).substr(15), "3 0 1 2\n"),
         B_ILLEGAL_DATA, "its PLY face data is cut short"},
        {"ply-unknown-type.ply", ply_ascii("element face 1\nproperty list uchar int128 v\n", ""),
         B_ILLEGAL_DATA, "its PLY header is damaged: line 8 gives a list of an unknown type"},
        {"syntax.gltf", "{\"asset\": {\"version\": \"2.0\"},\n \"nodes\": [\n  {\"mesh\": 0,}]}",
         B_ILLEGAL_DATA, "its glTF JSON is damaged at line 3"},
        {"version-1.gltf", gltf_edited([](json& d) { d["asset"]["version"] = "1.0"; }),
         B_ILLEGAL_DATA, "glTF 1.0 is not supported, only 2.0"},
        {"version-1.glb", glb_version_one(), B_ILLEGAL_DATA, "glTF 1.0 is not supported, only 2.0"},
        {"chain-20000.gltf", node_chain(20000, false), B_ILLEGAL_DATA,
         "its glTF node tree is too deep"},
        {"cycle.gltf", node_chain(3, true), B_ILLEGAL_DATA, "its glTF node graph has a cycle"},
        // 65,536 instances of 200 triangles.
        {"reuse-65536.gltf", reused_nodes(17, 600), B_NO_MEMORY,
         "the model has more than 10000000 triangles"},
        // 8 million instances of one triangle.
        {"reuse-8m.gltf", reused_nodes(24, 3), B_NO_MEMORY,
         "its glTF scene places more than 1048576 nodes"},
        {"unbacked.gltf", reused_nodes(1, 1000000000), B_ILLEGAL_DATA,
         "its glTF accessor 0 has no buffer view and too many elements"},
        {"accessor-past-view.gltf", gltf_edited([](json& d) { d["accessors"][1]["count"] = 37; }),
         B_ILLEGAL_DATA, "its glTF accessor 1 runs past its buffer view"},
        {"view-past-buffer.gltf",
         gltf_edited([](json& d) { d["bufferViews"][1]["byteOffset"] = 97; }), B_ILLEGAL_DATA,
         "its glTF buffer view 1 runs past its buffer"},
        {"short-data-uri.gltf", gltf_edited([](json& d) {
             d["buffers"][0]["byteLength"] = d["buffers"][0]["byteLength"].get<int>() + 1;
         }),
         B_ILLEGAL_DATA, "its glTF buffer 0 holds fewer bytes than it declares"},
        {"sparse-no-view.gltf", gltf_edited([](json& d) {
             d["accessors"][0]["sparse"] = {{"count", 1},
                                            {"indices", {{"componentType", 5125}}},
                                            {"values", {{"bufferView", 0}}}};
         }),
         B_ILLEGAL_DATA, "its glTF accessor 0 is sparse without a buffer view for its parts"},
        {"missing-mesh.gltf", gltf_edited([](json& d) { d["nodes"][0]["mesh"] = 5; }),
         B_ILLEGAL_DATA, "its glTF node 0 names a mesh that does not exist"},
    };
}

TEST_F(ModelChecks, HostileModelsAreRefusedInOneLineAtTheCostOfTheirBytes)
{
    for (const Hostile& c : hostile_models()) {
        SCOPED_TRACE(c.name);
        depth::ModelCheck result;
        std::string why;
        EXPECT_EQ(c.status, check(c.bytes, &result, &why)) << why;
        EXPECT_EQ(c.said, why.substr(0, std::string(c.said).size()));

        const std::string in = fFolder + "/" + c.name, out = fFolder + "/depth.png";
        write_text(in, c.bytes);
        const ModelRun run = run_depth(fFolder, {in, out});
        EXPECT_EQ(1, run.status) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_NE(std::string::npos, run.err.find(c.said)) << run.err;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_LE(run.cpuSeconds, 5.0) << "CPU time";
        EXPECT_LE(run.maxResidentKiB, 500 * 1024) << "peak memory";
    }
}

// Triangles piled on the same pixels cost a bounded fill: copies of one are
// drawn once, and a heap of large random ones is drawn or refused in time.
TEST_F(ModelChecks, TrianglesPiledOnTheSamePixelsCostABoundedFill)
{
    Mesh copies;
    copies.vertices = {{0, 0, 0}, {10, 0, 0.5f}, {0, 10, 1}};
    copies.triangles.assign(100000, {0, 1, 2});
    Mesh heap;
    uint32_t state = 3;
    auto random = [&] {
        state = state * 1664525u + 1013904223u;
        return float(state >> 8) / float(1 << 24);
    };
    for (uint32_t i = 0; i < 400000; i++) {
        for (int k = 0; k < 3; k++)
            heap.vertices.push_back({random(), random(), random()});
        heap.triangles.push_back({3 * i, 3 * i + 1, 3 * i + 2});
    }
    const struct
    {
        const char* name;
        std::string bytes;
        bool read; // else read or refused
    } cases[] = {{"copies.obj", obj(copies), true}, {"heap.stl", binary_stl(heap), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = fFolder + "/" + c.name, out = fFolder + "/depth.png";
        write_text(in, c.bytes);
        fs::remove(out);
        const ModelRun run = run_depth(fFolder, {in, out});
        if (c.read || run.status == 0) {
            EXPECT_EQ(0, run.status) << run.err;
        } else {
            EXPECT_EQ(1, run.status);
            EXPECT_NE(std::string::npos, run.err.find("too many times over to be drawn at 1024x768"))
                << run.err;
            EXPECT_FALSE(fs::exists(out));
        }
#if !defined(__SANITIZE_ADDRESS__)
        EXPECT_LE(run.cpuSeconds, 5.0) << "CPU time";
        EXPECT_LE(run.maxResidentKiB, 500 * 1024) << "peak memory";
#endif
    }
}

TEST(ModelChecksPly, EveryVariantIsWalkedAndItsTrianglesCounted)
{
    const struct
    {
        const char* name;
        std::string bytes;
        uint64 triangles;
    } cases[] = {
        {"ascii", ply(cube_mesh(), false), 12},
        {"little-endian", ply(cube_mesh(), true), 12},
        {"big-endian", ply_big_endian(), 12},
        {"a quad and a point",
         ply_ascii("element face 2\n" + std::string(kFaces).substr(15), "4 0 1 2 0\n1 0\n"), 2},
        {"an element after the faces, CR LF",
         "ply\r\nformat ascii 1.0\r\n" + std::string(kVertexHeader) + kFaces +
             "element edge 1\nproperty int a\nproperty int b\nend_header\r\n"
             "0 0 0\r\n1 0 0\r\n0 1 0\r\n3 0 1 2\r\n0 1\r\n",
         1},
    };
    depth::ModelView view;
    view.width = 32;
    view.height = 24;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        depth::ModelCheck result;
        std::string why;
        ASSERT_EQ(B_OK, check(c.bytes, &result, &why)) << why;
        EXPECT_TRUE(result.knowsCount);
        EXPECT_EQ(c.triangles, result.triangles);
        depth_map map;
        EXPECT_EQ(B_OK, depth::RenderModel(reinterpret_cast<const uint8*>(c.bytes.data()),
                                           c.bytes.size(), nullptr, view, &map, &why))
            << why;
    }
}

// A skinned mesh without inverse bind matrices is valid (they default to
// identity), and ends the model library: the reader is given a copy
// without the skin, and the mesh is drawn.
TEST_F(ModelChecks, SkinnedGltfWithoutInverseBindMatricesIsDrawn)
{
    const Mesh plane = plane_mesh();
    const auto skinned = [&plane](const std::string& uri) {
        json d = json::parse(gltf_json(plane, uri, ""));
        d["nodes"][0]["skin"] = 0;
        d["nodes"][0]["children"] = {1};
        d["nodes"].push_back({{"name", "joint"}});
        d["skins"] = {{{"joints", {1}}}};
        // Each vertex bound to the joint with all its weight.
        const size_t count = plane.vertices.size();
        std::string skin(count * 4, '\0');
        for (size_t i = 0; i < count; i++) {
            const float weights[4] = {1, 0, 0, 0};
            put(&skin, weights, sizeof(weights));
        }
        d["buffers"].push_back({{"byteLength", skin.size()},
                                {"uri", "data:application/octet-stream;base64," + base64(skin)}});
        d["bufferViews"].push_back({{"buffer", 1}, {"byteLength", count * 4}});
        d["bufferViews"].push_back(
            {{"buffer", 1}, {"byteOffset", count * 4}, {"byteLength", count * 16}});
        d["accessors"].push_back(
            {{"bufferView", 2}, {"componentType", 5121}, {"count", count}, {"type", "VEC4"}});
        d["accessors"].push_back(
            {{"bufferView", 3}, {"componentType", 5126}, {"count", count}, {"type", "VEC4"}});
        auto& attributes = d["meshes"][0]["primitives"][0]["attributes"];
        attributes["JOINTS_0"] = 2;
        attributes["WEIGHTS_0"] = 3;
        d["materials"] = {{{"name", "unused"}}};
        d["meshes"][0]["primitives"][0]["material"] = 0;
        return d.dump();
    };
    const std::string data = "data:application/octet-stream;base64," + base64(gltf_buffer(plane));
    const struct
    {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"skinned.gltf", skinned(data)},
        {"skinned.glb", glb_of(skinned(""), gltf_buffer(plane))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        depth::ModelCheck result;
        std::string why;
        ASSERT_EQ(B_OK, check(c.bytes, &result, &why)) << why;
        EXPECT_EQ(std::string::npos, result.replacement.find("skin"));

        const std::string in = fFolder + "/" + c.name, out = fFolder + "/depth.png";
        write_text(in, c.bytes);
        const ModelRun run = run_depth(fFolder, {in, out, "--size", "64x48"});
        ASSERT_EQ(0, run.status) << run.err;
        const QImage picture(QString::fromStdString(out));
        ASSERT_EQ(QSize(64, 48), picture.size());
        EXPECT_EQ(255, qGray(picture.pixel(32, 24))); // the plane, flat, at the front
        EXPECT_EQ(0, qGray(picture.pixel(0, 0)));     // the margin
        fs::remove(out);
    }
}

TEST(ModelChecksGltf, ExternalBuffersAreListedWithTheBytesTheyDeclare)
{
    const std::string text = gltf_json(cube_mesh(), "cube.bin", "");
    depth::ModelCheck result;
    std::string why;
    ASSERT_EQ(B_OK, check(text, &result, &why)) << why;
    EXPECT_EQ(std::vector<std::string>{"cube.bin"}, result.bufferUris);
    EXPECT_EQ(std::vector<uint64>{gltf_buffer(cube_mesh()).size()}, result.bufferLengths);
    // Triangles over the ceiling are refused from the accessors' counts.
    EXPECT_EQ(B_NO_MEMORY, check(text, &result, &why, 11));
}

} // namespace
