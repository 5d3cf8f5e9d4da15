// pellara-fuse's kinds of stereogram as a user meets them: each option list
// gives the engine's picture for those options (the window's without any),
// the print resolution read back by other programs, the refusals and
// warnings in their words, and every option listed in --help, the manual
// page and the shell completion.
#include "OtherUser.h"
#include "ToolRunner.h"

#include <Bitmap.h>
#include <FuseJob.h>
#include <StereogramKinds.h>
#include <TranslationUtils.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kTool = PELLARA_FUSE_PATH;

ChildOutcome fuse_run(const ScratchFolder& scratch, const std::vector<std::string>& args,
                      const std::string& input = "", const std::string& output = "")
{
    return run_program(kTool, scratch, args, input, output);
}

void save_png(BBitmap* bitmap, const std::string& path)
{
    fuse::OutputFormat png;
    ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
    ASSERT_EQ(B_OK, fuse::WritePicture(bitmap, path.c_str(), png));
}

// A dome on a far background, and a noise tile.
void sphere_picture(const std::string& path, int32 w, int32 h)
{
    BBitmap bitmap(BRect(0, 0, float(w - 1), float(h - 1)), B_RGB32);
    auto* bits = static_cast<uint32*>(bitmap.Bits());
    for (int32 y = 0; y < h; y++)
        for (int32 x = 0; x < w; x++) {
            double dx = (x - w / 2.0) / (h / 2.0), dy = (y - h / 2.0) / (h / 2.0);
            double r2 = dx * dx + dy * dy;
            uint32 v = r2 < 1 ? uint32(std::lround(255 * std::sqrt(1 - r2))) : 0;
            bits[y * w + x] = 0xFF000000u | v * 0x010101u;
        }
    save_png(&bitmap, path);
}

void noise_picture(const std::string& path, int32 w, int32 h)
{
    BBitmap bitmap(BRect(0, 0, float(w - 1), float(h - 1)), B_RGB32);
    auto* bits = static_cast<uint32*>(bitmap.Bits());
    uint32 state = 99;
    for (int32 i = 0; i < w * h; i++) {
        state = state * 1664525u + 1013904223u;
        bits[i] = 0xFF000000u | (state >> 8);
    }
    save_png(&bitmap, path);
}

std::vector<uint32> words(BBitmap* bitmap)
{
    auto* bits = static_cast<const uint32*>(bitmap->Bits());
    return std::vector<uint32>(bits, bits + size_t(bitmap->PixelWidth()) * bitmap->PixelHeight());
}

class KindsTool : public testing::Test
{
protected:
    void SetUp() override
    {
        depth = scratch / "depth.png";
        pattern = scratch / "pattern.png";
        sphere_picture(depth, 240, 120);
        noise_picture(pattern, 96, 96);
    }

    // What the engine makes of the same files, in this process.
    std::vector<uint32> Expected(const StereogramOptions* options)
    {
        BBitmap *d = nullptr, *p = nullptr;
        EXPECT_EQ(B_OK, fuse::ReadPicture(depth.c_str(), &d));
        EXPECT_EQ(B_OK, fuse::ReadPicture(pattern.c_str(), &p));
        std::unique_ptr<BBitmap> patternOwner(p);
        testing::internal::CaptureStdout();
        std::unique_ptr<BBitmap> made(
            options == nullptr ? fuse::MakeStereogram(std::unique_ptr<BBitmap>(d), p)
                               : fuse::MakeStereogram(std::unique_ptr<BBitmap>(d), p, *options));
        testing::internal::GetCapturedStdout();
        return made ? words(made.get()) : std::vector<uint32>();
    }

    ScratchFolder scratch;
    std::string depth, pattern;
};

struct KindCase
{
    const char* name;
    std::vector<std::string> options;
    bool windows; // the window's own engine makes it
    StereogramOptions expected;
};

class ToolKind : public KindsTool, public testing::WithParamInterface<KindCase>
{
};

