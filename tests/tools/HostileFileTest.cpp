// Files of a few hundred bytes that claim huge or missing pictures, given to
// pellara-fuse as a user would: each must be refused with one line, at the
// cost of the bytes present, not of the picture claimed.
#include <Bitmap.h>
#include <BitmapReading.h>
#include <ImageTranslator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

void le16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void le32(Bytes& b, uint32_t v)
{
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}
void be16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}
void be32(Bytes& b, uint32_t v)
{
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
void text(Bytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
}
void fill(Bytes& b, size_t count, uint8_t value = 0)
{
    b.insert(b.end(), count, value);
}

// A Windows BMP header (40-byte info) with a 256-colour palette when bits <= 8.
Bytes bmp(int32_t width, int32_t height, uint32_t bits, uint32_t compression)
{
    Bytes b;
    const uint32_t palette = bits <= 8 ? (1u << bits) * 4 : 0;
    text(b, "BM");
    le32(b, 0);
    le32(b, 0);
    le32(b, 14 + 40 + palette);
    le32(b, 40);
    le32(b, uint32_t(width));
    le32(b, uint32_t(height));
    le16(b, 1);
    le16(b, bits);
    le32(b, compression);
    fill(b, 20);
    fill(b, palette, 0x40);
    return b;
}

Bytes os2_bmp_huge()
{
    Bytes b;
    text(b, "BM");
    le32(b, 90);
    le32(b, 0);
    le32(b, 26);
    le32(b, 12);
    le16(b, 16384);
    le16(b, 16384);
    le16(b, 1);
    le16(b, 24);
    fill(b, 64, 0x80);
    return b;
}

Bytes rle8_ends_at_once()
{
    return bmp(16384, 16384, 8, 1);
}

Bytes rle8_end_marker_at_once()
{
    Bytes b = bmp(16384, 16384, 8, 1);
    b.push_back(0);
    b.push_back(1);
    return b;
}

Bytes rle4_truncated()
{
    // Rows of runs, then the data stops before the picture's end.
    Bytes b = bmp(64, 64, 4, 2);
    for (int row = 0; row < 30; row++) {
        b.push_back(64);
        b.push_back(0x12);
        b.push_back(0);
        b.push_back(0);
    }
    return b;
}

Bytes bmp_over_budget()
{
    Bytes b = bmp(60000, 60000, 1, 0);
    fill(b, 100);
    return b;
}

Bytes tga(uint32_t type, uint32_t width, uint32_t height, uint32_t depth)
{
    Bytes b;
    b.push_back(0);    // no ID
    b.push_back(0);    // no colour map
    b.push_back(uint8_t(type));
    fill(b, 5);
    le16(b, 0);
    le16(b, 0);
    le16(b, width);
    le16(b, height);
    b.push_back(uint8_t(depth));
    b.push_back(0x20); // top-left origin
    return b;
}

Bytes tga_huge()
{
    Bytes b = tga(2, 8192, 8192, 24);
    fill(b, 27, 0x55);
    return b;
}

Bytes tga_rle_short()
{
    Bytes b = tga(10, 8192, 8192, 24);
    for (int i = 0; i < 40; i++) {
        b.push_back(0xFF); // 128 pixels of one colour
        fill(b, 3, uint8_t(i));
    }
    return b;
}

Bytes xbm_huge()
{
    Bytes b;
    text(b, "#define h_width 23170\n#define h_height 23170\n"
            "static char h_bits[] = {\n0x00 };\n");
    return b;
}

Bytes xbm_short()
{
    Bytes b;
    text(b, "#define s_width 16000\n#define s_height 16000\n"
            "static unsigned char s_bits[] = {\n0x00, 0xff, 0x12 };\n");
    return b;
}

Bytes xpm_huge()
{
    Bytes b;
    text(b, "/* XPM */\nstatic char *h[] = {\n\"15000 15000 1 1\",\n\"a c #ff0000\",\n"
            "\"aaaa\"\n};\n");
    return b;
}

Bytes pnm_huge()
{
    Bytes b;
    text(b, "P6\n15000 15000\n255\n");
    fill(b, 200, 0x33);
    return b;
}

Bytes pbm_ascii_short()
{
    Bytes b;
    text(b, "P1\n64 64\n");
    for (int i = 0; i < 300; i++)
        text(b, i % 2 ? "1 " : "0 ");
    return b;
}

// A GIF whose logical screen is far larger than its one small frame.
Bytes gif(uint32_t screenWidth, uint32_t screenHeight, bool complete)
{
    Bytes b;
    text(b, "GIF89a");
    le16(b, screenWidth);
    le16(b, screenHeight);
    b.push_back(0x80); // global colour table of 2 entries
    b.push_back(0);
    b.push_back(0);
    fill(b, 6, 0xFF);
    b.push_back(0x2C); // image descriptor: 10 x 10 at (0, 0)
    le16(b, 0);
    le16(b, 0);
    le16(b, 10);
    le16(b, 10);
    b.push_back(0);
    b.push_back(2); // LZW minimum code size
    // A clear code and a few literal codes, then nothing.
    const uint8_t data[] = {0x84, 0x8F, 0xA9, 0xCB, 0xED, 0x0F};
    b.push_back(sizeof(data));
    b.insert(b.end(), std::begin(data), std::end(data));
    if (complete) {
        b.push_back(0);
        b.push_back(0x3B);
    }
    return b;
}

Bytes gif_huge_screen()
{
    Bytes b = gif(52008, 4077, true);
    fill(b, 200, 0);
    return b;
}

Bytes gif_truncated()
{
    return gif(10, 10, false);
}

Bytes psd(uint32_t width, uint32_t height, uint32_t compression)
{
    Bytes b;
    text(b, "8BPS");
    be16(b, 1);
    fill(b, 6);
    be16(b, 3);
    be32(b, height);
    be32(b, width);
    be16(b, 8);
    be16(b, 3);
    be32(b, 0);
    be32(b, 0);
    be32(b, 0);
    be16(b, compression);
    return b;
}

Bytes psd_raw_huge()
{
    Bytes b = psd(15000, 15000, 0);
    fill(b, 200, 0x10);
    return b;
}

Bytes psd_rle_short()
{
    Bytes b = psd(15000, 15000, 1);
    for (int i = 0; i < 100; i++)
        be16(b, 200);
    return b;
}

Bytes dds_dxt1_huge()
{
    Bytes b;
    text(b, "DDS ");
    le32(b, 124);
    le32(b, 0x1007);
    le32(b, 16384);
    le32(b, 16384);
    fill(b, 128 - 20);
    b[76] = 32;
    b[80] = 4;
    std::copy_n("DXT1", 4, b.begin() + 84);
    fill(b, 64, 0x11);
    return b;
}

Bytes sgi(uint32_t storage, uint32_t width, uint32_t height)
{
    Bytes b;
    be16(b, 474);
    b.push_back(uint8_t(storage));
    b.push_back(1);
    be16(b, 3);
    be16(b, width);
    be16(b, height);
    be16(b, 3);
    fill(b, 512 - b.size());
    return b;
}

Bytes sgi_huge()
{
    Bytes b = sgi(0, 9000, 9000);
    fill(b, 100, 1);
    return b;
}

Bytes sgi_rle_rows_outside()
{
    Bytes b = sgi(1, 100, 50);
    for (int table = 0; table < 2; table++)
        for (int row = 0; row < 150; row++)
            be32(b, table == 0 ? 100000 : 50);
    return b;
}

Bytes pcx_huge()
{
    Bytes b;
    b.push_back(0x0A);
    b.push_back(5);
    b.push_back(1);
    b.push_back(8);
    le16(b, 0);
    le16(b, 0);
    le16(b, 15999);
    le16(b, 15999);
    fill(b, 128 - b.size());
    b[65] = 1;
    b[66] = uint8_t(16000 & 0xFF);
    b[67] = uint8_t(16000 >> 8);
    for (int i = 0; i < 100; i++) {
        b.push_back(0xFF); // 63 bytes of one value
        b.push_back(7);
    }
    return b;
}

Bytes ico_png_huge()
{
    Bytes b;
    le16(b, 0);
    le16(b, 1);
    le16(b, 1);
    fill(b, 8);
    le32(b, 100); // bytes of the entry
    le32(b, 22);  // where it starts
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    b.insert(b.end(), std::begin(signature), std::end(signature));
    be32(b, 13);
    text(b, "IHDR");
    be32(b, 15000);
    be32(b, 15000);
    fill(b, 100 - 24, 0);
    return b;
}

// Rows for the readers of other parts of the kit: checked only once their
// translator is in the list (before that Qt's plugins read these formats,
// and some of these files cost them gigabytes).
Bytes png_huge()
{
    Bytes b;
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    b.insert(b.end(), std::begin(signature), std::end(signature));
    be32(b, 13);
    text(b, "IHDR");
    be32(b, 23170);
    be32(b, 23170);
    b.push_back(1); // 1-bit grey
    fill(b, 4);
    be32(b, 0);
    be32(b, 20);
    text(b, "IDAT");
    fill(b, 24, 0x78);
    be32(b, 0);
    text(b, "IEND");
    be32(b, 0);
    return b;
}

Bytes jpeg_huge()
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xC0};
    be16(b, 17);
    b.push_back(8);
    be16(b, 23170);
    be16(b, 23170);
    b.push_back(3);
    for (uint8_t c = 1; c <= 3; c++) {
        b.push_back(c);
        b.push_back(0x11);
        b.push_back(0);
    }
    const uint8_t scan[] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02,
                            0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    b.insert(b.end(), std::begin(scan), std::end(scan));
    fill(b, 150, 0x55);
    return b;
}

