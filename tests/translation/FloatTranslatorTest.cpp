// Float pictures, OpenEXR and PFM: pictures within 0..1 made by ImageMagick
// from 8-bit sources give those sources back; scene-unit passes written by
// a small Python writer are stretched from their least to greatest value.
#include "CodecTestSupport.h"

#include <ExrTranslator.h>
#include <PfmTranslator.h>

#include <sys/mman.h>
#include <unistd.h>

using BPrivate::exr_translator;
using BPrivate::pfm_translator;
using BPrivate::ReadBudget;

namespace {

// Python: exr(path, w, h, {name: floats}, at, shown) writes an uncompressed
// scanline OpenEXR file of FLOAT channels, its data window's corner at at,
// its display window shown (x0, y0, x1, y1; the data window by default);
// pfm(path, w, h, floats, colour, little) a PFM; expected(path, w, h,
// floats) the grey picture our rule gives; framed(path, picture, at, shown)
// that picture placed in the display window, blank around it.
const std::string kFloatWriters = R"(
import math, struct
def f32(v): return struct.unpack('<f', struct.pack('<f', v))[0]
def exr(path, w, h, chans, at=(0, 0), shown=None):
    names = sorted(chans)
    def attr(name, typ, data):
        return name.encode() + b'\0' + typ.encode() + b'\0' + struct.pack('<i', len(data)) + data
    chlist = b''.join(n.encode() + b'\0' + struct.pack('<iB3xii', 2, 0, 1, 1) for n in names) + b'\0'
    hdr = b'\x76\x2f\x31\x01' + struct.pack('<I', 2)
    hdr += attr('channels', 'chlist', chlist)
    hdr += attr('compression', 'compression', b'\0')
    data = (at[0], at[1], at[0] + w - 1, at[1] + h - 1)
    hdr += attr('dataWindow', 'box2i', struct.pack('<iiii', *data))
    hdr += attr('displayWindow', 'box2i', struct.pack('<iiii', *(shown or data)))
    hdr += attr('lineOrder', 'lineOrder', b'\0')
    hdr += attr('pixelAspectRatio', 'float', struct.pack('<f', 1))
    hdr += attr('screenWindowCenter', 'v2f', struct.pack('<ff', 0, 0))
    hdr += attr('screenWindowWidth', 'float', struct.pack('<f', 1))
    hdr += b'\0'
    offset = len(hdr) + 8 * h
    offsets, lines = [], []
    for y in range(h):
        data = b''.join(struct.pack('<%df' % w, *chans[n][y * w:(y + 1) * w]) for n in names)
        offsets.append(offset)
        lines.append(struct.pack('<ii', at[1] + y, len(data)) + data)
        offset += len(lines[-1])
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
def framed(path, picture, at, shown):
    blank = (0, 0, 0, 0) if picture.mode == 'RGBA' else (0, 0, 0, 255)
    im = Image.new('RGBA', (shown[2] - shown[0] + 1, shown[3] - shown[1] + 1), blank)
    im.paste(picture.convert('RGBA'), (at[0] - shown[0], at[1] - shown[1]))
    im.save(path)
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

// ImageMagick's EXR of kind from a w x h source, and its own reading taken
// as data, as ours is (no gamma).
#define LUMINANCE(kind, w, h)                                                                     \
    "import subprocess\n"                                                                         \
    "src('RGBA', " #w ", " #h ").save(d + '/s.png')\n"                                            \
    "subprocess.check_call(['convert', d + '/s.png', '-define', 'exr:color-type=" kind "', "      \
    "d + '/in.exr'])\n"                                                                           \
    "subprocess.check_call(['convert', d + '/in.exr', '-set', 'colorspace', 'sRGB', d + "         \
    "'/ref.png'])\n"

// channels written with the data window at at in the display window shown;
// the expected picture is built from the same values.
#define FRAMED(channels, at, shown)                                                               \
    "c = " channels "\n"                                                                          \
    "exr(d + '/in.exr', W, H, c, " at ", " shown ")\n"                                            \
    "grey = lambda v: Image.frombytes('L', (W, H), bytes(round(x * 255) for x in v))\n"           \
    "pic = Image.merge('RGBA', [grey(c[k]) for k in 'RGBA']) if 'A' in c else grey(c['Y'])\n"     \
    "framed(d + '/e.png', pic, " at ", " shown ")\n"

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
    // Luminance with alpha; luminance and chroma (chroma every second pixel
    // and row), alone and with alpha: in colour, as the library's RGBA
    // interface gives it (ImageMagick reads through it too).
    {"ExrLuminanceAlpha", LUMINANCE("YA", 61, 37), "in.exr", Decoder::kPillow, 1, "ref.png"},
    {"ExrLuminanceChroma", LUMINANCE("YC", 62, 38), "in.exr", Decoder::kPillow, 1, "ref.png"},
    {"ExrLuminanceChromaAlpha", LUMINANCE("YCA", 62, 38), "in.exr", Decoder::kPillow, 1,
     "ref.png"},
    // The picture is the display window: the data window inside it, over
    // its top left corner, away from the origin, wholly outside it.
    {"ExrDataWindowInside", FRAMED("{'Y': grey01}", "(6, 5)", "(0, 0, W + 11, H + 9)"), "in.exr",
     Decoder::kPillow, 0, "e.png"},
    {"ExrDataWindowOverhangs",
     FRAMED("{'R': grey01, 'G': grey01[::-1], 'B': grey01, 'A': [1.0] * (W * H)}", "(-4, -3)",
            "(0, 0, W - 1, H - 1)"),
     "in.exr", Decoder::kPillow, 0, "e.png"},
    {"ExrWindowsAwayFromOrigin",
     FRAMED("{'Y': grey01}", "(100, 200)", "(100, 200, W + 99, H + 199)"), "in.exr",
     Decoder::kPillow, 0, "e.png"},
    {"ExrDataWindowOutside", FRAMED("{'Y': grey01}", "(40, 0)", "(0, 0, 9, 9)"), "in.exr",
     Decoder::kPillow, 0, "e.png"},
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
                                       "open(d + '/wide.exr', 'wb').write(b)\n"
                                       // A channel list longer than declared:
                                       // OpenEXR would read on into the next
                                       // attribute.
                                       "c = bytearray(open(d + '/d.exr', 'rb').read())\n"
                                       "at = c.index(b'channels\\0chlist\\0') + 16\n"
                                       "c[at:at + 4] = struct.pack('<i', 2)\n"
                                       "open(d + '/list.exr', 'wb').write(c)\n"
                                       // A preview of 60000 x 60000 in 8 bytes,
                                       // and a line order declared 4 bytes long.
                                       "e = open(d + '/d.exr', 'rb').read()\n"
                                       "at = e.index(b'lineOrder\\0lineOrder')\n"
                                       "open(d + '/preview.exr', 'wb').write(e[:at] + "
                                       "b'preview\\0preview\\0' + struct.pack('<iII', 8, "
                                       "60000, 60000) + e[at:])\n"
                                       "f = bytearray(e)\n"
                                       "f[at + 20:at + 24] = struct.pack('<i', 4)\n"
                                       "open(d + '/order.exr', 'wb').write(f)\n"
                                       // A blank display window of 10000 x 10000.
                                       "exr(d + '/frame.exr', W, H, {'Z': depth}, (0, 0),"
                                       " (0, 0, 9999, 9999))"));
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
        {"ExrFrameBeyondItsBytes", exr_translator(), read_all(folder / "frame.exr"),
         ReadBudget(), B_ILLEGAL_DATA},
        {"ExrListLongerThanDeclared", exr_translator(), read_all(folder / "list.exr"),
         ReadBudget(), B_ILLEGAL_DATA},
        {"ExrPreviewBeyondItsBytes", exr_translator(), read_all(folder / "preview.exr"),
         ReadBudget(), B_ILLEGAL_DATA},
        {"ExrFixedSizeMisdeclared", exr_translator(), read_all(folder / "order.exr"),
         ReadBudget(), B_ILLEGAL_DATA},
        // Found by fuzzing: 272 bytes, tiles of 14864 x 4096 over OpenEXR's
        // default 64 x 64 window, which took OpenEXR seconds and 700 MB.
        {"ExrTilesOutgrowingThePicture", exr_translator(),
         read_all(std::string(PELLARA_TEST_DATA) + "/exr/tiles-outgrowing-the-picture.exr"),
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

// A file found by fuzzing: its one line declares no bytes though its
// pixels need 124, and the file ends 84 bytes after it. Laid out to end at
// a page that cannot be read, any read past its end faults; the reader
// must stay within it (OpenEXR read past it from a mapped stream).
TEST(FloatRefusal, ExrLineShorterThanItsPixelsIsReadWithinTheFile)
{
    const std::vector<uint8> file =
        read_all(std::string(PELLARA_TEST_DATA) + "/exr/line-shorter-than-its-pixels.exr");
    ASSERT_EQ(433u, file.size());
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    ASSERT_NE(MAP_FAILED, pages);
    uint8* end = static_cast<uint8*>(pages) + page;
    ASSERT_EQ(0, mprotect(end, page, PROT_NONE));
    std::memcpy(end - file.size(), file.data(), file.size());
    BPrivate::ImageSource source;
    source.data = end - file.size();
    source.size = file.size();
    BBitmap* bitmap = nullptr;
    const status_t status = exr_translator()->Read(source, ReadBudget(), &bitmap);
    EXPECT_TRUE(status == B_OK || status == B_ILLEGAL_DATA) << status;
    delete bitmap;
    munmap(pages, 2 * page);
}

} // namespace
