// The storage kit's safe write: every kind of destination a save meets, the
// words for each failure, and what signals may and may not do.
#include <SaveDestinations.h>

#include <Directory.h>
#include <SafeFileWriter.h>
#include <SafeFileWriterPrivate.h>
#include <StoragePrivate.h>

#include <gtest/gtest.h>

#include <cstring>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace save_destinations;

std::string sample_bytes(size_t size)
{
    std::string bytes(size, '\0');
    uint32 state = 0x12345678u;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = char(state >> 24);
    }
    return bytes;
}

void raise_term(int, const char*)
{
    raise(SIGTERM);
}

// Each destination written from memory, and from a file that WriteFileFrom
// maps and lets go of piece by piece (a video's packets).
class SafeWrite : public testing::TestWithParam<std::tuple<Destination, bool>>
{
};

TEST_P(SafeWrite, KeepsWhatItWritesOver)
{
    const Destination& destination = std::get<0>(GetParam());
    Scene scene;
    // Larger than the small tmpfs, and than a pipe holds at once.
    const std::string bytes = sample_bytes(100 * 1024);
    destination.prepare(scene, bytes.size());
    if (!scene.skip.empty())
        GTEST_SKIP() << scene.skip;
    int source = -1;
    if (std::get<1>(GetParam())) {
        source = memfd_create("source", MFD_CLOEXEC);
        ASSERT_EQ(ssize_t(bytes.size()), write(source, bytes.data(), bytes.size()));
    }

    SafeFileWriter writer;
    status_t status;
    {
        CatchTerm term(scene.interrupt);
        BPrivate::set_safe_write_hook(scene.interrupt ? raise_term : nullptr);
        AsNobody user(scene.asNobody);
        const std::string path = scene / name_of(destination);
        status = source >= 0 ? writer.WriteFileFrom(path.c_str(), source)
                             : writer.WriteFile(path.c_str(), bytes.data(), bytes.size());
        BPrivate::set_safe_write_hook(nullptr);
    }
    if (source >= 0)
        close(source);
    EXPECT_EQ(destination.error, writer.Error()) << writer.ErrorMessage();
    EXPECT_EQ(destination.error == 0, status == B_OK);
    // The errno's own words first; the kit may say more after them.
    EXPECT_EQ(
        0u,
        std::string(writer.ErrorMessage()).rfind(SafeFileWriter::MessageFor(destination.error), 0))
        << writer.ErrorMessage();
    destination.check(scene, bytes);
}

INSTANTIATE_TEST_SUITE_P(Destinations, SafeWrite,
                         testing::Combine(testing::ValuesIn(kDestinations), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) +
                                    (std::get<1>(info.param) ? "_from_a_file" : "");
                         });

struct Failure
{
    int error;
    status_t status;
    const char* message;
};

// Each errno a save can meet has its own words and status; none falls to
// a generic "write error".
TEST(SafeWriteMessages, EveryErrnoHasItsOwnLine)
{
    const Failure failures[] = {
        {ENOENT, B_ENTRY_NOT_FOUND, "no such folder"},
        {ENOTDIR, B_NOT_A_DIRECTORY, "a folder on the path is a file"},
        {EACCES, B_PERMISSION_DENIED, "permission denied"},
        {EPERM, B_PERMISSION_DENIED, "permission denied"},
        {EISDIR, B_IS_A_DIRECTORY, "is a directory"},
        {ENOSPC, B_DEVICE_FULL, "no space left on device"},
        {EDQUOT, B_DEVICE_FULL, "disk quota exceeded"},
        {EROFS, B_READ_ONLY_DEVICE, "read-only file system"},
        {ENAMETOOLONG, B_NAME_TOO_LONG, "name too long"},
        {ELOOP, B_LINK_LIMIT, "too many levels of symbolic links"},
        {EBUSY, B_BUSY, "device or resource busy"},
        {EXDEV, B_CROSS_DEVICE_LINK, "the link crosses file systems"},
        {EMFILE, B_NO_MORE_FDS, "too many open files"},
        {EIO, B_IO_ERROR, "input/output error"},
        {EINTR, B_INTERRUPTED, "interrupted"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.message);
        EXPECT_STREQ(f.message, SafeFileWriter::MessageFor(f.error));
        EXPECT_EQ(f.status, BPrivate::status_for_errno(f.error));
    }
    // Anything else still gets the system's one line, not a blank.
    EXPECT_STREQ(strerror(ECHILD), SafeFileWriter::MessageFor(ECHILD));
    EXPECT_EQ(nullptr, std::strchr(SafeFileWriter::MessageFor(ECHILD), '\n'));
}