Bytes webp_huge_canvas()
{
    Bytes b;
    text(b, "RIFF");
    le32(b, 4 + 18 + 8);
    text(b, "WEBP");
    text(b, "VP8X");
    le32(b, 10);
    b.push_back(0x02); // animation
    fill(b, 3);
    const uint32_t side = 23170 - 1;
    for (int i = 0; i < 2; i++) {
        b.push_back(uint8_t(side));
        b.push_back(uint8_t(side >> 8));
        b.push_back(uint8_t(side >> 16));
    }
    text(b, "ANIM");
    le32(b, 0);
    return b;
}

Bytes tiff_huge()
{
    Bytes b;
    text(b, "II");
    le16(b, 42);
    le32(b, 8);
    const uint32_t tags[][3] = {{256, 4, 23170}, {257, 4, 23170}, {258, 3, 1},  {259, 3, 1},
                                {262, 3, 1},     {273, 4, 200},   {277, 3, 1},  {278, 4, 23170},
                                {279, 4, 100}};
    le16(b, std::size(tags));
    for (const auto& tag : tags) {
        le16(b, tag[0]);
        le16(b, tag[1]);
        le32(b, 1);
        le32(b, tag[2]);
    }
    le32(b, 0);
    fill(b, 200 + 100 - b.size(), 0xAA);
    return b;
}

