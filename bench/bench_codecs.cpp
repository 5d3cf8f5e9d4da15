// The writers and readers of our own translators on a 6000 x 6000
// stereogram-like picture: each row a random pattern repeated every 70 to
// 80 pixels, as the engine makes them. Encoded once into memory per run.
// The PNG writer is there as the yardstick, and libwebp's own lossless
// encoder at its fastest effort beside ours, on the stereogram and on a
// smooth, photo-like picture.
#include <Bitmap.h>
#include <LayerFormats.h>
#include <DataIO.h>
#include <JpegTranslator.h>
#include <JxlTranslator.h>
#include <PngTranslator.h>
#include <TiffTranslator.h>
#include <TranslatorFormats.h>
#include <WebpTranslator.h>

#include <benchmark/benchmark.h>
#include <webp/encode.h>

#include <cmath>

#include <memory>
#include <random>
#include <string>

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

// Smooth gradients and waves with a little noise, as a photograph has.
BBitmap* photo_like()
{
    static BBitmap* picture = [] {
        BBitmap* bitmap = new BBitmap(BRect(0, 0, kSide - 1, kSide - 1), B_RGB32);
        std::mt19937 random(11);
        for (int32 y = 0; y < kSide; y++) {
            uint32* row = reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                                    size_t(y) * size_t(bitmap->BytesPerRow()));
            for (int32 x = 0; x < kSide; x++) {
                auto channel = [&](double phase) {
                    double wave = std::sin(x / 370.0 + phase) * std::cos(y / 290.0 - phase);
                    double value = 128 + 90 * wave + 30.0 * x / kSide + int(random() % 5) - 2;
                    return uint32(std::clamp(value, 0.0, 255.0));
                };
                row[x] = 0xFF000000u | channel(0) << 16 | channel(1.3) << 8 | channel(2.1);
            }
        }
        return bitmap;
    }();
    return picture;
}

BBitmap* picture_named(const char* name)
{
    return std::string(name) == "photo" ? photo_like() : stereogram_like();
}

void write_format(benchmark::State& state, const ImageTranslator* translator, uint32 type,
                  const char* pictureName = "stereogram")
{
    BBitmap* picture = picture_named(pictureName);
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

int write_bytes(const uint8_t* data, size_t size, const WebPPicture* picture)
{
    static_cast<BMallocIO*>(picture->custom_ptr)->Write(data, size);
    return 1;
}

// libwebp's lossless encoder at its fastest effort, reading the bitmap's
// words in place, as the translator called it before it had its own.
void libwebp_lossless(benchmark::State& state, const char* pictureName)
{
    BBitmap* picture = picture_named(pictureName);
    size_t bytes = 0;
    for (auto _ : state) {
        WebPConfig config;
        WebPConfigInit(&config);
        config.lossless = 1;
        config.quality = 0;
        config.method = 0;
        config.exact = 1;
        WebPPicture input;
        WebPPictureInit(&input);
        input.use_argb = 1;
        input.width = kSide;
        input.height = kSide;
        input.argb = static_cast<uint32_t*>(picture->Bits());
        input.argb_stride = int(picture->BytesPerRow() / 4);
        BMallocIO out;
        input.writer = write_bytes;
        input.custom_ptr = &out;
        if (!WebPEncode(&config, &input))
            state.SkipWithError("libwebp failed");
        WebPPictureFree(&input);
        bytes = out.BufferLength();
    }
    state.counters["MB"] = double(bytes) / 1e6;
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

// The stereogram as a 12-bit RGB TIFF, uncompressed in one strip (written
// here: no writer of ours makes one): samples libtiff's RGBA interface
// declines, which ours read a row at a time.
std::string twelve_bit_tiff()
{
    const BBitmap& picture = *stereogram_like();
    const uint32 rowBytes = (kSide * 3 * 12 + 7) / 8;
    std::string file("II*\0", 4);
    const auto put = [&file](uint64 v, int bytes) {
        for (int i = 0; i < bytes; i++)
            file.push_back(char(v >> (8 * i)));
    };
    const uint32 entries = 10, bitsAt = 8 + 2 + entries * 12 + 4, dataAt = bitsAt + 6;
    put(8, 4);
    put(entries, 2);
    const auto entry = [&put](uint16 tag, uint16 type, uint32 count, uint32 value) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, 4);
    };
    entry(256, 4, 1, kSide);
    entry(257, 4, 1, kSide);
    entry(258, 3, 3, bitsAt);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 2);
    entry(273, 4, 1, dataAt);
    entry(277, 3, 1, 3);
    entry(278, 4, 1, kSide);
    entry(279, 4, 1, rowBytes * kSide);
    entry(284, 3, 1, 1);
    put(0, 4);
    for (int i = 0; i < 3; i++)
        put(12, 2);
    for (int32 y = 0; y < kSide; y++) {
        const uint32* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(picture.Bits()) + size_t(y) * size_t(picture.BytesPerRow()));
        std::string bits(rowBytes, '\0');
        for (int32 x = 0; x < kSide; x++) {
            for (int c = 0; c < 3; c++) {
                const uint32 v8 = (row[x] >> (16 - 8 * c)) & 0xFF;
                const uint32 v = (v8 << 4) | (v8 >> 4);
                const uint64 bit = (uint64(x) * 3 + c) * 12;
                const size_t at = size_t(bit / 8);
                if (bit % 8 == 0) {
                    bits[at] = char(v >> 4);
                    bits[at + 1] = char((v & 15) << 4);
                } else {
                    bits[at] = char(uint8(bits[at]) | (v >> 8));
                    bits[at + 1] = char(v);
                }
            }
        }
        file += bits;
    }
    return file;
}

void read_tiff12(benchmark::State& state)
{
    static const std::string file = twelve_bit_tiff();
    ImageSource source;
    source.data = reinterpret_cast<const uint8*>(file.data());
    source.size = file.size();
    for (auto _ : state) {
        BBitmap* bitmap = nullptr;
        if (tiff_translator()->Read(source, default_read_budget(), &bitmap) != B_OK)
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
BENCHMARK_CAPTURE(write_format, png, png_translator(), B_PNG_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, webp_lossless, webp_translator(), kWebpFormat)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(libwebp_lossless, stereogram, "stereogram")
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, png_photo, png_translator(), B_PNG_FORMAT, "photo")
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, webp_lossless_photo, webp_translator(), kWebpFormat, "photo")
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(libwebp_lossless, photo, "photo")
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(write_format, jxl_lossless, jxl_translator(), kJxlFormat)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(read_format, jpeg, jpeg_translator(), B_JPEG_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(read_format, tiff, tiff_translator(), B_TIFF_FORMAT)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(read_format, webp_lossless, webp_translator(), kWebpFormat)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(read_tiff12)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
