// The HEIF translator on HEIC files of libheif's encoder and AVIF files of
// libavif's, against libheif's own converter (the same decoders, another
// program) and, for lossless AVIF, against the source pixels themselves.
#include "CodecTestSupport.h"

#include <HeifTranslator.h>

using BPrivate::heif_translator;
using BPrivate::ReadBudget;

namespace {

#define PNG_SOURCE(mode)                                                                          \
    "import subprocess\n"                                                                         \
    "src('" mode "').save(d + '/s.png')\n"
#define CONVERT(input) "\nsubprocess.check_call(['heif-convert', d + '/" input "', d + '/ref.png'])"

const ReadCase kHeifCases[] = {
    {"Heic", PNG_SOURCE("RGB") "subprocess.check_call(['heif-enc', '-q', '90', '-o', d + "
                               "'/in.heic', d + '/s.png'])" CONVERT("in.heic"),
     "in.heic", Decoder::kPillow, 0, "ref.png"},
    {"HeicAlpha", PNG_SOURCE("RGBA") "subprocess.check_call(['heif-enc', '-q', '90', '-o', d + "
                                     "'/in.heic', d + '/s.png'])" CONVERT("in.heic"),
     "in.heic", Decoder::kPillow, 0, "ref.png"},
    {"AvifLossy", PNG_SOURCE("RGB") "subprocess.check_call(['avifenc', '-s', '10', d + '/s.png',"
                                    " d + '/in.avif'])" CONVERT("in.avif"),
     "in.avif", Decoder::kPillow, 0, "ref.png"},
    {"AvifAlpha", PNG_SOURCE("RGBA") "subprocess.check_call(['avifenc', '-s', '10', d + "
                                     "'/s.png', d + '/in.avif'])" CONVERT("in.avif"),
     "in.avif", Decoder::kPillow, 0, "ref.png"},
    // Lossless: the source's pixels exactly, whoever decodes.
    {"AvifLossless", PNG_SOURCE("RGB") "subprocess.check_call(['avifenc', '-l', '-s', '10', d + "
                                       "'/s.png', d + '/in.avif'])",
     "in.avif", Decoder::kPillow, 0, "s.png"},
    {"AvifLosslessAlpha", PNG_SOURCE("RGBA") "subprocess.check_call(['avifenc', '-l', '-s', "
                                             "'10', d + '/s.png', d + '/in.avif'])",
     "in.avif", Decoder::kPillow, 0, "s.png"},
    // A quarter turn anticlockwise and a mirror, stored as transformations.
    {"AvifRotated",
     PNG_SOURCE("RGB") "subprocess.check_call(['avifenc', '-l', '-s', '10', '--irot', '1', d + "
                       "'/s.png', d + '/in.avif'])\n"
                       "Image.open(d + '/s.png').transpose(Image.ROTATE_90).save(d + '/r.png')",
     "in.avif", Decoder::kPillow, 0, "r.png"},
    {"AvifMirrored",
     PNG_SOURCE("RGB") "subprocess.check_call(['avifenc', '-l', '-s', '10', '--imir', '0', d + "
                       "'/s.png', d + '/in.avif'])\n"
                       "Image.open(d + '/s.png').transpose(Image.FLIP_TOP_BOTTOM).save(d + "
                       "'/r.png')",
     "in.avif", Decoder::kPillow, 0, "r.png"},
    {"Avif10Bit", PNG_SOURCE("RGB") "subprocess.check_call(['avifenc', '-d', '10', '-s', '10', "
                                    "d + '/s.png', d + '/in.avif'])\n"
                                    "subprocess.check_call(['heif-convert', '-q', '100', d + "
                                    "'/in.avif', d + '/ref.png'])",
     "in.avif", Decoder::kMagick, 1, "ref.png"},
    // 12-bit levels kept exactly (lossless), each brought to its nearest
    // 8-bit level as avifdec brings it; cutting them gives a quarter of the
    // samples one level less.
    {"Avif12BitRounded",
     "import struct, subprocess, zlib\n"
     "from PIL import Image\n"
     "w, h = 61, 37\n"
     "v = [[(x * 67 + y * 29 + c * 1000) % 4096 for x in range(w) for c in range(3)] for y in range(h)]\n"
     "raw = b''.join(b'\\0' + struct.pack('>%dH' % len(r), *[(s * 65535 + 2047) // 4095 for s in r]) for r in v)\n"
     "def chunk(t, b): return struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))\n"
     "open(d + '/s.png', 'wb').write(b'\\x89PNG\\r\\n\\x1a\\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 16, 2, 0, 0, 0)) +\n"
     "    chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b''))\n"
     "subprocess.check_call(['avifenc', '-l', '-d', '12', '-s', '10', d + '/s.png', d + '/in.avif'])\n"
     "Image.frombytes('RGB', (w, h), bytes((s * 255 + 2047) // 4095 for r in v for s in r)).save(d + '/ref.png')",
     "in.avif", Decoder::kPillow, 0, "ref.png"},
};

class HeifRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(HeifRead, MatchesAnotherDecoder)
{
    if (!have_program("heif-enc") || !have_program("heif-convert") || !have_program("avifenc"))
        GTEST_SKIP() << "libheif-examples or libavif-bin missing";
    expect_read_like_reference(heif_translator(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Variants, HeifRead, testing::ValuesIn(kHeifCases), case_name);

TEST(HeifRefusal, DamagedAndOversizedFilesGiveNoBitmap)
{
    if (!have_pillow() || !have_program("avifenc") || !have_program("heif-enc"))
        GTEST_SKIP() << "Pillow, libavif-bin or libheif-examples missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + PNG_SOURCE("RGB")
                           "subprocess.check_call(['avifenc', '-s', '10', d + '/s.png',"
                           " d + '/in.avif'])\n"
                           "subprocess.check_call(['heif-enc', '-o', d + '/in.heic', d + "
                           "'/s.png'])"));
    for (const char* name : {"in.avif", "in.heic"}) {
        const std::vector<uint8> good = read_all(folder / name);
        ASSERT_GT(good.size(), 100u);
        std::vector<uint8> cut = good;
        cut.resize(cut.size() * 6 / 10);
        std::vector<uint8> header = good;
        header.resize(40);
        ReadBudget small;
        small.maxPixels = 61 * 37 - 1;
        struct
        {
            const char* label;
            const std::vector<uint8>& bytes;
            ReadBudget budget;
        } cases[] = {{"Cut", cut, ReadBudget()},
                     {"HeaderOnly", header, ReadBudget()},
                     {"OverThePixelCeiling", good, small}};
        for (const auto& c : cases) {
            BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
            testing::internal::CaptureStderr();
            EXPECT_NE(B_OK, heif_translator()->Read(source_of(c.bytes), c.budget, &bitmap))
                << name << " " << c.label;
            EXPECT_EQ("", testing::internal::GetCapturedStderr()) << name << " " << c.label;
            EXPECT_EQ(nullptr, bitmap) << name << " " << c.label;
        }
        BBitmap* bitmap = nullptr;
        EXPECT_EQ(B_NO_MEMORY, heif_translator()->Read(source_of(good), small, &bitmap));
    }
}

// A grid declares its canvas in its own data, which libheif allocates
// whatever the item's 'ispe' says. The fuzzer found a file of 1123 bytes
// whose 'ispe' says 64 x 64 and whose grid says 25961 x 29440: libheif took
// 2 GB for it before failing. It is refused before anything is decoded.
TEST(HeifRefusal, GridCanvasOverTheBudget)
{
    const std::vector<uint8> bytes =
        read_all(std::string(PELLARA_TEST_DATA) + "/heif/grid-canvas-beyond-budget.heic");
    ASSERT_EQ(1123u, bytes.size());
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(B_NO_MEMORY, heif_translator()->Read(source_of(bytes), ReadBudget(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
}

// An overlay is filled wherever its layers leave it bare, so its canvas
// costs memory whatever the file holds. The fuzzer found 927 bytes asking
// libheif for 796 MB; canvases are held to the pixel ceiling and to
// deflate's ratio to the file. Here 16384 x 12288 in 3462 bytes.
TEST(HeifRefusal, OverlayCanvasBeyondItsBytes)
{
    std::vector<uint8> bytes = read_all(std::string(PELLARA_TEST_DATA) +
                                        "/corpus/made/heic-overlay-hand.heic");
    ASSERT_FALSE(bytes.empty());
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const size_t idat = text.find("idat");
    ASSERT_NE(std::string_view::npos, idat);
    // After the version, the flags and four fill values: the canvas.
    const size_t canvas = idat + 4 + 2 + 8;
    ASSERT_EQ(104, bytes[canvas] << 8 | bytes[canvas + 1]);
    bytes[canvas] = 0x40;
    bytes[canvas + 1] = 0;
    bytes[canvas + 2] = 0x30;
    bytes[canvas + 3] = 0;
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    EXPECT_EQ(B_NO_MEMORY, heif_translator()->Read(source_of(bytes), ReadBudget(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    // The fuzzer's file: 28534 x 27903, beyond the ceiling, found only when
    // its 'iloc' (version 1, an index size given) is read as libheif reads
    // it, without extent indexes.
    const std::vector<uint8> found =
        read_all(std::string(PELLARA_TEST_DATA) + "/heif/overlay-canvas-index-v1.heic");
    ASSERT_EQ(927u, found.size());
    EXPECT_EQ(B_NO_MEMORY, heif_translator()->Read(source_of(found), ReadBudget(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
    // Another: two files run together, the second one's 'meta' box broken
    // inside, so libheif reads the first one's overlay (65535 x 26482),
    // which had cost 4.7 GB and 42 s. Every 'meta' box is checked.
    const std::vector<uint8> twoMeta =
        read_all(std::string(PELLARA_TEST_DATA) + "/heif/overlay-canvas-first-meta.heic");
    ASSERT_EQ(4903u, twoMeta.size());
    EXPECT_EQ(B_NO_MEMORY, heif_translator()->Read(source_of(twoMeta), ReadBudget(), &bitmap));
    EXPECT_EQ(nullptr, bitmap);
}

// libheif 1.15 aborts the process (an assertion) when a grid, overlay or
// derived item is made of an item that is not a picture. The fuzzer found
// it: an overlay whose layer's type read 'hvc0'. Such files, with the layer
// of an unknown type or missing, are refused before libheif decodes them.
TEST(HeifRefusal, DerivedPictureMadeOfAnItemThatIsNotOne)
{
    const std::vector<uint8> good = read_all(std::string(PELLARA_TEST_DATA) +
                                             "/corpus/made/heic-overlay-hand.heic");
    ASSERT_FALSE(good.empty());
    const std::string_view bytes(reinterpret_cast<const char*>(good.data()), good.size());
    const size_t type = bytes.find("hvc1");
    const size_t dimg = bytes.find("dimg");
    ASSERT_NE(std::string_view::npos, type);
    ASSERT_NE(std::string_view::npos, dimg);
    std::vector<uint8> unknownType = good;
    unknownType[type + 3] = '0';
    // The overlay's first layer: an identifier no item has.
    std::vector<uint8> missingItem = good;
    missingItem[dimg + 8] = 0x7F;
    for (const auto& damaged : {unknownType, missingItem}) {
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        EXPECT_EQ(B_ILLEGAL_DATA, heif_translator()->Read(source_of(damaged), ReadBudget(), &bitmap));
        EXPECT_EQ(nullptr, bitmap);
    }
}

} // namespace
