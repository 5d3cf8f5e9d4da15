// The long tail of formats, made by other programs in their variants, read
// and compared pixel for pixel with Pillow's decoding; the same files cut
// short refused.
#include <Bitmap.h>
#include <BitmapReading.h>
#include <ImageTranslator.h>
#include <DataIO.h>
#include <PngTranslator.h>
#include <TranslationUtils.h>
#include <TranslatorFormats.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// What the process writes on standard error meanwhile: the libraries'
// handlers must stay silent, the tool alone speaks.
class StderrCapture
{
public:
    StderrCapture()
    {
        fflush(stderr);
        fFile = tmpfile();
        fSaved = dup(2);
        dup2(fileno(fFile), 2);
    }
    ~StderrCapture() { Finish(); }
    std::string Finish()
    {
        if (fFile == nullptr)
            return fText;
        fflush(stderr);
        dup2(fSaved, 2);
        close(fSaved);
        rewind(fFile);
        char buffer[512];
        size_t count;
        while ((count = fread(buffer, 1, sizeof(buffer), fFile)) > 0)
            fText.append(buffer, count);
        fclose(fFile);
        fFile = nullptr;
        return fText;
    }

private:
    FILE* fFile = nullptr;
    int fSaved = -1;
    std::string fText;
};

std::string data_path(const std::string& name)
{
    return std::string(PELLARA_TEST_DATA) + "/longtail/" + name;
}

std::vector<uint8> slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8>(std::istreambuf_iterator<char>(in), {});
}

struct Reference
{
    int width = 0, height = 0;
    std::vector<uint8> rgba;
};

// A PAM of RGBA tuples, as the making script writes them.
Reference read_pam(const std::string& path)
{
    std::vector<uint8> bytes = slurp(path);
    std::string text(bytes.begin(), bytes.end());
    Reference ref;
    size_t end = text.find("ENDHDR\n");
    if (end == std::string::npos)
        return ref;
    ref.width = std::atoi(text.c_str() + text.find("WIDTH ") + 6);
    ref.height = std::atoi(text.c_str() + text.find("HEIGHT ") + 7);
    ref.rgba.assign(bytes.begin() + long(end + 7), bytes.end());
    return ref;
}

struct LongTailCase
{
    const char* file;
    int tolerance; // per channel: lossy block formats round differently
};

void PrintTo(const LongTailCase& c, std::ostream* os)
{
    *os << c.file;
}

const LongTailCase kCases[] = {
    {"rgb24.bmp", 0},         {"pal8.bmp", 0},          {"mono.bmp", 0},
    {"rgb565.bmp", 1},        {"rgb555.bmp", 1},        {"argb32.bmp", 0},
    {"rle4.bmp", 0},          {"rle8.bmp", 0},          {"os2.bmp", 0},
    {"raw.tga", 0},           {"rle.tga", 0},           {"id.tga", 0},
    {"bottom-left.tga", 0},   {"grey.tga", 0},          {"grey-rle.tga", 0},
    {"palette.tga", 0},       {"palette-rle.tga", 0},   {"rgba.tga", 0},
    {"rgb16-top-right.tga", 1}, {"raw.psd", 0},         {"rle.psd", 0},
    {"dxt1.dds", 0},          {"dxt5.dds", 0},          {"plain.dds", 0},
    {"rgb.sgi", 0},           {"grey.sgi", 0},          {"rle.sgi", 0},
    {"rgb.pcx", 0},           {"palette.pcx", 0},       {"icons.ico", 0},
    {"rgb.ppm", 0},           {"grey.pgm", 0},          {"mono.pbm", 0},
    {"mono.xbm", 0},          {"rgb.gif", 0},           {"interlaced.gif", 0},
    {"transparent.gif", 0},   {"rgb.dib", 0},           {"pal8.dib", 0},
    {"grey.pam", 0},          {"grey-alpha.pam", 0},    {"rgb.pam", 0},
    {"rgba.pam", 0},          {"rgba16.pam", 0},        {"mono.pcx", 0},
    // Our own DDS reader; BC6H's half floats Pillow cuts to levels.
    {"dxt1-dx10.dds", 0},     {"dxt3-dx10.dds", 0},     {"dxt5-dx10.dds", 0},
    {"bc4.dds", 0},           {"bc5.dds", 0},           {"bc5-dx10.dds", 0},
    {"bc6h.dds", 1},          {"bc7.dds", 0},           {"rgba8-dx10.dds", 0},
};

