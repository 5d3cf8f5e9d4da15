// Reading cost of files that claim more than they hold, through the same
// path as the window's drops and pellara-fuse: each must cost about its
// bytes, not its claimed picture. A valid large picture for comparison.
#include <Bitmap.h>
#include <BitmapReading.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <initializer_list>
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

// Files that got around the budget through readers without a header check
// of ours: an OS/2 BMP whose info-size field has high bytes set, an
// arithmetic-coded JPEG, an MNG frame, a JPEG 2000 codestream.
Bytes os2_size_high_bytes()
{
    Bytes b = os2_bmp();
    b[17] = 0x20;
    return b;
}

// One byte at a time: GCC 12 warns, wrongly, on growing a vector by a list.
void append(Bytes& b, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t v : bytes)
        b.push_back(v);
}

void be(Bytes& b, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; i--)
        b.push_back(uint8_t(value >> (8 * i)));
}

Bytes jpeg_arithmetic()
{
    Bytes b;
    append(b, {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00});
    for (int i = 0; i < 64; i++)
        b.push_back(1);
    append(b, {0xFF, 0xC9, 0x00, 17, 8});
    be(b, 16384, 2);
    be(b, 16384, 2);
    append(b, {3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});
    append(b, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x00,
                       0x3F, 0x00});
    while (b.size() < 214)
        b.push_back(0);
    append(b, {0xFF, 0xD9});
    return b;
}

uint32_t crc32_of(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

void chunk(Bytes& b, const char* type, const Bytes& data)
{
    be(b, uint32_t(data.size()), 4);
    const size_t start = b.size();
    for (int i = 0; i < 4; i++)
        b.push_back(uint8_t(type[i]));
    for (uint8_t v : data)
        b.push_back(v);
    be(b, crc32_of(b.data() + start, b.size() - start), 4);
}

// An 8,323,088 x 16 frame around one 16 x 16 picture of 8 stored bytes.
Bytes mng_wide_frame()
{
    Bytes b = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes mhdr;
    be(mhdr, 8323088, 4);
    be(mhdr, 16, 4);
    be(mhdr, 1, 4);
    be(mhdr, 0, 4);
    be(mhdr, 0, 4);
    be(mhdr, 0, 4);
    be(mhdr, 1, 4);
    chunk(b, "MHDR", mhdr);
    Bytes ihdr;
    be(ihdr, 16, 4);
    be(ihdr, 16, 4);
    append(ihdr, {8, 0, 0, 0, 0});
    chunk(b, "IHDR", ihdr);
    chunk(b, "IDAT", {0x78, 0x9C, 0x63, 0x60, 0x18, 0x05, 0x00, 0x00, 0x01, 0x10, 0x00, 0x01});
    chunk(b, "IEND", {});
    chunk(b, "MEND", {});
    return b;
}

Bytes j2k_12000()
{
    Bytes b = {0xFF, 0x4F, 0xFF, 0x51, 0x00, 47, 0x00, 0x00};
    for (uint32_t v : {12000u, 12000u, 0u, 0u, 12000u, 12000u, 0u, 0u})
        be(b, v, 4);
    append(b, {0, 3, 7, 1, 1, 7, 1, 1, 7, 1, 1});
    append(b, {0xFF, 0x52, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x04, 0x04,
                       0x00, 0x01, 0xFF, 0x5C, 0x00, 0x04, 0x40, 0x40, 0xFF, 0x90, 0x00, 0x0A,
                       0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0x93});
    while (b.size() < 231)
        b.push_back(0x80);
    append(b, {0xFF, 0xD9});
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
BENCHMARK_CAPTURE(read_file, os2_bmp_size_field_high_bytes, os2_size_high_bytes, "a.bmp", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, jpeg_arithmetic_16384x16384_216_bytes, jpeg_arithmetic, "a.jpg",
                  false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, mng_8323088x16_frame, mng_wide_frame, "a.mng", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, j2k_12000x12000_233_bytes, j2k_12000, "a.j2k", false)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(read_file, valid_rle8_bmp_4000x3000, valid_rle8, "a.bmp", true)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
