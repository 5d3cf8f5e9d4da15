// The whole of pellara-fuse's work, through the same functions the tool runs:
// read the depth and pattern PNGs, synthesise, encode the stereogram as PNG
// and commit it to disk. Counters give each phase's mean time per run.
//
// BM_FuseTool is the 6000 x 6000 run; BM_FuseLinearity repeats it from 4 to
// 256 megapixels and gives the cost per pixel, which should stay flat.
#include <Bitmap.h>
#include <FuseJob.h>
#include <PictureMemory.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr int32 kTile = 128;

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// A dome and a ring: smooth, as depth pictures are, unlike noise.
void write_depth(const std::string& path, int32 side)
{
    BBitmap depth(BRect(0, 0, side - 1, side - 1), B_RGB32);
    uint32* bits = static_cast<uint32*>(depth.Bits());
    const double c = side / 2.0;
    for (int32 y = 0; y < side; y++) {
        for (int32 x = 0; x < side; x++) {
            double dx = (x - c) / c, dy = (y - c) / c;
            double r2 = dx * dx + dy * dy;
            double dome = r2 < 0.36 ? 1 - r2 / 0.36 : 0;
            double ring = std::abs(r2 - 0.64) < 0.05 ? 0.5 : 0;
            uint32 v = uint32(std::lround(std::min(1.0, dome + ring) * 255));
            bits[size_t(y) * size_t(side) + size_t(x)] = 0xFF000000u | v * 0x010101u;
        }
    }
    fuse::OutputFormat png;
    fuse::FormatFromName("png", &png);
    fuse::WritePicture(&depth, path.c_str(), png);
}

void write_pattern(const std::string& path)
{
    BBitmap pattern(BRect(0, 0, kTile - 1, kTile - 1), B_RGB32);
    uint32* bits = static_cast<uint32*>(pattern.Bits());
    uint32 state = 2463534242u;
    for (int32 i = 0; i < kTile * kTile; i++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bits[i] = 0xFF000000u | (state & 0xFFFFFFu);
    }
    fuse::OutputFormat png;
    fuse::FormatFromName("png", &png);
    fuse::WritePicture(&pattern, path.c_str(), png);
}

void run_tool(benchmark::State& state, int32 side)
{
    std::string folder = (std::filesystem::temp_directory_path() / "pellara-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    std::string depthPath = folder + "/depth.png", patternPath = folder + "/pattern.png",
                outputPath = folder + "/stereogram.png";
    write_depth(depthPath, side);
    write_pattern(patternPath);
    fuse::OutputFormat png;
    fuse::FormatFromName("png", &png);

    // The engine's trace lines would flood the report.
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    double read = 0, synthesis = 0, encode = 0;
    for (auto _ : state) {
        // Each run starts with nothing kept from the last, as the tool's
        // process does: fresh memory is part of a run's cost.
        picture_release_spare();
        Clock::time_point t0 = Clock::now();
        BBitmap *depth = nullptr, *pattern = nullptr;
        fuse::ReadPicture(depthPath.c_str(), &depth);
        fuse::ReadPicture(patternPath.c_str(), &pattern);
        std::unique_ptr<BBitmap> depthOwner(depth), patternOwner(pattern);
        Clock::time_point t1 = Clock::now();
        std::unique_ptr<BBitmap> stereogram(fuse::MakeStereogram(std::move(depthOwner), pattern));
        Clock::time_point t2 = Clock::now();
        if (stereogram == nullptr ||
            fuse::WritePicture(stereogram.get(), outputPath.c_str(), png) != B_OK) {
            state.SkipWithError("the run failed");
            break;
        }
        Clock::time_point t3 = Clock::now();
        read += seconds_between(t0, t1);
        synthesis += seconds_between(t1, t2);
        encode += seconds_between(t2, t3);
    }
    std::fclose(stdout);
    stdout = saved;
    const double pixels = double(side) * side;
    const double runs = double(state.iterations());
    state.counters["read_s"] = read / runs;
    state.counters["synthesis_s"] = synthesis / runs;
    state.counters["encode_commit_s"] = encode / runs;
    state.counters["ns_per_pixel"] = (read + synthesis + encode) / runs / pixels * 1e9;
    state.counters["Mpx"] = pixels / (1 << 20);
    std::error_code ignored;
    state.counters["output_MB"] = double(std::filesystem::file_size(outputPath, ignored)) / 1e6;
    std::filesystem::remove_all(folder, ignored);
}

void BM_FuseTool(benchmark::State& state)
{
    run_tool(state, int32(state.range(0)));
}

void BM_FuseLinearity(benchmark::State& state)
{
    run_tool(state, int32(std::lround(std::sqrt(double(state.range(0)) * (1 << 20)))));
}

BENCHMARK(BM_FuseTool)->Arg(6000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
// 256 megapixels is the default read budget's ceiling (16384 x 16384).
BENCHMARK(BM_FuseLinearity)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

} // namespace

BENCHMARK_MAIN();
