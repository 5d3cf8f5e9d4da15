// pellara-fuse run as a program: exit codes, messages, and what it leaves on
// disk when it fails.
#include <Bitmap.h>
#include <BitmapStream.h>
#include <File.h>
#include <FuseJob.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Scratch
{
public:
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-tool-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(fPath); }
    std::string operator/(const std::string& name) const { return fPath + "/" + name; }
    const std::string& Path() const { return fPath; }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fPath))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string fPath;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ToolRun
{
    int status;
    std::string out;
    std::string err;
};

ToolRun run_tool(const Scratch& scratch, const std::vector<std::string>& args)
{
    std::string outPath = scratch / "stdout.txt", errPath = scratch / "stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(PELLARA_FUSE_PATH));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(PELLARA_FUSE_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(outPath), slurp(errPath)};
    fs::remove(outPath);
    fs::remove(errPath);
    return run;
}

void save(BBitmap* bitmap, const std::string& path)
{
    fuse::OutputFormat png;
    ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
    ASSERT_EQ(B_OK, fuse::WritePicture(bitmap, path.c_str(), png));
}

void grey_picture(const std::string& path, int32 width, int32 height)
{
    BBitmap bitmap(BRect(0, 0, float(width - 1), float(height - 1)), B_RGB32);
    uint32* bits = static_cast<uint32*>(bitmap.Bits());
    for (int32 i = 0; i < width * height; i++) {
        uint32 v = uint32((i % width) * 255 / width);
        bits[i] = 0xFF000000u | v * 0x010101u;
    }
    save(&bitmap, path);
}

void noise_picture(const std::string& path)
{
    BBitmap bitmap(BRect(0, 0, 31, 31), B_RGB32);
    uint32* bits = static_cast<uint32*>(bitmap.Bits());
    uint32 state = 12345;
    for (int32 i = 0; i < 32 * 32; i++) {
        state = state * 1664525u + 1013904223u;
        bits[i] = 0xFF000000u | (state >> 8);
    }
    save(&bitmap, path);
}

class Tool : public testing::Test
{
protected:
    void SetUp() override
    {
        depth = scratch / "depth.png";
        pattern = scratch / "pattern.png";
        grey_picture(depth, 200, 120);
        noise_picture(pattern);
    }

    Scratch scratch;
    std::string depth, pattern;
};

TEST_F(Tool, MakesAStereogramAndTracesOnStdout)
{
    std::string out = scratch / "out.png";
    ToolRun run = run_tool(scratch, {depth, pattern, out});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err);
    EXPECT_NE(std::string::npos, run.out.find("debut de fusion\n")) << run.out;
    std::unique_ptr<BBitmap> result(BTranslationUtils::GetBitmapFile(out.c_str()));
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(200, result->PixelWidth());
    EXPECT_EQ(120, result->PixelHeight());
}

struct FormatCase
{
    const char* output;
    std::vector<std::string> extra;
    std::string magic;
};

void PrintTo(const FormatCase& c, std::ostream* os)
{
    *os << c.output;
}

class ToolFormat : public Tool, public testing::WithParamInterface<FormatCase>
{
};