// Found by fuzzing: a HEIF whose grid says 25961 x 29440 in its own data
// while its 'ispe' box says 64 x 64.
Bytes heif_grid_canvas()
{
    std::ifstream in(std::string(PELLARA_TEST_DATA) + "/heif/grid-canvas-beyond-budget.heic",
                     std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Files a mutation run found getting around the budget through readers
// that had no header check of ours, or none that fitted.

// An OS/2 BMP whose info-size field has its high bytes set: no BMP info
// header has that size, so no reader may guess at it (Qt's filled 16384 x
// 16384 with missing rows).
Bytes os2_bmp_size_high_bytes()
{
    Bytes b = os2_bmp_huge();
    b[14 + 3] = 0x20; // 0x2000000C
    b.resize(88);
    return b;
}

// A Windows BMP truncated far before its rows, through the same gap.
Bytes bmp_truncated_size_high_bytes()
{
    Bytes b = bmp(4000, 3000, 24, 0);
    b[14 + 2] = 0x01; // 0x00010028
    b[14 + 3] = 0x01;
    fill(b, 60, 0x7F);
    return b;
}

// A JPEG whose frame marker says arithmetic coding (SOF9), 16384 x 16384 in
// 216 bytes: its decoder reads zeros past the data's end without a word,
// and the whole picture was decoded from them (34 s and 6 GB here).
Bytes jpeg_arithmetic_huge()
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    fill(b, 64, 1); // a quantisation table of ones
    b.push_back(0xFF);
    b.push_back(0xC9);
    be16(b, 17);
    b.push_back(8);
    be16(b, 16384);
    be16(b, 16384);
    b.push_back(3);
    for (uint8_t c = 1; c <= 3; c++) {
        b.push_back(c);
        b.push_back(0x11);
        b.push_back(0);
    }
    const uint8_t scan[] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02,
                            0x00, 0x03, 0x00, 0x00, 0x3F, 0x00};
    b.insert(b.end(), std::begin(scan), std::end(scan));
    fill(b, 216 - 2 - b.size(), 0);
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
}