TEST_P(ToolKind, IsTheEnginesPictureForTheseOptions)
{
    const KindCase& c = GetParam();
    const std::string out = scratch / "out.png";
    std::vector<std::string> args = {depth};
    if (!c.expected.randomDot)
        args.push_back(pattern);
    args.push_back(out);
    args.insert(args.end(), c.options.begin(), c.options.end());
    ChildOutcome run = fuse_run(scratch, args);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err);
    EXPECT_NE(std::string::npos, run.out.find("debut de fusion\n")) << run.out;

    std::unique_ptr<BBitmap> written(BTranslationUtils::GetBitmapFile(out.c_str()));
    ASSERT_NE(nullptr, written);
    std::vector<uint32> expected = Expected(c.windows ? nullptr : &c.expected);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, words(written.get()));
}

StereogramOptions kind(void (*change)(StereogramOptions&))
{
    StereogramOptions o;
    change(o);
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Options, ToolKind,
    testing::Values(
        KindCase{"none", {}, true, {}},
        KindCase{"the_windows_constants_given",
                 {"--method", "window", "--separation", "80", "--amplitude=10"},
                 true,
                 {}},
        KindCase{"other_constants", {"--separation", "60", "--amplitude", "20"}, false,
                 kind([](StereogramOptions& o) {
                     o.separation = 60;
                     o.amplitude = 20;
                 })},
        KindCase{"symmetric", {"--method", "symmetric"}, false,
                 kind([](StereogramOptions& o) { o.method = StereogramOptions::Method::kSymmetric; })},
        KindCase{"symmetric_without_removal", {"--method=symmetric", "--no-hidden-surface"}, false,
                 kind([](StereogramOptions& o) {
                     o.method = StereogramOptions::Method::kSymmetric;
                     o.hiddenSurface = false;
                 })},
        KindCase{"print", {"--dpi", "50", "--eye", "60", "--depth-of-field", "0.4"}, false,
                 kind([](StereogramOptions& o) {
                     o.dpi = 50;
                     o.eyeMillimetres = 60;
                     o.depthOfField = 0.4;
                 })},
        KindCase{"oversampled_guided_crossed", {"--oversample", "3", "--guide-dots", "--cross-eyed"},
                 false,
                 kind([](StereogramOptions& o) {
                     o.oversample = 3;
                     o.guideDots = true;
                     o.crossEyed = true;
                 })},
        KindCase{"random_dots", {"--random-dot", "--seed", "7", "--colors", "5"}, false,
                 kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.seed = 7;
                     o.colors = 5;
                 })},
        KindCase{"everything_at_once",
                 {"--random-dot", "--method", "symmetric", "--dpi", "40", "--oversample", "4",
                  "--guide-dots"},
                 false,
                 kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.method = StereogramOptions::Method::kSymmetric;
                     o.dpi = 40;
                     o.oversample = 4;
                     o.guideDots = true;
                 })},
        // A repeated option takes its last value.
        KindCase{"last_value_wins", {"--oversample", "5", "--oversample", "2"}, false,
                 kind([](StereogramOptions& o) { o.oversample = 2; })}),
    [](const testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

TEST_F(KindsTool, RandomDotsComeBackTheSameForTheSameSeed)
{
    const std::string a = scratch / "a.png", b = scratch / "b.png", c = scratch / "c.png";
    ASSERT_EQ(0, fuse_run(scratch, {depth, a, "--random-dot"}).status);
    ASSERT_EQ(0, fuse_run(scratch, {"--random-dot", depth, b, "--seed", "1"}).status);
    ASSERT_EQ(0, fuse_run(scratch, {depth, c, "--random-dot", "--seed", "2"}).status);
    EXPECT_EQ(file_bytes(a), file_bytes(b)); // 1 is the default seed
    EXPECT_NE(file_bytes(a), file_bytes(c));
}

// The print resolution, read back by programs that are not ours: Pillow for
// PNG, JPEG, TIFF and WebP's EXIF, exiftool for JPEG XL's EXIF box. Without
// --dpi nothing is recorded, as the window writes.
struct ResolutionCase
{
    const char* extension;
    const char* program; // prints the resolution, or "none"
};

const char kPillowResolution[] =
    "import sys\n"
    "from PIL import Image\n"
    "im = Image.open(sys.argv[1])\n"
    "dpi = None\n"
    "if im.format == 'TIFF':\n"
    "    tags = im.tag_v2\n"
    "    if 282 in tags and tags.get(296) == 2:\n"
    "        dpi = (tags[282], tags[283])\n"
    "elif im.format == 'WEBP':\n"
    "    exif = im.getexif()\n"
    "    if 282 in exif and exif.get(296) == 2:\n"
    "        dpi = (exif[282], exif[283])\n"
    "else:\n"
    "    dpi = im.info.get('dpi')\n"
    "print('none' if dpi is None else '%.4f %.4f' % (float(dpi[0]), float(dpi[1])))\n";

std::string python()
{
    return std::system("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
}

// What command prints without its trailing line end; "none" for nothing.
std::string command_words(const std::string& command)
{
    std::string out = command_output(command);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out.empty() ? "none" : out;
}

class ToolResolution : public KindsTool, public testing::WithParamInterface<ResolutionCase>
{
protected:
    std::string ReadBack(const std::string& file)
    {
        if (std::string(GetParam().program) == "exiftool")
            return command_words("exiftool -s3 -n -XResolution -YResolution '" + file +
                                  "' 2>/dev/null | tr '\\n' ' '");
        std::ofstream(scratch / "resolution.py") << kPillowResolution;
        return command_words(python() + " '" + (scratch / "resolution.py") + "' '" + file +
                              "' 2>&1");
    }
};

TEST_P(ToolResolution, IsReadBackByAnotherProgram)
{
    const std::string program = GetParam().program;
    if (program == "exiftool" ? std::system("exiftool -ver >/dev/null 2>&1") != 0
                              : std::system((python() + " -c 'import PIL' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "needs " << program << " (scripts/deps.sh --tests)";
    // Wide enough for the far plane at 300 dpi (375 pixels).
    sphere_picture(depth, 400, 100);
    const std::string ext = GetParam().extension;
    struct
    {
        std::vector<std::string> options;
        double dpi; // 0: none recorded
    } runs[] = {{{}, 0}, {{"--dpi", "72"}, 72}, {{"--dpi", "300"}, 300},
                {{"--dpi", "150", "--random-dot"}, 150}};
    for (const auto& run : runs) {
        const std::string out = scratch / ("out." + ext);
        std::vector<std::string> args = {depth};
        if (std::find(run.options.begin(), run.options.end(), "--random-dot") == run.options.end())
            args.push_back(pattern);
        args.push_back(out);
        args.insert(args.end(), run.options.begin(), run.options.end());
        ChildOutcome made = fuse_run(scratch, args);
        ASSERT_EQ(0, made.status) << made.err;
        const std::string seen = ReadBack(out);
        SCOPED_TRACE(ext + " at " + std::to_string(run.dpi) + ": " + seen);
        if (run.dpi == 0) {
            EXPECT_EQ("none", seen);
            continue;
        }
        double x = 0, y = 0;
        ASSERT_EQ(2, std::sscanf(seen.c_str(), "%lf %lf", &x, &y));
        // PNG counts whole pixels a metre, within half of one (0.0127 dpi):
        // 300 dpi comes back as 299.9994.
        EXPECT_NEAR(run.dpi, x, 0.0128);
        EXPECT_NEAR(run.dpi, y, 0.0128);
        // The pixels are the same with the resolution as without.
        std::unique_ptr<BBitmap> written(BTranslationUtils::GetBitmapFile(out.c_str()));
        EXPECT_NE(nullptr, written);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ToolResolution,
                         testing::Values(ResolutionCase{"png", "pillow"},
                                         ResolutionCase{"jpg", "pillow"},
                                         ResolutionCase{"tif", "pillow"},
                                         ResolutionCase{"webp", "pillow"},
                                         ResolutionCase{"jxl", "exiftool"}),
                         [](const testing::TestParamInfo<ResolutionCase>& info) {
                             return std::string(info.param.extension);
                         });

// What a mistake gets: one line, the usual exit status, an existing OUTPUT
// untouched and nothing left beside it. $D depth, $P pattern, $O output,
// $S the scratch folder.
struct MessageCase
{
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string message;
    // Folders made in $S first, and a file (after expansion) for standard
    // input.
    std::vector<std::string> folders = {};
    std::string input = "";
};

class ToolMessage : public KindsTool, public testing::WithParamInterface<MessageCase>
{
protected:
    std::string Expand(std::string text)
    {
        const std::pair<const char*, std::string> names[] = {
            {"$D", depth}, {"$P", pattern}, {"$O", scratch / "out.png"}, {"$S", scratch.Path()}};
        for (const auto& [name, value] : names)
            for (size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, 2, value);
        return text;
    }
};

TEST_P(ToolMessage, IsOneLineAndTouchesNothing)
{
    const std::string out = scratch / "out.png";
    std::ofstream(out) << "precious";
    for (const std::string& folder : GetParam().folders)
        std::filesystem::create_directory(scratch / folder);
    std::vector<std::string> args;
    for (const std::string& a : GetParam().args)
        args.push_back(Expand(a));
    std::vector<std::string> before = scratch.Names();
    ChildOutcome run = fuse_run(scratch, args, Expand(GetParam().input));
    EXPECT_EQ(GetParam().status, run.status);
    EXPECT_EQ("pellara-fuse: " + Expand(GetParam().message) + "\n", run.err);
    EXPECT_EQ("", run.out); // refused before the engine said a word
    EXPECT_EQ("precious", file_bytes(out));
    EXPECT_EQ(before, scratch.Names());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolMessage,
    testing::Values(
        // Formats read but never written, whichever way they are named.
        MessageCase{"HeicOutput", {"$D", "$P", "$S/out.heic"}, 2,
                    "format 'heic' is read but not written (see --list-formats)"},
        MessageCase{"HeifOutput", {"$D", "$P", "$S/out.heif"}, 2,
                    "format 'heif' is read but not written (see --list-formats)"},
        MessageCase{"GifOutput", {"$D", "$P", "$S/out.GIF"}, 2,
                    "format 'GIF' is read but not written (see --list-formats)"},
        MessageCase{"AvifFormat", {"$D", "$P", "$O", "--format", "avif"}, 2,
                    "format 'avif' is read but not written (see --list-formats)"},
        MessageCase{"Jpeg2000Output", {"$D", "$P", "$S/out.jp2"}, 2,
                    "format 'jp2' is read but not written (see --list-formats)"},
        MessageCase{"ExrOutput", {"$D", "$P", "$S/out.exr"}, 2,
                    "format 'exr' is read but not written (see --list-formats)"},
        MessageCase{"PnmOutput", {"$D", "$P", "$S/out.pnm"}, 2,
                    "format 'pnm' is read but not written (see --list-formats)"},
        MessageCase{"IconFormat", {"$D", "$P", "-", "--format", "ico"}, 2,
                    "format 'ico' is read but not written (see --list-formats)"},
        // A name nothing reads or writes is a typing mistake.
        MessageCase{"UnknownOutput", {"$D", "$P", "$S/out.pgn"}, 2,
                    "unknown format 'pgn' (see --list-formats)"},
        MessageCase{"UnknownFormat", {"$D", "$P", "$O", "--format", "svg"}, 2,
                    "unknown format 'svg' (see --list-formats)"},
        // The output's place, before any picture is read.
        MessageCase{"MissingFolderBeforeReading", {"$S/none.png", "$P", "$S/none/out.png"}, 1,
                    "cannot write '$S/none/out.png': no such folder"},
        MessageCase{"FolderAsOutputBeforeReading",
                    {"$S/none.png", "$P", "$S", "--format", "png"}, 1,
                    "cannot write '$S': is a directory"},
        // A folder has no extension to tell a format by, or one that lies.
        MessageCase{"FolderAsOutputWithoutFormat", {"$S/none.png", "$P", "$S"}, 1,
                    "cannot write '$S': is a directory"},
        MessageCase{"FolderWithATrailingSlash", {"$D", "$P", "$S/"}, 1,
                    "cannot write '$S/': is a directory"},
        MessageCase{"FolderNamedLikeAPicture", {"$D", "$P", "$S/shots.png"}, 1,
                    "cannot write '$S/shots.png': is a directory", {"shots.png"}},
        MessageCase{"FileOnThePathBeforeReading", {"$S/none.png", "$P", "$D/x/out.png"}, 1,
                    "cannot write '$D/x/out.png': a folder on the path is a file"},
        // The reading ceiling: the picture's size and the limit that
        // refused it (the depth picture is 240 x 120, the pattern 96 x 96).
        MessageCase{"OverTheCeiling", {"$D", "$P", "$O", "--max-pixels", "1000"}, 1,
                    "cannot read '$D': picture too large: 240x120 (28800 pixels) is over the "
                    "limit of 1000 pixels (--max-pixels)"},
        MessageCase{"SecondPictureOverTheCeiling", {"$P", "$D", "$O", "--max-pixels", "9216"},
                    1,
                    "cannot read '$D': picture too large: 240x120 (28800 pixels) is over the "
                    "limit of 9216 pixels (--max-pixels)"},
        MessageCase{"StandardInputOverTheCeiling", {"-", "$P", "$O", "--max-pixels=28799"}, 1,
                    "cannot read standard input: picture too large: 240x120 (28800 pixels) is "
                    "over the limit of 28799 pixels (--max-pixels)",
                    {}, "$D"},
        // Values out of their range.
        MessageCase{"OversampleZero", {"$D", "$P", "$O", "--oversample", "0"}, 2,
                    "--oversample needs a number from 1 to 8 (see --help)"},
        MessageCase{"OversampleNine", {"$D", "$P", "$O", "--oversample=9"}, 2,
                    "--oversample needs a number from 1 to 8 (see --help)"},
        MessageCase{"OversampleMissing", {"$D", "$P", "$O", "--oversample"}, 2,
                    "--oversample needs a number from 1 to 8 (see --help)"},
        MessageCase{"UnknownMethod", {"$D", "$P", "$O", "--method", "diagonal"}, 2,
                    "--method needs window or symmetric (see --help)"},
        MessageCase{"OneColour", {"$D", "$O", "--random-dot", "--colors", "1"}, 2,
                    "--colors needs a number from 2 to 256 (see --help)"},
        MessageCase{"NegativeSeed", {"$D", "$O", "--random-dot", "--seed", "-1"}, 2,
                    "--seed needs a whole number from 0 to 18446744073709551615 (see --help)"},
        MessageCase{"DpiZero", {"$D", "$P", "$O", "--dpi", "0"}, 2,
                    "--dpi needs a number from 1 to 65535 (see --help)"},
        MessageCase{"DpiFraction", {"$D", "$P", "$O", "--dpi", "72.5"}, 2,
                    "--dpi needs a number from 1 to 65535 (see --help)"},
        MessageCase{"EyeZero", {"$D", "$P", "$O", "--dpi", "10", "--eye", "0"}, 2,
                    "--eye needs a distance in millimetres above 0 and at most 1000 (see --help)"},
        MessageCase{"DepthOfFieldOne", {"$D", "$P", "$O", "--dpi", "10", "--depth-of-field", "1"},
                    2, "--depth-of-field needs a number above 0 and below 1 (see --help)"},
        MessageCase{"SeparationZero", {"$D", "$P", "$O", "--separation", "0"}, 2,
                    "--separation needs a number of pixels from 1 to 65535 (see --help)"},
        // Options that make no sense together.
        MessageCase{"RandomDotWithAPattern", {"$D", "$P", "$O", "--random-dot"}, 2,
                    "--random-dot makes its own pattern: give DEPTH OUTPUT, without PATTERN "
                    "(see --help)"},
        MessageCase{"RandomDotWithoutOutput", {"$D", "--random-dot"}, 2,
                    "expected DEPTH OUTPUT with --random-dot (see --help)"},
        MessageCase{"SeedWithoutRandomDot", {"$D", "$P", "$O", "--seed", "3"}, 2,
                    "--seed works only with --random-dot (see --help)"},
        MessageCase{"ColorsWithoutRandomDot", {"$D", "$P", "$O", "--colors", "3"}, 2,
                    "--colors works only with --random-dot (see --help)"},
        MessageCase{"NoHiddenSurfaceInTheWindowsMethod", {"$D", "$P", "$O", "--no-hidden-surface"},
                    2, "--no-hidden-surface works only with --method symmetric (see --help)"},
        MessageCase{"EyeWithoutDpi", {"$D", "$P", "$O", "--eye", "60"}, 2,
                    "--eye works only with --dpi (see --help)"},
        MessageCase{"DepthOfFieldWithoutDpi", {"$D", "$P", "$O", "--depth-of-field", "0.5"}, 2,
                    "--depth-of-field works only with --dpi (see --help)"},
        MessageCase{"SeparationWithDpi", {"$D", "$P", "$O", "--dpi", "72", "--separation", "90"},
                    2,
                    "--separation cannot be combined with --dpi, which sets the separations from "
                    "--eye (see --help)"},
        MessageCase{"SeparationAtTheAmplitude",
                    {"$D", "$P", "$O", "--separation", "10", "--amplitude", "10"}, 2,
                    "--separation (10) must be larger than --amplitude (10) (see --help)"},
        MessageCase{"AmplitudeAboveTheDefaultSeparation", {"$D", "$P", "$O", "--amplitude", "90"},
                    2, "--separation (80) must be larger than --amplitude (90) (see --help)"},
        // Known only once the depth picture is read: 240 pixels wide.
        MessageCase{"DpiWiderThanThePicture", {"$D", "$P", "$O", "--dpi", "200"}, 2,
                    "--dpi 200 with --eye 63.5 makes one repeat 250 px wide, wider than the "
                    "depth picture (240 px) (see --help)"},
        MessageCase{"QuietKeepsErrors", {"$S/none.png", "$P", "$O", "--quiet"}, 1,
                    "cannot read '$S/none.png': no such file"}),
    [](const testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

// A place the user may not write is refused before any picture is read
// (DEPTH does not even exist). Root writes everywhere, so as root the tool
// runs as nobody.
TEST_F(KindsTool, UnwritablePlacesAreRefusedBeforeReading)
{
    std::vector<std::string> as;
    std::unique_ptr<other_user::ReachableProgram> tool;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv";
        tool = std::make_unique<other_user::ReachableProgram>(kTool);
        if (tool->Path().empty())
            GTEST_SKIP() << tool->Why();
        as = {"--reuid=65534", "--regid=65534", "--clear-groups", tool->Path()};
    }
    const std::string locked = scratch / "locked", kept = scratch / "kept.png";
    std::filesystem::create_directory(locked);
    std::ofstream(kept) << "precious";
    ASSERT_EQ(0, chmod(scratch.Path().c_str(), 0755));
    ASSERT_EQ(0, chmod(locked.c_str(), 0555));
    ASSERT_EQ(0, chmod(kept.c_str(), 0444));
    const std::string none = scratch / "none.png";
    const struct
    {
        std::string output;
        std::string message;
    } cases[] = {
        {locked + "/out.png", "cannot write '" + locked + "/out.png': permission denied"},
        {kept, "cannot write '" + kept + "': permission denied"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = as;
        args.insert(args.end(), {none, pattern, c.output});
        ChildOutcome run = run_program(as.empty() ? kTool : "/usr/bin/setpriv", scratch, args);
        EXPECT_EQ(1, run.status) << c.output;
        EXPECT_EQ("pellara-fuse: " + c.message + "\n", run.err);
    }
    EXPECT_EQ("precious", file_bytes(kept));
    EXPECT_FALSE(std::filesystem::exists(locked + "/out.png"));
}

// A likely mistake still gives the window's file, and one warning line.
struct WarningCase
{
    const char* name;
    // D: the depth picture, P: the pattern, S: a narrow picture, T: a large
    // tile, W: a tile wider but lower than the picture, O: the output.
    std::vector<std::string> args;
    std::string warning; // "" when none
};

class ToolWarning : public KindsTool, public testing::WithParamInterface<WarningCase>
{
};

TEST_P(ToolWarning, WritesTheFileWithOneLine)
{
    const std::string narrow = scratch / "narrow.png", tile = scratch / "tile.png",
                      wide = scratch / "wide.png";
    sphere_picture(narrow, 60, 40);
    noise_picture(tile, 640, 400);
    noise_picture(wide, 300, 50);
    const std::string out = scratch / "out.png";
    std::vector<std::string> args;
    for (const std::string& a : GetParam().args)
        args.push_back(a == "D"   ? depth
                       : a == "P" ? pattern
                       : a == "S" ? narrow
                       : a == "T" ? tile
                       : a == "W" ? wide
                       : a == "O" ? out
                                  : a);
    ChildOutcome run = fuse_run(scratch, args);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(GetParam().warning.empty() ? "" : "pellara-fuse: warning: " + GetParam().warning + "\n",
              run.err);
    std::unique_ptr<BBitmap> written(BTranslationUtils::GetBitmapFile(out.c_str()));
    ASSERT_NE(nullptr, written);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolWarning,
    testing::Values(
        WarningCase{"SwappedNarrow", {"P", "D", "O"},
                    "depth picture 96x96 is smaller than the pattern (240x120): were DEPTH and "
                    "PATTERN swapped?"},
        WarningCase{"NarrowerThanARepeat", {"S", "P", "O"},
                    "depth picture 60x40 is narrower than one repeat (80 px): were DEPTH and "
                    "PATTERN swapped?"},
        WarningCase{"NarrowerThanAWiderRepeat", {"D", "P", "O", "--separation", "250"},
                    "depth picture 240x120 is narrower than one repeat (250 px): were DEPTH and "
                    "PATTERN swapped?"},
        WarningCase{"SmallerThanTheTile", {"D", "T", "O"},
                    "depth picture 240x120 is smaller than the pattern (640x400): were DEPTH and "
                    "PATTERN swapped?"},
        WarningCase{"RandomDotsNarrow", {"S", "O", "--random-dot"},
                    "depth picture 60x40 is narrower than one repeat (80 px): it holds no depth"},
        WarningCase{"QuietSaysNothing", {"P", "D", "O", "--quiet"}, ""},
        WarningCase{"TileWiderButLower", {"D", "W", "O"}, ""},
        WarningCase{"NothingWrong", {"D", "P", "O"}, ""}),
    [](const testing::TestParamInfo<WarningCase>& info) { return std::string(info.param.name); });

// --quiet drops the engine's trace lines too, wherever the picture goes.
TEST_F(KindsTool, QuietLeavesTheStreamsEmpty)
{
    const std::string out = scratch / "out.png", piped = scratch / "piped.png";
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, std::vector<std::string>{"--method", "symmetric"}}) {
        std::vector<std::string> args = {depth, pattern, out, "--quiet"};
        args.insert(args.end(), options.begin(), options.end());
        ChildOutcome run = fuse_run(scratch, args);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ("", run.out);
        EXPECT_EQ("", run.err);
        args[2] = "-";
        args.insert(args.end(), {"--format", "png"});
        run = fuse_run(scratch, args, "", piped);
        ASSERT_EQ(0, run.status) << run.err;
        EXPECT_EQ("", run.err);
        EXPECT_EQ(file_bytes(out), file_bytes(piped)); // the picture alone
    }
}

// Every option the parser knows is listed by --help, the manual page and
// the bash completion.
TEST(ToolOptions, AreAllListedWhereUsersLook)
{
    ScratchFolder scratch;
    ChildOutcome help = run_program(kTool, scratch, {"--help"});
    ASSERT_EQ(0, help.status);
    std::string manual = file_bytes(std::string(PELLARA_DATA_DIR) + "/pellara-fuse.1");
    for (size_t at; (at = manual.find("\\-")) != std::string::npos;)
        manual.replace(at, 2, "-");
    const std::string completion = file_bytes(std::string(PELLARA_DATA_DIR) + "/pellara-fuse.bash");
    const std::vector<std::string> names = fuse::OptionNames();
    ASSERT_GE(names.size(), 19u);
    for (const std::string& name : names) {
        // Followed by a space or the end of a line, so --dpi is not found
        // inside another name.
        for (const auto& [where, text] : {std::pair<const char*, const std::string&>{"--help", help.out},
                                          {"manual", manual},
                                          {"completion", completion}}) {
            bool found = false;
            for (size_t at = text.find(name); at != std::string::npos && !found;
                 at = text.find(name, at + 1)) {
                const char after = at + name.size() < text.size() ? text[at + name.size()] : '\n';
                found = after == ' ' || after == '\n' || after == '"' || after == ',';
            }
            EXPECT_TRUE(found) << name << " is not in the " << where;
        }
    }
}

} // namespace
