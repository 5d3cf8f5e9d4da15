// The WebP translator against Pillow, which decodes with the same libwebp.
#include "CodecTestSupport.h"

#include <TranslatorFormats.h>
#include <LayerFormats.h>
#include <WebpTranslator.h>

using BPrivate::ReadBudget;
using BPrivate::webp_translator;

namespace {

#define FRAMES                                                                                    \
    "import subprocess\n"                                                                         \
    "src(w=40, h=30).save(d + '/f1.webp', lossless=True)\n"                                       \
    "src('RGBA', w=20, h=16).save(d + '/f2.webp', lossless=True)\n"

const ReadCase kWebpCases[] = {
    {"Lossy", "src().save(d + '/in.webp', quality=80)", "in.webp", Decoder::kPillow, 0},
    {"LossyAlpha", "src('RGBA').save(d + '/in.webp', quality=80)", "in.webp", Decoder::kPillow, 0},
    {"Lossless", "src().save(d + '/in.webp', lossless=True)", "in.webp", Decoder::kPillow, 0},
    {"LosslessAlpha", "src('RGBA').save(d + '/in.webp', lossless=True, exact=True)", "in.webp",
     Decoder::kPillow, 0},
    {"LosslessGrey", "src('L').save(d + '/in.webp', lossless=True)", "in.webp", Decoder::kPillow,
     0},
    // An animation gives its first frame.
    {"Animation",
     "a = src(); b = a.transpose(Image.FLIP_LEFT_RIGHT)\n"
     "a.save(d + '/in.webp', save_all=True, append_images=[b], duration=100, lossless=True)",
     "in.webp", Decoder::kPillow, 0},
    // Its first frame covering part of the canvas: transparent around it.
    {"AnimationFrameInsideCanvas",
     FRAMES "subprocess.check_call(['webpmux', '-frame', d + '/f2.webp', '+100+10+6',"
            " '-frame', d + '/f1.webp', '+100+0+0', '-loop', '0', '-o', d + '/in.webp'])",
     "in.webp", Decoder::kPillow, 0},
    {"Orientation3", "e = Image.Exif(); e[0x0112] = 3; src().save(d + '/in.webp', exif=e)",
     "in.webp", Decoder::kPillow, 0},
    {"Orientation5", "e = Image.Exif(); e[0x0112] = 5; src().save(d + '/in.webp', exif=e)",
     "in.webp", Decoder::kPillow, 0},
    {"Orientation6Lossless",
     "e = Image.Exif(); e[0x0112] = 6; src().save(d + '/in.webp', exif=e, lossless=True)",
     "in.webp", Decoder::kPillow, 0},
    {"Orientation8BigEndian",
     "e = Image.Exif(); e[0x0112] = 8; e.endian = '>'; src().save(d + '/in.webp', exif=e)",
     "in.webp", Decoder::kPillow, 0},
};

class WebpRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(WebpRead, MatchesPillowExactly)
{
    if (!have_program("webpmux"))
        GTEST_SKIP() << "webpmux (package webp) missing";
    expect_read_like_reference(webp_translator(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Variants, WebpRead, testing::ValuesIn(kWebpCases), case_name);

std::vector<uint8> bytes_of(const BMallocIO& io)
{
    const uint8* bytes = static_cast<const uint8*>(io.Buffer());
    return std::vector<uint8>(bytes, bytes + io.BufferLength());
}

TEST(WebpRefusal, DamagedAndOversizedFilesGiveNoBitmap)
{
    if (!have_pillow() || !have_program("webpmux"))
        GTEST_SKIP() << "Pillow or webpmux missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + FRAMES
                           "src().save(d + '/lossy.webp', quality=80)\n"
                           "subprocess.check_call(['webpmux', '-frame', d + '/f1.webp', '+100',"
                           " '-frame', d + '/f2.webp', '+100', '-o', d + '/anim.webp'])"));
    const std::vector<uint8> lossy = read_all(folder / "lossy.webp");
    const std::vector<uint8> anim = read_all(folder / "anim.webp");
    ASSERT_GT(lossy.size(), 100u);
    ASSERT_GT(anim.size(), 100u);