class LongTail : public testing::TestWithParam<LongTailCase>
{
};

TEST_P(LongTail, ReadsAsAnotherDecoderDoes)
{
    const LongTailCase& c = GetParam();
    Reference ref = read_pam(data_path(std::string(c.file) + ".pam"));
    ASSERT_GT(ref.width, 0);
    BBitmap* raw = nullptr;
    StderrCapture capture;
    status_t status = BTranslationUtils::ReadBitmapFile(data_path(c.file).c_str(), &raw);
    EXPECT_EQ("", capture.Finish());
    std::unique_ptr<BBitmap> bitmap(raw);
    ASSERT_EQ(B_OK, status);
    ASSERT_EQ(ref.width, bitmap->PixelWidth());
    ASSERT_EQ(ref.height, bitmap->PixelHeight());
    const bool alpha = bitmap->ColorSpace() == B_RGBA32;
    int worst = 0, wrong = 0;
    for (int y = 0; y < ref.height; y++) {
        const uint32* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(bitmap->Bits()) + y * bitmap->BytesPerRow());
        for (int x = 0; x < ref.width; x++) {
            const uint8* want = &ref.rgba[size_t(y * ref.width + x) * 4];
            const uint32 got = row[x];
            const int a = alpha ? int(got >> 24) : 255;
            if (a != want[3]) {
                wrong++;
                continue;
            }
            if (a == 0)
                continue; // a transparent pixel's colour is anyone's
            const int channels[3] = {int(got >> 16) & 255, int(got >> 8) & 255, int(got) & 255};
            for (int k = 0; k < 3; k++)
                worst = std::max(worst, std::abs(channels[k] - int(want[k])));
        }
    }
    EXPECT_EQ(0, wrong) << "pixels whose transparency differs";
    EXPECT_LE(worst, c.tolerance);
}

// A transparent pixel keeps the colour the file stores for it, in every
// format (GIF's transparent index included), as the reference shows it.
TEST_P(LongTail, TransparentPixelsKeepTheirColour)
{
    const LongTailCase& c = GetParam();
    Reference ref = read_pam(data_path(std::string(c.file) + ".pam"));
    ASSERT_GT(ref.width, 0);
    BBitmap* raw = nullptr;
    ASSERT_EQ(B_OK, BTranslationUtils::ReadBitmapFile(data_path(c.file).c_str(), &raw));
    std::unique_ptr<BBitmap> bitmap(raw);
    ASSERT_EQ(ref.width, bitmap->PixelWidth());
    int transparent = 0, lost = 0;
    for (int y = 0; y < ref.height; y++) {
        const uint32* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(bitmap->Bits()) + y * bitmap->BytesPerRow());
        for (int x = 0; x < ref.width; x++) {
            const uint8* want = &ref.rgba[size_t(y * ref.width + x) * 4];
            if (want[3] != 0)
                continue;
            transparent++;
            const uint32 colour = (uint32(want[0]) << 16) | (uint32(want[1]) << 8) | want[2];
            if ((row[x] & 0xFFFFFFu) != colour)
                lost++;
        }
    }
    EXPECT_EQ(0, lost) << "of " << transparent << " transparent pixels";
}

