// The writers and readers of our own translators on a 6000 x 6000
// stereogram-like picture: each row a random pattern repeated every 70 to
// 80 pixels, as the engine makes them. Encoded once into memory per run.
#include <Bitmap.h>
#include <LayerFormats.h>
#include <DataIO.h>
#include <JpegTranslator.h>
#include <JxlTranslator.h>
#include <TiffTranslator.h>
#include <TranslatorFormats.h>
#include <WebpTranslator.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>

using namespace BPrivate;

namespace {

constexpr int32 kSide = 6000;

BBitmap* stereogram_like()
{
    static BBitmap* picture = [] {
        BBitmap* bitmap = new BBitmap(BRect(0, 0, kSide - 1, kSide - 1), B_RGB32);
        std::mt19937 random(7);
        for (int32 y = 0; y < kSide; y++) {
            uint32* row = reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                                    size_t(y) * size_t(bitmap->BytesPerRow()));
            for (int32 x = kSide - 1; x >= 0; x--) {
                // The depth: a disc in the middle, nearer than the rest.
                int32 dx = x - kSide / 2, dy = y - kSide / 2;
                int32 separation = int64(dx) * dx + int64(dy) * dy < 1000000 ? 70 : 80;
                row[x] = x + separation < kSide ? row[x + separation]
                                                : 0xFF000000u | (random() & 0xFFFFFF);
            }
        }
        return bitmap;
    }();
    return picture;
}

void write_format(benchmark::State& state, const ImageTranslator* translator, uint32 type)
{
    BBitmap* picture = stereogram_like();
    size_t bytes = 0;
    for (auto _ : state) {
        BMallocIO out;
        if (translator->Write(*picture, type, &out) != B_OK)
            state.SkipWithError("write failed");
        bytes = out.BufferLength();
        benchmark::DoNotOptimize(out.Buffer());
    }
    state.counters["MB"] = double(bytes) / 1e6;
    state.counters["Mpx/s"] = benchmark::Counter(double(kSide) * kSide / 1e6,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

void read_format(benchmark::State& state, const ImageTranslator* translator, uint32 type)
{
    BMallocIO file;
    translator->Write(*stereogram_like(), type, &file);
    ImageSource source;
    source.data = static_cast<const uint8*>(file.Buffer());
    source.size = file.BufferLength();
    for (auto _ : state) {
        BBitmap* bitmap = nullptr;
        if (translator->Read(source, default_read_budget(), &bitmap) != B_OK)
            state.SkipWithError("read failed");
        delete bitmap;
    }
    state.counters["Mpx/s"] = benchmark::Counter(double(kSide) * kSide / 1e6,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(write_format, jpeg, jpeg_translator(), B_JPEG_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, tiff, tiff_translator(), B_TIFF_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, webp_lossless, webp_translator(), kWebpFormat)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, jxl_lossless, jxl_translator(), kJxlFormat)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(read_format, jpeg, jpeg_translator(), B_JPEG_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(read_format, tiff, tiff_translator(), B_TIFF_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(read_format, webp_lossless, webp_translator(), kWebpFormat)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
