#include <Directory.h>
#include <StoragePrivate.h>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using BPrivate::status_for_errno;

BDirectory::BDirectory() : fFd(-1), fStatus(B_NO_INIT) {}

BDirectory::BDirectory(const char* path) : fFd(-1), fStatus(B_NO_INIT)
{
    SetTo(path);
}

BDirectory::BDirectory(const entry_ref* ref) : fFd(-1), fStatus(B_NO_INIT)
{
    SetTo(ref);
}

BDirectory::BDirectory(const BEntry* entry) : fFd(-1), fStatus(B_NO_INIT)
{
    SetTo(entry);
}

BDirectory::~BDirectory()
{
    Unset();
}

status_t BDirectory::SetTo(const char* path)
{
    Unset();
    entry_ref ref;
    if (path == nullptr || ref.SetPath(path) != B_OK)
        return fStatus = B_BAD_VALUE;
    int fd = open(ref.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fStatus = status_for_errno(errno);
    fFd = fd;
    fPath = ref.path;
    return fStatus = B_OK;
}

status_t BDirectory::SetTo(const entry_ref* ref)
{
    if (ref == nullptr || ref->path.empty()) {
        Unset();
        return fStatus = B_BAD_VALUE;
    }
    return SetTo(ref->path.c_str());
}

status_t BDirectory::SetTo(const BEntry* entry)
{
    entry_ref ref;
    if (entry == nullptr || entry->GetRef(&ref) != B_OK) {
        Unset();
        return fStatus = B_BAD_VALUE;
    }
    return SetTo(&ref);
}

void BDirectory::Unset()
{
    if (fFd >= 0)
        close(fFd);
    fFd = -1;
    fPath.clear();
    fStatus = B_NO_INIT;
}

status_t BDirectory::GetEntry(BEntry* entry) const
{
    if (entry == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    return entry->SetTo(fPath.c_str());
}

bool BDirectory::Contains(const char* name) const
{
    if (fStatus != B_OK || name == nullptr || name[0] == '\0')
        return false;
    struct stat st;
    return fstatat(fFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

status_t BDirectory::Sync() const
{
    if (fStatus != B_OK)
        return fStatus;
    return fsync(fFd) == 0 ? B_OK : status_for_errno(errno);
}
