// The JPEG XL translator on files of libjxl's cjxl, against djxl (the same
// library, another program) and, for lossless files, the source pixels.
#include "CodecTestSupport.h"

#include <JxlTranslator.h>

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
    for (const auto& c : cases) {
        BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.status, jxl_translator()->Read(source_of(c.bytes), c.budget, &bitmap))
            << c.label;
        EXPECT_EQ("", testing::internal::GetCapturedStderr()) << c.label;
        EXPECT_EQ(nullptr, bitmap) << c.label;
    }
}

} // namespace