// A TGA header whose colour-map type is neither 0 nor 1: no TGA, and no
// reader guesses (Qt's read it as 8192 x 8192).
Bytes tga_colour_map_type_2()
{
    Bytes b = tga(2, 8192, 8192, 24);
    b[1] = 2;
    fill(b, 45 - b.size(), 0x55);
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
    be32(b, uint32_t(data.size()));
    const size_t start = b.size();
    text(b, type);
    b.insert(b.end(), data.begin(), data.end());
    be32(b, crc32_of(b.data() + start, b.size() - start));
}

// A small grey MNG: one 16 x 16 picture, its rows in a stored zlib block.
// mhdrWidth/Height are the frame the file declares, ihdrSide the picture's.
Bytes mng(uint32_t mhdrWidth, uint32_t mhdrHeight, uint32_t ihdrSide = 16,
          bool magnified = false, bool ends = true)
{
    Bytes b = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes mhdr;
    be32(mhdr, mhdrWidth);
    be32(mhdr, mhdrHeight);
    be32(mhdr, 1);   // ticks a second
    fill(mhdr, 12);  // layers, frames, play time: unknown
    be32(mhdr, 1);   // simplicity: valid, nothing more said
    chunk(b, "MHDR", mhdr);
    if (magnified) {
        Bytes magn;
        be16(magn, 0);
        be16(magn, 0);
        magn.push_back(1); // replicate
        be16(magn, 65535);
        be16(magn, 65535);
        chunk(b, "MAGN", magn);
    }
    Bytes ihdr;
    be32(ihdr, ihdrSide);
    be32(ihdr, ihdrSide);
    ihdr.push_back(8); // 8-bit grey
    fill(ihdr, 4);
    chunk(b, "IHDR", ihdr);
    Bytes raw;
    for (int y = 0; y < 16; y++) {
        raw.push_back(0); // filter: none
        for (int x = 0; x < 16; x++)
            raw.push_back(uint8_t(x * 16));
    }
    Bytes idat = {0x78, 0x01, 0x01};
    le16(idat, uint32_t(raw.size()));
    le16(idat, uint32_t(~raw.size() & 0xFFFF));
    idat.insert(idat.end(), raw.begin(), raw.end());
    uint32_t a = 1, s2 = 0;
    for (uint8_t v : raw) {
        a = (a + v) % 65521;
        s2 = (s2 + a) % 65521;
    }
    be32(idat, (s2 << 16) | a);
    chunk(b, "IDAT", idat);
    chunk(b, "IEND", {});
    if (ends)
        chunk(b, "MEND", {});
    return b;
}

Bytes mng_wide_frame()
{
    return mng(8323088, 16);
}

Bytes mng_large_picture()
{
    return mng(16, 16, 12000);
}

Bytes mng_magnified()
{
    return mng(16, 16, 16, true);
}