TEST_P(LongTail, CutShortIsRefused)
{
    const LongTailCase& c = GetParam();
    std::vector<uint8> bytes = slurp(data_path(c.file));
    ASSERT_FALSE(bytes.empty());
    const std::string name = c.file;
    BBitmap* bitmap = nullptr;
    StderrCapture capture;
    status_t status = read_bitmap_data(bytes.data(), bytes.size() * 6 / 10, name.c_str(), &bitmap);
    EXPECT_EQ("", capture.Finish());
    EXPECT_NE(B_OK, status);
    EXPECT_EQ(nullptr, bitmap);
    delete bitmap;
}

INSTANTIATE_TEST_SUITE_P(Formats, LongTail, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<LongTailCase>& info) {
                             std::string name = info.param.file;
                             for (char& ch : name)
                                 if (!std::isalnum(uint8(ch)))
                                     ch = '_';
                             return name;
                         });

// A TGA without an ID field and without a colour map begins with the same
// bytes as a cursor: the extension decides, and a TGA-shaped file that is no
// valid cursor is a TGA whatever its name.
TEST(LongTailSniffing, TgaWithoutIdIsNotTakenForACursor)
{
    std::vector<uint8> tga = slurp(data_path("raw.tga"));
    ASSERT_EQ(0, tga[0]);
    ASSERT_EQ(2, tga[2]);
    for (const char* name : {"picture.tga", "picture", "picture.cur"}) {
        BBitmap* bitmap = nullptr;
        EXPECT_EQ(B_OK, read_bitmap_data(tga.data(), tga.size(), name, &bitmap)) << name;
        std::unique_ptr<BBitmap> owner(bitmap);
        ASSERT_NE(nullptr, bitmap);
        EXPECT_EQ(37, bitmap->PixelWidth());
        EXPECT_EQ(23, bitmap->PixelHeight());
    }
}

// DXT2 and DXT4 are DXT3 and DXT5 with colours stored multiplied by alpha:
// the same blocks read under either code give the same alpha, and colours
// divided back.
TEST(LongTailDds, PremultipliedBlocksComeOutStraight)
{
    const struct
    {
        const char* file;
        const char* straight;
        const char* premultiplied;
    } kPairs[] = {{"dxt3-dx10.dds", "DXT3", "DXT2"}, {"dxt5.dds", "DXT5", "DXT4"}};
    for (const auto& pair : kPairs) {
        std::vector<uint8> bytes = slurp(data_path(pair.file));
        ASSERT_GT(bytes.size(), 148u) << pair.file;
        // A DX10 header's BC2 is DXT3 under the older header.
        if (std::memcmp(bytes.data() + 84, "DX10", 4) == 0) {
            bytes.erase(bytes.begin() + 128, bytes.begin() + 148);
            std::memcpy(bytes.data() + 84, pair.straight, 4);
        }
        ASSERT_EQ(0, std::memcmp(bytes.data() + 84, pair.straight, 4)) << pair.file;
        BBitmap* straight = nullptr;
        ASSERT_EQ(B_OK, read_bitmap_data(bytes.data(), bytes.size(), "a.dds", &straight));
        std::unique_ptr<BBitmap> straightOwner(straight);
        std::memcpy(bytes.data() + 84, pair.premultiplied, 4);
        BBitmap* divided = nullptr;
        ASSERT_EQ(B_OK, read_bitmap_data(bytes.data(), bytes.size(), "a.dds", &divided))
            << pair.premultiplied;
        std::unique_ptr<BBitmap> dividedOwner(divided);
        ASSERT_EQ(straight->PixelWidth(), divided->PixelWidth());
        ASSERT_EQ(straight->PixelHeight(), divided->PixelHeight());
        int wrong = 0;
        for (int32 y = 0; y < straight->PixelHeight(); y++) {
            const uint8* a = static_cast<const uint8*>(straight->Bits()) + y * straight->BytesPerRow();
            const uint8* b = static_cast<const uint8*>(divided->Bits()) + y * divided->BytesPerRow();
            for (int32 x = 0; x < straight->PixelWidth(); x++, a += 4, b += 4) {
                if (a[3] != b[3]) {
                    wrong++;
                    continue;
                }
                for (int c = 0; c < 3 && a[3] != 0; c++)
                    if (b[c] != std::min(255, (a[c] * 255 + a[3] / 2) / a[3]))
                        wrong++;
            }
        }
        EXPECT_EQ(0, wrong) << pair.premultiplied;
    }
}

