// pellara-depth run as a child process, with what it printed and what the
// kernel says it cost (its CPU time and peak memory, its own model reader's
// included).
#ifndef DEPTH_TOOL_RUN_H
#define DEPTH_TOOL_RUN_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct DepthToolRun
{
    int status = -1; // the exit status, or minus the signal that ended it
    std::string out;
    std::string err;
    double cpuSeconds = 0;
    long maxResidentKiB = 0;
};

struct DepthToolStart
{
    std::string input; // a file for standard input; /dev/null when empty
    std::vector<std::pair<std::string, std::string>> environment;
};

// Runs the tool with args; its standard streams go through files in folder,
// removed afterwards.
inline DepthToolRun run_depth_tool(const std::string& folder, const std::vector<std::string>& args,
                                   const DepthToolStart& how = {})
{
    const std::string outPath = folder + "/.stdout", errPath = folder + "/.stderr";
    const pid_t child = fork();
    if (child == 0) {
        const int in = open(how.input.empty() ? "/dev/null" : how.input.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // No display: the tool must not need one.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("QT_QPA_PLATFORM");
        for (const auto& [name, value] : how.environment)
            setenv(name.c_str(), value.c_str(), 1);
#ifdef PELLARA_LSAN_SUPPRESSIONS
        // A sanitised tool: fontconfig's own leaks are not the tool's, and
        // their count must not add lines to its one-line messages.
        std::string leaks = "print_suppressions=0:suppressions=" PELLARA_LSAN_SUPPRESSIONS;
        if (const char* given = getenv("LSAN_OPTIONS"))
            leaks = std::string(given) + ":" + leaks;
        setenv("LSAN_OPTIONS", leaks.c_str(), 1);
#endif
        // Far above any cost a test accepts: keeps a runaway off the machine.
        const rlimit cpu = {60, 60};
        setrlimit(RLIMIT_CPU, &cpu);
        std::vector<char*> argv{const_cast<char*>(PELLARA_DEPTH_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(PELLARA_DEPTH_PATH, argv.data());
        _exit(127);
    }
    DepthToolRun run;
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    run.maxResidentKiB = usage.ru_maxrss;
    std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return run;
}

#endif // DEPTH_TOOL_RUN_H
