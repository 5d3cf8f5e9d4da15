#include <Directory.h>
#include <File.h>
#include <StoragePrivate.h>

#include <cerrno>
#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using BPrivate::status_for_errno;

namespace {

constexpr uint32 kAccessMask = 0x0003;
constexpr uint32 kKnownModes =
    kAccessMask | B_FAIL_IF_EXISTS | B_CREATE_FILE | B_ERASE_FILE | B_OPEN_AT_END;

bool flags_for(uint32 openMode, int* flags)
{
    if ((openMode & ~kKnownModes) != 0)
        return false;
    switch (openMode & kAccessMask) {
    case B_READ_ONLY:
        *flags = O_RDONLY;
        break;
    case B_WRITE_ONLY:
        *flags = O_WRONLY;
        break;
    case B_READ_WRITE:
        *flags = O_RDWR;
        break;
    default:
        return false;
    }
    if (openMode & B_CREATE_FILE)
        *flags |= O_CREAT;
    if (openMode & B_FAIL_IF_EXISTS)
        *flags |= O_CREAT | O_EXCL;
    if (openMode & B_ERASE_FILE)
        *flags |= O_TRUNC;
    if (openMode & B_OPEN_AT_END)
        *flags |= O_APPEND;
    *flags |= O_CLOEXEC;
    return true;
}

} // namespace

BFile::BFile() : fFd(-1), fMode(0), fStatus(B_NO_INIT) {}

BFile::BFile(const char* path, uint32 openMode) : fFd(-1), fMode(0), fStatus(B_NO_INIT)
{
    SetTo(path, openMode);
}

BFile::BFile(const entry_ref* ref, uint32 openMode) : fFd(-1), fMode(0), fStatus(B_NO_INIT)
{
    SetTo(ref, openMode);
}

BFile::BFile(const BEntry* entry, uint32 openMode) : fFd(-1), fMode(0), fStatus(B_NO_INIT)
{
    SetTo(entry, openMode);
}

BFile::BFile(const BDirectory* directory, const char* name, uint32 openMode)
    : fFd(-1), fMode(0), fStatus(B_NO_INIT)
{
    SetTo(directory, name, openMode);
}

BFile::~BFile()
{
    Unset();
}

status_t BFile::SetTo(const char* path, uint32 openMode)
{
    Unset();
    if (path == nullptr || path[0] == '\0')
        return fStatus = B_BAD_VALUE;
    return _Open(AT_FDCWD, path, openMode);
}

status_t BFile::SetTo(const entry_ref* ref, uint32 openMode)
{
    Unset();
    if (ref == nullptr || ref->path.empty())
        return fStatus = B_BAD_VALUE;
    return _Open(AT_FDCWD, ref->path.c_str(), openMode);
}

status_t BFile::SetTo(const BEntry* entry, uint32 openMode)
{
    Unset();
    entry_ref ref;
    if (entry == nullptr || entry->GetRef(&ref) != B_OK)
        return fStatus = B_BAD_VALUE;
    return _Open(AT_FDCWD, ref.path.c_str(), openMode);
}

status_t BFile::SetTo(const BDirectory* directory, const char* name, uint32 openMode)
{
    Unset();
    if (directory == nullptr || directory->InitCheck() != B_OK || name == nullptr ||
        name[0] == '\0')
        return fStatus = B_BAD_VALUE;
    // Relative names resolve inside the open folder, absolute ones as given.
    return _Open(directory->FileDescriptor(), name, openMode);
}

