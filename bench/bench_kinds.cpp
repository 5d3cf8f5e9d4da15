// The kinds of stereogram piece by piece, beside the window's: the engine's
// synthesis alone (one warm engine, as the window keeps its own), and the
// PNG encoding of what each kind makes (random dots, averaged colours and
// the symmetric method's free pixels compress differently). bench/kinds.sh
// times the whole process; this says which part a difference comes from.
//   bench_kinds [--benchmark_filter=...]   (a 3000 x 3000 dome by default;
//   PELLARA_BENCH_SIDE=6000 for the size kinds.sh uses)
#include <Bitmap.h>
#include <DataIO.h>
#include <FuseJob.h>
#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

uint32_t side()
{
    const char* text = std::getenv("PELLARA_BENCH_SIDE");
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return value >= 100 && value <= 20000 ? uint32_t(value) : 3000;
}

// A smooth raised disc on black, and a noise tile.
std::unique_ptr<BBitmap> depth_picture(uint32_t w, uint32_t h)
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, float(w - 1), float(h - 1)), B_RGB32);
    auto* bits = static_cast<uint32_t*>(bitmap->Bits());
    const double cx = w / 2.0, cy = h / 2.0, radius = std::min(w, h) * 0.45;
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

enum Kind : int64_t
{
    kDefault,
    kRandomDot,
    kSymmetric,
    kOversample4,
    kSymmetricRandomOversample4,
};

const char* kind_name(int64_t kind)
{
    switch (kind) {
    case kDefault: return "default";
    case kRandomDot: return "random-dot";
    case kSymmetric: return "symmetric";
    case kOversample4: return "oversample-4";
    default: return "random-dot,symmetric,oversample-4";
    }
}

StereogramOptions options_of(int64_t kind)
{
    StereogramOptions o;
    if (kind == kRandomDot || kind == kSymmetricRandomOversample4)
        o.randomDot = true;
    if (kind == kSymmetric || kind == kSymmetricRandomOversample4)
        o.method = StereogramOptions::Method::kSymmetric;
    if (kind == kOversample4 || kind == kSymmetricRandomOversample4)
        o.oversample = 4;
    return o;
}

struct Pictures
{
    std::unique_ptr<BBitmap> depth = depth_picture(side(), side());
    std::unique_ptr<BBitmap> pattern = pattern_tile();
};

Pictures& pictures()
{
    static Pictures shared;
    return shared;
}

// The default is the window's Fusion, as the tool runs it.
BBitmap* make(VPellaraObject& engine, int64_t kind)
{
    engine.GetFrom(pictures().depth.get());
    engine.GetMotive(pictures().pattern.get());
    return kind == kDefault ? engine.Fusion() : engine.Synthesise(options_of(kind));
}

struct QuietStdout
{
    QuietStdout() : saved(stdout) { stdout = std::fopen("/dev/null", "w"); }
    ~QuietStdout()
    {
        std::fclose(stdout);
        stdout = saved;
    }
    std::FILE* saved;
};

void BM_Synthesise(benchmark::State& state)
{
    QuietStdout quiet;
    VPellaraObject engine;
    delete make(engine, state.range(0)); // warm: buffers sized, pages faulted in
    for (auto _ : state) {
        BBitmap* made = make(engine, state.range(0));
        benchmark::DoNotOptimize(made);
        delete made;
    }
    state.SetLabel(kind_name(state.range(0)));
    state.SetItemsProcessed(state.iterations() * int64_t(side()) * side());
}

void BM_EncodePng(benchmark::State& state)
{
    std::unique_ptr<BBitmap> made;
    {
        QuietStdout quiet;
        VPellaraObject engine;
        made.reset(make(engine, state.range(0)));
    }
    fuse::OutputFormat png;
    if (!made || fuse::FormatFromName("png", &png) != B_OK) {
        state.SkipWithError("no picture or no PNG writer");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        BMallocIO encoded;
        fuse::EncodePicture(made.get(), png, &encoded);
        bytes = encoded.BufferLength();
    }
    state.SetLabel(kind_name(state.range(0)));
    state.counters["MB"] = double(bytes) / 1e6;
}

} // namespace

BENCHMARK(BM_Synthesise)
    ->DenseRange(kDefault, kSymmetricRandomOversample4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_EncodePng)
    ->DenseRange(kDefault, kSymmetricRandomOversample4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();

