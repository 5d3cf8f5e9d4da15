// The JPEG XL translator on files of libjxl's cjxl, against djxl (the same
// library, another program) and, for lossless files, the source pixels.
#include "CodecTestSupport.h"

#include <CodecSupport.h>
#include <JxlTranslator.h>
#include <TranslatorFormats.h>

using BPrivate::jxl_translator;
using BPrivate::ReadBudget;

namespace {

#define CJXL(mode, args)                                                                          \
    "import subprocess\n"                                                                         \
    "src('" mode "').save(d + '/s.png')\n"                                                        \
    "subprocess.check_call(['cjxl', " args ", d + '/s.png', d + '/in.jxl'])\n"
#define DJXL "subprocess.check_call(['djxl', d + '/in.jxl', d + '/ref.png'])"

const ReadCase kJxlCases[] = {
    {"Lossy", CJXL("RGB", "'-d', '1'") DJXL, "in.jxl", Decoder::kPillow, 0, "ref.png"},
    {"LossyAlpha", CJXL("RGBA", "'-d', '1'") DJXL, "in.jxl", Decoder::kPillow, 0, "ref.png"},
    {"Lossless", CJXL("RGB", "'-d', '0'"), "in.jxl", Decoder::kPillow, 0, "s.png"},
    {"LosslessAlpha", CJXL("RGBA", "'-d', '0'"), "in.jxl", Decoder::kPillow, 0, "s.png"},
    {"LosslessGrey", CJXL("L", "'-d', '0'"), "in.jxl", Decoder::kPillow, 0, "s.png"},
    // A JPEG repacked without loss, decoded to pixels.
    {"RepackedJpeg",
     "import subprocess\n"
     "src().save(d + '/s.jpg', quality=90)\n"
     "subprocess.check_call(['cjxl', d + '/s.jpg', d + '/in.jxl'])\n" DJXL,
     "in.jxl", Decoder::kPillow, 0, "ref.png"},
    // An animation gives its first frame.
    {"Animation",
     "import subprocess\n"
     "a = src(); b = a.transpose(Image.FLIP_LEFT_RIGHT)\n"
     "a.save(d + '/s.png', save_all=True, append_images=[b], duration=100)\n"
     "subprocess.check_call(['cjxl', '-d', '0', d + '/s.png', d + '/in.jxl'])\n"
     "a.save(d + '/first.png')",
     "in.jxl", Decoder::kPillow, 0, "first.png"},
};

class JxlRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(JxlRead, MatchesAnotherDecoder)
{
    if (!have_program("cjxl") || !have_program("djxl"))
        GTEST_SKIP() << "libjxl-tools missing";
    expect_read_like_reference(jxl_translator(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Variants, JxlRead, testing::ValuesIn(kJxlCases), case_name);

TEST(JxlRefusal, DamagedAndOversizedFilesGiveNoBitmap)
{
    if (!have_pillow() || !have_program("cjxl"))
        GTEST_SKIP() << "Pillow or libjxl-tools missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + CJXL("RGB", "'-d', '1'")));
    const std::vector<uint8> good = read_all(folder / "in.jxl");
    ASSERT_GT(good.size(), 50u);
    std::vector<uint8> cut = good;
    cut.resize(cut.size() * 6 / 10);
    std::vector<uint8> header = good;
    header.resize(12);
    ReadBudget small;
    small.maxPixels = 61 * 37 - 1;
    struct
    {
        const char* label;
        const std::vector<uint8>& bytes;
        ReadBudget budget;
        status_t status;
    } cases[] = {{"Cut", cut, ReadBudget(), B_ILLEGAL_DATA},
                 {"HeaderOnly", header, ReadBudget(), B_ILLEGAL_DATA},
                 {"OverThePixelCeiling", good, small, B_NO_MEMORY}};
    for (const auto& c : cases)
        expect_quiet_refusal(jxl_translator(), c.bytes, c.budget, c.status, c.label);
}

} // namespace

namespace {

// Lossless: djxl gives back every colour, B_RGB32 opaque whatever its alpha
// byte held, B_RGBA32's alpha with the colours under transparent pixels.
TEST(JxlWrite, LosslessAsDjxlReadsIt)
{
    if (!have_pillow() || !have_program("djxl"))
        GTEST_SKIP() << "Pillow or libjxl-tools missing";
    struct Input
    {
        color_space space;
        uint32 alpha;
    };
    for (Input input : {Input{B_RGB32, 0x37}, Input{B_RGBA32, 0x00}, Input{B_RGBA32, 0x80}}) {
        std::unique_ptr<BBitmap> picture(make_colour_bitmap(123, 45, input.space, input.alpha));
        BMallocIO out;
        ASSERT_EQ(B_OK, jxl_translator()->Write(*picture, BPrivate::kJxlFormat, &out));
        ScratchFolder folder;
        const uint8* bytes = static_cast<const uint8*>(out.Buffer());
        write_all(folder / "out.jxl", std::vector<uint8>(bytes, bytes + out.BufferLength()));
        ASSERT_TRUE(run_quietly("djxl '" + folder / "out.jxl" + "' '" + folder / "out.png" + "'"));
        Reference reference;
        ASSERT_TRUE(pillow_reference(folder, folder / "out.png", &reference));
        ASSERT_EQ(123, reference.width);
        for (size_t i = 0; i < reference.words.size(); i++) {
            uint32 word = row_of(picture.get(), int32(i / 123))[i % 123];
            uint32 expected = input.space == B_RGBA32 ? word : (word | 0xFF000000u);
            ASSERT_EQ(expected, reference.words[i]) << "pixel " << i << ", alpha " << input.alpha;
        }
    }
}

TEST(JxlWrite, ReportsAFailingStream)
{
    std::unique_ptr<BBitmap> picture(make_colour_bitmap(300, 200));
    FailingIO failing;
    EXPECT_EQ(B_IO_ERROR, jxl_translator()->Write(*picture, BPrivate::kJxlFormat, &failing));
    BMallocIO out;
    EXPECT_EQ(B_NO_TRANSLATOR, jxl_translator()->Write(*picture, B_PNG_FORMAT, &out));
}

} // namespace

namespace {

// While libjxl runs, its own failure lines are dropped and every other line
// printed meanwhile still reaches standard error, whole and in order, split
// across writes or not, and nested uses share one redirection.
TEST(JxlQuiet, DropsOnlyTheLibrarysLines)
{
    testing::internal::CaptureStderr();
    {
        BPrivate::QuietStderr quiet;
        std::fputs("./lib/jxl/decode.cc:2126: file too small for signature\n", stderr);
        std::fputs("pellara: a line of ours\n", stderr);
        std::fputs("./lib/jxl/fields.cc:1: JXL_FAILURE: Invalid value 7\n\n", stderr);
        std::fputs("\n", stderr);
        {
            BPrivate::QuietStderr nested;
            std::fputs("lib/jxl/enc_frame.cc:99: a failure\n", stderr);
        }
        std::fputs("a line in ", stderr);
        std::fflush(stderr);
        std::fputs("two writes\n", stderr);
        std::fputs("no end of line", stderr);
    }
    std::fputs("\nafter\n", stderr);
    EXPECT_EQ("pellara: a line of ours\n\na line in two writes\nno end of line\nafter\n",
              testing::internal::GetCapturedStderr());
}

TEST(JxlQuiet, TellsTheLibrarysLinesFromOthers)
{
    const struct
    {
        const char* line;
        bool library;
    } kLines[] = {
        {"./lib/jxl/decode.cc:1: x\n", true},
        {"lib/jxl/modular/encoding.cc:3: y\n", true},
        {"./lib/jxlfoo.cc:1: not its folder\n", false},
        {"x ./lib/jxl/decode.cc:1\n", false},
        {"Unknown OBU type 14 of size 181\n", true},
        {"Error parsing OBU data\n", true},
        {"Frame size 70000x70000 exceeds limit 268435456\n", true},
        {"Unknown OBU\n", false},
        {"pellara-fuse: Unknown OBU type 14 of size 181\n", false},
        {"pellara-fuse: cannot read 'a.jxl': corrupt or truncated image\n", false},
        {"", false},
    };
    for (const auto& c : kLines)
        EXPECT_EQ(c.library, BPrivate::QuietStderr::IsLibraryLine(c.line, std::strlen(c.line)))
            << c.line;
}

} // namespace