status_t BFile::_Open(int directoryFd, const char* path, uint32 openMode)
{
    int flags;
    if (!flags_for(openMode, &flags))
        return fStatus = B_BAD_VALUE;
    int fd;
    do {
        fd = openat(directoryFd, path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fStatus = status_for_errno(errno);
    // open() accepts a folder for reading; a BFile is for regular files only.
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return fStatus = B_IS_A_DIRECTORY;
    }
    fFd = fd;
    fMode = openMode;
    return fStatus = B_OK;
}

void BFile::Unset()
{
    if (fFd >= 0)
        close(fFd);
    fFd = -1;
    fMode = 0;
    fStatus = B_NO_INIT;
}

bool BFile::IsReadable() const
{
    uint32 access = fMode & kAccessMask;
    return fStatus == B_OK && (access == B_READ_ONLY || access == B_READ_WRITE);
}

bool BFile::IsWritable() const
{
    uint32 access = fMode & kAccessMask;
    return fStatus == B_OK && (access == B_WRITE_ONLY || access == B_READ_WRITE);
}

ssize_t BFile::Read(void* buffer, size_t size)
{
    if (fStatus != B_OK)
        return fStatus;
    if (!IsReadable())
        return B_NOT_ALLOWED;
    ssize_t n;
    do {
        n = read(fFd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? status_for_errno(errno) : n;
}

ssize_t BFile::ReadAt(off_t position, void* buffer, size_t size)
{
    if (fStatus != B_OK)
        return fStatus;
    if (!IsReadable())
        return B_NOT_ALLOWED;
    if (position < 0)
        return B_BAD_VALUE;
    ssize_t n;
    do {
        n = pread(fFd, buffer, size, position);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? status_for_errno(errno) : n;
}

ssize_t BFile::Write(const void* buffer, size_t size)
{
    if (fStatus != B_OK)
        return fStatus;
    if (!IsWritable())
        return B_NOT_ALLOWED;
    if (size > size_t(std::numeric_limits<ssize_t>::max()))
        return B_BAD_VALUE;
    const char* in = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fFd, in + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return status_for_errno(errno);
        if (n == 0)
            return B_IO_ERROR;
        done += size_t(n);
    }
    return ssize_t(done);
}

ssize_t BFile::WriteAt(off_t position, const void* buffer, size_t size)
{
    if (fStatus != B_OK)
        return fStatus;
    if (!IsWritable())
        return B_NOT_ALLOWED;
    if (position < 0 || size > size_t(std::numeric_limits<ssize_t>::max()))
        return B_BAD_VALUE;
    const char* in = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fFd, in + done, size - done, position + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return status_for_errno(errno);
        if (n == 0)
            return B_IO_ERROR;
        done += size_t(n);
    }
    return ssize_t(done);
}

off_t BFile::Seek(off_t position, uint32 seekMode)
{
    if (fStatus != B_OK)
        return fStatus;
    if (seekMode != SEEK_SET && seekMode != SEEK_CUR && seekMode != SEEK_END)
        return B_BAD_VALUE;
    off_t result = lseek(fFd, position, int(seekMode));
    return result < 0 ? status_for_errno(errno) : result;
}

off_t BFile::Position() const
{
    if (fStatus != B_OK)
        return fStatus;
    off_t result = lseek(fFd, 0, SEEK_CUR);
    return result < 0 ? status_for_errno(errno) : result;
}

status_t BFile::SetSize(off_t size)
{
    if (fStatus != B_OK)
        return fStatus;
    if (size < 0)
        return B_BAD_VALUE;
    if (!IsWritable())
        return B_NOT_ALLOWED;
    return ftruncate(fFd, size) == 0 ? B_OK : status_for_errno(errno);
}

status_t BFile::GetSize(off_t* size) const
{
    if (size == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    struct stat st;
    if (fstat(fFd, &st) != 0)
        return status_for_errno(errno);
    *size = st.st_size;
    return B_OK;
}

status_t BFile::Sync()
{
    if (fStatus != B_OK)
        return fStatus;
    int result;
    do {
        result = fsync(fFd);
    } while (result != 0 && errno == EINTR);
    // Devices such as /dev/null cannot be synced, and need not be.
    if (result != 0 && errno != EINVAL && errno != EROFS)
        return status_for_errno(errno);
    return B_OK;
}

status_t BFile::GetPermissions(mode_t* permissions) const
{
    if (permissions == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    struct stat st;
    if (fstat(fFd, &st) != 0)
        return status_for_errno(errno);
    *permissions = st.st_mode & 07777;
    return B_OK;
}

status_t BFile::SetPermissions(mode_t permissions)
{
    if (fStatus != B_OK)
        return fStatus;
    return fchmod(fFd, permissions & 07777) == 0 ? B_OK : status_for_errno(errno);
}
