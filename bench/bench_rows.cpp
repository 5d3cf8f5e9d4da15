// The row pipeline alone (fuse::StreamRows): depth rows through the default
// kind's stereogram rows into a PNG file, bands made and deflated on every
// core, the file put in place at the end. The depth comes either as the
// engine captured it (a depth PNG read whole) or scaled a band at a time
// from a small picture (--size). Widths from 1500 to 24000 at about 24 Mpx
// each: pixels/s should hardly move with the width.
#include <Bitmap.h>
#include <RowPipeline.h>
#include <RowWriters.h>
#include <TranslatorFormats.h>
#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr uint32 kPixels = 24u << 20;
constexpr int32 kTile = 128;

// The one call into the pipeline, kept here alone so that a change to its
// signature touches one place.
bool stream(fuse::DepthRows& depth, const StereogramRows& rows, const std::string& path,
            std::string* why)
{
    std::unique_ptr<RowWriter> writer = fuse::RowWriterFor(
        B_PNG_FORMAT, rows.Width(), rows.GuideRows() + rows.Height(), rows.Grey(), 0);
    return writer &&
           fuse::StreamRows(depth, rows, *writer, path.c_str(), why) == fuse::StreamFailure::kNone;
}

// Domes on a grid of cells `cell` pixels square: smooth, as depth pictures
// are, and alike at every width, so that widths compare like with like.
std::unique_ptr<BBitmap> domes(uint32 width, uint32 height, uint32 cell)
{
    auto picture = std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)),
                                             B_RGB32);
    auto* bits = static_cast<uint32*>(picture->Bits());
    for (uint32 y = 0; y < height; y++) {
        for (uint32 x = 0; x < width; x++) {
            const double dx = 2.0 * (x % cell) / cell - 1, dy = 2.0 * (y % cell) / cell - 1;
            const double r2 = dx * dx + dy * dy;
            const uint32 v = r2 < 0.5 ? uint32(std::lround((1 - r2 / 0.5) * 255)) : 0;
            bits[size_t(y) * width + x] = 0xFF000000u | v * 0x010101u;
        }
    }
    return picture;
}

std::unique_ptr<BBitmap> noise_tile()
{
    auto tile = std::make_unique<BBitmap>(BRect(0, 0, kTile - 1, kTile - 1), B_RGB32);
    auto* bits = static_cast<uint32*>(tile->Bits());
    uint32 s = 2463534242u;
    for (int32 i = 0; i < kTile * kTile; i++) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        bits[i] = 0xFF000000u | (s & 0xFFFFFFu);
    }
    return tile;
}

enum Source
{
    kCaptured,
    kScaled,
};

void BM_StreamPng(benchmark::State& state)
{
    const auto source = Source(state.range(0));
    const uint32 width = uint32(state.range(1)), height = kPixels / width;
    std::string folder = (std::filesystem::temp_directory_path() / "pellara-rows-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string path = folder + "/stereogram.png";

    // The engine's trace lines would flood the report.
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    VPellaraObject engine;
    std::unique_ptr<BBitmap> tile = noise_tile();
    engine.GetMotive(tile.get());
    std::unique_ptr<fuse::DepthRows> scaled;
    if (source == kCaptured) {
        std::unique_ptr<BBitmap> depth = domes(width, height, 1000);
        engine.GetFrom(depth.get());
    } else {
        // Bands scale on their own: one source serves every run.
        scaled = fuse::ScaledDepthRows(domes(1000, 750, 750), width, height);
    }
    const StereogramRows rows(StereogramOptions(), width, height, engine.motive, engine.wM,
                              engine.hM);
    std::string why;
    for (auto _ : state) {
        std::unique_ptr<fuse::DepthRows> captured;
        if (source == kCaptured)
            captured = fuse::CapturedDepthRows(engine);
        fuse::DepthRows* depth = source == kCaptured ? captured.get() : scaled.get();
        if (depth == nullptr || !rows.IsValid() || !stream(*depth, rows, path, &why)) {
            state.SkipWithError(("the run failed: " + why).c_str());
            break;
        }
    }
    std::fclose(stdout);
    stdout = saved;
    state.counters["pixels/s"] = benchmark::Counter(double(width) * height,
                                                    benchmark::Counter::kIsIterationInvariantRate);
    std::error_code ignored;
    state.counters["output_MB"] = double(std::filesystem::file_size(path, ignored)) / 1e6;
    std::filesystem::remove_all(folder, ignored);
}

BENCHMARK(BM_StreamPng)
    ->ArgNames({"scaled", "width"})
    ->ArgsProduct({{kCaptured, kScaled}, {1500, 6000, 24000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

} // namespace

BENCHMARK_MAIN();
