// The JPEG 2000 translator on files of OpenJPEG's opj_compress, against the
// source pixels (lossless) or opj_decompress's output (lossy).
#include "CodecTestSupport.h"

#include <Jpeg2000Translator.h>

using BPrivate::jpeg2000_translator;
using BPrivate::ReadBudget;

namespace {

#define OPJ(mode, out, args)                                                                      \
    "import subprocess\n"                                                                         \
    "src('" mode "').save(d + '/s.png')\n"                                                        \
    "subprocess.check_call(['opj_compress', '-i', d + '/s.png', '-o', d + '/" out "'" args "])\n"
#define DECOMPRESS(in)                                                                            \
    "subprocess.check_call(['opj_decompress', '-i', d + '/" in "', '-o', d + '/ref.png'])"

// Inks of `bits` bits in planes, coded by opj_compress, the colour box then
// made to say CMYK (enumerated colour space 12), which no writer here makes.
#define CMYK(bits)                                                                                \
    "import struct, subprocess\n"                                                                 \
    "w, h, top = 61, 37, (1 << " bits ") - 1\n"                                                   \
    "inks = [[((x * 7 + y * 3) * (c + 5) * 977) % (top + 1) for x in range(w) for y in range(h)]" \
    " for c in range(4)]\n"                                                                       \
    "fmt = '>%d' + ('B' if top == 255 else 'H')\n"                                                \
    "open(d + '/in.raw', 'wb').write(b''.join(struct.pack(fmt % len(p), *p) for p in inks))\n"    \
    "subprocess.check_call(['opj_compress', '-i', d + '/in.raw', '-o', d + '/c.jp2', '-F',"       \
    " '%d,%d,4,%d,u' % (w, h, " bits ")])\n"                                                      \
    "jp2 = bytearray(open(d + '/c.jp2', 'rb').read())\n"                                          \
    "jp2[jp2.index(b'colr') + 10] = 12\n"                                                         \
    "open(d + '/in.jp2', 'wb').write(jp2)\n"                                                      \
    "lit = lambda i, k: int(255.0 * (1.0 - i / top) * (1.0 - k / top) + 0.5)\n"                   \
    "Image.frombytes('RGB', (w, h), bytes(lit(inks[c][i], inks[3][i]) for i in range(w * h)"      \
    " for c in range(3))).save(d + '/ref.png')"

const ReadCase kJpeg2000Cases[] = {
    {"Jp2Lossless", OPJ("RGB", "in.jp2", ""), "in.jp2", Decoder::kPillow, 0, "s.png"},
    {"Jp2Lossy", OPJ("RGB", "in.jp2", ", '-r', '20'") DECOMPRESS("in.jp2"), "in.jp2",
     Decoder::kPillow, 0, "ref.png"},
    {"CodestreamLossless", OPJ("RGB", "in.j2k", ""), "in.j2k", Decoder::kPillow, 0, "s.png"},
    {"CodestreamTiledLossy",
     OPJ("RGB", "in.j2k", ", '-r', '10', '-t', '16,16', '-n', '3'") DECOMPRESS("in.j2k"), "in.j2k",
     Decoder::kPillow, 0, "ref.png"},
    {"ResolutionFirst", OPJ("RGB", "in.jp2", ", '-p', 'RPCL', '-n', '4'"), "in.jp2",
     Decoder::kPillow, 0, "s.png"},
    {"RgbaLossless", OPJ("RGBA", "in.jp2", ""), "in.jp2", Decoder::kPillow, 0, "s.png"},
    {"GreyLossless", OPJ("L", "in.jp2", ""), "in.jp2", Decoder::kPillow, 0, "s.png"},
    {"GreyAlphaLossless", OPJ("LA", "in.jp2", ""), "in.jp2", Decoder::kPillow, 0, "s.png"},
    // 16-bit samples: ours rounded to 8 bits, ImageMagick's cut.
    {"Grey16Lossless",
     "import subprocess\n"
     "g = Image.new('I', (61, 37)); g.putdata([(x * 1049 + y * 1777) % 65536 for y in range(37)"
     " for x in range(61)])\n"
     "g.convert('I;16').save(d + '/s.png')\n"
     "subprocess.check_call(['opj_compress', '-i', d + '/s.png', '-o', d + '/in.jp2'])",
     "in.jp2", Decoder::kMagick, 1, "s.png"},
    // Four inks under a CMYK colour box: the light they leave.
    {"Cmyk8", CMYK("8"), "in.jp2", Decoder::kPillow, 0, "ref.png"},
    {"Cmyk16", CMYK("16"), "in.jp2", Decoder::kPillow, 0, "ref.png"},
};

class Jpeg2000Read : public testing::TestWithParam<ReadCase>
{
};

TEST_P(Jpeg2000Read, MatchesAnotherDecoder)
{
    if (!have_program("opj_compress") || !have_program("opj_decompress"))
        GTEST_SKIP() << "libopenjp2-tools missing";
    expect_read_like_reference(jpeg2000_translator(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Variants, Jpeg2000Read, testing::ValuesIn(kJpeg2000Cases), case_name);

TEST(Jpeg2000Refusal, DamagedAndOversizedFilesGiveNoBitmap)
{
    if (!have_pillow() || !have_program("opj_compress"))
        GTEST_SKIP() << "Pillow or libopenjp2-tools missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + OPJ("RGB", "in.jp2", "") +
                                       "subprocess.check_call(['opj_compress', '-i', d + "
                                       "'/s.png', '-o', d + '/in.j2k'])"));
    for (const char* name : {"in.jp2", "in.j2k"}) {
        const std::vector<uint8> good = read_all(folder / name);
        ASSERT_GT(good.size(), 100u);
        std::vector<uint8> cut = good;
        cut.resize(cut.size() * 6 / 10);
        std::vector<uint8> nearlyAll = good;
        nearlyAll.resize(nearlyAll.size() - 20);
        ReadBudget small;
        small.maxPixels = 61 * 37 - 1;
        struct
        {
            const char* label;
            const std::vector<uint8>& bytes;
            ReadBudget budget;
            status_t status;
        } cases[] = {{"Cut", cut, ReadBudget(), B_ILLEGAL_DATA},
                     {"LastBytesMissing", nearlyAll, ReadBudget(), B_ILLEGAL_DATA},
                     {"OverThePixelCeiling", good, small, B_NO_MEMORY}};
        for (const auto& c : cases)
            expect_quiet_refusal(jpeg2000_translator(), c.bytes, c.budget, c.status,
                                 std::string(name) + " " + c.label);
    }
}

} // namespace