// In a folder, only a plain name is a file name; nothing is created.
TEST(SafeWriteInFolder, RefusesWhatIsNotAPlainName)
{
    Scene scene;
    mkdir((scene / "sub").c_str(), 0755);
    BDirectory folder(scene.folder.c_str());
    ASSERT_EQ(B_OK, folder.InitCheck());
    for (const char* name : {"", "sub/a.png", ".", ".."}) {
        SCOPED_TRACE(name);
        SafeFileWriter writer;
        EXPECT_EQ(B_BAD_VALUE, writer.WriteFile(&folder, name, "x", 1));
        EXPECT_STREQ("not a file name", writer.ErrorMessage());
    }
    EXPECT_EQ(std::vector<std::string>{"sub"}, scene.Names());
    SafeFileWriter writer;
    EXPECT_EQ(B_OK, writer.WriteFile(&folder, "a.png", "abc", 3));
    EXPECT_EQ(SafeFileWriter::kCreated, writer.HowWritten());
    EXPECT_EQ("abc", slurp(scene / "a.png"));
}

// A real SIGTERM under the default disposition ends the process, and the
// temporary goes with it.
TEST(SafeWriteSignals, TheTemporaryDiesWithTheProcess)
{
    Scene scene;
    put(scene / "old.png", kOld);
    pid_t child = fork();
    if (child == 0) {
        signal(SIGTERM, SIG_DFL);
        BPrivate::set_safe_write_hook(raise_term);
        SafeFileWriter writer;
        writer.WriteFile((scene / "old.png").c_str(), "new", 3);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_EQ(kOld, slurp(scene / "old.png"));
    EXPECT_EQ(std::vector<std::string>{"old.png"}, scene.Names());
}

void raise_hangup(int, const char*)
{
    raise(SIGHUP);
}

// Under nohup a hangup is ignored: it must not cost the save either.
TEST(SafeWriteSignals, AnIgnoredSignalStaysHarmless)
{
    Scene scene;
    put(scene / "old.png", kOld);
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &previous);
    BPrivate::set_safe_write_hook(raise_hangup);
    SafeFileWriter writer;
    status_t status = writer.WriteFile((scene / "old.png").c_str(), "new", 3);
    BPrivate::set_safe_write_hook(nullptr);
    struct sigaction after;
    sigaction(SIGHUP, &previous, &after);
    EXPECT_EQ(B_OK, status) << writer.ErrorMessage();
    EXPECT_EQ("new", slurp(scene / "old.png"));
    EXPECT_EQ(SIG_IGN, after.sa_handler);
}

// Standard output may be a non-blocking pipe: a full pipe is waited for,
// and a device that refuses the bytes is a failure.
TEST(SafeWriteDescriptor, WaitsOnAFullPipeAndReportsAFullDevice)
{
    Scene scene;
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    scene.pipeRead = ends[0];
    scene.pipeWrite = ends[1];
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string bytes = sample_bytes(1 << 20);
    scene.StartReader("", bytes.size());
    SafeFileWriter writer;
    EXPECT_EQ(B_OK, writer.WriteDescriptor(ends[1], bytes.data(), bytes.size()));
    EXPECT_EQ(SafeFileWriter::kWrittenThrough, writer.HowWritten());
    scene.JoinReader();
    EXPECT_EQ(bytes, scene.received);

    int full = open("/dev/full", O_WRONLY);
    if (full < 0)
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(B_DEVICE_FULL, writer.WriteDescriptor(full, bytes.data(), 10));
    EXPECT_STREQ("no space left on device", writer.ErrorMessage());
    close(full);
}

