// Float pictures, OpenEXR and PFM: pictures within 0..1 made by ImageMagick
// from 8-bit sources give those sources back; scene-unit passes written by
// a small Python writer are stretched from their least to greatest value.
#include "CodecTestSupport.h"

#include <ExrTranslator.h>
#include <PfmTranslator.h>

using BPrivate::exr_translator;
using BPrivate::pfm_translator;
using BPrivate::ReadBudget;

namespace {

// Python: exr(path, w, h, {name: floats}) writes an uncompressed scanline
// OpenEXR file of FLOAT channels; pfm(path, w, h, floats, colour, little)
// a PFM; expected(path, w, h, floats) the grey picture our rule gives.
const std::string kFloatWriters = R"(
import math, struct
def f32(v): return struct.unpack('<f', struct.pack('<f', v))[0]
def exr(path, w, h, chans):
    names = sorted(chans)
    def attr(name, typ, data):
        return name.encode() + b'\0' + typ.encode() + b'\0' + struct.pack('<i', len(data)) + data
    chlist = b''.join(n.encode() + b'\0' + struct.pack('<iB3xii', 2, 0, 1, 1) for n in names) + b'\0'
    hdr = b'\x76\x2f\x31\x01' + struct.pack('<I', 2)
    hdr += attr('channels', 'chlist', chlist)
    hdr += attr('compression', 'compression', b'\0')
    hdr += attr('dataWindow', 'box2i', struct.pack('<iiii', 0, 0, w - 1, h - 1))
    hdr += attr('displayWindow', 'box2i', struct.pack('<iiii', 0, 0, w - 1, h - 1))
    hdr += attr('lineOrder', 'lineOrder', b'\0')
    hdr += attr('pixelAspectRatio', 'float', struct.pack('<f', 1))
    hdr += attr('screenWindowCenter', 'v2f', struct.pack('<ff', 0, 0))
    hdr += attr('screenWindowWidth', 'float', struct.pack('<f', 1))
    hdr += b'\0'
    at = len(hdr) + 8 * h
    offsets, lines = [], []
    for y in range(h):
        data = b''.join(struct.pack('<%df' % w, *chans[n][y * w:(y + 1) * w]) for n in names)
        offsets.append(at)
        lines.append(struct.pack('<ii', y, len(data)) + data)
        at += len(lines[-1])
    open(path, 'wb').write(hdr + b''.join(struct.pack('<Q', o) for o in offsets) + b''.join(lines))
def pfm(path, w, h, vals, colour=False, little=True):
    n = 3 if colour else 1
    rows = [vals[y * w * n:(y + 1) * w * n] for y in range(h)][::-1]
    e = '<' if little else '>'
    body = b''.join(struct.pack(e + '%df' % len(r), *r) for r in rows)
    open(path, 'wb').write(('PF' if colour else 'Pf').encode() + b'\n%d %d\n%s\n' % (w, h, b'-1.0' if little else b'1.0') + body)
def expected(path, w, h, vals):
    c = [f32(v) if math.isfinite(v) else 0.0 for v in vals]
    lo, hi = min(c), max(c)
    if lo >= 0 and hi <= 1:
        out = [int(v * 255 + 0.5) for v in c]
    elif hi == lo:
        out = [0] * len(c)
    else:
        out = [int((v - lo) * 255 / (hi - lo) + 0.5) for v in c]
    im = Image.new('L', (w, h)); im.putdata(out); im.save(path)
# A depth pass in scene units: a sphere 2 units away on a wall 10 away,
# a hole (infinity) and a NaN.
W, H = 23, 17
depth = [2.0 + ((x - 11) ** 2 + (y - 8) ** 2) * 0.05 if (x - 11) ** 2 + (y - 8) ** 2 < 36 else 10.0
         for y in range(H) for x in range(W)]
depth[5] = float('inf'); depth[40] = float('nan'); depth[41] = -float('inf')
grey01 = [((x * 7 + y * 11) % 256) / 255.0 for y in range(H) for x in range(W)]
)";

#define MAGICK(mode, out, args)                                                                   \
    "import subprocess\n"                                                                         \
    "src('" mode "').save(d + '/s.png')\n"                                                        \
    "subprocess.check_call(['convert', d + '/s.png', " args " d + '/" out "'])\n"

