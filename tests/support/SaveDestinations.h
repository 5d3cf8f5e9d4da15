// The places a save really goes to, each set up in a scratch folder with an
// older picture where it matters, and what must hold once the save is over.
// Shared by the storage kit's tests and the window's Save As tests, which
// differ only in how they save.
#ifndef SAVE_DESTINATIONS_H
#define SAVE_DESTINATIONS_H

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace save_destinations {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
inline const std::string kOld = "an older picture";

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void put(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline struct stat lstat_of(const std::string& path)
{
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

// A scratch folder others may enter (saves made as nobody must reach it),
// with a mounted file system unmounted when the scene ends.
class Scene
{
public:
    Scene()
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-save-XXXXXX").string();
        fBase = mkdtemp(pattern.data());
        chmod(fBase.c_str(), 0755);
        folder = fBase + "/scene";
        mkdir(folder.c_str(), 0755);
    }
    ~Scene()
    {
        if (pipeWrite >= 0)
            close(pipeWrite);
        if (reader.joinable()) {
            // A reader still waiting for a writer gets one.
            int fd = open(readerPath.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
            reader.join();
        }
        if (mounted)
            umount2(folder.c_str(), MNT_DETACH);
        std::error_code ignored;
        fs::permissions(fBase, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(fBase, ignored);
    }

    std::string operator/(const std::string& name) const { return folder + "/" + name; }

    // Names in the folder, hidden ones included.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Reads what arrives at path (a FIFO, or "" for the read end pipeRead)
    // on a thread, up to size bytes or the end. A FIFO is open for reading
    // before this returns, as a reader already waiting would have it: a
    // save that must not wait finds it read.
    void StartReader(const std::string& path, size_t size)
    {
        readerPath = path;
        int fd = pipeRead;
        if (!path.empty()) {
            fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
            EXPECT_GE(fd, 0) << path;
        }
        reader = std::thread([this, fd, size] {
            char buffer[65536];
            while (fd >= 0 && received.size() < size) {
                // Until a writer comes and goes, poll() does not report the
                // end (a read before the first writer would).
                struct pollfd wait = {fd, POLLIN, 0};
                if (poll(&wait, 1, -1) < 0 && errno != EINTR)
                    break;
                ssize_t n = read(fd, buffer, sizeof(buffer));
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (n <= 0)
                    break;
                received.append(buffer, size_t(n));
            }
            if (fd >= 0)
                close(fd);
        });
    }
    void JoinReader()
    {
        if (reader.joinable())
            reader.join();
    }

    std::string folder;
    std::string skip; // why the case cannot run here
    bool mounted = false;
    bool asNobody = false;
    bool interrupt = false;
    std::thread reader;
    std::string readerPath;
    std::string received;
    int pipeRead = -1, pipeWrite = -1;
    ino_t inode = 0; // of the file that must be written in place

private:
    std::string fBase;
};

inline bool is_root()
{
    return geteuid() == 0;
}

// The calling thread acts on files as nobody while it lives: the window
// saves on this very thread, so its Save As is tried as a user too.
class AsNobody
{
public:
    explicit AsNobody(bool active) : fActive(active)
    {
        if (fActive) {
            setfsgid(kNogroup);
            setfsuid(kNobody);
        }
    }
    ~AsNobody()
    {
        if (fActive) {
            setfsuid(0);
            setfsgid(0);
        }
    }

private:
    bool fActive;
};

// A SIGTERM the test catches, so an interrupted save can be watched from
// inside the process; the previous disposition comes back afterwards.
class CatchTerm
{
public:
    explicit CatchTerm(bool active) : fActive(active)
    {
        caught = 0;
        if (fActive) {
            struct sigaction action = {};
            action.sa_handler = [](int) { caught = caught + 1; };
            sigaction(SIGTERM, &action, &fPrevious);
        }
    }
    ~CatchTerm()
    {
        if (fActive)
            sigaction(SIGTERM, &fPrevious, nullptr);
    }
    static inline volatile sig_atomic_t caught = 0;

private:
    bool fActive;
    struct sigaction fPrevious = {};
};

struct Destination
{
    const char* label;
    const char* name; // what is saved to, inside the scene's folder
    int error;        // 0: the save succeeds; else the errno it fails with
    // Sets the scene up before the save (the old picture, links, ...).
    void (*prepare)(Scene& scene, size_t size);
    // What must hold afterwards; bytes are what the save was given.
    void (*check)(Scene& scene, const std::string& bytes);
};

inline void PrintTo(const Destination& d, std::ostream* os)
{
    *os << d.label;
}

inline void old_file(Scene& scene, const char* name, mode_t mode)
{
    put(scene / name, kOld);
    chmod((scene / name).c_str(), mode);
}

inline void expect_old(Scene& scene, const char* name)
{
    EXPECT_EQ(kOld, slurp(scene / name)) << name;
}

inline const Destination kDestinations[] = {
    {"NewFile", "new.png", 0, [](Scene&, size_t) {},
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "new.png"));
         EXPECT_EQ(std::vector<std::string>{"new.png"}, s.Names());
     }},
    {"ReplacesAFileKeepingItsMode", "old.png", 0,
     [](Scene& s, size_t) { old_file(s, "old.png", 0604); },
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "old.png"));
         EXPECT_EQ(mode_t(0604), lstat_of(s / "old.png").st_mode & 07777);
         EXPECT_EQ(std::vector<std::string>{"old.png"}, s.Names());
     }},
    {"Symlink", "link.png", 0,
     [](Scene& s, size_t) {
         old_file(s, "target.png", 0644);
         EXPECT_EQ(0, symlink("target.png", (s / "link.png").c_str()));
     },
     [](Scene& s, const std::string& bytes) {
         EXPECT_TRUE(S_ISLNK(lstat_of(s / "link.png").st_mode));
         EXPECT_EQ(bytes, slurp(s / "target.png"));
     }},
    {"DanglingSymlink", "link.png", 0,
     [](Scene& s, size_t) {
         mkdir((s / "pictures").c_str(), 0755);
         EXPECT_EQ(0, symlink("pictures/made.png", (s / "link.png").c_str()));
     },
     [](Scene& s, const std::string& bytes) {
         EXPECT_TRUE(S_ISLNK(lstat_of(s / "link.png").st_mode));
         EXPECT_EQ(bytes, slurp(s / "pictures/made.png"));
     }},
    // "via/.." leads to where via's target sits, not back to the scene.
    {"DotDotAfterASymlink", "link.png", 0,
     [](Scene& s, size_t) {
         std::filesystem::create_directories(s / "deep/er");
         EXPECT_EQ(0, symlink("deep/er", (s / "via").c_str()));
         EXPECT_EQ(0, symlink("via/../x.png", (s / "link.png").c_str()));
     },
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "deep/x.png"));
         EXPECT_FALSE(fs::exists(s / "x.png"));
     }},
    {"Fifo", "fifo", 0,
     [](Scene& s, size_t size) {
         mkfifo((s / "fifo").c_str(), 0644);
         s.StartReader(s / "fifo", size);
     },
     [](Scene& s, const std::string& bytes) {
         s.JoinReader();
         EXPECT_TRUE(S_ISFIFO(lstat_of(s / "fifo").st_mode));
         EXPECT_EQ(bytes, s.received);
     }},
    // Standard output as a shell would give it: a pipe behind /proc.
    {"LinkToAProcDescriptor", "out.png", 0,
     [](Scene& s, size_t size) {
         int ends[2];
         EXPECT_EQ(0, pipe(ends));
         s.pipeRead = ends[0];
         s.pipeWrite = ends[1];
         EXPECT_EQ(0, symlink(("/proc/self/fd/" + std::to_string(ends[1])).c_str(),
                              (s / "out.png").c_str()));
         s.StartReader("", size);
     },
     [](Scene& s, const std::string& bytes) {
         s.JoinReader();
         EXPECT_TRUE(S_ISLNK(lstat_of(s / "out.png").st_mode));
         EXPECT_EQ(bytes, s.received);
     }},
    {"DeviceThroughASymlink", "null.png", 0,
     [](Scene& s, size_t) { EXPECT_EQ(0, symlink("/dev/null", (s / "null.png").c_str())); },
     [](Scene& s, const std::string&) {
         EXPECT_TRUE(S_ISLNK(lstat_of(s / "null.png").st_mode));
         EXPECT_TRUE(S_ISCHR(lstat_of("/dev/null").st_mode));
     }},
    {"DeviceNode", "null", 0,
     [](Scene& s, size_t) {
         if (!is_root() || mknod((s / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
             s.skip = "making a device node needs root";
             return;
         }
         int fd = open((s / "null").c_str(), O_WRONLY);
         if (fd < 0)
             s.skip = "device nodes cannot be opened here (nodev)";
         else
             close(fd);
     },
     [](Scene& s, const std::string&) {
         struct stat st = lstat_of(s / "null");
         EXPECT_TRUE(S_ISCHR(st.st_mode));
         EXPECT_EQ(makedev(1, 3), st.st_rdev);
     }},
    {"Folder", "sub", EISDIR, [](Scene& s, size_t) { mkdir((s / "sub").c_str(), 0755); },
     [](Scene& s, const std::string&) {
         EXPECT_TRUE(fs::is_directory(s / "sub"));
         EXPECT_EQ(std::vector<std::string>{"sub"}, s.Names());
     }},
    // Root may write a 0444 file, as the shell lets it; the mode stays.
    {"ReadOnlyFileAsRoot", "keep.png", 0,
     [](Scene& s, size_t) {
         if (!is_root())
             s.skip = "runs as root";
         old_file(s, "keep.png", 0444);
     },
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "keep.png"));
         EXPECT_EQ(mode_t(0444), lstat_of(s / "keep.png").st_mode & 07777);
     }},
    {"ReadOnlyFileAsUser", "keep.png", EACCES,
     [](Scene& s, size_t) {
         if (!is_root()) {
             s.skip = "trying it as another user needs root";
             return;
         }
         old_file(s, "keep.png", 0444);
         EXPECT_EQ(0, chown((s / "keep.png").c_str(), kNobody, kNogroup));
         EXPECT_EQ(0, chown(s.folder.c_str(), kNobody, kNogroup));
         s.asNobody = true;
     },
     [](Scene& s, const std::string&) {
         expect_old(s, "keep.png");
         EXPECT_EQ(std::vector<std::string>{"keep.png"}, s.Names());
     }},
    {"AnotherOwnersFile", "theirs.png", 0,
     [](Scene& s, size_t) {
         if (!is_root()) {
             s.skip = "giving a file to another user needs root";
             return;
         }
         old_file(s, "theirs.png", 0640);
         EXPECT_EQ(0, chown((s / "theirs.png").c_str(), kNobody, kNogroup));
     },
     [](Scene& s, const std::string& bytes) {
         struct stat st = lstat_of(s / "theirs.png");
         EXPECT_EQ(bytes, slurp(s / "theirs.png"));
         EXPECT_EQ(kNobody, st.st_uid);
         EXPECT_EQ(kNogroup, st.st_gid);
         EXPECT_EQ(mode_t(0640), st.st_mode & 07777);
     }},
    {"SetuidNotCarried", "tool.png", 0, [](Scene& s, size_t) { old_file(s, "tool.png", 06755); },
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "tool.png"));
         EXPECT_EQ(mode_t(0755), lstat_of(s / "tool.png").st_mode & 07777);
     }},
    {"HardLink", "one.png", 0,
     [](Scene& s, size_t) {
         old_file(s, "one.png", 0644);
         EXPECT_EQ(0, link((s / "one.png").c_str(), (s / "two.png").c_str()));
         s.inode = lstat_of(s / "one.png").st_ino;
     },
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "one.png"));
         EXPECT_EQ(bytes, slurp(s / "two.png"));
         EXPECT_EQ(s.inode, lstat_of(s / "one.png").st_ino);
         EXPECT_EQ(2u, lstat_of(s / "one.png").st_nlink);
     }},
    {"ExtendedAttributes", "tagged.png", 0,
     [](Scene& s, size_t) {
         old_file(s, "tagged.png", 0644);
         if (setxattr((s / "tagged.png").c_str(), "user.pellara", "kept", 4, 0) != 0)
             s.skip = "no user extended attributes on this file system";
     },
     [](Scene& s, const std::string& bytes) {
         EXPECT_EQ(bytes, slurp(s / "tagged.png"));
         char value[16] = {};
         EXPECT_EQ(4, getxattr((s / "tagged.png").c_str(), "user.pellara", value, sizeof(value)));
         EXPECT_STREQ("kept", value);
     }},
    // The user may write the file but not the folder: a rewrite in place
    // would need a journal beside it, so the file is refused and kept.
    {"ReadOnlyFolderWritableFile", "mine.png", EACCES,
     [](Scene& s, size_t) {
         if (!is_root()) {
             s.skip = "trying it as another user needs root";
             return;
         }
         old_file(s, "mine.png", 0644);
         EXPECT_EQ(0, chown((s / "mine.png").c_str(), kNobody, kNogroup));
         s.inode = lstat_of(s / "mine.png").st_ino;
         s.asNobody = true;
     },
     [](Scene& s, const std::string&) {
         expect_old(s, "mine.png");
         EXPECT_EQ(s.inode, lstat_of(s / "mine.png").st_ino);
         EXPECT_EQ(std::vector<std::string>{"mine.png"}, s.Names());
     }},
    {"LongestName", nullptr, 0, [](Scene&, size_t) {},
     [](Scene& s, const std::string& bytes) {
         std::string name(251, 'a');
         name += ".png";
         EXPECT_EQ(bytes, slurp(s / name));
         EXPECT_EQ(std::vector<std::string>{name}, s.Names());
     }},
    {"LongestNameReplaced", nullptr, 0,
     [](Scene& s, size_t) { old_file(s, (std::string(251, 'a') + ".png").c_str(), 0644); },
     [](Scene& s, const std::string& bytes) {
         std::string name(251, 'a');
         name += ".png";
         EXPECT_EQ(bytes, slurp(s / name));
         EXPECT_EQ(std::vector<std::string>{name}, s.Names());
     }},
    // A 64 KiB file system the picture does not fit on.
    {"FullFileSystem", "old.png", ENOSPC,
     [](Scene& s, size_t size) {
         if (mount("tmpfs", s.folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
             s.skip = "mounting a small tmpfs needs root";
             return;
         }
         s.mounted = true;
         EXPECT_GT(size, size_t(64 * 1024)) << "the picture must not fit";
         old_file(s, "old.png", 0644);
     },
     [](Scene& s, const std::string&) {
         expect_old(s, "old.png");
         EXPECT_EQ(std::vector<std::string>{"old.png"}, s.Names());
     }},
    // In place because of a second link: the room is asked for first.
    {"FullFileSystemInPlace", "old.png", ENOSPC,
     [](Scene& s, size_t size) {
         if (mount("tmpfs", s.folder.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
             s.skip = "mounting a small tmpfs needs root";
             return;
         }
         s.mounted = true;
         EXPECT_GT(size, size_t(64 * 1024)) << "the picture must not fit";
         old_file(s, "old.png", 0644);
         EXPECT_EQ(0, link((s / "old.png").c_str(), (s / "other.png").c_str()));
     },
     [](Scene& s, const std::string&) {
         expect_old(s, "old.png");
         expect_old(s, "other.png");
     }},
    // A SIGTERM while the temporary exists removes it; the old file stays.
    {"Interrupted", "old.png", EINTR,
     [](Scene& s, size_t) {
         old_file(s, "old.png", 0644);
         s.interrupt = true;
     },
     [](Scene& s, const std::string&) {
         expect_old(s, "old.png");
         EXPECT_EQ(std::vector<std::string>{"old.png"}, s.Names());
         EXPECT_EQ(1, int(CatchTerm::caught));
     }},
};

inline std::string name_of(const Destination& d)
{
    return d.name != nullptr ? d.name : std::string(251, 'a') + ".png";
}

} // namespace save_destinations

#endif // SAVE_DESTINATIONS_H
