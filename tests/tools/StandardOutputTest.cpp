// The tools when standard output cannot take what they write: the one line
// names the real error, worded one way by both tools, whatever wrote first
// (the help, the engine's trace lines or the picture itself).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

enum Output
{
    kFile,   // a plain file: nothing fails
    kClosed, // >&-
    kFull,   // >/dev/full
};

struct ToolRun
{
    int status;
    std::string err;
};

ToolRun run_tool(const std::string& folder, const std::vector<std::string>& args, Output output,
                 const char* tool = PELLARA_FUSE_PATH)
{
    const std::string errPath = folder + "/stderr.txt", outPath = folder + "/stdout.txt";
    pid_t child = fork();
    if (child == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        close(err);
        if (output == kClosed) {
            close(1);
        } else {
            int out = open(output == kFull ? "/dev/full" : outPath.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            close(out);
        }
        std::vector<char*> argv{const_cast<char*>(tool)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(tool, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(errPath)};
}

const char kClosedLine[] = "cannot write to standard output: bad file descriptor "
                           "(closed, or not open for writing)\n";
const char kFullLine[] = "cannot write to standard output: no space left on device\n";

struct Case
{
    const char* label;
    std::vector<std::string> args; // DEPTH, PATTERN and OUT stand for the files
    Output output;
    const char* line;
    bool depthTool = false;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.label;
}

const Case kCases[] = {
    {"VersionToAClosedOutput", {"--version"}, kClosed, kClosedLine},
    {"HelpToAFullDevice", {"--help"}, kFull, kFullLine},
    // The engine's trace lines are what meets the failure first.
    {"TracesToAFullDevice", {"DEPTH", "PATTERN", "OUT"}, kFull, kFullLine},
    {"TracesToAClosedOutput", {"DEPTH", "PATTERN", "OUT"}, kClosed, kClosedLine},
    // The picture itself; the traces went to standard error.
    {"PictureToAFullDevice", {"DEPTH", "PATTERN", "-", "--format", "png"}, kFull, kFullLine},
    {"PictureToAClosedOutput", {"DEPTH", "PATTERN", "-", "--format", "png"}, kClosed, kClosedLine},
    {"DepthVersionToAClosedOutput", {"--version"}, kClosed, kClosedLine, true},
    {"DepthPictureToAFullDevice", {"DEPTH", "-", "--format", "png"}, kFull, kFullLine, true},
    {"DepthPictureToAClosedOutput", {"DEPTH", "-", "--format", "png"}, kClosed, kClosedLine, true},
};

class StandardOutput : public testing::TestWithParam<Case>
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-stdout-XXXXXX").string();
        fFolder = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(fFolder); }

    std::vector<std::string> Args(const std::vector<std::string>& args) const
    {
        std::vector<std::string> out;
        for (const std::string& a : args) {
            if (a == "DEPTH")
                out.push_back(std::string(PELLARA_EXAMPLES_DIR) + "/depth.png");
            else if (a == "PATTERN")
                out.push_back(std::string(PELLARA_EXAMPLES_DIR) + "/pattern.png");
            else if (a == "OUT")
                out.push_back(fFolder + "/out.png");
            else
                out.push_back(a);
        }
        return out;
    }

    std::string fFolder;
};

TEST_P(StandardOutput, OneLineWithTheRealError)
{
    const Case& c = GetParam();
    if (c.output == kFull && access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    const std::string prefix = c.depthTool ? "pellara-depth: " : "pellara-fuse: ";
    ToolRun run = run_tool(fFolder, Args(c.args), c.output,
                           c.depthTool ? PELLARA_DEPTH_PATH : PELLARA_FUSE_PATH);
    EXPECT_EQ(1, run.status);
    // Trace lines may come first on standard error; ours is the one line
    // the tool says, and the last.
    const size_t ours = run.err.find(prefix);
    ASSERT_NE(std::string::npos, ours) << run.err;
    EXPECT_TRUE(ours == 0 || run.err[ours - 1] == '\n') << run.err;
    EXPECT_EQ(prefix + c.line, run.err.substr(ours)) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Failures, StandardOutput, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

// With standard output closed, no file the tool opens takes its number: the
// picture written is the same as with a working standard output, with no
// trace line in it.
TEST_F(StandardOutput, AClosedOutputIsNotReusedForAFile)
{
    const std::vector<std::string> args = Args({"DEPTH", "PATTERN", "OUT"});
    ASSERT_EQ(0, run_tool(fFolder, args, kFile).status);
    const std::string good = slurp(fFolder + "/out.png");
    fs::remove(fFolder + "/out.png");
    EXPECT_EQ(1, run_tool(fFolder, args, kClosed).status);
    EXPECT_EQ(good, slurp(fFolder + "/out.png"));
}

} // namespace