Bytes mng_without_end()
{
    Bytes b = mng(8323088, 16, 16, false, false);
    return b;
}

// A raw JPEG 2000 codestream of 233 bytes claiming 12000 x 12000 in three
// components: OpenJPEG allocated them before it found the data missing.
Bytes j2k_huge()
{
    Bytes b = {0xFF, 0x4F, 0xFF, 0x51};
    be16(b, 38 + 3 * 3);
    be16(b, 0);
    be32(b, 12000);
    be32(b, 12000);
    be32(b, 0);
    be32(b, 0);
    be32(b, 12000); // one tile
    be32(b, 12000);
    be32(b, 0);
    be32(b, 0);
    be16(b, 3);
    for (int c = 0; c < 3; c++) {
        b.push_back(7); // 8 bits, unsigned
        b.push_back(1);
        b.push_back(1);
    }
    const uint8_t cod[] = {0xFF, 0x52, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x01,
                           0x00, 0x05, 0x04, 0x04, 0x00, 0x01};
    b.insert(b.end(), std::begin(cod), std::end(cod));
    const uint8_t qcd[] = {0xFF, 0x5C, 0x00, 0x04, 0x40, 0x40};
    b.insert(b.end(), std::begin(qcd), std::end(qcd));
    const uint8_t sot[] = {0xFF, 0x90, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x01};
    b.insert(b.end(), std::begin(sot), std::end(sot));
    b.push_back(0xFF);
    b.push_back(0x93);
    fill(b, 233 - 2 - b.size(), 0x80);
    b.push_back(0xFF);
    b.push_back(0xD9);
    return b;
}

struct HostileCase
{
    const char* name;      // also the file's name
    Bytes (*make)();
    const char* reason;    // the end of the tool's line
    const char* needs;     // a translator that must be in the list, or null
};

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

const char kCorrupt[] = "corrupt or truncated image";
const char kTooLarge[] = "picture too large";

const HostileCase kHostile[] = {
    {"os2-huge.bmp", os2_bmp_huge, kCorrupt, nullptr},
    {"rle8-ends.bmp", rle8_ends_at_once, kCorrupt, nullptr},
    {"rle8-end-marker.bmp", rle8_end_marker_at_once, kCorrupt, nullptr},
    {"rle4-truncated.bmp", rle4_truncated, kCorrupt, nullptr},
    {"over-budget.bmp", bmp_over_budget, kTooLarge, nullptr},
    {"raw-huge.tga", tga_huge, kCorrupt, nullptr},
    {"rle-short.tga", tga_rle_short, kCorrupt, nullptr},
    {"huge.xbm", xbm_huge, kTooLarge, nullptr},
    {"short.xbm", xbm_short, kCorrupt, nullptr},
    {"huge.xpm", xpm_huge, kCorrupt, nullptr},
    {"huge.ppm", pnm_huge, kCorrupt, nullptr},
    {"short.pbm", pbm_ascii_short, kCorrupt, nullptr},
    {"huge-screen.gif", gif_huge_screen, kCorrupt, nullptr},
    {"truncated.gif", gif_truncated, kCorrupt, nullptr},
    {"raw-huge.psd", psd_raw_huge, kCorrupt, nullptr},
    {"rle-short.psd", psd_rle_short, kCorrupt, nullptr},
    {"dxt1-huge.dds", dds_dxt1_huge, kCorrupt, nullptr},
    {"huge.sgi", sgi_huge, kCorrupt, nullptr},
    {"rows-outside.sgi", sgi_rle_rows_outside, kCorrupt, nullptr},
    {"huge.pcx", pcx_huge, kCorrupt, nullptr},
    {"png-huge.ico", ico_png_huge, kCorrupt, nullptr},
    {"huge.png", png_huge, nullptr, "png"},
    {"huge.jpg", jpeg_huge, nullptr, "jpeg"},
    {"huge-canvas.webp", webp_huge_canvas, nullptr, "webp"},
    {"huge.tif", tiff_huge, nullptr, "tiff"},
    {"grid-canvas.heic", heif_grid_canvas, kTooLarge, "heif"},
    {"os2-size-high-bytes.bmp", os2_bmp_size_high_bytes, nullptr, nullptr},
    {"truncated-size-high-bytes.bmp", bmp_truncated_size_high_bytes, nullptr, nullptr},
    {"arithmetic-huge.jpg", jpeg_arithmetic_huge, kCorrupt, "jpeg"},
    {"colour-map-type-2.tga", tga_colour_map_type_2, nullptr, nullptr},
    {"wide-frame.mng", mng_wide_frame, kCorrupt, nullptr},
    {"large-picture.mng", mng_large_picture, kCorrupt, nullptr},
    {"magnified.mng", mng_magnified, kCorrupt, nullptr},
    {"without-end.mng", mng_without_end, kCorrupt, nullptr},
    {"huge.j2k", j2k_huge, kCorrupt, "jpeg2000"},
};