// An Apple icon file with its sizes out of order: the largest is shown.
TEST(LongTailIcons, IcnsGivesItsLargestPicture)
{
    std::vector<uint8> entries;
    const struct
    {
        const char* type;
        int32 side;
        uint32 colour;
    } kIcons[] = {{"icp4", 16, 0xFF0000FFu}, {"icp6", 64, 0xFF00FF00u}, {"icp5", 32, 0xFFFF0000u}};
    auto be32 = [](std::vector<uint8>& out, uint32 value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(uint8(value >> shift));
    };
    for (const auto& icon : kIcons) {
        BBitmap picture(BRect(0, 0, float(icon.side - 1), float(icon.side - 1)), B_RGB32);
        uint32* bits = static_cast<uint32*>(picture.Bits());
        std::fill(bits, bits + icon.side * icon.side, icon.colour);
        BMallocIO png;
        ASSERT_EQ(B_OK, BPrivate::png_translator()->Write(picture, B_PNG_FORMAT, &png));
        entries.insert(entries.end(), icon.type, icon.type + 4);
        be32(entries, uint32(png.BufferLength() + 8));
        const uint8* data = static_cast<const uint8*>(png.Buffer());
        entries.insert(entries.end(), data, data + png.BufferLength());
    }
    std::vector<uint8> file = {'i', 'c', 'n', 's'};
    be32(file, uint32(entries.size() + 8));
    file.insert(file.end(), entries.begin(), entries.end());

    BBitmap* bitmap = nullptr;
    ASSERT_EQ(B_OK, read_bitmap_data(file.data(), file.size(), "icon.icns", &bitmap));
    std::unique_ptr<BBitmap> owner(bitmap);
    EXPECT_EQ(64, bitmap->PixelWidth());
    EXPECT_EQ(64, bitmap->PixelHeight());
    EXPECT_EQ(0x00FF00u, static_cast<const uint32*>(bitmap->Bits())[0] & 0xFFFFFFu);
}

// An icon holding a PNG: a damaged comment chunk leaves the picture whole;
// a PNG cut short does not.
std::vector<uint8> icon_with_png(bool damagedText, bool cut)
{
    BBitmap picture(BRect(0, 0, 15, 15), B_RGB32);
    uint32* bits = static_cast<uint32*>(picture.Bits());
    std::fill(bits, bits + 256, 0xFFFF0000u);
    BMallocIO out;
    if (BPrivate::png_translator()->Write(picture, B_PNG_FORMAT, &out) != B_OK)
        return {};
    const uint8* data = static_cast<const uint8*>(out.Buffer());
    std::vector<uint8> png(data, data + out.BufferLength());
    if (damagedText) {
        const uint8 chunk[] = {0, 0, 0, 4, 't', 'E', 'X', 't', 'a', 0, 'b', 'c', 0xDE, 0xAD, 0xBE, 0xEF};
        png.insert(png.begin() + 33, std::begin(chunk), std::end(chunk)); // after IHDR
    }
    if (cut)
        png.resize(png.size() / 2);
    std::vector<uint8> file = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    for (uint32 value : {uint32(png.size()), uint32(22)})
        for (int i = 0; i < 4; i++)
            file.push_back(uint8(value >> (8 * i)));
    file.insert(file.end(), png.begin(), png.end());
    return file;
}

