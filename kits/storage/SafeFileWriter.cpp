#include <SafeFileWriter.h>

#include <Directory.h>
#include <SafeFileWriterPrivate.h>
#include <StoragePrivate.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int kSymlinkHops = 40; // the kernel's own limit
constexpr int kTemporaryAttempts = 64;
constexpr long kNameMax = 255;
// Replacing would lose something: write in place instead.
constexpr int kInPlace = -1;
// Failures worded by the kit itself, on top of their errno.
constexpr int kNoJournal = -2; // the folder cannot hold a journal
constexpr int kLostPlace = -3; // the file's folder cannot be found again

std::atomic<BPrivate::safe_write_hook> gHook{nullptr};
std::atomic<BPrivate::safe_write_step_hook> gStepHook{nullptr};

void step(BPrivate::safe_write_step at, uint64 done)
{
    if (BPrivate::safe_write_step_hook hook = gStepHook.load())
        hook(at, done);
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A descriptor closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fFd(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(Descriptor&& other) noexcept : fFd(other.fFd) { other.fFd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other) {
            Reset(other.fFd);
            other.fFd = -1;
        }
        return *this;
    }
    int Get() const { return fFd; }
    void Reset(int fd = -1)
    {
        if (fFd >= 0)
            close(fFd);
        fFd = fd;
    }
    // Closes, telling whether the kernel reported a late write error.
    int Close()
    {
        int fd = fFd;
        fFd = -1;
        return fd >= 0 && close(fd) != 0 && errno != EINTR ? errno : 0;
    }

private:
    int fFd;
};

// The temporaries a signal must not leave behind. A slot is free (0),
// being filled (1), armed (2) or already removed by the handler (3).
constexpr int kSlots = 8;
struct Slot
{
    std::atomic<int> state{0};
    int folder = -1;
    char name[kNameMax + 1] = {};
};
Slot gSlots[kSlots];

constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCaughtCount = int(sizeof(kCaught) / sizeof(kCaught[0]));
std::mutex gSignalLock;
int gArmedCount = 0;
struct sigaction gPrevious[kCaughtCount];
bool gInstalled[kCaughtCount];

void on_signal(int signal)
{
    int saved = errno;
    for (Slot& slot : gSlots) {
        int armed = 2;
        if (slot.state.compare_exchange_strong(armed, 3))
            unlinkat(slot.folder, slot.name, 0);
    }
    // The signal then does what it did before: raise() is held until this
    // handler returns, then delivered under the restored disposition.
    for (int i = 0; i < kCaughtCount; i++) {
        if (kCaught[i] == signal) {
            sigaction(signal, &gPrevious[i], nullptr);
            raise(signal);
        }
    }
    errno = saved;
}

