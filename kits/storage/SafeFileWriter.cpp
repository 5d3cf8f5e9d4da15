#include <SafeFileWriter.h>

#include <Directory.h>
#include <SafeFileWriterPrivate.h>
#include <StoragePrivate.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int kSymlinkHops = 40; // the kernel's own limit
constexpr int kTemporaryAttempts = 64;
constexpr long kNameMax = 255;
// Replacing would lose something: write in place instead.
constexpr int kInPlace = -1;

std::atomic<BPrivate::safe_write_hook> gHook{nullptr};

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

// A name beside the target that always fits the folder's name limit:
// ".<start of the name>.<six random letters>", cut on a UTF-8 boundary.
std::string temporary_name(int folder, const std::string& name, std::mt19937& random)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    long limit = fpathconf(folder, _PC_NAME_MAX);
    if (limit <= 0 || limit > kNameMax)
        limit = kNameMax;
    size_t room = size_t(std::max(0L, limit - 8));
    size_t cut = std::min(room, name.size());
    while (cut > 0 && cut < name.size() && (uint8(name[cut]) & 0xC0) == 0x80)
        cut--;
    std::string result(1, '.');
    result.append(name, 0, cut);
    result.push_back('.');
    std::uniform_int_distribution<int> pick(0, int(sizeof(kLetters)) - 2);
    for (int i = 0; i < 6; i++)
        result += kLetters[pick(random)];
    return result;
}

// A file being written beside its target. It is removed when it goes out
// of scope uncommitted, and by the signal handler while it exists.
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
        // The signals wait while the file is made and armed: no moment
        // leaves it unguarded, and a name someone else holds is never
        // removed.
        sigset_t block, previous;
        sigemptyset(&block);
        for (int signal : kCaught)
            sigaddset(&block, signal);
        int error = EEXIST;
        for (int attempt = 0; attempt < kTemporaryAttempts && error == EEXIST; attempt++) {
            fName = temporary_name(folder, target, random);
            pthread_sigmask(SIG_BLOCK, &block, &previous);
            int fd = openat(folder, fName.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            error = fd >= 0 ? 0 : errno;
            if (fd >= 0) {
                fFile.Reset(fd);
                fSlot->folder = folder;
                std::memcpy(fSlot->name, fName.c_str(), fName.size() + 1);
                fSlot->state.store(2);
            }
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
            return 0;
        }
        // Still armed: the destructor removes it.
        return Interrupted() ? EINTR : result;
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

// Writes everything, waiting when a non-blocking descriptor is full.
int write_all(int fd, const void* data, size_t size, off_t* offset)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = offset != nullptr ? pwrite(fd, bytes, size, *offset) : write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd wait = {fd, POLLOUT, 0};
                if (poll(&wait, 1, -1) < 0 && errno != EINTR)
                    return errno;
                continue;
            }
            return errno;
        }
        if (n == 0)
            return EIO;
        bytes += n;
        size -= size_t(n);
        if (offset != nullptr)
            *offset += n;
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

void sync_folder(int folder)
{
    Descriptor readable(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable.Get() >= 0)
        fsync(readable.Get());
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
    if ((error = reserve(fd, size)) != 0 || (error = write_all(fd, data, size, &offset)) != 0)
        return error;
    if (fsync(fd) != 0)
        return errno;
    if ((error = temporary.CloseFile()) != 0)
        return error;
    if (temporary.Interrupted())
        return EINTR;
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

// Rewrites a regular file in place: room first, then the bytes, then the
// length. The signals that would stop it halfway wait until it is done.
int write_in_place(int fd, const struct stat& st, const void* data, size_t size)
{
    sigset_t block, previous;
    sigemptyset(&block);
    for (int signal : kCaught)
        sigaddset(&block, signal);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    int error = reserve(fd, size);
    if (error != 0) {
        // Give back what a partial reservation may have taken.
        ftruncate(fd, st.st_size);
    } else {
        off_t offset = 0;
        error = write_all(fd, data, size, &offset);
        if (error == 0 && ftruncate(fd, off_t(size)) != 0)
            error = errno;
        if (error == 0 && fsync(fd) != 0)
            error = errno;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return error;
}

// A reader that went away is a failed write ("broken pipe"), not the end
// of the process: SIGPIPE is held while writing and the one this write
// raised is taken back.
int write_through(int fd, const struct stat& st, const void* data, size_t size)
{
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    int error = write_all(fd, data, size, nullptr);
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

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

namespace BPrivate {

void set_safe_write_hook(safe_write_hook hook)
{
    gHook.store(hook);
}

} // namespace BPrivate

SafeFileWriter::SafeFileWriter() : fStatus(B_NO_INIT), fError(0), fMessage(""), fMethod(kNotWritten)
{
}

status_t SafeFileWriter::_Finish(int error, Method method)
{
    fError = error;
    fMethod = error == 0 ? method : kNotWritten;
    fStatus = error == 0 ? status_t(B_OK) : BPrivate::status_for_errno(error);
    fMessage = error == 0 ? "" : MessageFor(error);
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

status_t SafeFileWriter::_Write(int base, const char* path, const void* data, size_t size)
{
    if (path == nullptr || (data == nullptr && size > 0))
        return _Finish(EINVAL, kNotWritten);
    if (path[0] == '\0')
        return _Finish(ENOENT, kNotWritten);

    // Opening for writing is the kernel's own access check, made before
    // anything else; it also follows every link, /proc's included.
    Descriptor target(openat(base, path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (target.Get() < 0) {
        int error = errno;
        if (error != ENOENT)
            return _Finish(error, kNotWritten);
        Place place;
        if ((error = locate(base, path, &place)) != 0)
            return _Finish(error, kNotWritten);
        if (place.exists)
            return _Finish(EEXIST, kNotWritten); // appeared meanwhile
        return _Finish(write_beside(place, data, size, -1, nullptr), kCreated);
    }

    struct stat st;
    if (fstat(target.Get(), &st) != 0)
        return _Finish(errno, kNotWritten);
    if (!S_ISREG(st.st_mode))
        return _Finish(write_through(target.Get(), st, data, size), kWrittenThrough);

    Place place;
    bool replaceable = locate(base, path, &place) == 0 && place.exists && same_file(place.st, st) &&
                       st.st_nlink == 1;
    if (replaceable) {
        int error = write_beside(place, data, size, target.Get(), &st);
        if (error != kInPlace)
            return _Finish(error, kReplaced);
    }
    return _Finish(write_in_place(target.Get(), st, data, size), kWrittenInPlace);
}

status_t SafeFileWriter::WriteDescriptor(int fd, const void* data, size_t size)
{
    if (data == nullptr && size > 0)
        return _Finish(EINVAL, kNotWritten);
    struct stat st;
    if (fstat(fd, &st) != 0)
        return _Finish(errno, kNotWritten);
    return _Finish(write_through(fd, st, data, size), kWrittenThrough);
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