TEST(LongTailIcons, PngInsideAnIconIsWholeOrRefused)
{
    for (bool cut : {false, true}) {
        std::vector<uint8> file = icon_with_png(true, cut);
        ASSERT_FALSE(file.empty());
        BBitmap* bitmap = nullptr;
        StderrCapture capture;
        status_t status = read_bitmap_data(file.data(), file.size(), "icon.ico", &bitmap);
        EXPECT_EQ("", capture.Finish());
        std::unique_ptr<BBitmap> owner(bitmap);
        if (cut) {
            EXPECT_NE(B_OK, status);
            continue;
        }
        ASSERT_EQ(B_OK, status);
        EXPECT_EQ(16, bitmap->PixelWidth());
        EXPECT_EQ(0xFF0000u, static_cast<const uint32*>(bitmap->Bits())[0] & 0xFFFFFFu);
    }
}

// Large and valid: a 4000 x 3000 RLE8 BMP of a few hundred kilobytes, far
// more pixels per byte than a raw layout, still within every bound.
TEST(LongTailBudget, LargeValidPictureUnderTheCeilingIsRead)
{
    const uint32 width = 4000, height = 3000;
    std::vector<uint8> rows;
    for (uint32 y = 0; y < height; y++) {
        for (uint32 x = 0; x < width; x += 250) {
            rows.push_back(250);
            rows.push_back(uint8((x / 250 + y) % 256));
        }
        rows.push_back(0);
        rows.push_back(0);
    }
    rows.push_back(0);
    rows.push_back(1);
    std::vector<uint8> file;
    auto le = [&](uint32 value, int bytes) {
        for (int i = 0; i < bytes; i++)
            file.push_back(uint8(value >> (8 * i)));
    };
    const uint32 offset = 14 + 40 + 1024;
    file.push_back('B');
    file.push_back('M');
    le(offset + uint32(rows.size()), 4);
    le(0, 4);
    le(offset, 4);
    le(40, 4);
    le(width, 4);
    le(height, 4);
    le(1, 2);
    le(8, 2);
    le(1, 4); // RLE8
    le(uint32(rows.size()), 4);
    le(0, 4); // resolution
    le(0, 4);
    le(256, 4);
    le(256, 4);
    for (uint32 i = 0; i < 256; i++)
        le(i * 0x010101u, 4); // grey levels
    file.insert(file.end(), rows.begin(), rows.end());

    BBitmap* bitmap = nullptr;
    ASSERT_EQ(B_OK, read_bitmap_data(file.data(), file.size(), "large.bmp", &bitmap));
    std::unique_ptr<BBitmap> owner(bitmap);
    ASSERT_EQ(int32(width), bitmap->PixelWidth());
    ASSERT_EQ(int32(height), bitmap->PixelHeight());
    // Stored bottom-up: the file's first row is the picture's last.
    auto pixel = [&](uint32 x, uint32 y) {
        return reinterpret_cast<const uint32*>(static_cast<const uint8*>(bitmap->Bits()) +
                                               y * uint32(bitmap->BytesPerRow()))[x] &
               0xFFFFFFu;
    };
    EXPECT_EQ(0x000000u, pixel(0, height - 1));
    EXPECT_EQ(0x0F0F0Fu, pixel(3999, height - 1));
    EXPECT_EQ((2999u % 256) * 0x010101u, pixel(0, 0));
}

// A DIB's rows start after its info header, the masks a 40-byte header's
// bit fields add and its palette; a PAM's after ENDHDR. Each is held to the
// rows it declares, and a header no writer makes is not taken for one.
std::vector<uint8> dib(uint32 bits, uint32 compression, uint32 planes, uint32 coloursUsed,
                       size_t extra, size_t dataBytes)
{
    std::vector<uint8> file;
    auto le = [&](uint32 value, int bytes) {
        for (int i = 0; i < bytes; i++)
            file.push_back(uint8(value >> (8 * i)));
    };
    le(40, 4);
    le(2, 4); // 2 x 2
    le(2, 4);
    le(planes, 2);
    le(bits, 2);
    le(compression, 4);
    le(0, 4);
    le(0, 4);
    le(0, 4);
    le(coloursUsed, 4);
    le(0, 4);
    file.resize(file.size() + extra + dataBytes, 0x40);
    return file;
}