TEST_P(ToolFormat, WritesTheFormatAsked)
{
    std::vector<std::string> args = {depth, pattern, scratch / GetParam().output};
    args.insert(args.end(), GetParam().extra.begin(), GetParam().extra.end());
    ToolRun run = run_tool(scratch, args);
    ASSERT_EQ(0, run.status) << run.err;
    std::string written = slurp(scratch / GetParam().output);
    EXPECT_EQ(GetParam().magic, written.substr(0, GetParam().magic.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ToolFormat,
    testing::Values(FormatCase{"out.png", {}, "\x89PNG"}, FormatCase{"OUT.PNG", {}, "\x89PNG"},
                    FormatCase{"out.jpg", {}, "\xFF\xD8"}, FormatCase{"out.tif", {}, "II*"},
                    FormatCase{"out.bmp", {}, "BM"},
                    FormatCase{"noextension", {"--format", "JPEG"}, "\xFF\xD8"},
                    FormatCase{"quoted", {"--format", "'BMP '"}, "BM"},
                    FormatCase{"out.png.tmp", {"--format=tiff"}, "II*"},
                    FormatCase{"named.bmp", {"--format", "png"}, "\x89PNG"}));

struct FailureCase
{
    const char* label;
    std::vector<std::string> args; // $D depth, $P pattern, $O output, $S scratch
    int status;
    std::string message; // the whole of stderr, after substitution
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.label;
}

class ToolFailure : public Tool, public testing::WithParamInterface<FailureCase>
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

TEST_P(ToolFailure, ReportsOneLineAndKeepsTheOldOutput)
{
    std::string out = scratch / "out.png";
    {
        std::ofstream(out) << "precious";
    }
    chmod(out.c_str(), 0640);
    {
        std::ofstream(scratch / "text.png") << "not a picture at all";
    }
    std::vector<std::string> args;
    for (const std::string& a : GetParam().args)
        args.push_back(Expand(a));
    std::vector<std::string> before = scratch.Names();

    ToolRun run = run_tool(scratch, args);
    EXPECT_EQ(GetParam().status, run.status);
    EXPECT_EQ("pellara-fuse: " + Expand(GetParam().message) + "\n", run.err);
    EXPECT_EQ("precious", slurp(out));
    EXPECT_EQ(before, scratch.Names()); // no temporary file left behind
    struct stat st;
    stat(out.c_str(), &st);
    EXPECT_EQ(mode_t(0640), st.st_mode & 07777);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolFailure,
    testing::Values(
        FailureCase{"NoArguments", {}, 2, "expected DEPTH PATTERN OUTPUT (see --help)"},
        FailureCase{"TooMany", {"$D", "$P", "$O", "x"}, 2, "too many arguments: 'x' (see --help)"},
        FailureCase{
            "UnknownOption", {"--frobnicate"}, 2, "unknown option '--frobnicate' (see --help)"},
        FailureCase{"FormatMissing",
                    {"$D", "$P", "$O", "--format"},
                    2,
                    "--format needs a TYPE (see --help)"},
        FailureCase{"UnknownFormat",
                    {"$D", "$P", "$O", "--format", "xyz"},
                    2,
                    "unknown format 'xyz' (see --list-formats)"},
        FailureCase{"UnknownExtension",
                    {"$D", "$P", "$S/out.xyz"},
                    2,
                    "unknown format 'xyz' (see --list-formats)"},
        FailureCase{"NoExtension",
                    {"$D", "$P", "$S/out"},
                    2,
                    "cannot tell the format of '$S/out': give --format"},
        FailureCase{"IconFormatNotOffered",
                    {"$D", "$P", "$S/out.ico"},
                    2,
                    "unknown format 'ico' (see --list-formats)"},
        FailureCase{"MissingDepth",
                    {"$S/none.png", "$P", "$O"},
                    1,
                    "cannot read '$S/none.png': no such file"},
        FailureCase{"DepthNotAnImage",
                    {"$S/text.png", "$P", "$O"},
                    1,
                    "cannot read '$S/text.png': not an image"},
        FailureCase{"PatternIsAFolder", {"$D", "$S", "$O"}, 1, "cannot read '$S': is a directory"},
        FailureCase{"NoSuchFolder",
                    {"$D", "$P", "$S/none/out.png"},
                    1,
                    "cannot write '$S/none/out.png': no such folder"},
        FailureCase{"OutputIsAFolder",
                    {"$D", "$P", "$S", "--format", "png"},
                    1,
                    "cannot write '$S': is a directory"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

TEST_F(Tool, AFailedEncodeLeavesNoTemporaryAndKeepsTheOldFile)
{
    // WebP cannot hold a picture wider than 16383 pixels: the encoder fails
    // after the temporary file has been made.
    std::string wide = scratch / "wide.png", out = scratch / "out.webp";
    grey_picture(wide, 16400, 2);
    {
        std::ofstream(out) << "precious";
    }
    std::vector<std::string> before = scratch.Names();
    ToolRun run = run_tool(scratch, {wide, pattern, out});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(0u, run.err.rfind("pellara-fuse: cannot write '" + out + "': ", 0)) << run.err;
    EXPECT_EQ("precious", slurp(out));
    EXPECT_EQ(before, scratch.Names());
}

TEST_F(Tool, ReplacingKeepsPermissionsNewFilesFollowTheUmask)
{
    std::string old = scratch / "old.png", fresh = scratch / "new.png";
    {
        std::ofstream(old) << "x";
    }
    chmod(old.c_str(), 0604);
    ASSERT_EQ(0, run_tool(scratch, {depth, pattern, old}).status);
    mode_t mask = umask(027);
    ToolRun run = run_tool(scratch, {depth, pattern, fresh});
    umask(mask);
    ASSERT_EQ(0, run.status);
    struct stat st;
    stat(old.c_str(), &st);
    EXPECT_EQ(mode_t(0604), st.st_mode & 07777);
    stat(fresh.c_str(), &st);
    EXPECT_EQ(mode_t(0640), st.st_mode & 07777);
}

TEST_F(Tool, HelpVersionAndFormats)
{
    ToolRun help = run_tool(scratch, {"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.rfind("Usage: pellara-fuse DEPTH PATTERN OUTPUT [--format TYPE]", 0));
    ToolRun version = run_tool(scratch, {"--version"});
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("pellara-fuse 1.0.0\n", version.out);
    ToolRun list = run_tool(scratch, {"--list-formats"});
    EXPECT_EQ(0, list.status);
    EXPECT_NE(std::string::npos, list.out.find("png    'PNG '  image/png"));
    EXPECT_NE(std::string::npos, list.out.find("PNG image\n"));
    EXPECT_EQ(std::string::npos, list.out.find("ico"));
}

} // namespace
