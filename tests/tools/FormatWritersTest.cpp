// Formats are written by libraries the tool is linked with, whatever Qt
// plugins are installed; an unknown format reads as such; -h is --help.
#include <ToolOutput.h>

#include <QLibraryInfo>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct MessageCase
{
    const char* name;
    const char* message;
};

class UnknownFormat : public testing::TestWithParam<MessageCase>
{
};

TEST_P(UnknownFormat, SaysSo)
{
    EXPECT_EQ(GetParam().message, fuse::UnknownFormatMessage(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnknownFormat,
    testing::Values(
        MessageCase{"xyz", "unknown format 'xyz' (see --list-formats)"},
        MessageCase{"webpx", "unknown format 'webpx' (see --list-formats)"},
        MessageCase{"'", "unknown format ''' (see --list-formats)"},
        MessageCase{"", "unknown format '' (see --list-formats)"},
        // Read, never written: said as such, in the case given.
        MessageCase{"heic", "format 'heic' is read but not written (see --list-formats)"},
        MessageCase{"GIF", "format 'GIF' is read but not written (see --list-formats)"},
        MessageCase{"avif", "format 'avif' is read but not written (see --list-formats)"},
        MessageCase{"jp2", "format 'jp2' is read but not written (see --list-formats)"},
        MessageCase{"exr", "format 'exr' is read but not written (see --list-formats)"},
        // Every format the reading table knows, not a list kept beside it.
        MessageCase{"qoi", "format 'qoi' is read but not written (see --list-formats)"},
        MessageCase{"pam", "format 'pam' is read but not written (see --list-formats)"},
        MessageCase{"PSB", "format 'PSB' is read but not written (see --list-formats)"},
        MessageCase{"hif", "format 'hif' is read but not written (see --list-formats)"},
        // Close to one, but not one.
        MessageCase{"heicx", "unknown format 'heicx' (see --list-formats)"},
        MessageCase{"gi", "unknown format 'gi' (see --list-formats)"}),
    [](const testing::TestParamInfo<MessageCase>& info) {
        return "Case" + std::to_string(info.index);
    });

struct Outcome
{
    int status;
    std::string output; // stdout and stderr together
};

Outcome run(const std::string& command)
{
    Outcome result{-1, {}};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shell_quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const std::string kTool = PELLARA_FUSE_PATH;

TEST(ToolHelp, ShortOptionIsTheLongOne)
{
    Outcome longForm = run(shell_quoted(kTool) + " --help");
    Outcome shortForm = run(shell_quoted(kTool) + " -h");
    EXPECT_EQ(0, shortForm.status);
    EXPECT_EQ(longForm.output, shortForm.output);
    EXPECT_EQ(0u, shortForm.output.rfind("Usage: pellara-fuse", 0));
}

// The whole tool with Qt's image plugins hidden, as on a system without
// qt6-image-formats-plugins: a private mount namespace lays an empty folder
// over the plugins' folder for the tool alone. WebP and TIFF are still ours.
TEST(ToolWithoutPlugins, StillWritesWebpAndTiff)
{
    if (run("unshare -rm true").status != 0)
        GTEST_SKIP() << "needs unshare with user and mount namespaces";
    std::string plugins =
        QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/imageformats";
    if (!fs::is_directory(plugins))
        GTEST_SKIP() << "no image plugin folder at " << plugins;
    std::string scratch = (fs::temp_directory_path() / "pellara-codec-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(scratch.data()));
    fs::create_directory(scratch + "/empty");
    std::string examples = PELLARA_EXAMPLES_DIR;

    for (const char* output : {"out.webp", "out.tif"}) {
        std::string command = "unshare -rm sh -c 'mount --bind \"$1\" \"$2\" && shift 2 && "
                              "exec \"$@\"' sh " +
                              shell_quoted(scratch + "/empty") + " " + shell_quoted(plugins) + " " +
                              shell_quoted(kTool) + " " + shell_quoted(examples + "/depth.png") + " " +
                              shell_quoted(examples + "/pattern.png") + " " +
                              shell_quoted(scratch + "/" + output);
        Outcome result = run(command);
        EXPECT_EQ(0, result.status) << result.output;
        EXPECT_GT(fs::file_size(scratch + "/" + output), 0u) << output;
    }
    fs::remove_all(scratch);
}

} // namespace