void install_handlers()
{
    std::lock_guard<std::mutex> lock(gSignalLock);
    if (gArmedCount++ > 0)
        return;
    for (int i = 0; i < kCaughtCount; i++) {
        gInstalled[i] = false;
        if (sigaction(kCaught[i], nullptr, &gPrevious[i]) != 0)
            continue;
        // An ignored signal (nohup) stays ignored and harmless.
        if (!(gPrevious[i].sa_flags & SA_SIGINFO) && gPrevious[i].sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        for (int signal : kCaught)
            sigaddset(&action.sa_mask, signal);
        gInstalled[i] = sigaction(kCaught[i], &action, nullptr) == 0;
    }
}

void remove_handlers()
{
    std::lock_guard<std::mutex> lock(gSignalLock);
    if (--gArmedCount > 0)
        return;
    for (int i = 0; i < kCaughtCount; i++) {
        if (!gInstalled[i])
            continue;
        struct sigaction current;
        if (sigaction(kCaught[i], nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            current.sa_handler == on_signal)
            sigaction(kCaught[i], &gPrevious[i], nullptr);
        gInstalled[i] = false;
    }
}

// SIGINT, SIGTERM and SIGHUP wait while one of these lives.
class SignalsHeld
{
public:
    SignalsHeld()
    {
        sigset_t block;
        sigemptyset(&block);
        for (int signal : kCaught)
            sigaddset(&block, signal);
        pthread_sigmask(SIG_BLOCK, &block, &fPrevious);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &fPrevious, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t fPrevious;
};

// Our temporaries are ".<start of the name>.<six letters>.pellara": the
// ending tells them from other programs' (rsync's are ".NAME.XXXXXX").
constexpr char kTemporaryEnding[] = ".pellara";
constexpr size_t kEndingLength = sizeof(kTemporaryEnding) - 1;
constexpr size_t kRandomLetters = 6;

bool is_temporary_name(const char* name)
{
    const size_t length = std::strlen(name);
    if (length < 2 + kRandomLetters + kEndingLength || name[0] != '.' ||
        std::strcmp(name + length - kEndingLength, kTemporaryEnding) != 0)
        return false;
    const char* letters = name + length - kEndingLength - kRandomLetters;
    if (letters[-1] != '.')
        return false;
    return std::all_of(letters, letters + kRandomLetters, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

// A name beside the target that always fits the folder's name limit, the
// target's name cut on a UTF-8 boundary.
std::string temporary_name(int folder, const std::string& name, std::mt19937& random)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    long limit = fpathconf(folder, _PC_NAME_MAX);
    if (limit <= 0 || limit > kNameMax)
        limit = kNameMax;
    size_t room = size_t(std::max(0L, limit - long(2 + kRandomLetters + kEndingLength)));
    size_t cut = std::min(room, name.size());
    while (cut > 0 && cut < name.size() && (uint8(name[cut]) & 0xC0) == 0x80)
        cut--;
    std::string result(1, '.');
    result.append(name, 0, cut);
    result.push_back('.');
    std::uniform_int_distribution<int> pick(0, int(sizeof(kLetters)) - 2);
    for (size_t i = 0; i < kRandomLetters; i++)
        result += kLetters[pick(random)];
    result += kTemporaryEnding;
    return result;
}

// Whether a lock call failed only because the file system has no locks:
// there no cleaner takes a file it cannot lock either.
bool locks_unsupported(int error)
{
    return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

// A fresh temporary is locked for as long as its save lives, so that a
// later save cleaning the folder never takes it. 0 once fd is locked and
// still what the name holds; EEXIST when a cleaner got to it first.
int lock_fresh(int folder, const std::string& name, int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return EEXIST;
        if (!locks_unsupported(errno))
            return errno;
    }
    struct stat mine, named;
    if (fstat(fd, &mine) != 0)
        return errno;
    if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(mine, named))
        return EEXIST;
    return 0;
}

void sync_folder(int folder)
{
    Descriptor readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable.Get() >= 0)
        fsync(readable.Get());
}

// A file being written beside its target. It is removed when it goes out
// of scope uncommitted, and by the signal handler while it is armed; it
// stays locked until it is renamed, removed or let go.
class Temporary
{
public:
    Temporary() = default;
    ~Temporary()
    {
        fFile.Reset();
        if (fSlot != nullptr) {
            if (fSlot->state.exchange(1) == 2)
                unlinkat(fFolder, fName.c_str(), 0);
            _Release();
        }
        // Unlocked last: a cleaner never sees it unlocked and still there.
        fLock.Reset();
    }

    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // 0, or the errno of the failed creation.
    int Create(int folder, const std::string& target, mode_t mode)
    {
        fFolder = folder;
        for (Slot& slot : gSlots) {
            int free = 0;
            if (slot.state.compare_exchange_strong(free, 1)) {
                fSlot = &slot;
                break;
            }
        }
        if (fSlot == nullptr)
            return EMFILE;
        install_handlers();
        std::random_device seed;
        std::mt19937 random(seed());
        int error = EEXIST;
        for (int attempt = 0; attempt < kTemporaryAttempts && error == EEXIST; attempt++) {
            fName = temporary_name(folder, target, random);
            // The signals wait while the file is made, locked and armed: no
            // moment leaves it unguarded, and a name someone else holds is
            // never removed.
            SignalsHeld held;
            int fd = openat(folder, fName.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            error = fd >= 0 ? 0 : errno;
            if (fd < 0)
                continue;
            fFile.Reset(fd);
            // A second descriptor of the same open file keeps the lock when
            // the first is closed to learn of late write errors.
            error = lock_fresh(folder, fName, fd);
            if (error == 0) {
                fLock.Reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
                if (fLock.Get() < 0)
                    error = errno;
            }
            if (error != 0) {
                // EEXIST: a cleaner took this one, and removes it.
                if (error != EEXIST)
                    unlinkat(folder, fName.c_str(), 0);
                fFile.Reset();
                fLock.Reset();
                continue;
            }
            fSlot->folder = folder;
            std::memcpy(fSlot->name, fName.c_str(), fName.size() + 1);
            fSlot->state.store(2);
        }
        if (error == 0 && Interrupted())
            return EINTR;
        return error;
    }

    int File() const { return fFile.Get(); }
    const std::string& Name() const { return fName; }
    int CloseFile() { return fFile.Close(); }
    // Whether a signal has removed the file.
    bool Interrupted() const { return fSlot != nullptr && fSlot->state.load() == 3; }

    // Renames the file over target; 0 or the errno of the failure.
    int Commit(const std::string& target, bool mayExist)
    {
        if (safe_write_hook hook = gHook.load())
            hook(fFolder, fName.c_str());
        int result = 0;
        if (mayExist) {
            result = renameat(fFolder, fName.c_str(), fFolder, target.c_str()) == 0 ? 0 : errno;
        } else {
            // A name that appeared meanwhile belongs to someone else.
            result = renameat2(fFolder, fName.c_str(), fFolder, target.c_str(), RENAME_NOREPLACE);
            if (result != 0 && (errno == EINVAL || errno == ENOSYS))
                result = renameat(fFolder, fName.c_str(), fFolder, target.c_str());
            result = result == 0 ? 0 : errno;
        }
        if (result == 0) {
            // Once renamed, a late signal finds nothing by that name.
            fSlot->state.exchange(1);
            _Release();
            fLock.Reset();
            return 0;
        }
        // Still armed: the destructor removes it.
        return Interrupted() ? EINTR : result;
    }

    // Signals no longer remove the file, which stays (locked) until Remove
    // or the end of this object; false if a signal removed it already.
    bool Keep()
    {
        bool armed = fSlot->state.exchange(1) == 2;
        _Release();
        return armed;
    }

    // Removes the file at once, folder synced; 0 or the errno.
    int Remove()
    {
        fFile.Reset();
        int error = unlinkat(fFolder, fName.c_str(), 0) == 0 ? 0 : errno;
        if (error == 0)
            sync_folder(fFolder);
        if (fSlot != nullptr) {
            fSlot->state.exchange(1);
            _Release();
        }
        fLock.Reset();
        return error;
    }

private:
    using safe_write_hook = BPrivate::safe_write_hook;

    void _Release()
    {
        fSlot->state.store(0);
        fSlot = nullptr;
        remove_handlers();
    }

    int fFolder = -1;
    std::string fName;
    Descriptor fFile;
    Descriptor fLock;
    Slot* fSlot = nullptr;
};

// Where a path's last component lives once every symbolic link is
// followed: the folder, held open, and the name in it.
struct Place
{
    Descriptor folder;
    std::string name;
    bool exists = false;
    struct stat st = {};
};

int locate(int base, std::string path, Place* place)
{
    Descriptor held;
    int at = base;
    for (int hop = 0; hop <= kSymlinkHops; hop++) {
        if (path.empty())
            return ENOENT;
        // A name ending in '/' asks for a folder; a file cannot be made so.
        if (path.back() == '/')
            return EISDIR;
        size_t slash = path.rfind('/');
        std::string folderPath = slash == std::string::npos ? "."
                                 : slash == 0               ? "/"
                                                            : path.substr(0, slash);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        // The kernel, not the text, decides where "via/.." leads.
        Descriptor folder(openat(at, folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (folder.Get() < 0)
            return errno;
        if (name == "." || name == "..")
            return EISDIR;
        struct stat st;
        if (fstatat(folder.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return errno;
            place->folder = std::move(folder);
            place->name = name;
            place->exists = false;
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            place->folder = std::move(folder);
            place->name = name;
            place->exists = true;
            place->st = st;
            return 0;
        }
        // /proc's links tell no true length: room for any path.
        std::vector<char> target(size_t(std::max<off_t>(st.st_size, PATH_MAX)) + 2);
        ssize_t length = readlinkat(folder.Get(), name.c_str(), target.data(), target.size());
        if (length < 0)
            return errno;
        if (size_t(length) >= target.size())
            return ENAMETOOLONG;
        path.assign(target.data(), size_t(length));
        // A relative link is read from the folder that holds it.
        held = std::move(folder);
        at = held.Get();
    }
    return ELOOP;
}

constexpr int kNoStep = -1;

// The bytes of a file mapped by WriteFileFrom on this thread: their pages
// are let go once written (they come back from the file if read again).
thread_local const char* tMappedStart = nullptr;
thread_local const char* tMappedEnd = nullptr;

void let_go(const char* from, const char* to)
{
    if (from < tMappedStart || to > tMappedEnd || from >= to)
        return;
    static const uintptr_t kPage = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(from) & ~(kPage - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(to) & ~(kPage - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

// Writes everything, in pieces a test can stop between (at: the step to
// tell after each). A descriptor that is full is waited for: without end
// when stallMs < 0, else until it has taken nothing for stallMs (EAGAIN).
int write_all(int fd, const void* data, size_t size, off_t* offset, int stallMs = -1,
              int at = kNoStep)
{
    const char* bytes = static_cast<const char*>(data);
    uint64 done = 0;
    while (size > 0) {
        const size_t piece = std::min(size, BPrivate::kSafeWritePiece);
        ssize_t n = offset != nullptr ? pwrite(fd, bytes, piece, *offset) : write(fd, bytes, piece);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd wait = {fd, POLLOUT, 0};
                int ready = poll(&wait, 1, stallMs);
                if (ready < 0 && errno != EINTR)
                    return errno;
                if (ready == 0)
                    return EAGAIN;
                continue;
            }
            return errno;
        }
        if (n == 0)
            return EIO;
        let_go(bytes, bytes + n);
        bytes += n;
        size -= size_t(n);
        done += uint64(n);
        if (offset != nullptr)
            *offset += n;
        if (at != kNoStep)
            step(BPrivate::safe_write_step(at), done);
    }
    return 0;
}

// Reads exactly size bytes at offset; EIO if the file ends before.
int read_exactly(int fd, void* data, size_t size, off_t offset)
{
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = pread(fd, bytes, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        bytes += n;
        size -= size_t(n);
        offset += n;
    }
    return 0;
}

// Reserves room for size bytes without changing the file's length, so that
// a full device fails here rather than halfway through. File systems that
// cannot reserve are written without.
int reserve(int fd, size_t size)
{
    if (size == 0)
        return 0;
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) == 0)
        return 0;
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL || errno == ENODEV)
        return 0;
    return errno;
}

std::vector<std::string> xattr_names(int fd, int* error)
{
    *error = 0;
    for (;;) {
        ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno != ENOTSUP)
                *error = errno;
            return {};
        }
        std::vector<char> list(size_t(size) + 1);
        ssize_t got = flistxattr(fd, list.data(), list.size());
        if (got < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (got < 0) {
            *error = errno;
            return {};
        }
        std::vector<std::string> names;
        for (ssize_t at = 0; at < got;) {
            std::string name(list.data() + at);
            at += ssize_t(name.size()) + 1;
            if (!name.empty())
                names.push_back(name);
        }
        return names;
    }
}

// Gives the temporary file what the old one carries: owner, group, mode
// without setuid/setgid, and every extended attribute. kInPlace when any of
// it cannot be given.
int copy_metadata(int from, const struct stat& old, int to)
{
    struct stat fresh;
    if (fstat(to, &fresh) != 0)
        return errno;
    if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
        fchown(to, old.st_uid, old.st_gid) != 0)
        return kInPlace;
    int error = 0;
    std::vector<std::string> oldNames = xattr_names(from, &error);
    if (error != 0)
        return kInPlace;
    // What the folder gave the new file (a default ACL, say) and the old
    // one lacks goes.
    for (const std::string& name : xattr_names(to, &error)) {
        if (std::find(oldNames.begin(), oldNames.end(), name) == oldNames.end() &&
            fremovexattr(to, name.c_str()) != 0)
            return kInPlace;
    }
    if (error != 0)
        return kInPlace;
    if (fchmod(to, old.st_mode & 01777) != 0)
        return kInPlace;
    for (const std::string& name : oldNames) {
        // File capabilities, like setuid, do not belong on a picture.
        if (name == "security.capability")
            continue;
        std::vector<char> value;
        ssize_t size;
        for (;;) {
            size = fgetxattr(from, name.c_str(), nullptr, 0);
            if (size < 0)
                return kInPlace;
            value.resize(size_t(size) + 1);
            size = fgetxattr(from, name.c_str(), value.data(), value.size());
            if (size >= 0 || errno != ERANGE)
                break;
        }
        if (size < 0 || fsetxattr(to, name.c_str(), value.data(), size_t(size), 0) != 0)
            return kInPlace;
    }
    return 0;
}

// The new bytes in a temporary beside place.name, renamed over it. With
// old, the metadata of the file replaced (open as oldFd).
int write_beside(Place& place, const void* data, size_t size, int oldFd, const struct stat* old)
{
    Temporary temporary;
    int error = temporary.Create(place.folder.Get(), place.name, old != nullptr ? 0600 : 0666);
    if (error != 0)
        return old != nullptr && (error == EACCES || error == EPERM) ? kInPlace : error;
    int fd = temporary.File();
    if (old != nullptr && (error = copy_metadata(oldFd, *old, fd)) != 0)
        return error;
    off_t offset = 0;
    if ((error = reserve(fd, size)) != 0 ||
        (error = write_all(fd, data, size, &offset, -1, BPrivate::kWritingTemporary)) != 0)
        return error;
    if (fsync(fd) != 0)
        return errno;
    if ((error = temporary.CloseFile()) != 0)
        return error;
    if (temporary.Interrupted())
        return EINTR;
    step(BPrivate::kTemporaryWritten, size);
    error = temporary.Commit(place.name, old != nullptr);
    // A folder that refuses the rename (sticky, a mount point) still lets
    // the file be written in place.
    if (old != nullptr && (error == EACCES || error == EPERM || error == EBUSY))
        return kInPlace;
    if (error != 0)
        return error;
    sync_folder(place.folder.Get());
    return 0;
}

// Gives back what a partial reservation past the file's end may have taken.
void give_back(int fd, off_t size)
{
    if (ftruncate(fd, size) != 0) {
        // Nothing more to do: the reservation is only room, not content.
    }
}

// Rewrites a regular file that no name holds any more (open through
// /proc after its deletion): there is no picture for a crash to harm.
int rewrite_unnamed(int fd, const struct stat& st, const void* data, size_t size)
{
    SignalsHeld held;
    int error = reserve(fd, size);
    if (error != 0) {
        give_back(fd, st.st_size);
        return error;
    }
    off_t offset = 0;
    error = write_all(fd, data, size, &offset);
    if (error == 0 && ftruncate(fd, off_t(size)) != 0)
        error = errno;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    return error;
}

// A file rewritten in place is first copied, old and new bytes, into a
// journal beside it (a temporary of ours, locked while its save lives):
//   header, the file's name, its old bytes, the new bytes.
// The header's state says how far the rewrite went: 0 while the journal is
// written (the file untouched), 1 once the file may have been touched, 2
// while a later save puts the old bytes back.
constexpr char kJournalMagic[16] = {'\0', 'P', 'e', 'l', 'l', 'a', 'r', 'a',
                                    ' ',  'j', 'o', 'u', 'r', 'n', 'a', 'l'};
enum JournalState : uint64
{
    kJournalOpen = 0,
    kJournalCommitted = 1,
    kJournalRestoring = 2,
};

struct JournalHeader
{
    char magic[16];
    uint64 state;
    uint64 device;
    uint64 inode;
    uint64 oldSize;
    uint64 newSize;
    uint64 nameLength;

    off_t OldAt() const { return off_t(sizeof(JournalHeader) + nameLength); }
    off_t NewAt() const { return OldAt() + off_t(oldSize); }
};
static_assert(sizeof(JournalHeader) == 64);

constexpr off_t kStateAt = off_t(offsetof(JournalHeader, state));

int set_state(int journal, uint64 state)
{
    off_t at = kStateAt;
    if (int error = write_all(journal, &state, sizeof(state), &at); error != 0)
        return error;
    return fsync(journal) == 0 ? 0 : errno;
}

// Copies length bytes from one file to another, offsets given.
int copy_bytes(int from, off_t fromAt, int to, off_t toAt, uint64 length, int at = kNoStep)
{
    std::vector<char> buffer(std::min<uint64>(length, BPrivate::kSafeWritePiece));
    uint64 done = 0;
    while (done < length) {
        size_t piece = size_t(std::min<uint64>(length - done, buffer.size()));
        int error = read_exactly(from, buffer.data(), piece, fromAt + off_t(done));
        off_t offset = toAt + off_t(done);
        if (error == 0)
            error = write_all(to, buffer.data(), piece, &offset);
        if (error != 0)
            return error;
        done += piece;
        if (at != kNoStep)
            step(BPrivate::safe_write_step(at), done);
    }
    return 0;
}

// How many bytes from offset 0 on the file and the journal's range agree
// (at most length); -1 on a read error.
int64 common_prefix(int file, int journal, off_t journalAt, uint64 length)
{
    std::vector<char> mine(std::min<uint64>(length, BPrivate::kSafeWritePiece));
    std::vector<char> theirs(mine.size());
    uint64 done = 0;
    while (done < length) {
        size_t piece = size_t(std::min<uint64>(length - done, mine.size()));
        if (read_exactly(file, mine.data(), piece, off_t(done)) != 0 ||
            read_exactly(journal, theirs.data(), piece, journalAt + off_t(done)) != 0)
            return -1;
        auto differ = std::mismatch(mine.begin(), mine.begin() + ptrdiff_t(piece), theirs.begin());
        done += uint64(differ.first - mine.begin());
        if (differ.first != mine.begin() + ptrdiff_t(piece))
            break;
    }
    return int64(done);
}

// Whether the file holds what a rewrite of ours, stopped at any moment, can
// leave: each byte the new one or the old one at its offset (past the old
// end, the new one or zero: room reserved, not yet written), the length the
// old one's, the new one's or, growing, between them. A kill leaves the new
// bytes up to some point and the old ones after it; a power cut may keep
// any of the pieces written and not the others, or the cut length without
// the bytes before it. Anything else was written by someone else since,
// and is left alone.
bool left_by_rewrite(int file, int journal, const JournalHeader& header, uint64 size)
{
    const uint64 oldSize = header.oldSize, newSize = header.newSize;
    if (size != oldSize && size != newSize && !(oldSize < size && size < newSize))
        return false;
    const size_t kPiece = BPrivate::kSafeWritePiece;
    std::vector<char> mine(kPiece), old(kPiece), fresh(kPiece);
    for (uint64 at = 0; at < size;) {
        const size_t piece = size_t(std::min<uint64>(size - at, kPiece));
        if (read_exactly(file, mine.data(), piece, off_t(at)) != 0)
            return false;
        // What each side holds of this piece; beyond its end, nothing.
        const size_t oldPart = size_t(std::min<uint64>(piece, oldSize > at ? oldSize - at : 0));
        const size_t newPart = size_t(std::min<uint64>(piece, newSize > at ? newSize - at : 0));
        if (read_exactly(journal, old.data(), oldPart, header.OldAt() + off_t(at)) != 0 ||
            read_exactly(journal, fresh.data(), newPart, header.NewAt() + off_t(at)) != 0)
            return false;
        for (size_t i = 0; i < piece; i++) {
            const bool isNew = i < newPart && mine[i] == fresh[i];
            const bool isOld = i < oldPart ? mine[i] == old[i] : mine[i] == '\0';
            if (!isNew && !isOld)
                return false;
        }
        at += piece;
    }
    return true;
}

// Puts the old bytes of a committed journal back into its file, in folder.
// 0 when the journal may go (the file restored, whole with its new bytes,
// replaced or changed by someone since, or never touched); an errno when
// the file still needs it.
int restore(int folder, int journal, const JournalHeader& header, const std::string& name)
{
    if (header.state == kJournalOpen)
        return 0;
    Descriptor file(
        openat(folder, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.Get() < 0)
        return errno == ENOENT || errno == ELOOP ? 0 : errno;
    struct stat st;
    if (fstat(file.Get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode) || uint64(st.st_dev) != header.device ||
        uint64(st.st_ino) != header.inode)
        return 0; // replaced since: not the file this journal is for
    if (header.state == kJournalCommitted) {
        const uint64 size = uint64(st.st_size);
        if (size == header.newSize &&
            common_prefix(file.Get(), journal, header.NewAt(), size) == int64(size))
            return 0; // the rewrite was complete
        if (!left_by_rewrite(file.Get(), journal, header, size))
            return 0;
        if (int error = set_state(journal, kJournalRestoring); error != 0)
            return error;
    }
    SignalsHeld held;
    int error =
        copy_bytes(journal, header.OldAt(), file.Get(), 0, header.oldSize, BPrivate::kRestoring);
    if (error == 0 && ftruncate(file.Get(), off_t(header.oldSize)) != 0)
        error = errno;
    if (error == 0 && fsync(file.Get()) != 0)
        error = errno;
    return error;
}

// Reads and checks a journal's header and name; false if it is none.
bool read_journal(int fd, JournalHeader* header, std::string* name)
{
    if (read_exactly(fd, header, sizeof(*header), 0) != 0 ||
        std::memcmp(header->magic, kJournalMagic, sizeof(kJournalMagic)) != 0 ||
        header->nameLength == 0 || header->nameLength > uint64(kNameMax) ||
        header->state > kJournalRestoring)
        return false;
    name->assign(size_t(header->nameLength), '\0');
    if (read_exactly(fd, name->data(), name->size(), off_t(sizeof(*header))) != 0)
        return false;
    // A plain name in the journal's own folder, nothing else.
    return name->find('/') == std::string::npos && name->find('\0') == std::string::npos &&
           *name != "." && *name != "..";
}

// What saves killed outright left in a folder: temporaries that no live
// save holds (locked), and journals, whose files get their old bytes back
// first. Journals are trusted only from this user: a journal says what to
// write into which file.
void clean_folder(int folder)
{
    std::vector<std::string> names;
    {
        int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listing < 0)
            return;
        DIR* dir = fdopendir(listing);
        if (dir == nullptr) {
            close(listing);
            return;
        }
        while (struct dirent* entry = readdir(dir)) {
            if (is_temporary_name(entry->d_name))
                names.push_back(entry->d_name);
        }
        closedir(dir);
    }
    for (const std::string& name : names) {
        struct stat st, named;
        // Only regular files are opened: opening a device can act on it.
        if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(named.st_mode))
            continue;
        Descriptor file(
            openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.Get() < 0) // a temporary given a write-only mode
            file.Reset(
                openat(folder, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.Get() < 0 || fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // Held by a live save, or on a file system without locks: kept.
        if (flock(file.Get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !same_file(st, named))
            continue;
        JournalHeader header;
        std::string target;
        if (read_journal(file.Get(), &header, &target)) {
            // The owner files made now get (an invalid id only asks).
            if (st.st_uid != uid_t(setfsuid(uid_t(-1))))
                continue;
            Descriptor writable(openat(folder, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
            if (writable.Get() < 0 || restore(folder, writable.Get(), header, target) != 0)
                continue; // the file still needs it: a later save tries again
        }
        if (unlinkat(folder, name.c_str(), 0) == 0)
            sync_folder(folder);
    }
}

// Rewrites a regular file in place (place names it; target is open for
// writing) so that a process killed at any moment leaves, once the next
// save into the folder has run, the old picture or the new one:
//   1. the journal: old and new bytes, synced, with the folder;
//   2. room for the new bytes reserved in the file;
//   3. the journal committed; the new bytes written, the length cut, synced;
//   4. the journal removed.
// A write that fails halfway puts the old bytes back at once. SIGINT,
// SIGTERM and SIGHUP wait from step 2 until the end.
int rewrite_in_place(Place& place, int target, const void* data, size_t size)
{
    const int folder = place.folder.Get();
    // The old bytes are read through a descriptor of their own.
    Descriptor old(openat(folder, place.name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (old.Get() < 0)
        return errno;
    struct stat st, oldSt;
    if (fstat(target, &st) != 0 || fstat(old.Get(), &oldSt) != 0)
        return errno;
    if (!same_file(st, oldSt))
        return kLostPlace;

    Temporary journal;
    int error = journal.Create(folder, place.name, 0600);
    if (error == EACCES || error == EPERM || error == EROFS)
        return kNoJournal;
    if (error != 0)
        return error;
    const int fd = journal.File();
    JournalHeader header = {};
    std::memcpy(header.magic, kJournalMagic, sizeof(kJournalMagic));
    header.state = kJournalOpen;
    header.device = uint64(st.st_dev);
    header.inode = uint64(st.st_ino);
    header.oldSize = uint64(st.st_size);
    header.newSize = size;
    header.nameLength = place.name.size();
    std::string start(reinterpret_cast<const char*>(&header), sizeof(header));
    start += place.name;
    off_t offset = 0;
    if ((error = reserve(fd, start.size() + header.oldSize + size)) != 0 ||
        (error = write_all(fd, start.data(), start.size(), &offset)) != 0 ||
        (error = copy_bytes(old.Get(), 0, fd, header.OldAt(), header.oldSize)) != 0)
        return error == EIO ? EBUSY : error; // EIO: shortened meanwhile
    offset = header.NewAt();
    if ((error = write_all(fd, data, size, &offset)) != 0)
        return error;
    if (fsync(fd) != 0)
        return errno;
    sync_folder(folder);
    step(BPrivate::kJournalWritten, 0);

    SignalsHeld held;
    if (!journal.Keep())
        return EINTR;
    if ((error = reserve(target, size)) != 0) {
        give_back(target, st.st_size);
        journal.Remove();
        return error;
    }
    if ((error = set_state(fd, kJournalCommitted)) != 0) {
        journal.Remove();
        return error;
    }
    header.state = kJournalCommitted;
    offset = 0;
    error = write_all(target, data, size, &offset, -1, BPrivate::kRewriting);
    if (error == 0 && ftruncate(target, off_t(size)) != 0)
        error = errno;
    if (error == 0 && fsync(target) != 0)
        error = errno;
    if (error != 0) {
        // Still here: the old bytes go back now. Should that fail too, the
        // journal stays for the next save into the folder.
        if (restore(folder, fd, header, place.name) == 0)
            journal.Remove();
        return error;
    }
    step(BPrivate::kRewritten, size);
    journal.Remove();
    return 0;
}

// A reader that went away is a failed write ("broken pipe"), not the end
// of the process: SIGPIPE is held while writing and the one this write
// raised is taken back.
int write_through(int fd, const struct stat& st, const void* data, size_t size, bool mayBlock)
{
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    int error = write_all(fd, data, size, nullptr, mayBlock ? -1 : BPrivate::kSafeWriteStallMs);
    if (error == EPIPE && !sigismember(&previous, SIGPIPE)) {
        struct timespec now = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error == 0 && (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)) && fsync(fd) != 0 &&
        errno != EINVAL && errno != EROFS)
        error = errno;
    return error;
}

} // namespace

namespace BPrivate {

void set_safe_write_hook(safe_write_hook hook)
{
    gHook.store(hook);
}

void set_safe_write_step_hook(safe_write_step_hook hook)
{
    gStepHook.store(hook);
}

} // namespace BPrivate

SafeFileWriter::SafeFileWriter()
    : fMayBlock(true), fStatus(B_NO_INIT), fError(0), fMessage(""), fMethod(kNotWritten)
{
}

status_t SafeFileWriter::_Finish(int error, Method method)
{
    const char* message = nullptr;
    if (error == kNoJournal) {
        error = EACCES;
        message = "permission denied: the folder cannot hold the copy a safe rewrite needs";
    } else if (error == kLostPlace) {
        error = ENOENT;
        message = "the file's folder cannot be found to rewrite it safely";
    }
    fError = error;
    fMethod = error == 0 ? method : kNotWritten;
    fStatus = error == 0 ? status_t(B_OK) : BPrivate::status_for_errno(error);
    fMessage = error == 0 ? "" : message != nullptr ? message : MessageFor(error);
    return fStatus;
}

status_t SafeFileWriter::WriteFile(const BDirectory* folder, const char* name, const void* data,
                                   size_t size)
{
    if (folder == nullptr)
        return _Finish(EINVAL, kNotWritten);
    if (folder->InitCheck() != B_OK)
        return _Finish(ENOENT, kNotWritten);
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        _Finish(EINVAL, kNotWritten);
        fMessage = "not a file name";
        return fStatus;
    }
    // Through the folder's own descriptor: it may have moved since.
    return _Write(folder->FileDescriptor(), name, data, size);
}

status_t SafeFileWriter::WriteFile(const char* path, const void* data, size_t size)
{
    return _Write(AT_FDCWD, path, data, size);
}

status_t SafeFileWriter::WriteFileFrom(const char* path, int source)
{
    struct stat st;
    if (fstat(source, &st) != 0)
        return _Finish(errno, kNotWritten);
    if (!S_ISREG(st.st_mode))
        return _Finish(EINVAL, kNotWritten);
    if (st.st_size == 0)
        return _Write(AT_FDCWD, path, "", 0);
    void* mapped = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, source, 0);
    if (mapped == MAP_FAILED)
        return _Finish(errno, kNotWritten);
    tMappedStart = static_cast<const char*>(mapped);
    tMappedEnd = tMappedStart + st.st_size;
    const status_t status = _Write(AT_FDCWD, path, mapped, size_t(st.st_size));
    tMappedStart = tMappedEnd = nullptr;
    munmap(mapped, size_t(st.st_size));
    return status;
}

status_t SafeFileWriter::_Write(int base, const char* path, const void* data, size_t size)
{
    if (path == nullptr || (data == nullptr && size > 0))
        return _Finish(EINVAL, kNotWritten);
    if (path[0] == '\0')
        return _Finish(ENOENT, kNotWritten);

    // Opening for writing is the kernel's own access check, made before
    // anything else; it also follows every link, /proc's included. Without
    // O_NONBLOCK a FIFO that no one reads would hold the open for ever.
    const int wait = fMayBlock ? 0 : O_NONBLOCK;
    Descriptor target(openat(base, path, O_WRONLY | O_NOCTTY | O_CLOEXEC | wait));
    if (target.Get() < 0) {
        int error = errno;
        if (error != ENOENT)
            return _Finish(error, kNotWritten);
        Place place;
        if ((error = locate(base, path, &place)) != 0)
            return _Finish(error, kNotWritten);
        if (place.exists)
            return _Finish(EEXIST, kNotWritten); // appeared meanwhile
        clean_folder(place.folder.Get());
        return _Finish(write_beside(place, data, size, -1, nullptr), kCreated);
    }

    struct stat st;
    if (fstat(target.Get(), &st) != 0)
        return _Finish(errno, kNotWritten);
    if (!S_ISREG(st.st_mode))
        return _Finish(write_through(target.Get(), st, data, size, fMayBlock), kWrittenThrough);

    Place place;
    const bool placed = locate(base, path, &place) == 0 && place.exists && same_file(place.st, st);
    if (!placed) {
        // Open through /proc after its last name went: no name to protect.
        if (st.st_nlink == 0)
            return _Finish(rewrite_unnamed(target.Get(), st, data, size), kWrittenInPlace);
        return _Finish(kLostPlace, kNotWritten);
    }
    // What earlier saves killed outright left here goes first; a journal
    // may give this very file its old bytes back.
    clean_folder(place.folder.Get());
    if (fstat(target.Get(), &st) != 0)
        return _Finish(errno, kNotWritten);
    if (st.st_nlink == 1) {
        int error = write_beside(place, data, size, target.Get(), &st);
        if (error != kInPlace)
            return _Finish(error, kReplaced);
    }
    return _Finish(rewrite_in_place(place, target.Get(), data, size), kWrittenInPlace);
}

status_t SafeFileWriter::WriteDescriptor(int fd, const void* data, size_t size)
{
    if (data == nullptr && size > 0)
        return _Finish(EINVAL, kNotWritten);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return _Finish(errno, kNotWritten);
    return _Finish(write_through(fd, st, data, size, true), kWrittenThrough);
}

const char* SafeFileWriter::MessageFor(int error)
{
    switch (error) {
    case 0:
        return "";
    case ENOENT:
        return "no such folder";
    case ENOTDIR:
        return "a folder on the path is a file";
    case EACCES:
    case EPERM:
        return "permission denied";
    case EISDIR:
        return "is a directory";
    case ENOSPC:
        return "no space left on device";
    case EDQUOT:
        return "disk quota exceeded";
    case EFBIG:
        return "file too large for the file system";
    case EROFS:
        return "read-only file system";
    case ENAMETOOLONG:
        return "name too long";
    case ELOOP:
        return "too many levels of symbolic links";
    case EBUSY:
        return "device or resource busy";
    case ETXTBSY:
        return "the file is a program being run";
    case EXDEV:
        return "the link crosses file systems";
    case EMFILE:
    case ENFILE:
        return "too many open files";
    case ENXIO:
        return "no such device or address (nothing reads from it?)";
    case ENODEV:
        return "no such device";
    case EPIPE:
        return "broken pipe";
    case EBADF:
        return "bad file descriptor (closed, or not open for writing)";
    case EEXIST:
        return "another program created the file meanwhile";
    case EINTR:
        return "interrupted";
    case EIO:
        return "input/output error";
    case ENOMEM:
        return "out of memory";
    case EAGAIN:
        return "resource temporarily unavailable";
    case EINVAL:
        return "invalid argument";
    case EOPNOTSUPP:
        return "not supported by the file system";
    case EOVERFLOW:
        return "value too large";
    case ESTALE:
        return "stale file handle";
    default:
        return std::strerror(error);
    }
}
