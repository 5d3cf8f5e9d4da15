// Reading cost of files that claim more than they hold, through the same
// path as the window's drops and pellara-fuse: each must cost about its
// bytes, not its claimed picture. A valid large picture for comparison.
#include <Bitmap.h>
#include <BitmapReading.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// count bytes of value, little-endian, zeros past its four.
void le(Bytes& b, uint32_t value, int count)
{
    for (int i = 0; i < count; i++)
        b.push_back(i < 4 ? uint8_t(value >> (8 * i)) : 0);
}

Bytes bmp_header(uint32_t width, uint32_t height, uint32_t bits, uint32_t compression)
{
    Bytes b = {'B', 'M'};
    const uint32_t palette = bits <= 8 ? (1u << bits) * 4 : 0;
    le(b, 0, 8);
    le(b, 14 + 40 + palette, 4);
    le(b, 40, 4);
    le(b, width, 4);
    le(b, height, 4);
    le(b, 1, 2);
    le(b, bits, 2);
    le(b, compression, 4);
    le(b, 0, 12);
    le(b, bits <= 8 ? (1u << bits) : 0, 4);
    le(b, 0, 4);
    for (uint32_t i = 0; i < palette / 4; i++)
        le(b, i * 0x010101u, 4);
    return b;
}

Bytes os2_bmp()
{
    Bytes b = {'B', 'M'};
    le(b, 90, 4);
    le(b, 0, 4);
    le(b, 26, 4);
    le(b, 12, 4);
    le(b, 16384, 2);
    le(b, 16384, 2);
    le(b, 1, 2);
    le(b, 24, 2);
    b.resize(90, 0x80);
    return b;
}

Bytes rle8_ends()
{
    return bmp_header(16384, 16384, 8, 1);
}

Bytes tga_raw()
{
    Bytes b = {0, 0, 2, 0, 0, 0, 0, 0};
    le(b, 0, 4);
    le(b, 8192, 2);
    le(b, 8192, 2);
    b.push_back(24);
    b.push_back(0x20);
    b.resize(45, 0x55);
    return b;
}

Bytes xbm()
{
    std::string text = "#define h_width 16000\n#define h_height 16000\n"
                       "static char h_bits[] = {\n0x00 };\n";
    return Bytes(text.begin(), text.end());
}

Bytes gif_screen()
{
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    le(b, 52008, 2);
    le(b, 4077, 2);
    b.insert(b.end(), {0x80, 0, 0, 0, 0, 0, 255, 255, 255, 0x2C});
    le(b, 0, 4);
    le(b, 10, 2);
    le(b, 10, 2);
    b.insert(b.end(), {0, 2, 2, 0x84, 0x01, 0, 0x3B});
    b.resize(275, 0);
    return b;
}

// 4000 x 3000, runs of 250 pixels: a valid picture of about 200 KB.
Bytes valid_rle8()
{
    Bytes b = bmp_header(4000, 3000, 8, 1);
    for (uint32_t y = 0; y < 3000; y++) {
        for (uint32_t x = 0; x < 4000; x += 250)
            b.insert(b.end(), {250, uint8_t(x / 250 + y)});
        b.insert(b.end(), {0, 0});
    }
    b.insert(b.end(), {0, 1});
    return b;
}

void read_file(benchmark::State& state, Bytes (*make)(), const char* name, bool valid)
{
    const Bytes file = make();
    for (auto _ : state) {
        BBitmap* bitmap = nullptr;
        status_t status = read_bitmap_data(file.data(), file.size(), name, &bitmap);
        if ((status == B_OK) != valid)
            state.SkipWithError("unexpected outcome");
        delete bitmap;
    }
    state.counters["file_bytes"] = double(file.size());
}

BENCHMARK_CAPTURE(read_file, os2_bmp_16384x16384, os2_bmp, "a.bmp", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, rle8_bmp_16384x16384_no_data, rle8_ends, "a.bmp", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, tga_8192x8192_45_bytes, tga_raw, "a.tga", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, xbm_16000x16000_one_byte, xbm, "a.xbm", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, gif_52008x4077_screen, gif_screen, "a.gif", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, valid_rle8_bmp_4000x3000, valid_rle8, "a.bmp", true)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
