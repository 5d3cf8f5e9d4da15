// pellara-fuse for print: the depth picture scaled to the poster's size,
// and PDF, a page of the picture's printed size or a poster on sheets, read
// back by poppler's tools: page sizes by pdfinfo, and the pictures inside by
// pdfimages, which must be the stereogram's own pixels.
#include "PdfPages.h"
#include "ToolRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string kTool = PELLARA_FUSE_PATH;
const std::string kExamples = PELLARA_EXAMPLES_DIR;

bool have_poppler()
{
    return std::system("command -v pdfinfo >/dev/null && command -v pdfimages >/dev/null") == 0;
}

std::string python()
{
    return std::system("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
}

struct PdfCase
{
    const char* label;
    std::vector<std::string> options;
    double dpi;
    fuse::Paper paper;
    int pages;
    const char* pageSize; // as pdfinfo prints it
};

void PrintTo(const PdfCase& c, std::ostream* os)
{
    *os << c.label;
}

class Pdf : public testing::TestWithParam<PdfCase>
{
};

// The same run as a PNG and as a PDF: each page's picture, in order, is
// the PNG's share of the poster where the layout puts it, and the shares
// cover the poster whole.
TEST_P(Pdf, PagesHoldThePictureExactlyAtItsPrintedSize)
{
    if (!have_poppler())
        GTEST_SKIP() << "poppler-utils missing";
    const PdfCase& c = GetParam();
    ScratchFolder scratch;
    const std::string depth = scratch / "depth.png";
    ASSERT_EQ(0, std::system((python() + " -c \"from PIL import Image; Image.open('" + kExamples +
                              "/depth.png').resize((1900, 1300)).save('" + depth + "')\"")
                                 .c_str()));
    std::vector<std::string> png = {depth, scratch / "out.png", "--quiet", "--random-dot"};
    std::vector<std::string> pdf = {depth, scratch / "out.pdf", "--quiet", "--random-dot"};
    for (size_t i = 0; i < c.options.size(); i++) {
        if (c.options[i] == "--pages")
            i++; // sheets are a PDF's
        else
            png.push_back(c.options[i]);
    }
    pdf.insert(pdf.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(0, run_program(kTool, scratch, png).status);
    ChildOutcome made = run_program(kTool, scratch, pdf);
    ASSERT_EQ(0, made.status) << made.err;

    const std::string info = command_output("pdfinfo '" + scratch / "out.pdf" + "'");
    EXPECT_NE(std::string::npos, info.find("Pages:           " + std::to_string(c.pages) + "\n"))
        << info;
    EXPECT_NE(std::string::npos, info.find(std::string("Page size:       ") + c.pageSize)) << info;

    const fuse::PageLayout layout = fuse::LayOutPages(1900, 1300, c.dpi, c.paper);
    ASSERT_EQ(size_t(c.pages), layout.tiles.size());
    std::string tiles;
    int64 covered = 0;
    for (const fuse::PageTile& t : layout.tiles) {
        tiles += "(" + std::to_string(t.left) + "," + std::to_string(t.top) + "," +
                 std::to_string(t.width) + "," + std::to_string(t.height) + "),";
        covered += int64(t.width) * t.height;
    }
    EXPECT_GE(covered, int64(1900) * 1300);
    ASSERT_EQ(0, std::system(("cd '" + scratch.Path() + "' && pdfimages -png out.pdf page").c_str()));
    const std::string exact = command_output(
        python() + " - <<'EOF'\n"
                   "import glob\n"
                   "from PIL import Image\n"
                   "whole = Image.open('" + scratch / "out.png" + "').convert('RGB')\n"
                   "pages = sorted(glob.glob('" + scratch.Path() + "/page-*.png'))\n"
                   "tiles = [" + tiles + "]\n"
                   "seen = set()\n"
                   "bad = []\n"
                   "for i, (path, (x, y, w, h)) in enumerate(zip(pages, tiles)):\n"
                   "    share = Image.open(path).convert('RGB')\n"
                   "    if share.tobytes() != whole.crop((x, y, x + w, y + h)).tobytes():\n"
                   "        bad.append(i)\n"
                   "    seen.update((x + dx, y + dy) for dx in (0, w - 1) for dy in (0, h - 1))\n"
                   "corners = {(0, 0), (whole.width - 1, whole.height - 1)}\n"
                   "print('ok' if len(pages) == len(tiles) and not bad and corners <= seen "
                   "else 'pages %s differ of %d' % (bad, len(pages)))\n"
                   "EOF\n");
    EXPECT_EQ("ok\n", exact);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Pdf,
    testing::Values(
        // 1900 px at 72 and at 300 dpi: 1900 and 456 points.
        PdfCase{"OnePageAt72", {}, 0, fuse::Paper::kNone, 1, "1900 x 1300 pts"},
        PdfCase{"OnePageAt300", {"--dpi", "300"}, 300, fuse::Paper::kNone, 1, "456 x 312 pts"},
        // 483 x 330 mm at 100 dpi: two by two A4 sheets turned to landscape
        // (277 x 190 mm within the margins) rather than three by two upright.
        PdfCase{"PosterOnA4", {"--dpi", "100", "--pages", "a4"}, 100, fuse::Paper::kA4, 4,
                "841.89 x 595.276 pts (A4)"},
        // 322 x 220 mm at 150 dpi: two upright letter sheets; one A3 sheet.
        PdfCase{"PosterOnLetter", {"--dpi", "150", "--pages", "letter"}, 150,
                fuse::Paper::kLetter, 2, "612 x 792 pts (letter)"},
        PdfCase{"PosterOnA3", {"--dpi", "150", "--pages", "a3"}, 150, fuse::Paper::kA3, 1,
                "1190.55 x 841.89 pts (A3)"}),
    [](const auto& info) { return std::string(info.param.label); });

struct Refusal
{
    const char* label;
    std::vector<std::string> options;
    const char* output;
    const char* line;
};

TEST(PrintRefusal, OneLineBeforeAnyWork)
{
    const Refusal kRefusals[] = {
        {"SizeAndWidth", {"--size", "100x100", "--width", "50"}, "out.png",
         "pellara-fuse: --size and --width both set the stereogram's size: give one (see "
         "--help)\n"},
        // A PNG is made row by row, within 2^32 pixels.
        {"SizeOverTheLimit", {"--size", "100000x100000"}, "out.png",
         "pellara-fuse: --size makes a picture of 100000x100000 pixels, over the limit of "
         "4294967296\n"},
        {"SizeOverTheLimitHeldWhole", {"--size", "20000x20000"}, "out.bmp",
         "pellara-fuse: --size makes a picture of 20000x20000 pixels, over the limit of "
         "268435456 (--max-pixels)\n"},
        {"HalfASize", {"--size", "100x"}, "out.png",
         "pellara-fuse: --size needs a size WxH, each side from 1 to 1048576 (see --help)\n"},
        {"JpegTooWide", {"--random-dot", "--size", "70000x100"}, "out.jpg",
         "pellara-fuse: format 'jpeg' holds at most 65500 pixels a side; the stereogram would "
         "be 70000x100 (PNG or TIFF hold it)\n"},
        {"WebpTooWide", {"--random-dot", "--width", "20000"}, "out.webp",
         "pellara-fuse: format 'webp' holds at most 16383 pixels a side; the stereogram would "
         "be 20000 pixels wide (PNG or TIFF hold it)\n"},
        {"NoPatternToScale", {"--random-dot", "--pattern-scale", "2"}, "out.png",
         "pellara-fuse: --pattern-scale scales a PATTERN; --random-dot has none (see --help)\n"},
        {"PagesWithoutDpi", {"--pages", "a4"}, "out.pdf",
         "pellara-fuse: --pages needs --dpi, which sets the poster's printed size (see --help)\n"},
        {"PagesOfAPng", {"--pages", "a4", "--dpi", "150"}, "out.png",
         "pellara-fuse: --pages lays a poster out on sheets of a PDF: give OUTPUT.pdf or "
         "--format pdf (see --help)\n"},
        {"UnknownPaper", {"--pages", "a5", "--dpi", "150"}, "out.pdf",
         "pellara-fuse: --pages needs a4, letter or a3 (see --help)\n"},
    };
    for (const Refusal& r : kRefusals) {
        ScratchFolder scratch;
        std::vector<std::string> args = {kExamples + "/depth.png", scratch / r.output};
        if (std::find(r.options.begin(), r.options.end(), "--random-dot") == r.options.end())
            args.insert(args.begin() + 1, kExamples + "/pattern.png");
        args.insert(args.end(), r.options.begin(), r.options.end());
        ChildOutcome run = run_program(kTool, scratch, args);
        EXPECT_EQ(2, run.status) << r.label;
        EXPECT_EQ(r.line, run.err) << r.label;
        EXPECT_TRUE(scratch.Names().empty()) << r.label;
    }
}

// --size scales whatever the depth is read from, standard input too, and
// each frame of a clip; --width keeps its shape.
TEST(PrintSize, TheStereogramHasTheSizeAsked)
{
    const struct
    {
        std::vector<std::string> options;
        const char* output;
        const char* sizes; // each frame's
    } kSizes[] = {{{"--size", "1283x777"}, "out.png", "1283x777"},
                  {{"--width", "1000", "--pattern-scale", "0.5"}, "out.png", "1000x625"},
                  {{"--size", "300x200"}, "out.gif", "300x200"}};
    for (const auto& c : kSizes) {
        ScratchFolder scratch;
        const bool clip = std::string(c.output) == "out.gif";
        std::vector<std::string> args = {clip ? kExamples + "/moving-depth.webp" : "-",
                                         kExamples + "/pattern.png", scratch / c.output,
                                         "--quiet"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ChildOutcome run =
            run_program(kTool, scratch, args, clip ? "" : kExamples + "/depth.png");
        ASSERT_EQ(0, run.status) << run.err;
        const std::string sizes =
            command_output("identify -format '%wx%h\\n' '" + scratch / c.output + "' | sort -u");
        EXPECT_EQ(std::string(c.sizes) + "\n", sizes);
    }
}

} // namespace
