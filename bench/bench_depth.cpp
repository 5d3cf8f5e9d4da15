// pellara-depth's two heavy roads, each timed as a whole process (the tool
// started, run and ended, as a user starts it) and in phases through the
// functions the tool runs:
//
// BM_DepthPortrait: the 12-megapixel iPhone portrait HEIC of the tests to a
// depth PNG of the photo's size (4032 x 3024).
// BM_DepthModel: a binary STL sphere of 1,000,000 triangles to a 4000 x 3000
// depth PNG.
#include <Bitmap.h>
#include <DataIO.h>
#include <DepthMaps.h>
#include <DepthPictures.h>
#include <FuseJob.h>
#include <ModelDepth.h>
#include <PictureMemory.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// The file in one read, as the tool reads it (a stream iterator would take
// longer than the work timed).
std::vector<uint8> slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8> bytes(size_t(std::max<std::streamoff>(0, in.tellg())));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

class Scratch
{
public:
    Scratch()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "pellara-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            fPath = pattern;
    }
    ~Scratch()
    {
        std::error_code ignored;
        if (!fPath.empty())
            std::filesystem::remove_all(fPath, ignored);
    }
    bool Ok() const { return !fPath.empty(); }
    std::string operator/(const char* name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

// The tool run once as its own process; its wall time, or a negative
// number when it failed.
double run_tool(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(PELLARA_DEPTH_PATH));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    pid_t child = 0;
    if (posix_spawn(&child, PELLARA_DEPTH_PATH, nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = seconds_between(start, Clock::now());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// A sphere of radius 1 as a binary STL, rows x 2 rows quads of two
// triangles each.
void write_sphere(const std::string& path, int rows)
{
    const uint32 count = uint32(rows) * uint32(2 * rows) * 2;
    std::vector<uint8> file(84 + size_t(count) * 50, 0);
    std::memcpy(file.data() + 80, &count, 4);
    uint8* at = file.data() + 84;
    auto point = [](double theta, double phi, float* out) {
        out[0] = float(std::sin(theta) * std::cos(phi));
        out[1] = float(std::sin(theta) * std::sin(phi));
        out[2] = float(std::cos(theta));
    };
    for (int i = 0; i < rows; i++) {
        const double t0 = M_PI * i / rows, t1 = M_PI * (i + 1) / rows;
        for (int j = 0; j < 2 * rows; j++) {
            const double p0 = M_PI * j / rows, p1 = M_PI * (j + 1) / rows;
            float corners[4][3];
            point(t0, p0, corners[0]);
            point(t1, p0, corners[1]);
            point(t1, p1, corners[2]);
            point(t0, p1, corners[3]);
            const int triangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
            for (const auto& triangle : triangles) {
                float record[12] = {};
                for (int k = 0; k < 3; k++)
                    std::memcpy(record + 3 + 3 * k, corners[triangle[k]], 12);
                std::memcpy(at, record, 48);
                at += 50;
            }
        }
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                std::streamsize(file.size()));
}

void report(benchmark::State& state, double process, double first, double picture, double encode,
            const std::string& output)
{
    const double runs = double(state.iterations());
    state.counters["process_s"] = process / runs;
    state.counters["map_s"] = first / runs;
    state.counters["picture_s"] = picture / runs;
    state.counters["encode_commit_s"] = encode / runs;
    std::error_code ignored;
    state.counters["output_MB"] = double(std::filesystem::file_size(output, ignored)) / 1e6;
}

void BM_DepthPortrait(benchmark::State& state)
{
    Scratch scratch;
    const std::string input = std::string(PELLARA_TEST_DATA) + "/depth/portrait-iphone.heic";
    const std::string output = scratch / "depth.png";
    fuse::OutputFormat png;
    fuse::FormatFromName("png", &png);
    double process = 0, first = 0, picture = 0, encode = 0;
    for (auto _ : state) {
        const double seconds = run_tool({input, output});
        if (seconds < 0) {
            state.SkipWithError("pellara-depth failed");
            return;
        }
        process += seconds;
        // The same work in this process, phase by phase, from fresh memory.
        picture_release_spare();
        const Clock::time_point t0 = Clock::now();
        const std::vector<uint8> file = slurp(input);
        depth_map map;
        if (read_depth_map_data(file.data(), file.size(), &map) != B_OK) {
            state.SkipWithError("no depth map");
            return;
        }
        const Clock::time_point t1 = Clock::now();
        std::unique_ptr<BBitmap> bitmap = depth::MakeDepthPicture(
            map, map.photoWidth, map.photoHeight, depth::Levels(), B_GRAY8);
        const Clock::time_point t2 = Clock::now();
        if (!bitmap || fuse::WritePicture(bitmap.get(), output.c_str(), png) != B_OK) {
            state.SkipWithError("the picture was not written");
            return;
        }
        const Clock::time_point t3 = Clock::now();
        first += seconds_between(t0, t1);
        picture += seconds_between(t1, t2);
        encode += seconds_between(t2, t3);
    }
    report(state, process, first, picture, encode, output);
}

void BM_DepthModel(benchmark::State& state)
{
    Scratch scratch;
    const std::string input = scratch / "sphere.stl";
    const std::string output = scratch / "depth.png";
    // 500 rows: 500 x 1000 quads, 1,000,000 triangles.
    write_sphere(input, 500);
    fuse::OutputFormat png;
    fuse::FormatFromName("png", &png);
    double process = 0, first = 0, picture = 0, encode = 0;
    for (auto _ : state) {
        const double seconds = run_tool({input, output, "--size", "4000x3000"});
        if (seconds < 0) {
            state.SkipWithError("pellara-depth failed");
            return;
        }
        process += seconds;
        picture_release_spare();
        const Clock::time_point t0 = Clock::now();
        const std::vector<uint8> file = slurp(input);
        depth::ModelView view;
        view.width = 4000;
        view.height = 3000;
        depth_map map;
        std::string why;
        if (depth::RenderModel(file.data(), file.size(), nullptr, view, &map, &why) != B_OK) {
            state.SkipWithError(why.c_str());
            return;
        }
        const Clock::time_point t1 = Clock::now();
        std::unique_ptr<BBitmap> bitmap =
            depth::MakeDepthPicture(map, 4000, 3000, depth::Levels(), B_GRAY8);
        const Clock::time_point t2 = Clock::now();
        if (!bitmap || fuse::WritePicture(bitmap.get(), output.c_str(), png) != B_OK) {
            state.SkipWithError("the picture was not written");
            return;
        }
        const Clock::time_point t3 = Clock::now();
        first += seconds_between(t0, t1);
        picture += seconds_between(t1, t2);
        encode += seconds_between(t2, t3);
    }
    report(state, process, first, picture, encode, output);
}

BENCHMARK(BM_DepthPortrait)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_DepthModel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
