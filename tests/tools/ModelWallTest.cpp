// The wall around the model library: faults injected into its child come
// back as one line while this process's memory stays flat, and a model's
// references reach no file but its own buffers inside its folder.
#include <ModelDepth.h>
#include <ModelWall.h>

#include "DepthToolRun.h"
#include "ModelFiles.h"
#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Folder = ScratchFolder;

using ToolRun = DepthToolRun;

// pellara-depth with args, fault (when given) injected into its model
// reader, input (when given) as its standard input.
ToolRun run_depth(const Folder& folder, const std::vector<std::string>& args,
                  const char* fault = nullptr, const std::string& input = "")
{
    DepthToolStart how{input, {}};
    if (fault != nullptr)
        how.environment.push_back({depth::kWallFaultVariable, fault});
    return run_depth_tool(folder.Path(), args, how);
}

void expect_one_line(const ToolRun& run, const std::string& part, const std::string& label)
{
    EXPECT_EQ(0u, run.err.rfind("pellara-depth: ", 0)) << label << ": " << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << label << ": " << run.err;
    EXPECT_NE(std::string::npos, run.err.find(part)) << label << ": " << run.err;
}

// This process's peak resident memory since the last call, in KiB (the
// peak is reset where the kernel allows; otherwise the lifetime peak).
long peak_since_reset()
{
    std::ifstream status("/proc/self/status");
    long peak = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            peak = std::atol(line.c_str() + 6);
    }
    std::ofstream("/proc/self/clear_refs") << "5";
    return peak;
}

long resident_now()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return 0;
}

class EnvironmentVariable
{
public:
    EnvironmentVariable(const char* name, const char* value) : fName(name)
    {
        setenv(name, value, 1);
    }
    ~EnvironmentVariable() { unsetenv(fName); }

private:
    const char* fName;
};

struct Fault
{
    const char* name;
    const char* said;
    status_t status;
};

const Fault kFaults[] = {
    {"crash", "the model reader failed (crashed)", B_ILLEGAL_DATA},
    {"memory", "the model reader failed (ran out of memory)", B_NO_MEMORY},
    {"spin", "the model reader failed (ran out of time)", B_TIMED_OUT},
    {"sleep", "the model reader failed (ran out of time)", B_TIMED_OUT},
    {"nan", "the model reader failed (sent back damaged triangles)", B_ILLEGAL_DATA},
    {"short", "the model reader failed (sent back damaged triangles)", B_ILLEGAL_DATA},
};

class InjectedFault : public testing::TestWithParam<Fault>
{
};

TEST_P(InjectedFault, ComesBackAsItsReasonWhileThisProcessStaysFlat)
{
    const Fault& fault = GetParam();
    const std::string cube = binary_stl(cube_mesh());
    depth::ModelView view;
    view.width = 64;
    view.height = 48;
    depth_map map;
    std::string why;
    peak_since_reset();
    const long before = resident_now();
    {
        EnvironmentVariable injected(depth::kWallFaultVariable, fault.name);
        EXPECT_EQ(fault.status, depth::RenderModel(reinterpret_cast<const uint8*>(cube.data()),
                                                   cube.size(), nullptr, view, &map, &why));
    }
    EXPECT_EQ(fault.said, why);
    EXPECT_TRUE(map.values.empty());
    // Whatever the child allocated or claimed, this side took no more than
    // a few megabytes.
    EXPECT_LT(peak_since_reset() - before, 16 * 1024) << fault.name;
    // ... and the next model reads as before.
    EXPECT_EQ(B_OK, depth::RenderModel(reinterpret_cast<const uint8*>(cube.data()), cube.size(),
                                       nullptr, view, &map, &why))
        << why;
}

INSTANTIATE_TEST_SUITE_P(Wall, InjectedFault, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault>& info) {
                             return std::string(info.param.name);
                         });

TEST(ModelWall, InjectedFaultsEndTheToolInOneLineAndLeaveNothing)
{
    Folder folder;
    const std::string model = folder / "cube.stl", out = folder / "depth.png";
    write_text(model, binary_stl(cube_mesh()));
    for (const Fault& fault : {kFaults[0], kFaults[1], kFaults[3]}) {
        const ToolRun run = run_depth(folder, {model, out}, fault.name);
        EXPECT_EQ(1, run.status) << fault.name;
        expect_one_line(run, "cannot read the model '" + model + "': " + fault.said, fault.name);
        EXPECT_FALSE(fs::exists(out)) << fault.name;
        EXPECT_LT(run.cpuSeconds, 5.0) << fault.name;
        EXPECT_LT(run.maxResidentKiB, 500 * 1024) << fault.name;
    }
}

// A glTF whose buffer is the URI given, the buffer itself beside it as
// plane.bin.
std::string gltf_naming(const std::string& uri)
{
    return gltf_json(plane_mesh(), uri, "");
}

