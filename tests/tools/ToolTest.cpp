// pellara-fuse run as a program: exit codes, messages, and what it leaves on
// disk when it fails.
#include <Bitmap.h>
#include <BitmapStream.h>
#include <File.h>
#include <FuseJob.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>

#include "OtherUser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
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

// How the tool is started: where its standard input and output come from,
// and whether it runs as nobody.
struct Start
{
    std::string input;  // a file for standard input; none when empty
    std::string output; // a file for standard output instead of a scratch one
    bool asNobody = false;
    std::string program = PELLARA_FUSE_PATH;
    rlim_t fileSizeLimit = RLIM_INFINITY; // writes past it fail with EFBIG
};

ToolRun run_tool(const Scratch& scratch, const std::vector<std::string>& args,
                 const Start& how = {})
{
    std::string outPath = how.output.empty() ? scratch / "stdout.txt" : how.output;
    std::string errPath = scratch / "stderr.txt";
    pid_t child = fork();
    if (child == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        int in = open(how.input.empty() ? "/dev/null" : how.input.c_str(), O_RDONLY);
        dup2(in, 0);
        if (how.asNobody && !other_user::become_nobody())
            _exit(126);
        if (how.fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit size = {how.fileSizeLimit, how.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &size);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(how.program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(how.program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ToolRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                how.output.empty() ? slurp(outPath) : std::string(), slurp(errPath)};
    if (how.output.empty())
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
    EXPECT_EQ(0, symlink("loop.png", (scratch / "loop.png").c_str()));
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
                    "format 'ico' is read but not written (see --list-formats)"},
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
                    "cannot write '$S': is a directory"},
        FailureCase{"OutputBelowAFile",
                    {"$D", "$P", "$D/out.png"},
                    1,
                    "cannot write '$D/out.png': a folder on the path is a file"},
        FailureCase{"SymlinkLoop",
                    {"$D", "$P", "$S/loop.png"},
                    1,
                    "cannot write '$S/loop.png': too many levels of symbolic links"},
        FailureCase{"StandardOutputWithoutFormat",
                    {"$D", "$P", "-"},
                    2,
                    "writing to standard output needs --format (see --help)"},
        FailureCase{"BothFromStandardInput",
                    {"-", "-", "$O"},
                    2,
                    "only one of DEPTH and PATTERN can be '-' (see --help)"},
        FailureCase{"StandardInputNotAnImage",
                    {"-", "$P", "$O"},
                    1,
                    "cannot read standard input: not an image"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

TEST_F(Tool, AFailedEncodeLeavesNoTemporaryAndKeepsTheOldFile)
{
    // A file size limit makes the writes fail after the temporary file has
    // been made, as a full disk would.
    std::string out = scratch / "out.png";
    {
        std::ofstream(out) << "precious";
    }
    std::vector<std::string> before = scratch.Names();
    Start limited;
    limited.fileSizeLimit = 4096;
    ToolRun run = run_tool(scratch, {depth, pattern, out}, limited);
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

// '-' reads a picture from standard input, and writes the stereogram to
// standard output with nothing else in it: the trace lines go to standard
// error then.
TEST_F(Tool, StandardInputAndOutput)
{
    std::string out = scratch / "out.png", piped = scratch / "piped.png";
    ToolRun fromInput = run_tool(scratch, {"-", pattern, out}, {depth, "", false});
    ASSERT_EQ(0, fromInput.status) << fromInput.err;
    ToolRun patternFromInput = run_tool(scratch, {depth, "-", piped}, {pattern, "", false});
    ASSERT_EQ(0, patternFromInput.status) << patternFromInput.err;
    EXPECT_EQ(slurp(out), slurp(piped));

    std::string toOutput = scratch / "to-output.png";
    ToolRun run =
        run_tool(scratch, {depth, pattern, "-", "--format", "png"}, {"", toOutput, false});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(slurp(out), slurp(toOutput));
    EXPECT_NE(std::string::npos, run.err.find("debut de fusion\n")) << run.err;
    // A path that names standard output is treated as standard output.
    std::string viaDev = scratch / "via-dev.png";
    run =
        run_tool(scratch, {depth, pattern, "/dev/stdout", "--format", "png"}, {"", viaDev, false});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(slurp(out), slurp(viaDev));
}

// A failed write to standard output is a failed run, whatever was asked.
TEST_F(Tool, AFullStandardOutputFails)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    for (const char* option : {"--help", "--list-formats", "--version"}) {
        SCOPED_TRACE(option);
        ToolRun run = run_tool(scratch, {option}, {"", "/dev/full", false});
        EXPECT_EQ(1, run.status);
        EXPECT_EQ("pellara-fuse: cannot write to standard output: no space left on device\n",
                  run.err);
    }
    // Whether the trace lines or the picture meet the full device first.
    const std::vector<std::vector<std::string>> runs = {{depth, pattern, "-", "--format", "png"},
                                                        {depth, pattern, scratch / "out.png"}};
    for (const auto& args : runs) {
        SCOPED_TRACE(args[2]);
        ToolRun run = run_tool(scratch, args, {"", "/dev/full", false});
        EXPECT_EQ(1, run.status);
        EXPECT_NE(std::string::npos, run.err.find("standard output: ")) << run.err;
    }
}

// Where the kernel's path leads, not where its text seems to: "via/.."
// after a symlink, and a symlink to a device.
TEST_F(Tool, WritesWhereTheKernelResolves)
{
    fs::create_directories(scratch / "deep/er");
    EXPECT_EQ(0, symlink("deep/er", (scratch / "via").c_str()));
    EXPECT_EQ(0, symlink("/dev/null", (scratch / "null.png").c_str()));
    ToolRun run = run_tool(scratch, {depth, pattern, scratch / "via/../x.png"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(fs::exists(scratch / "deep/x.png"));
    EXPECT_FALSE(fs::exists(scratch / "x.png"));
    run = run_tool(scratch, {depth, pattern, scratch / "null.png"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(fs::is_symlink(scratch / "null.png"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// As a user, a file the shell would refuse is refused with the shell's words.
TEST_F(Tool, AsAUserAReadOnlyFileIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running the tool as another user needs root";
    const other_user::ReachableProgram tool(PELLARA_FUSE_PATH);
    if (tool.Path().empty())
        GTEST_SKIP() << tool.Why();
    std::string keep = scratch / "keep.png";
    {
        std::ofstream(keep) << "precious";
    }
    chmod(keep.c_str(), 0444);
    chmod(scratch.Path().c_str(), 0777);
    EXPECT_EQ(0, chown(keep.c_str(), 65534, 65534));
    chmod(depth.c_str(), 0644);
    chmod(pattern.c_str(), 0644);
    ToolRun run = run_tool(scratch, {depth, pattern, keep}, {"", "", true, tool.Path()});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("pellara-fuse: cannot write '" + keep + "': permission denied\n", run.err);
    EXPECT_EQ("precious", slurp(keep));
}

// SIGTERM once the stereogram is made (while it is encoded or written):
// the old file stays whole and no temporary is left.
TEST_F(Tool, ATerminatedRunLeavesNoTemporary)
{
    std::string big = scratch / "big.png", out = scratch / "out.png";
    grey_picture(big, 3000, 2000);
    {
        std::ofstream(out) << "precious";
    }
    std::vector<std::string> before = scratch.Names();
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    pid_t child = fork();
    if (child == 0) {
        dup2(ends[1], 1);
        close(ends[0]);
        execl(PELLARA_FUSE_PATH, PELLARA_FUSE_PATH, big.c_str(), pattern.c_str(), out.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    // The trace lines reach the pipe once the stereogram is made.
    std::string traces;
    char buffer[256];
    ssize_t n;
    while (traces.find("debut de fusion\n") == std::string::npos &&
           (n = read(ends[0], buffer, sizeof(buffer))) > 0)
        traces.append(buffer, size_t(n));
    kill(child, SIGTERM);
    close(ends[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended before the signal: " << status;
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_EQ("precious", slurp(out));
    EXPECT_EQ(before, scratch.Names());
}

} // namespace