// A reader that went away fails the write; it does not end the process.
TEST(SafeWriteDescriptor, AClosedPipeIsAFailureNotADeath)
{
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    close(ends[0]);
    SafeFileWriter writer;
    EXPECT_NE(B_OK, writer.WriteDescriptor(ends[1], "abc", 3));
    EXPECT_EQ(EPIPE, writer.Error());
    EXPECT_STREQ("broken pipe", writer.ErrorMessage());
    close(ends[1]);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

struct Busy
{
    const char* label;
    // Sets the destination up in the scene; returns "" or why it cannot.
    std::string (*prepare)(Scene& scene, const std::string& path, pid_t* helper);
    int error;
};

void PrintTo(const Busy& b, std::ostream* os)
{
    *os << b.label;
}

const Busy kBusy[] = {
    {"FifoNoOneReads",
     [](Scene&, const std::string& path, pid_t*) {
         mkfifo(path.c_str(), 0644);
         return std::string();
     },
     ENXIO},
    // Open for reading, never read: the pipe fills and stays full.
    {"FifoNeverRead",
     [](Scene& scene, const std::string& path, pid_t*) {
         mkfifo(path.c_str(), 0644);
         scene.pipeRead = open(path.c_str(), O_RDONLY | O_NONBLOCK);
         return std::string();
     },
     EAGAIN},
    // Another program holds a lease (as a file server does): opening the
    // file would wait for it to let go, up to lease-break-time.
    {"LeasedFile",
     [](Scene&, const std::string& path, pid_t* helper) {
         put(path, kOld);
         int ready[2];
         if (pipe(ready) != 0)
             return std::string("no pipe");
         *helper = fork();
         if (*helper == 0) {
             int fd = open(path.c_str(), O_RDONLY);
             char ok = fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 1 : 0;
             if (write(ready[1], &ok, 1) != 1)
                 _exit(1);
             pause(); // until killed
             _exit(0);
         }
         char ok = 0;
         bool told = read(ready[0], &ok, 1) == 1;
         close(ready[0]);
         close(ready[1]);
         return told && ok ? std::string() : std::string("no leases on this file system");
     },
     EWOULDBLOCK},
};

class MustNotWait : public testing::TestWithParam<Busy>
{
};

// A writer that must not wait (the window's) fails instead of blocking, and
// leaves what was there.
TEST_P(MustNotWait, FailsInsteadOfWaiting)
{
    Scene scene;
    const std::string path = scene / "busy.png";
    pid_t helper = -1;
    std::string skip = GetParam().prepare(scene, path, &helper);
    const std::string bytes = sample_bytes(1 << 20); // more than a pipe holds
    SafeFileWriter writer;
    writer.SetMayBlock(false);
    status_t status =
        skip.empty() ? writer.WriteFile(path.c_str(), bytes.data(), bytes.size()) : B_OK;
    if (helper > 0) {
        kill(helper, SIGKILL);
        waitpid(helper, nullptr, 0);
    }
    if (scene.pipeRead >= 0) {
        close(scene.pipeRead);
        scene.pipeRead = -1;
    }
    if (!skip.empty())
        GTEST_SKIP() << skip;
    EXPECT_NE(B_OK, status);
    EXPECT_EQ(GetParam().error, writer.Error()) << writer.ErrorMessage();
    if (S_ISREG(lstat_of(path).st_mode)) {
        EXPECT_EQ(kOld, slurp(path));
    }
    EXPECT_EQ(std::vector<std::string>{"busy.png"}, scene.Names());
}

INSTANTIATE_TEST_SUITE_P(Destinations, MustNotWait, testing::ValuesIn(kBusy),
                         [](const auto& info) { return std::string(info.param.label); });

// How each kind of destination was written: the rename only where nothing
// is lost by it.
TEST(SafeWriteMethod, RenamesOnlyWhatItCanReplaceWhole)
{
    Scene scene;
    put(scene / "plain.png", kOld);
    put(scene / "linked.png", kOld);
    EXPECT_EQ(0, link((scene / "linked.png").c_str(), (scene / "second.png").c_str()));
    EXPECT_EQ(0, symlink("/dev/null", (scene / "null").c_str()));
    const std::pair<const char*, SafeFileWriter::Method> cases[] = {
        {"fresh.png", SafeFileWriter::kCreated},
        {"plain.png", SafeFileWriter::kReplaced},
        {"linked.png", SafeFileWriter::kWrittenInPlace},
        {"null", SafeFileWriter::kWrittenThrough},
    };
    for (const auto& [name, method] : cases) {
        SCOPED_TRACE(name);
        SafeFileWriter writer;
        EXPECT_EQ(B_OK, writer.WriteFile((scene / name).c_str(), "abc", 3));
        EXPECT_EQ(method, writer.HowWritten());
    }
    // Shorter than the old content: the rest is cut off.
    EXPECT_EQ("abc", slurp(scene / "second.png"));
    // The journal of the rewrite is gone with it.
    EXPECT_EQ(
        (std::vector<std::string>{"fresh.png", "linked.png", "null", "plain.png", "second.png"}),
        scene.Names());
}

// Temporary names keep to the folder's limit whatever the target's name,
// and are cut on a UTF-8 boundary: a save killed while one exists leaves a
// name that later saves recognise and remove.
TEST(SafeWriteNames, TemporariesOfLongNamesAreCleanedUpToo)
{
    Scene scene;
    // 84 three-byte characters: 252 bytes, so the cut falls inside one.
    std::string name;
    for (int i = 0; i < 84; i++)
        name += "\xe2\x82\xac";
    const std::string path = scene / name;
    pid_t child = fork();
    if (child == 0) {
        BPrivate::set_safe_write_step_hook([](BPrivate::safe_write_step at, uint64) {
            if (at == BPrivate::kTemporaryWritten)
                raise(SIGKILL);
        });
        SafeFileWriter writer;
        writer.WriteFile(path.c_str(), "new", 3);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    std::vector<std::string> left = scene.Names();
    ASSERT_EQ(1u, left.size());
    EXPECT_LE(left[0].size(), 255u);
    EXPECT_EQ(0, left[0].compare(left[0].size() - 8, 8, ".pellara"));
    SafeFileWriter writer;
    EXPECT_EQ(B_OK, writer.WriteFile((scene / "other.png").c_str(), "x", 1));
    EXPECT_EQ(std::vector<std::string>{"other.png"}, scene.Names());
}

} // namespace
