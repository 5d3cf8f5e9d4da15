// Running a program as another user (nobody) from a test. The build tree may
// lie where nobody cannot enter (a clone in /root, mode 0700): the program is
// then copied into a folder of its own that everyone may enter and run from.
#ifndef OTHER_USER_H
#define OTHER_USER_H

#include <filesystem>
#include <string>
#include <system_error>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace other_user {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// Becomes nobody for good; false when that fails. For a forked child only.
inline bool become_nobody()
{
    gid_t none = kNogroup;
    return setgroups(1, &none) == 0 && setresgid(kNogroup, kNogroup, kNogroup) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

// Whether nobody may run path (every folder above it searchable, the file
// executable): asked of nobody itself, in a child.
inline bool nobody_can_run(const std::string& path)
{
    pid_t child = fork();
    if (child == 0)
        _exit(become_nobody() && access(path.c_str(), X_OK) == 0 ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// A copy of program that nobody can run, in a fresh folder below the
// temporary folder; removed with it.
class ReachableProgram
{
public:
    explicit ReachableProgram(const std::string& program)
    {
        if (nobody_can_run(program)) {
            fPath = program;
            return;
        }
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pellara-program-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            fWhy = "cannot make a folder for a copy of the program";
            return;
        }
        fFolder = pattern;
        chmod(fFolder.c_str(), 0755);
        const std::string copy =
            fFolder + "/" + std::filesystem::path(program).filename().string();
        std::error_code error;
        std::filesystem::copy_file(program, copy, error);
        if (error || chmod(copy.c_str(), 0755) != 0) {
            fWhy = "cannot copy " + program + " for another user";
            return;
        }
        if (!nobody_can_run(copy)) {
            fWhy = "nobody cannot reach " + fFolder + " (is the temporary folder private?)";
            return;
        }
        fPath = copy;
    }
    ~ReachableProgram()
    {
        if (!fFolder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(fFolder, ignored);
        }
    }
    ReachableProgram(const ReachableProgram&) = delete;
    ReachableProgram& operator=(const ReachableProgram&) = delete;

    // Empty when no copy could be arranged; Why() then says why.
    const std::string& Path() const { return fPath; }
    const std::string& Why() const { return fWhy; }

private:
    std::string fPath;
    std::string fFolder;
    std::string fWhy;
};

} // namespace other_user

#endif // OTHER_USER_H
