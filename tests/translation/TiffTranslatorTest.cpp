// The TIFF translator against files of Pillow, ImageMagick and libtiff's
// tools, compared with another decoder's pixels.
#include "CodecTestSupport.h"

#include <TiffTranslator.h>
#include <TranslatorFormats.h>

#include <array>

using BPrivate::ReadBudget;
using BPrivate::tiff_translator;

namespace {

#define MAGICK(args)                                                                              \
    "import subprocess\n"                                                                         \
    "src('RGBA').save(d + '/s.png')\n"                                                            \
    "subprocess.check_call(['convert', d + '/s.png', " args ", d + '/in.tif'])"

const ReadCase kTiffCases[] = {
    {"Rgb8", "src().save(d + '/in.tif')", "in.tif", Decoder::kPillow, 0},
    {"Rgba8Unassociated", "src('RGBA').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 0},
    {"Grey8", "src('L').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 0},
    {"GreyAlpha8", "src('LA').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 0},
    {"Palette", "src('P').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 0},
    {"Bilevel", "src('1').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 0},
    {"Lzw", "src().save(d + '/in.tif', compression='tiff_lzw')", "in.tif", Decoder::kPillow, 0},
    {"DeflatePredictor", MAGICK("'-alpha', 'off', '-compress', 'Zip', '-define', 'tiff:predictor=2'"),
     "in.tif", Decoder::kMagick, 0},
    {"PackBits", "src().save(d + '/in.tif', compression='packbits')", "in.tif", Decoder::kPillow, 0},
    {"Planar", MAGICK("'-alpha', 'off', '-interlace', 'plane'"), "in.tif", Decoder::kMagick, 0},
    {"PlanarRgba", MAGICK("'-interlace', 'plane'"), "in.tif", Decoder::kMagick, 0},
    {"Tiled", MAGICK("'-alpha', 'off', '-define', 'tiff:tile-geometry=16x16'"), "in.tif",
     Decoder::kMagick, 0},
    {"Rgb16", MAGICK("'-alpha', 'off', '-depth', '16'"), "in.tif", Decoder::kMagick, 0},
    {"Rgba16", MAGICK("'-depth', '16'"), "in.tif", Decoder::kMagick, 0},
    {"Rgba16PlanarTiled",
     MAGICK("'-depth', '16', '-interlace', 'plane', '-define', 'tiff:tile-geometry=16x16'"),
     "in.tif", Decoder::kMagick, 0},
    // Levels between two 8-bit ones: ours are rounded, ImageMagick's cut.
    {"Grey16", MAGICK("'-alpha', 'off', '-colorspace', 'Gray', '-depth', '16'"), "in.tif",
     Decoder::kMagick, 1},
    {"GreyAlpha16", MAGICK("'-colorspace', 'Gray', '-depth', '16'"), "in.tif", Decoder::kMagick, 1},
    {"MinIsWhite",
     "import subprocess\n"
     "src('L').save(d + '/s.tif')\n"
     "subprocess.check_call(['convert', d + '/s.tif', '-define', 'quantum:polarity=min-is-white',"
     " d + '/in.tif'])",
     "in.tif", Decoder::kMagick, 0},
    // Sample widths the RGBA interface declines, read a row at a time and
    // widened or rounded to 8 bits.
    {"Grey2", MAGICK("'-alpha', 'off', '-colorspace', 'Gray', '-depth', '2'"), "in.tif",
     Decoder::kMagick, 1},
    {"Grey6", MAGICK("'-alpha', 'off', '-colorspace', 'Gray', '-depth', '6'"), "in.tif",
     Decoder::kMagick, 1},
    {"Grey12", MAGICK("'-alpha', 'off', '-colorspace', 'Gray', '-depth', '12'"), "in.tif",
     Decoder::kMagick, 1},
    {"GreyAlpha4", MAGICK("'-colorspace', 'Gray', '-type', 'GrayscaleAlpha', '-depth', '4'"),
     "in.tif", Decoder::kMagick, 1},
    {"Rgb4", MAGICK("'-alpha', 'off', '-depth', '4'"), "in.tif", Decoder::kMagick, 1},
    {"Rgb10", MAGICK("'-alpha', 'off', '-depth', '10'"), "in.tif", Decoder::kMagick, 1},
    {"Rgb6Planar", MAGICK("'-alpha', 'off', '-depth', '6', '-interlace', 'plane'"), "in.tif",
     Decoder::kMagick, 1},
    {"Rgba12Planar", MAGICK("'-depth', '12', '-interlace', 'plane'"), "in.tif", Decoder::kMagick,
     1},
    {"RgbFloat",
     MAGICK("'-alpha', 'off', '-depth', '32', '-define', 'quantum:format=floating-point'"),
     "in.tif", Decoder::kMagick, 1},
    // Inks converted as Pillow converts them, within rounding.
    {"Cmyk", "src('CMYK').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 1},
    {"CmykByImageMagick", MAGICK("'-alpha', 'off', '-colorspace', 'CMYK'"), "in.tif",
     Decoder::kPillow, 1},
    // 16-bit inks, beyond libtiff's RGBA interface: lit at full precision
    // as ImageMagick lights them; predictor and straight alpha included.
    {"Cmyk16", MAGICK("'-alpha', 'off', '-colorspace', 'CMYK', '-depth', '16'"), "in.tif",
     Decoder::kMagick, 1},
    {"Cmyk16LzwPredictor",
     MAGICK("'-alpha', 'off', '-colorspace', 'CMYK', '-depth', '16', '-compress', 'LZW', "
            "'-define', 'tiff:predictor=2'"),
     "in.tif", Decoder::kMagick, 1},
    {"CmykAlpha16", MAGICK("'-colorspace', 'CMYK', '-depth', '16'"), "in.tif", Decoder::kMagick,
     1},
    {"JpegYCbCr", MAGICK("'-alpha', 'off', '-compress', 'JPEG'"), "in.tif", Decoder::kMagick, 1},
    // CIE L*a*b*: whole steps of a and b (ImageMagick reads them half a
    // step off) move strong colours' weakest channel by many levels, so
    // softened colours are compared.
    {"Lab", MAGICK("'-alpha', 'off', '-modulate', '100,40', '-colorspace', 'Lab'"), "in.tif",
     Decoder::kMagick, 8},
    // The orientation tag, turned and mirrored as viewers do.
    {"Orientation2", MAGICK("'-alpha', 'off', '-orient', 'TopRight'"), "in.tif", Decoder::kMagick, 0},
    {"Orientation3", MAGICK("'-alpha', 'off', '-orient', 'BottomRight'"), "in.tif", Decoder::kMagick,
     0},
    {"Orientation4", MAGICK("'-alpha', 'off', '-orient', 'BottomLeft'"), "in.tif", Decoder::kMagick,
     0},
    {"Orientation5", MAGICK("'-alpha', 'off', '-orient', 'LeftTop'"), "in.tif", Decoder::kMagick, 0},
    {"Orientation6", MAGICK("'-alpha', 'off', '-orient', 'RightTop'"), "in.tif", Decoder::kMagick,
     0},
    {"Orientation7", MAGICK("'-alpha', 'off', '-orient', 'RightBottom'"), "in.tif",
     Decoder::kMagick, 0},
    {"Orientation8", MAGICK("'-alpha', 'off', '-orient', 'LeftBottom'"), "in.tif", Decoder::kMagick,
     0},
    {"BigTiff", MAGICK("'-alpha', 'off'") "\nimport os\nos.rename(d + '/in.tif', d + '/s.tif')\n"
                "subprocess.check_call(['convert', d + '/s.tif', 'TIFF64:' + d + '/in.tif'])",
     "in.tif", Decoder::kPillow, 0},
};

class TiffRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(TiffRead, MatchesAnotherDecoder)
{
    expect_read_like_reference(tiff_translator(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Variants, TiffRead, testing::ValuesIn(kTiffCases), case_name);

std::vector<uint8> bytes_of(const BMallocIO& io)
{
    const uint8* bytes = static_cast<const uint8*>(io.Buffer());
    return std::vector<uint8>(bytes, bytes + io.BufferLength());
}

// An uncompressed RGB TIFF made by Pillow, to damage.
std::vector<uint8> uncompressed_tiff(const ScratchFolder& folder, int32 width, int32 height)
{
    EXPECT_TRUE(run_python(folder, kPythonSource + "src(w=" + std::to_string(width) +
                                       ", h=" + std::to_string(height) +
                                       ").save(d + '/u.tif')"));
    return read_all(folder / "u.tif");
}

// The first directory's entry with this tag: where its value sits.
size_t entry_of(const std::vector<uint8>& tiff, uint16 tag)
{
    // Pillow writes little-endian files.
    auto u16 = [&](size_t at) { return size_t(tiff[at] | (tiff[at + 1] << 8)); };
    size_t ifd = tiff[4] | (tiff[5] << 8) | (tiff[6] << 16) | (size_t(tiff[7]) << 24);
    for (size_t i = 0, n = u16(ifd); i < n; i++) {
        size_t entry = ifd + 2 + i * 12;
        if (u16(entry) == tag)
            return entry;
    }
    ADD_FAILURE() << "no tag " << tag;
    return 0;
}

TEST(TiffRefusal, DamagedFilesGiveNoBitmapAndNoNoise)
{
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    ScratchFolder folder;
    const std::vector<uint8> good = uncompressed_tiff(folder, 200, 150);
    ASSERT_GT(good.size(), 1000u);

    struct Damage
    {
        const char* label;
        std::vector<uint8> bytes;
        ReadBudget budget;
        status_t status;
    };
    std::vector<Damage> cases;
    // Pillow puts the pixels before the directory: cut them and the
    // directory goes too; keep the directory and cut the pixels instead.
    std::vector<uint8> half = good;
    half.resize(half.size() / 2);
    cases.push_back({"Half", half, ReadBudget(), B_ILLEGAL_DATA});
    std::vector<uint8> header = good;
    header.resize(8);
    cases.push_back({"HeaderOnly", header, ReadBudget(), B_ILLEGAL_DATA});
    // Width and height claiming 16384 x 16384 over the same few strips.
    std::vector<uint8> huge = good;
    for (uint16 tag : {uint16(256), uint16(257)}) {
        size_t entry = entry_of(huge, tag);
        huge[entry + 2] = 4; // LONG
        huge[entry + 8] = 0;
        huge[entry + 9] = 0x40;
        huge[entry + 10] = 0;
        huge[entry + 11] = 0;
    }
    cases.push_back({"ClaimsHugeSize", huge, ReadBudget(), B_ILLEGAL_DATA});
    ReadBudget small;
    small.maxPixels = 200 * 150 - 1;
    cases.push_back({"OverThePixelCeiling", good, small, B_NO_MEMORY});
    // 12-bit samples over strips that hold 8-bit ones: too short for the
    // rows they declare.
    std::vector<uint8> twelve = good;
    size_t bits = entry_of(twelve, 258);
    size_t at = twelve[bits + 8] | (twelve[bits + 9] << 8) | (twelve[bits + 10] << 16);
    for (int i = 0; i < 3; i++)
        twelve[at + 2 * i] = 12;
    cases.push_back({"TwelveBitSamplesInEightBitStrips", twelve, ReadBudget(), B_ILLEGAL_DATA});
    cases.push_back({"NotATiff", {'I', 'I', 42, 1, 0, 0}, ReadBudget(), B_NO_TRANSLATOR});

    for (const Damage& c : cases)
        expect_quiet_refusal(tiff_translator(), c.bytes, c.budget, c.status, c.label);
}

// A one-row uncompressed RGBA TIFF with associated alpha, little-endian,
// contiguous (planar 1) or one strip a channel (planar 2).
std::vector<uint8> associated_tiff(uint32 bits, uint32 planar,
                                   const std::vector<std::array<uint32, 4>>& pixels)
{
    std::vector<uint8> out = {'I', 'I', 42, 0, 0, 0, 0, 0};
    auto put16 = [&](std::vector<uint8>& v, uint32 x) {
        v.push_back(uint8(x));
        v.push_back(uint8(x >> 8));
    };
    auto put32 = [&](std::vector<uint8>& v, uint32 x) {
        put16(v, x & 0xFFFF);
        put16(v, x >> 16);
    };
    auto sample = [&](std::vector<uint8>& v, uint32 x) {
        if (bits == 8)
            v.push_back(uint8(x));
        else
            put16(v, x);
    };
    const uint32 width = uint32(pixels.size()), strips = planar == 1 ? 1 : 4;
    std::vector<uint32> offsets, counts;
    for (uint32 s = 0; s < strips; s++) {
        offsets.push_back(uint32(out.size()));
        for (const auto& p : pixels)
            for (uint32 c = 0; c < 4; c++)
                if (planar == 1 || c == s)
                    sample(out, p[c]);
        counts.push_back(uint32(out.size()) - offsets.back());
    }
    // Arrays the directory points at.
    const uint32 bitsAt = uint32(out.size());
    for (int i = 0; i < 4; i++)
        put16(out, bits);
    const uint32 offsetsAt = uint32(out.size());
    for (uint32 o : offsets)
        put32(out, o);
    const uint32 countsAt = uint32(out.size());
    for (uint32 c : counts)
        put32(out, c);
    const uint32 ifd = uint32(out.size());
    for (int i = 0; i < 4; i++)
        out[4 + i] = uint8(ifd >> (8 * i));
    struct Entry
    {
        uint32 tag, type, count, value;
    };
    const Entry entries[] = {
        {256, 4, 1, width},
        {257, 4, 1, 1},
        {258, 3, 4, bitsAt},
        {259, 3, 1, 1},
        {262, 3, 1, 2},
        {273, 4, strips, strips == 1 ? offsets[0] : offsetsAt},
        {277, 3, 1, 4},
        {278, 4, 1, 1},
        {279, 4, strips, strips == 1 ? counts[0] : countsAt},
        {284, 3, 1, planar},
        {338, 3, 1, 1}, // associated alpha
    };
    put16(out, uint32(std::size(entries)));
    for (const Entry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        put32(out, e.value);
    }
    put32(out, 0);
    return out;
}

// Associated alpha's colours were multiplied by alpha: they come back
// divided, rounded down as the other decoders show them, never past full,
// in 8 and 16 bits, contiguous and planar; a transparent pixel keeps the
// colour stored.
TEST(TiffAssociatedAlpha, ColoursComeBackStraight)
{
    struct Pixel
    {
        std::array<uint32, 4> stored; // 8-bit levels, premultiplied
        uint32 expected;              // 0xAARRGGBB
    };
    const Pixel kPixels[] = {
        {{100, 50, 0, 128}, 0x80C76400u},
        {{10, 20, 30, 40}, 0x284080BFu},
        {{255, 255, 255, 255}, 0xFFFFFFFFu},
        {{0, 0, 0, 255}, 0xFF000000u},
        {{0, 0, 0, 0}, 0x00000000u},
        {{7, 8, 9, 0}, 0x00070809u}, // transparent: as stored
        {{200, 1, 0, 100}, 0x64FF0300u}, // more colour than alpha: full
    };
    for (uint32 bits : {8u, 16u}) {
        for (uint32 planar : {1u, 2u}) {
            std::vector<std::array<uint32, 4>> stored;
            for (const Pixel& p : kPixels) {
                std::array<uint32, 4> v = p.stored;
                if (bits == 16)
                    for (uint32& x : v)
                        x *= 257;
                stored.push_back(v);
            }
            BBitmap* raw = nullptr;
            const std::vector<uint8> file = associated_tiff(bits, planar, stored);
            ASSERT_EQ(B_OK, tiff_translator()->Read(source_of(file), ReadBudget(), &raw))
                << bits << " bits, planar " << planar;
            std::unique_ptr<BBitmap> bitmap(raw);
            ASSERT_EQ(B_RGBA32, bitmap->ColorSpace());
            ASSERT_EQ(int32(std::size(kPixels)), bitmap->PixelWidth());
            for (size_t i = 0; i < std::size(kPixels); i++)
                EXPECT_EQ(kPixels[i].expected, row_of(bitmap.get(), 0)[i])
                    << std::hex << bits << " bits, planar " << planar << ", pixel " << i;
        }
    }
}

// Written lossless: every colour back as Pillow reads it, alpha kept for
// B_RGBA32 and opaque for B_RGB32 whatever its alpha byte held.
TEST(TiffWrite, LosslessAsPillowReadsIt)
{
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    for (color_space space : {B_RGB32, B_RGBA32}) {
        std::unique_ptr<BBitmap> picture(make_colour_bitmap(301, 67, space, 0x37));
        BMallocIO out;
        ASSERT_EQ(B_OK, tiff_translator()->Write(*picture, B_TIFF_FORMAT, &out));
        ScratchFolder folder;
        write_all(folder / "out.tif", bytes_of(out));
        Reference reference;
        ASSERT_TRUE(pillow_reference(folder, folder / "out.tif", &reference));
        ASSERT_EQ(301, reference.width);
        for (size_t i = 0; i < reference.words.size(); i++) {
            uint32 word = row_of(picture.get(), int32(i / 301))[i % 301];
            uint32 expected = space == B_RGBA32 ? word : (word | 0xFF000000u);
            ASSERT_EQ(expected, reference.words[i]) << "pixel " << i;
        }
    }
}

TEST(TiffWrite, ReportsAFailingStream)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(800, 600));
    FailingIO failing;
    testing::internal::CaptureStderr();
    EXPECT_EQ(B_IO_ERROR, tiff_translator()->Write(*picture, B_TIFF_FORMAT, &failing));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    BMallocIO out;
    EXPECT_EQ(B_NO_TRANSLATOR, tiff_translator()->Write(*picture, B_PNG_FORMAT, &out));
}

} // namespace