std::vector<uint8> text(const std::string& header, size_t dataBytes)
{
    std::vector<uint8> file(header.begin(), header.end());
    file.resize(file.size() + dataBytes, 0x80);
    return file;
}

TEST(LongTailHeaders, DibAndPamHeldToTheirRows)
{
    const std::string pam2x2 = "P7\nWIDTH 2\nHEIGHT 2\nDEPTH 3\nMAXVAL 255\n";
    struct Case
    {
        const char* label;
        std::vector<uint8> bytes;
        status_t status;
        bool alpha;
    };
    const Case cases[] = {
        // 24-bit rows are padded to four bytes: 8 a row.
        {"Dib24", dib(24, 0, 1, 0, 0, 16), B_OK, false},
        {"Dib24RowShort", dib(24, 0, 1, 0, 0, 15), B_ILLEGAL_DATA, false},
        // 16-bit bit fields: three masks before the rows.
        {"Dib16BitFields", dib(16, 3, 1, 0, 12, 8), B_OK, false},
        {"Dib16BitFieldsShort", dib(16, 3, 1, 0, 12, 7), B_ILLEGAL_DATA, false},
        // A palette of the two colours it uses, then 1-bit rows.
        {"Dib1BitTwoColours", dib(1, 0, 1, 2, 8, 8), B_OK, false},
        {"DibTwoPlanes", dib(24, 0, 2, 0, 0, 16), B_NO_TRANSLATOR, false},
        {"DibMorePaletteThanDepth", dib(1, 0, 1, 3, 12, 8), B_NO_TRANSLATOR, false},
        {"DibJpegInside", dib(24, 4, 1, 0, 0, 16), B_NO_TRANSLATOR, false},
        {"PamRgb", text(pam2x2 + "TUPLTYPE RGB\nENDHDR\n", 12), B_OK, false},
        {"PamComments", text("P7\n# made by hand\nWIDTH 2\nHEIGHT 2\n# two\nDEPTH 4\nMAXVAL "
                             "255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
                             16),
         B_OK, true},
        {"PamRgbShort", text(pam2x2 + "TUPLTYPE RGB\nENDHDR\n", 11), B_ILLEGAL_DATA, false},
        // Two bytes a sample above 255.
        {"Pam16BitShort",
         text("P7\nWIDTH 2\nHEIGHT 2\nDEPTH 3\nMAXVAL 65535\nTUPLTYPE RGB\nENDHDR\n", 23),
         B_ILLEGAL_DATA, false},
        {"PamNoEnd", text(pam2x2 + "TUPLTYPE RGB\n", 12), B_ILLEGAL_DATA, false},
        {"PamUnknownKeyword", text(pam2x2 + "COLOURS 3\nENDHDR\n", 12), B_ILLEGAL_DATA, false},
        {"PamDepthSix",
         text("P7\nWIDTH 2\nHEIGHT 2\nDEPTH 6\nMAXVAL 255\nENDHDR\n", 24), B_ILLEGAL_DATA,
         false},
        {"PamNoMaxval", text("P7\nWIDTH 2\nHEIGHT 2\nDEPTH 3\nENDHDR\n", 12), B_ILLEGAL_DATA,
         false},
    };
    for (const Case& c : cases) {
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        StderrCapture capture;
        const status_t status = read_bitmap_data(c.bytes.data(), c.bytes.size(), nullptr, &bitmap);
        EXPECT_EQ("", capture.Finish()) << c.label;
        std::unique_ptr<BBitmap> owner(status == B_OK ? bitmap : nullptr);
        EXPECT_EQ(c.status, status) << c.label;
        if (status != B_OK) {
            EXPECT_EQ(nullptr, bitmap) << c.label;
            continue;
        }
        EXPECT_EQ(2, bitmap->PixelWidth()) << c.label;
        EXPECT_EQ(2, bitmap->PixelHeight()) << c.label;
        EXPECT_EQ(c.alpha ? B_RGBA32 : B_RGB32, bitmap->ColorSpace()) << c.label;
    }
}

} // namespace