TEST(ModelWall, ReferencesReachOnlyTheModelsOwnBuffers)
{
    Folder folder;
    fs::create_directory(folder / "models");
    fs::create_directory(folder / "elsewhere");
    const std::string buffer = gltf_buffer(plane_mesh());
    write_text(folder / "models/plane.bin", buffer);
    write_text(folder / "models/plane two.bin", buffer);
    write_text(folder / "elsewhere/plane.bin", buffer);
    fs::create_symlink(folder / "models/plane.bin", folder / "models/link.bin");
    fs::create_directory_symlink(folder / "elsewhere", folder / "models/sub");
    ASSERT_EQ(0, mkfifo((folder / "models/pipe.bin").c_str(), 0600));
    ASSERT_EQ(0, mkfifo((folder / "models/pipe.mtl").c_str(), 0600));
    // A material library outside that a message could quote, line by line.
    write_text(folder / "secret.mtl", "newmtl secret\nKd not-for-your-eyes\nbroken line\n");
    const bool device =
        mknod((folder / "models/null.bin").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    const std::string quad = obj(plane_mesh());

    struct Case
    {
        const char* name;
        std::string file;
        const char* said; // null: read
    };
    std::vector<Case> cases = {
        {"plane.obj", "mtllib pipe.mtl\nusemtl a\n" + quad, nullptr},
        {"plane.obj", "mtllib ../secret.mtl\nusemtl secret\n" + quad, nullptr},
        {"plane.obj", "mtllib ../../../../etc/passwd\nusemtl root\n" + quad, nullptr},
        {"plane.gltf", gltf_naming("plane.bin"), nullptr},
        {"plane.gltf", gltf_naming("./plane%20two.bin"), nullptr},
        {"plane.gltf", gltf_naming("../elsewhere/plane.bin"),
         "its buffer '../elsewhere/plane.bin' is not a file inside the model's folder"},
        {"plane.gltf", gltf_naming(folder / "elsewhere/plane.bin"),
         "is not a file inside the model's folder"},
        {"plane.gltf", gltf_naming("file:///etc/passwd"),
         "is not a file inside the model's folder"},
        {"plane.gltf", gltf_naming("sub/plane.bin"),
         "its buffer 'sub/plane.bin' is not a file inside the model's folder"},
        {"plane.gltf", gltf_naming("link.bin"), "its buffer 'link.bin' is a symbolic link"},
        {"plane.gltf", gltf_naming("pipe.bin"), "its buffer 'pipe.bin' is not a regular file"},
        {"plane.gltf", gltf_naming("missing.bin"), "its buffer 'missing.bin' cannot be read"},
        {"plane.gltf", gltf_naming("line\\nbreak.bin"),
         "its buffer 'line?break.bin' cannot be read"},
    };
    if (device)
        cases.push_back(
            {"plane.gltf", gltf_naming("null.bin"), "its buffer 'null.bin' is not a regular file"});
    for (const Case& c : cases) {
        const std::string model = folder / ("models/" + std::string(c.name)),
                          out = folder / "depth.png";
        write_text(model, c.file);
        const ToolRun run = run_depth(folder, {model, out, "--size", "64x48"});
        const std::string label = c.file.substr(0, c.file.find('\n', 40));
        EXPECT_LT(run.cpuSeconds, 5.0) << label;
        EXPECT_EQ(std::string::npos, run.err.find("not-for-your-eyes")) << run.err;
        EXPECT_EQ(std::string::npos, run.err.find("root:")) << run.err;
        if (c.said == nullptr) {
            EXPECT_EQ(0, run.status) << label << ": " << run.err;
            EXPECT_EQ("", run.err) << label;
            EXPECT_TRUE(fs::exists(out)) << label;
        } else {
            EXPECT_EQ(1, run.status) << label;
            expect_one_line(run, c.said, label);
            EXPECT_FALSE(fs::exists(out)) << label;
        }
        fs::remove(out);
    }
}

TEST(ModelWall, StandardInputReadsOnlyEmbeddedBuffers)
{
    Folder folder;
    const std::string inline_ = folder / "inline.gltf", beside = folder / "beside.gltf";
    write_text(inline_, gltf(plane_mesh()));
    write_text(folder / "plane.bin", gltf_buffer(plane_mesh()));
    write_text(beside, gltf_naming("plane.bin"));
    const std::string out = folder / "depth.png";
    ToolRun run = run_depth(folder, {"-", out, "--size", "64x48"}, nullptr, inline_);
    EXPECT_EQ(0, run.status) << run.err;
    fs::remove(out);
    run = run_depth(folder, {"-", out, "--size", "64x48"}, nullptr, beside);
    EXPECT_EQ(1, run.status);
    expect_one_line(run, "its buffer 'plane.bin' is a file of its own", "beside");
    EXPECT_FALSE(fs::exists(out));
}

} // namespace
