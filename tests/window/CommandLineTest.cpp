// The program's command line: help and version answer without any display,
// and anything else still opens the window (here: fails for want of one).
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include <sys/wait.h>

namespace {

#ifdef PELLARA_PROGRAM
const char* kProgram = PELLARA_PROGRAM;
#else
const char* kProgram = nullptr;
#endif

struct Outcome
{
    int status;
    std::string out;
};

// Without DISPLAY, WAYLAND_DISPLAY or a Qt platform: a program that tried to
// open a window would say so and exit 1.
Outcome run_without_display(const std::string& arguments)
{
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" +
                          std::string(kProgram) + "' " + arguments + " 2>&1";
    Outcome result{-1, {}};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

struct CommandLine
{
    const char* arguments;
    int status;
    const char* output; // a regular expression for the whole output
};

class ProgramCommandLine : public testing::TestWithParam<CommandLine>
{
};

TEST_P(ProgramCommandLine, AnswersWithoutOpeningAWindow)
{
    if (kProgram == nullptr)
        GTEST_SKIP() << "the program is not built";
    Outcome run = run_without_display(GetParam().arguments);
    EXPECT_EQ(GetParam().status, run.status) << run.out;
    EXPECT_TRUE(std::regex_match(run.out, std::regex(GetParam().output))) << run.out;
}

const char kUsage[] = "Usage: pellara \\[--help \\| --version\\]\n[^]*drag and drop[^]*";
const char kNoDisplay[] =
    "pellara: no display to open a window on: neither DISPLAY nor WAYLAND_DISPLAY is set\n";

INSTANTIATE_TEST_SUITE_P(
    Arguments, ProgramCommandLine,
    testing::Values(
        CommandLine{"--help", 0, kUsage}, CommandLine{"-h", 0, kUsage},
        CommandLine{"--version", 0, "pellara [0-9]+\\.[0-9]+\\.[0-9]+\n"},
        // Help wins wherever it stands, and no window is tried.
        CommandLine{"picture.png --help", 0, kUsage},
        CommandLine{"", 1, kNoDisplay},
        CommandLine{"picture.png", 1,
                    "pellara: arguments are not read; drop pictures on the window \\(see "
                    "--help\\)\n"
                    "pellara: no display to open a window on: neither DISPLAY nor "
                    "WAYLAND_DISPLAY is set\n"}),
    [](const testing::TestParamInfo<CommandLine>& info) {
        return "Case" + std::to_string(info.index);
    });

} // namespace
