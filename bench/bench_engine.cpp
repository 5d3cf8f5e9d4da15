// Whole synthesis (capture both pictures, fuse, delete the result) against a
// baseline that copies the picture's bytes four times: the least memory
// traffic any implementation of this design needs.
#include <Bitmap.h>
#include <VPellaraObject.h>

#include <benchmark/benchmark.h>

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

void BM_Synthesis(benchmark::State& state)
{
    const uint32_t side = side_for(state.range(0));
    auto depth = depth_picture(side, side);
    auto pattern = pattern_tile();
    VPellaraObject engine;
    // The engine's trace lines would flood the report.
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        engine.GetFrom(depth.get());
        engine.GetMotive(pattern.get());
        BBitmap* result = engine.Fusion();
        benchmark::DoNotOptimize(result);
        delete result;
    }
    std::fclose(stdout);
    stdout = saved;
    state.SetItemsProcessed(state.iterations() * int64_t(side) * side);
    state.counters["pixels"] = double(side) * side;
}

void BM_Baseline4xMemcpy(benchmark::State& state)
{
    const uint32_t side = side_for(state.range(0));
    const size_t bytes = size_t(side) * side * 4;
    std::vector<uint8_t> source(bytes, 1);
    std::vector<std::vector<uint8_t>> targets(4, std::vector<uint8_t>(bytes, 0));
    for (auto _ : state) {
        for (auto& target : targets) {
            std::memcpy(target.data(), source.data(), bytes);
            benchmark::DoNotOptimize(target.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(side) * side);
}

} // namespace

BENCHMARK(BM_Synthesis)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Baseline4xMemcpy)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
