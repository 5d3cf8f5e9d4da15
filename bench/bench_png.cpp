// Our PNG writer against Qt's on a 6000 x 6000 stereogram, in the same run:
// every row filter and deflate engine the writer offers, and libdeflate on one
// core over the whole filtered picture for reference. Counters give the file
// size; the default writer is BM_PngWriter/Default.
#include <Bitmap.h>
#include <DataIO.h>
#include <PngTranslator.h>
#include <VPellaraObject.h>

#include <benchmark/benchmark.h>
#include <libdeflate.h>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int32 kSide = 6000;

// A dome, a ring and some flat blocks at several heights.
std::unique_ptr<BBitmap> depth_picture(int32 side)
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, side - 1, side - 1), B_RGB32);
    auto* bits = static_cast<uint32*>(bitmap->Bits());
    const double c = side / 2.0;
    for (int32 y = 0; y < side; y++) {
        for (int32 x = 0; x < side; x++) {
            double r = std::hypot(x - c, y - c) / c;
            double dome = r < 0.6 ? std::sqrt(1 - (r / 0.6) * (r / 0.6)) : 0;
            double ring = std::exp(-std::pow((r - 0.8) / 0.05, 2)) * 0.5;
            double v = std::min(1.0, dome + ring);
            if ((x / (side / 8) + y / (side / 8)) % 5 == 0)
                v = std::max(v, 0.3);
            bits[size_t(y) * size_t(side) + size_t(x)] =
                0xFF000000u | uint32(std::lround(v * 255)) * 0x010101u;
        }
    }
    return bitmap;
}

std::unique_ptr<BBitmap> pattern_tile()
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, 127, 127), B_RGB32);
    auto* bits = static_cast<uint32*>(bitmap->Bits());
    uint32 seed = 12345;
    for (int i = 0; i < 128 * 128; i++) {
        seed = seed * 1664525u + 1013904223u;
        bits[i] = 0xFF000000u | (seed >> 8);
    }
    return bitmap;
}

const BBitmap& stereogram()
{
    static std::unique_ptr<BBitmap> picture = [] {
        auto depth = depth_picture(kSide);
        auto pattern = pattern_tile();
        VPellaraObject engine;
        std::FILE* saved = stdout;
        stdout = std::fopen("/dev/null", "w");
        engine.GetFrom(depth.get());
        engine.GetMotive(pattern.get());
        std::unique_ptr<BBitmap> result(engine.Fusion());
        std::fclose(stdout);
        stdout = saved;
        return result;
    }();
    return *picture;
}

struct Variant
{
    const char* label;
    BPrivate::PngWriteOptions options;
};

BPrivate::PngWriteOptions options(int32 filter, BPrivate::png_deflate engine, int32 level,
                                  int32 threads = 0)
{
    BPrivate::PngWriteOptions o;
    o.filter = filter;
    o.engine = engine;
    o.level = level;
    o.threads = threads;
    return o;
}

using BPrivate::png_deflate;

const Variant kVariants[] = {
    {"Default", BPrivate::PngWriteOptions()},
    {"OneCore", options(0, png_deflate::kIsal, 1, 1)},
    {"IsalLevel0", options(0, png_deflate::kIsal, 0)},
    {"IsalLevel2", options(0, png_deflate::kIsal, 2)},
    {"IsalLevel3", options(0, png_deflate::kIsal, 3)},
    {"IsalLevel1Sub", options(1, png_deflate::kIsal, 1)},
    {"IsalLevel1Up", options(2, png_deflate::kIsal, 1)},
    {"IsalLevel1Paeth", options(4, png_deflate::kIsal, 1)},
    {"ZlibLevel1", options(0, png_deflate::kZlib, 1)},
    {"ZlibLevel3", options(0, png_deflate::kZlib, 3)},
    {"ZlibLevel6", options(0, png_deflate::kZlib, 6)},
    {"ZlibLevel6Paeth", options(4, png_deflate::kZlib, 6)},
};

void BM_PngWriter(benchmark::State& state)
{
    const Variant& variant = kVariants[state.range(0)];
    state.SetLabel(variant.label);
    const BBitmap& picture = stereogram();
    size_t bytes = 0;
    for (auto _ : state) {
        BMallocIO out;
        if (BPrivate::write_png(picture, &out, variant.options) != B_OK) {
            state.SkipWithError("write failed");
            break;
        }
        bytes = out.BufferLength();
    }
    state.counters["file_MB"] = double(bytes) / 1e6;
}

// Qt's writer as the translation kit used it: a copy of the picture made
// opaque, then QImageWriter at its default settings.
void BM_QtPngWriter(benchmark::State& state)
{
    const BBitmap& picture = stereogram();
    size_t bytes = 0;
    for (auto _ : state) {
        QImage image(picture.PixelWidth(), picture.PixelHeight(), QImage::Format_RGB32);
        for (int y = 0; y < image.height(); y++) {
            const uint32* from = reinterpret_cast<const uint32*>(
                static_cast<const uint8*>(picture.Bits()) + size_t(y) * picture.BytesPerRow());
            uint32* to = reinterpret_cast<uint32*>(image.scanLine(y));
            for (int x = 0; x < image.width(); x++)
                to[x] = from[x] | 0xFF000000u;
        }
        QByteArray data;
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        writer.write(image);
        bytes = size_t(data.size());
    }
    state.counters["file_MB"] = double(bytes) / 1e6;
}

// libdeflate has no streaming interface: the whole unfiltered picture is
// made first (included in the time), then compressed on one core.
void BM_LibdeflateOneCore(benchmark::State& state)
{
    const BBitmap& picture = stereogram();
    const size_t width = size_t(picture.PixelWidth()), height = size_t(picture.PixelHeight());
    const size_t raw = width * 3 + 1;
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<uint8> rows(raw * height);
        for (size_t y = 0; y < height; y++) {
            const uint8* from =
                static_cast<const uint8*>(picture.Bits()) + y * size_t(picture.BytesPerRow());
            uint8* to = rows.data() + y * raw;
            to[0] = 0;
            for (size_t x = 0; x < width; x++) {
                to[1 + 3 * x] = from[4 * x + 2];
                to[2 + 3 * x] = from[4 * x + 1];
                to[3 + 3 * x] = from[4 * x];
            }
        }
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(int(state.range(0)));
        std::vector<uint8> out(libdeflate_zlib_compress_bound(compressor, rows.size()));
        bytes = libdeflate_zlib_compress(compressor, rows.data(), rows.size(), out.data(),
                                         out.size());
        libdeflate_free_compressor(compressor);
    }
    state.counters["file_MB"] = double(bytes) / 1e6;
}

} // namespace

BENCHMARK(BM_PngWriter)
    ->DenseRange(0, int(std::size(kVariants)) - 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);
BENCHMARK(BM_QtPngWriter)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_LibdeflateOneCore)
    ->Arg(1)
    ->Arg(3)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
