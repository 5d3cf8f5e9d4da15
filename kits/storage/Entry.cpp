#include <Directory.h>
#include <Entry.h>
#include <Path.h>
#include <StorageDefs.h>
#include <StoragePrivate.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using BPrivate::status_for_errno;

namespace {

std::string parent_of(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool stat_of(const entry_ref& ref, struct stat* st)
{
    return !ref.path.empty() && lstat(ref.path.c_str(), st) == 0;
}

} // namespace

BEntry::BEntry() : fStatus(B_NO_INIT) {}

BEntry::BEntry(const char* path) : fStatus(B_NO_INIT)
{
    SetTo(path);
}

BEntry::BEntry(const entry_ref* ref) : fStatus(B_NO_INIT)
{
    SetTo(ref);
}

BEntry::BEntry(const BDirectory* directory, const char* name) : fStatus(B_NO_INIT)
{
    SetTo(directory, name);
}

status_t BEntry::SetTo(const char* path)
{
    Unset();
    if (path == nullptr || fRef.SetPath(path) != B_OK)
        return fStatus = B_BAD_VALUE;
    struct stat st;
    if (fRef.path != "/" && stat(parent_of(fRef.path).c_str(), &st) != 0) {
        fStatus = status_for_errno(errno);
        fRef = entry_ref();
        return fStatus;
    }
    return fStatus = B_OK;
}

status_t BEntry::SetTo(const entry_ref* ref)
{
    if (ref == nullptr || ref->path.empty()) {
        Unset();
        return fStatus = B_BAD_VALUE;
    }
    return SetTo(ref->path.c_str());
}

status_t BEntry::SetTo(const BDirectory* directory, const char* name)
{
    if (directory == nullptr || directory->InitCheck() != B_OK || name == nullptr ||
        name[0] == '\0' || name[0] == '/') {
        Unset();
        return fStatus = B_BAD_VALUE;
    }
    return SetTo((std::string(directory->Path()) + "/" + name).c_str());
}

void BEntry::Unset()
{
    fRef = entry_ref();
    fStatus = B_NO_INIT;
}

bool BEntry::Exists() const
{
    struct stat st;
    return fStatus == B_OK && stat_of(fRef, &st);
}

bool BEntry::IsFile() const
{
    struct stat st;
    return fStatus == B_OK && stat_of(fRef, &st) && S_ISREG(st.st_mode);
}

bool BEntry::IsDirectory() const
{
    struct stat st;
    return fStatus == B_OK && stat_of(fRef, &st) && S_ISDIR(st.st_mode);
}

status_t BEntry::GetRef(entry_ref* ref) const
{
    if (ref == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    *ref = fRef;
    return B_OK;
}

status_t BEntry::GetPath(BPath* path) const
{
    if (path == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    return path->SetTo(&fRef);
}

status_t BEntry::GetName(char* buffer) const
{
    if (buffer == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    if (fRef.name.size() >= B_FILE_NAME_LENGTH)
        return B_NAME_TOO_LONG;
    std::memcpy(buffer, fRef.name.c_str(), fRef.name.size() + 1);
    return B_OK;
}

status_t BEntry::GetParent(BDirectory* directory) const
{
    if (directory == nullptr)
        return B_BAD_VALUE;
    if (fStatus != B_OK)
        return fStatus;
    if (fRef.path == "/")
        return B_ENTRY_NOT_FOUND;
    return directory->SetTo(parent_of(fRef.path).c_str());
}

status_t BEntry::Remove()
{
    if (fStatus != B_OK)
        return fStatus;
    struct stat st;
    if (!stat_of(fRef, &st))
        return status_for_errno(errno);
    int result = S_ISDIR(st.st_mode) ? rmdir(fRef.path.c_str()) : unlink(fRef.path.c_str());
    return result == 0 ? B_OK : status_for_errno(errno);
}

status_t BEntry::Rename(const char* path, bool clobber)
{
    if (fStatus != B_OK)
        return fStatus;
    if (path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;
    std::string target = path[0] == '/' ? std::string(path) : parent_of(fRef.path) + "/" + path;
    entry_ref targetRef;
    if (targetRef.SetPath(target.c_str()) != B_OK)
        return B_BAD_VALUE;
    int result;
    if (clobber) {
        result = rename(fRef.path.c_str(), targetRef.path.c_str());
    } else {
        // Checking first and renaming after would let a file slip in between.
        result = renameat2(AT_FDCWD, fRef.path.c_str(), AT_FDCWD, targetRef.path.c_str(),
                           RENAME_NOREPLACE);
    }
    if (result != 0)
        return status_for_errno(errno);
    fRef = targetRef;
    return B_OK;
}