bool has_translator(const char* name)
{
    for (const BPrivate::ImageTranslator* translator : BPrivate::image_translators()) {
        if (std::string(translator->Name()) == name)
            return true;
    }
    return false;
}

struct ChildRun
{
    int status = -1;
    std::string err;
    long maxResidentKiB = 0;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The tool as a child process, with what the kernel says it cost.
ChildRun run_fuse(const std::string& folder, const std::vector<std::string>& args)
{
    const std::string errPath = folder + "/stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(devNull, 1);
        dup2(err, 2);
#if defined(__SANITIZE_ADDRESS__)
        // A large allocation left untouched costs no resident memory: under
        // AddressSanitizer, any allocation above 64 MB ends the child.
        std::string options = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
        options += ":max_allocation_size_mb=64:allocator_may_return_null=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
        std::vector<char*> argv{const_cast<char*>(PELLARA_FUSE_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(PELLARA_FUSE_PATH, argv.data());
        _exit(127);
    }
    ChildRun run;
    int status = 0;
    struct rusage usage{};
    wait4(child, &status, 0, &usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = slurp(errPath);
    run.maxResidentKiB = usage.ru_maxrss;
    return run;
}

class HostileFile : public testing::TestWithParam<HostileCase>
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-hostile-XXXXXX").string();
        fFolder = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(fFolder); }

    std::string Write(const std::string& name, const Bytes& bytes)
    {
        std::string path = fFolder + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }

    std::string fFolder;
};

// Far below what the claimed pictures would take (gigabytes); the tool
// itself, Qt and the libraries loaded take some tens of megabytes.
constexpr long kMaxResidentKiB = 100 * 1024;

TEST_P(HostileFile, IsRefusedWithOneLineAtTheCostOfItsBytes)
{
    const HostileCase& c = GetParam();
    if (c.needs != nullptr && !has_translator(c.needs)) {
        GTEST_SKIP() << "read by Qt's plugins until the '" << c.needs << "' translator is listed";
    }
    const Bytes bytes = c.make();
    ASSERT_LT(bytes.size(), 2048u) << "a hostile file stays small";
    const std::string path = Write(c.name, bytes);
    ChildRun run = run_fuse(fFolder, {path, path, fFolder + "/out.png"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_EQ(0u, run.err.rfind("pellara-fuse: cannot read '" + path + "': ", 0)) << run.err;
    if (c.reason != nullptr) {
        EXPECT_NE(std::string::npos, run.err.find(c.reason)) << run.err;
    }
    EXPECT_LT(run.maxResidentKiB, kMaxResidentKiB);
    EXPECT_FALSE(fs::exists(fFolder + "/out.png"));
    // The depth alone, read by rows where its format is: the same refusal,
    // though a size over the whole reading's ceiling may be found cut short
    // instead.
    {
        SCOPED_TRACE("depth alone");
        ChildRun alone = run_fuse(fFolder, {path, fFolder + "/out.png", "--random-dot"});
        EXPECT_EQ(1, alone.status);
        EXPECT_EQ(1, std::count(alone.err.begin(), alone.err.end(), '\n')) << alone.err;
        EXPECT_EQ(0u, alone.err.rfind("pellara-fuse: cannot read '" + path + "': ", 0)) << alone.err;
        if (c.reason == kCorrupt) {
            EXPECT_NE(std::string::npos, alone.err.find(c.reason)) << alone.err;
        }
#if !defined(__SANITIZE_ADDRESS__)
        // The row pipeline's bands and AddressSanitizer's shadow of them.
        EXPECT_LT(alone.maxResidentKiB, kMaxResidentKiB);
#endif
        EXPECT_FALSE(fs::exists(fFolder + "/out.png"));
    }
    // Too large: the size the header claims, which the ceiling refused.
    std::smatch size;
    if (run.err.find(kTooLarge) != std::string::npos) {
        ASSERT_TRUE(std::regex_search(
            run.err, size,
            std::regex(": picture too large: ([0-9]+)x([0-9]+) \\(([0-9]+) pixels\\) is over the "
                       "limit of 268435456 pixels \\(--max-pixels\\)\n$")))
            << run.err;
        const uint64_t width = std::stoull(size[1]), height = std::stoull(size[2]);
        EXPECT_EQ(width * height, std::stoull(size[3]));
        EXPECT_GT(width * height, uint64_t(268435456));
    }
}

INSTANTIATE_TEST_SUITE_P(Budget, HostileFile, testing::ValuesIn(kHostile),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                             std::string name = info.param.name;
                             std::replace_if(
                                 name.begin(), name.end(),
                                 [](char ch) { return !std::isalnum(uint8_t(ch)); }, '_');
                             return name;
                         });

// The same small MNG whole and unmutated is still read, by Qt's plugin
// once its header passed: its one picture, a grey ramp.
TEST(HostileMng, TheUnmutatedFileIsRead)
{
    const Bytes file = mng(16, 16);
    BBitmap* raw = nullptr;
    ASSERT_EQ(B_OK, read_bitmap_data(file.data(), file.size(), nullptr, &raw));
    std::unique_ptr<BBitmap> bitmap(raw);
    ASSERT_EQ(16, bitmap->PixelWidth());
    ASSERT_EQ(16, bitmap->PixelHeight());
    const uint32_t* row = static_cast<const uint32_t*>(bitmap->Bits());
    for (int x = 0; x < 16; x++)
        EXPECT_EQ(uint32_t(x * 16) * 0x010101u, row[x] & 0xFFFFFFu) << x;
}

class MaxPixels : public HostileFile
{
};

TEST_F(MaxPixels, LowersAndRaisesTheCeilingWithinABitmapsLimit)
{
    // A valid 300 x 200 uncompressed BMP.
    Bytes picture = bmp(300, 200, 24, 0);
    for (int i = 0; i < 300 * 200; i++) {
        picture.push_back(uint8_t(i));
        picture.push_back(uint8_t(i >> 3));
        picture.push_back(uint8_t(i >> 6));
    }
    const std::string path = Write("valid.bmp", picture);
    const std::string out = fFolder + "/out.png";

    ChildRun small = run_fuse(fFolder, {path, path, out, "--max-pixels", "50000"});
    EXPECT_EQ(1, small.status);
    EXPECT_NE(std::string::npos, small.err.find(kTooLarge)) << small.err;

    ChildRun enough = run_fuse(fFolder, {path, path, out, "--max-pixels=60000"});
    EXPECT_EQ(0, enough.status) << enough.err;
    EXPECT_EQ("", enough.err);

    for (const char* wrong : {"536870912", "0", "-5", "12k", ""}) {
        ChildRun refused = run_fuse(fFolder, {path, path, out, "--max-pixels", wrong});
        EXPECT_EQ(2, refused.status) << wrong;
        EXPECT_NE(std::string::npos, refused.err.find("--max-pixels needs a number from 1 to "
                                                      "536870911"))
            << refused.err;
    }
    ChildRun limit = run_fuse(fFolder, {path, path, out, "--max-pixels", "536870911"});
    EXPECT_EQ(0, limit.status) << limit.err;
}

} // namespace
