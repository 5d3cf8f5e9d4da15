// pellara-fuse run as a child process with files for its standard streams,
// in a scratch folder of its own.
#ifndef TOOL_RUNNER_H
#define TOOL_RUNNER_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

class ScratchFolder
{
public:
    ScratchFolder()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pellara-kinds-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
    }
    ~ScratchFolder() { std::filesystem::remove_all(fPath); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string operator/(const std::string& name) const { return fPath + "/" + name; }
    const std::string& Path() const { return fPath; }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(fPath))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string fPath;
};

inline std::string file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What command (run by the shell) prints on standard output.
inline std::string command_output(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

struct ChildOutcome
{
    int status;
    std::string out; // empty when standard output went to a file of the caller's
    std::string err;
    double cpuSeconds = 0; // what the kernel says the run cost
    long maxResidentKiB = 0;
};

// Runs program with args; standard input from input (or /dev/null), standard
// output into output when given.
// Writes past fileSizeLimit fail with EFBIG, as on a full disk.
inline ChildOutcome run_program(const std::string& program, const ScratchFolder& scratch,
                                const std::vector<std::string>& args,
                                const std::string& input = "", const std::string& output = "",
                                rlim_t fileSizeLimit = RLIM_INFINITY)
{
    const std::string outPath = output.empty() ? scratch / ".stdout" : output;
    const std::string errPath = scratch / ".stderr";
    pid_t child = fork();
    if (child == 0) {
        int in = open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit size = {fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &size);
        }
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    ChildOutcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                         output.empty() ? file_bytes(outPath) : std::string(),
                         file_bytes(errPath),
                         double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                             double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6,
                         usage.ru_maxrss};
    if (output.empty())
        std::filesystem::remove(outPath);
    std::filesystem::remove(errPath);
    return outcome;
}

#endif // TOOL_RUNNER_H