const ReadCase kFloatCases[] = {
    {"ExrByImageMagick", MAGICK("RGB", "in.exr", ""), "in.exr", Decoder::kPillow, 0, "s.png"},
    {"ExrRgbaByImageMagick", MAGICK("RGBA", "in.exr", ""), "in.exr", Decoder::kPillow, 0, "s.png"},
    {"ExrDepthPass", "exr(d + '/in.exr', W, H, {'Z': depth})\nexpected(d + '/e.png', W, H, depth)",
     "in.exr", Decoder::kPillow, 1, "e.png"},
    {"ExrLuminance", "exr(d + '/in.exr', W, H, {'Y': grey01})\nexpected(d + '/e.png', W, H, grey01)",
     "in.exr", Decoder::kPillow, 0, "e.png"},
    {"ExrRedOnlyPass",
     "exr(d + '/in.exr', W, H, {'R': depth})\nexpected(d + '/e.png', W, H, depth)", "in.exr",
     Decoder::kPillow, 1, "e.png"},
    {"PfmByImageMagick", MAGICK("RGB", "in.pfm", "'-endian', 'LSB',"), "in.pfm", Decoder::kPillow, 0,
     "s.png"},
    {"PfmBigEndianByImageMagick", MAGICK("RGB", "in.pfm", "'-endian', 'MSB',"), "in.pfm",
     Decoder::kPillow, 0, "s.png"},
    {"PfmDepth", "pfm(d + '/in.pfm', W, H, depth)\nexpected(d + '/e.png', W, H, depth)", "in.pfm",
     Decoder::kPillow, 1, "e.png"},
    {"PfmGreyBigEndian",
     "pfm(d + '/in.pfm', W, H, grey01, little=False)\nexpected(d + '/e.png', W, H, grey01)",
     "in.pfm", Decoder::kPillow, 0, "e.png"},
};

class FloatRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(FloatRead, GivesTheDocumentedLevels)
{
    const std::string file = GetParam().file;
    const bool exr = file.substr(file.size() - 3) == "exr";
    ReadCase c = GetParam();
    std::string program = kFloatWriters + c.python;
    c.python = program.c_str();
    expect_read_like_reference(exr ? exr_translator() : pfm_translator(), c);
}

INSTANTIATE_TEST_SUITE_P(Variants, FloatRead, testing::ValuesIn(kFloatCases), case_name);

std::vector<uint8> text_bytes(const std::string& text)
{
    return std::vector<uint8>(text.begin(), text.end());
}

TEST(FloatRefusal, DamagedFilesGiveNoBitmap)
{
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPythonSource + kFloatWriters +
                                       "exr(d + '/d.exr', W, H, {'Z': depth})\n"
                                       "pfm(d + '/d.pfm', W, H, depth)\n"
                                       // Its data window claiming 4000 columns.
                                       "b = bytearray(open(d + '/d.exr', 'rb').read())\n"
                                       "at = b.index(b'dataWindow\\0box2i\\0') + 21\n"
                                       "b[at + 8:at + 12] = struct.pack('<i', 3999)\n"
                                       "open(d + '/wide.exr', 'wb').write(b)"));
    const std::vector<uint8> exr = read_all(folder / "d.exr");
    const std::vector<uint8> pfm = read_all(folder / "d.pfm");
    ASSERT_GT(exr.size(), 1000u);
    ASSERT_GT(pfm.size(), 1000u);
    auto cut = [](std::vector<uint8> bytes, size_t size) {
        bytes.resize(size);
        return bytes;
    };
    ReadBudget small;
    small.maxPixels = 23 * 17 - 1;
    struct
    {
        const char* label;
        const BPrivate::ImageTranslator* translator;
        std::vector<uint8> bytes;
        ReadBudget budget;
        status_t status;
    } cases[] = {
        {"ExrCut", exr_translator(), cut(exr, exr.size() * 6 / 10), ReadBudget(), B_ILLEGAL_DATA},
        {"ExrHeaderOnly", exr_translator(), cut(exr, 300), ReadBudget(), B_ILLEGAL_DATA},
        {"ExrOverTheCeiling", exr_translator(), exr, small, B_NO_MEMORY},
        {"ExrClaimsMoreThanItHolds", exr_translator(), read_all(folder / "wide.exr"),
         ReadBudget(), B_ILLEGAL_DATA},
        {"PfmLastByteMissing", pfm_translator(), cut(pfm, pfm.size() - 1), ReadBudget(),
         B_ILLEGAL_DATA},
        {"PfmClaimsHugeSize", pfm_translator(), text_bytes("Pf\n16000 16000\n-1.0\n0000"),
         ReadBudget(), B_ILLEGAL_DATA},
        {"PfmNoScale", pfm_translator(), text_bytes("PF\n2 2\n\n"), ReadBudget(), B_ILLEGAL_DATA},
        {"PfmZeroScale", pfm_translator(), text_bytes("Pf\n1 1\n0\nxxxx"), ReadBudget(),
         B_ILLEGAL_DATA},
        {"PfmNegativeSize", pfm_translator(), text_bytes("Pf\n-1 1\n-1\nxxxx"), ReadBudget(),
         B_ILLEGAL_DATA},
        {"PfmOverTheCeiling", pfm_translator(), pfm, small, B_NO_MEMORY},
        {"NotPfm", pfm_translator(), text_bytes("P6\n1 1\n255\nabc"), ReadBudget(),
         B_NO_TRANSLATOR},
    };
    for (const auto& c : cases)
        expect_quiet_refusal(c.translator, c.bytes, c.budget, c.status, c.label);
}

} // namespace
