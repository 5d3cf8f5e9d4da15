// The whole of pellara-fuse's work on a 4096 x 4096 depth picture: decode
// both PNGs, synthesise, encode the stereogram as PNG and commit it to disk,
// through the same functions the tool runs. Counters give each phase's mean
// time per run and the synthesis share of the total.
#include <Bitmap.h>
#include <FuseJob.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr int32 kSide = 4096;
constexpr int32 kTile = 128;

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// A smooth dome with a ring: realistic for PNG decoding, unlike noise.
void write_depth(const std::string& path)
{
    BBitmap depth(BRect(0, 0, kSide - 1, kSide - 1), B_RGB32);
    uint32* bits = static_cast<uint32*>(depth.Bits());
    const double c = kSide / 2.0;
    for (int32 y = 0; y < kSide; y++) {
        for (int32 x = 0; x < kSide; x++) {
            double r = std::hypot(x - c, y - c) / c;
            double dome = r < 0.6 ? std::sqrt(1 - (r / 0.6) * (r / 0.6)) : 0;
            double ring = std::exp(-std::pow((r - 0.8) / 0.05, 2)) * 0.5;
            uint32 v = uint32(std::lround(std::min(1.0, dome + ring) * 255));
            bits[size_t(y) * kSide + size_t(x)] = 0xFF000000u | v * 0x010101u;
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

void BM_FuseTool(benchmark::State& state)
{
    std::string folder = (std::filesystem::temp_directory_path() / "pellara-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    std::string depthPath = folder + "/depth.png", patternPath = folder + "/pattern.png",
                outputPath = folder + "/stereogram.png";
    write_depth(depthPath);
    write_pattern(patternPath);
    fuse::OutputFormat png;
    fuse::FormatFromName("png", &png);

    double decode = 0, synthesis = 0, encode = 0;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        BBitmap *depth = nullptr, *pattern = nullptr;
        fuse::ReadPicture(depthPath.c_str(), &depth);
        fuse::ReadPicture(patternPath.c_str(), &pattern);
        std::unique_ptr<BBitmap> depthOwner(depth), patternOwner(pattern);
        Clock::time_point t1 = Clock::now();
        std::unique_ptr<BBitmap> stereogram(fuse::MakeStereogram(depth, pattern));
        Clock::time_point t2 = Clock::now();
        if (stereogram == nullptr ||
            fuse::WritePicture(stereogram.get(), outputPath.c_str(), png) != B_OK) {
            state.SkipWithError("the run failed");
            break;
        }
        Clock::time_point t3 = Clock::now();
        decode += seconds_between(t0, t1);
        synthesis += seconds_between(t1, t2);
        encode += seconds_between(t2, t3);
    }
    double total = decode + synthesis + encode;
    state.counters["decode_s"] = benchmark::Counter(decode, benchmark::Counter::kAvgIterations);
    state.counters["synthesis_s"] =
        benchmark::Counter(synthesis, benchmark::Counter::kAvgIterations);
    state.counters["encode_s"] = benchmark::Counter(encode, benchmark::Counter::kAvgIterations);
    state.counters["synthesis_share"] = total > 0 ? synthesis / total : 0;
    std::error_code ignored;
    state.counters["output_MB"] = double(std::filesystem::file_size(outputPath, ignored)) / 1e6;
    std::filesystem::remove_all(folder, ignored);
}

BENCHMARK(BM_FuseTool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
