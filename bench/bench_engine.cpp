// Whole synthesis (capture both pictures, fuse, delete the result) against a
// baseline that copies the picture's bytes four times: the least memory
// traffic any implementation of this design needs. One engine serves every
// run at a size, warmed up first, as the window keeps its engine; the
// synthesis/baseline ratio is printed as a counter of BM_Synthesis.
#include <Bitmap.h>
#include <VPellaraObject.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// A smooth raised disc on black, the usual kind of depth picture.
std::unique_ptr<BBitmap> depth_picture(uint32_t w, uint32_t h)
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, float(w - 1), float(h - 1)), B_RGB32);
    auto* bits = static_cast<uint32_t*>(bitmap->Bits());
    const double cx = w / 2.0, cy = h / 2.0, radius = std::min(w, h) * 0.4;
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            double d = std::hypot(x - cx, y - cy) / radius;
            auto v = uint32_t(d < 1 ? 255 * std::sqrt(1 - d * d) : 0);
            bits[size_t(y) * w + x] = 0xff000000u | v * 0x010101u;
        }
    return bitmap;
}

std::unique_ptr<BBitmap> pattern_tile()
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, 127, 127), B_RGB32);
    auto* bits = static_cast<uint32_t*>(bitmap->Bits());
    uint32_t seed = 12345;
    for (int i = 0; i < 128 * 128; i++) {
        seed = seed * 1664525u + 1013904223u;
        bits[i] = 0xff000000u | (seed >> 8);
    }
    return bitmap;
}

uint32_t side_for(int64_t megapixels)
{
    return uint32_t(std::lround(std::sqrt(double(megapixels) * 1024 * 1024)));
}

// The four copies, timed; the targets are allocated and touched once.
class Baseline
{
public:
    explicit Baseline(size_t bytes) : fSource(bytes, 1), fTargets(4, std::vector<uint8_t>(bytes, 0))
    {
    }

    double Seconds()
    {
        auto start = std::chrono::steady_clock::now();
        for (auto& target : fTargets) {
            std::memcpy(target.data(), fSource.data(), fSource.size());
            benchmark::DoNotOptimize(target.data());
        }
        benchmark::ClobberMemory();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

private:
    std::vector<uint8_t> fSource;
    std::vector<std::vector<uint8_t>> fTargets;
};

VPellaraObject& warm_engine()
{
    static VPellaraObject engine;
    return engine;
}

double synthesise(BBitmap* depth, BBitmap* pattern)
{
    auto start = std::chrono::steady_clock::now();
    VPellaraObject& engine = warm_engine();
    engine.GetFrom(depth);
    engine.GetMotive(pattern);
    BBitmap* result = engine.Fusion();
    benchmark::DoNotOptimize(result);
    delete result;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Synthesis(benchmark::State& state)
{
    const uint32_t side = side_for(state.range(0));
    auto depth = depth_picture(side, side);
    auto pattern = pattern_tile();
    Baseline baseline(size_t(side) * side * 4);
    // The engine's trace lines would flood the report.
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    synthesise(depth.get(), pattern.get()); // warm-up: the engine's buffers sized
    baseline.Seconds();
    double synthesis = 0, copies = 0;
    for (auto _ : state) {
        double seconds = synthesise(depth.get(), pattern.get());
        synthesis += seconds;
        state.SetIterationTime(seconds);
        state.PauseTiming();
        copies += baseline.Seconds();
        state.ResumeTiming();
    }
    std::fclose(stdout);
    stdout = saved;
    state.SetItemsProcessed(state.iterations() * int64_t(side) * side);
    state.counters["pixels"] = double(side) * side;
    state.counters["baseline_ms"] = copies / double(state.iterations()) * 1e3;
    state.counters["ratio"] = copies > 0 ? synthesis / copies : 0;
}

void BM_Baseline4xMemcpy(benchmark::State& state)
{
    const uint32_t side = side_for(state.range(0));
    Baseline baseline(size_t(side) * side * 4);
    baseline.Seconds();
    for (auto _ : state)
        state.SetIterationTime(baseline.Seconds());
    state.SetItemsProcessed(state.iterations() * int64_t(side) * side);
}

} // namespace

BENCHMARK(BM_Synthesis)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_Baseline4xMemcpy)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

BENCHMARK_MAIN();