    struct Damage
    {
        const char* label;
        std::vector<uint8> bytes;
        ReadBudget budget;
        status_t status;
    };
    std::vector<Damage> cases;
    std::vector<uint8> cut = lossy;
    cut.resize(cut.size() * 6 / 10);
    cases.push_back({"LossyCut", cut, ReadBudget(), B_ILLEGAL_DATA});
    cut = anim;
    cut.resize(cut.size() - 10);
    cases.push_back({"AnimationCut", cut, ReadBudget(), B_ILLEGAL_DATA});
    // The animation's canvas (VP8X, 24-bit width and height less one)
    // claiming more than its small frames need.
    auto claim_canvas = [&](uint32 width, uint32 height) {
        std::vector<uint8> forged = anim;
        EXPECT_EQ(0, std::memcmp(forged.data() + 12, "VP8X", 4));
        for (int i = 0; i < 3; i++) {
            forged[24 + i] = uint8((width - 1) >> (8 * i));
            forged[27 + i] = uint8((height - 1) >> (8 * i));
        }
        return forged;
    };
    cases.push_back(
        {"CanvasOverTheCeiling", claim_canvas(20000, 16000), ReadBudget(), B_NO_MEMORY});
    cases.push_back({"CanvasOverAnyPicture", claim_canvas(16646176, 24), ReadBudget(),
                     B_ILLEGAL_DATA});
    ReadBudget small;
    small.maxPixels = 61 * 37 - 1;
    cases.push_back({"OverThePixelCeiling", lossy, small, B_NO_MEMORY});
    cases.push_back({"NotAWebp", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, ReadBudget(),
                     B_NO_TRANSLATOR});

    for (const Damage& c : cases) {
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        EXPECT_EQ(c.status, webp_translator()->Read(source_of(c.bytes), c.budget, &bitmap))
            << c.label;
        EXPECT_EQ(nullptr, bitmap) << c.label;
    }
}

// Lossless: every colour back, B_RGB32 opaque whatever its alpha byte held,
// B_RGBA32's alpha kept with the colours under transparent pixels.
TEST(WebpWrite, LosslessAsPillowReadsIt)
{
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    struct Input
    {
        color_space space;
        uint32 alpha;
    };
    for (Input input : {Input{B_RGB32, 0x37}, Input{B_RGB32, 0xFF}, Input{B_RGBA32, 0x00},
                        Input{B_RGBA32, 0x80}}) {
        std::unique_ptr<BBitmap> picture(make_colour_bitmap(123, 45, input.space, input.alpha));
        BMallocIO out;
        ASSERT_EQ(B_OK, webp_translator()->Write(*picture, kWebpFormat, &out));
        ScratchFolder folder;
        write_all(folder / "out.webp", bytes_of(out));
        Reference reference;
        ASSERT_TRUE(pillow_reference(folder, folder / "out.webp", &reference));
        ASSERT_EQ(123, reference.width);
        for (size_t i = 0; i < reference.words.size(); i++) {
            uint32 word = row_of(picture.get(), int32(i / 123))[i % 123];
            uint32 expected = input.space == B_RGBA32 ? word : (word | 0xFF000000u);
            ASSERT_EQ(expected, reference.words[i]) << "pixel " << i << ", alpha " << input.alpha;
        }
        // The source bitmap is left as it was.
        EXPECT_EQ(input.alpha, row_of(picture.get(), 0)[0] >> 24);
    }
}

TEST(WebpWrite, ReportsAFailingStream)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(800, 600));
    FailingIO failing;
    EXPECT_EQ(B_IO_ERROR, webp_translator()->Write(*picture, kWebpFormat, &failing));
    BMallocIO out;
    EXPECT_EQ(B_NO_TRANSLATOR, webp_translator()->Write(*picture, B_TIFF_FORMAT, &out));
}

} // namespace
