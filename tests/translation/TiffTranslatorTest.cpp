// The TIFF translator against files of Pillow, ImageMagick and libtiff's
// tools, compared with another decoder's pixels.
#include "CodecTestSupport.h"

#include <TiffTranslator.h>
#include <TranslatorFormats.h>

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
    // Inks converted as Pillow converts them, within rounding.
    {"Cmyk", "src('CMYK').save(d + '/in.tif')", "in.tif", Decoder::kPillow, 1},
    {"CmykByImageMagick", MAGICK("'-alpha', 'off', '-colorspace', 'CMYK'"), "in.tif",
     Decoder::kPillow, 1},
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
    // 12-bit samples: a layout libtiff's RGBA interface does not take.
    std::vector<uint8> twelve = good;
    size_t bits = entry_of(twelve, 258);
    size_t at = twelve[bits + 8] | (twelve[bits + 9] << 8) | (twelve[bits + 10] << 16);
    for (int i = 0; i < 3; i++)
        twelve[at + 2 * i] = 12;
    cases.push_back({"TwelveBitSamples", twelve, ReadBudget(), B_NO_TRANSLATOR});
    cases.push_back({"NotATiff", {'I', 'I', 42, 1, 0, 0}, ReadBudget(), B_NO_TRANSLATOR});

    for (const Damage& c : cases)
        expect_quiet_refusal(tiff_translator(), c.bytes, c.budget, c.status, c.label);
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
