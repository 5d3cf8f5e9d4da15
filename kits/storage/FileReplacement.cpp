#include <FileReplacement.h>

#include <Path.h>
#include <StoragePrivate.h>

#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kTemporaryAttempts = 64;

std::string temporary_name(const std::string& leaf, std::mt19937& random)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = "." + leaf + ".";
    std::uniform_int_distribution<int> pick(0, int(sizeof(kLetters)) - 2);
    for (int i = 0; i < 6; i++)
        name += kLetters[pick(random)];
    return name;
}

// A plain name within the folder: no separator, not "." or "..".
bool is_leaf_name(const char* name)
{
    return name != nullptr && name[0] != '\0' && std::strchr(name, '/') == nullptr &&
           std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

} // namespace

BFileReplacement::BFileReplacement(const BDirectory* directory, const char* name)
    : fStatus(B_NO_INIT), fPending(false)
{
    if (directory == nullptr || directory->InitCheck() != B_OK) {
        fStatus = directory == nullptr ? B_BAD_VALUE : directory->InitCheck();
        return;
    }
    fStatus = fFolder.SetTo(directory->Path());
    if (fStatus == B_OK)
        _Open(&fFolder, name);
}

BFileReplacement::BFileReplacement(const char* path) : fStatus(B_NO_INIT), fPending(false)
{
    BPath target(path);
    BPath parent;
    if ((fStatus = target.InitCheck()) != B_OK || (fStatus = target.GetParent(&parent)) != B_OK)
        return;
    fStatus = fFolder.SetTo(parent.Path());
    if (fStatus == B_OK)
        _Open(&fFolder, target.Leaf());
}

BFileReplacement::~BFileReplacement()
{
    Abandon();
}

void BFileReplacement::_Open(const BDirectory* directory, const char* name)
{
    if (!is_leaf_name(name)) {
        fStatus = B_BAD_VALUE;
        return;
    }
    fName = name;
    struct stat target;
    if (fstatat(directory->FileDescriptor(), name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
        fStatus = B_IS_A_DIRECTORY;
        return;
    }
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < kTemporaryAttempts; attempt++) {
        fTemporary = temporary_name(fName, random);
        fStatus = fFile.SetTo(directory, fTemporary.c_str(),
                              B_WRITE_ONLY | B_CREATE_FILE | B_FAIL_IF_EXISTS);
        if (fStatus != B_FILE_EXISTS)
            break;
    }
    fPending = fStatus == B_OK;
}

status_t BFileReplacement::Commit()
{
    if (!fPending)
        return fStatus != B_OK ? fStatus : B_NO_INIT;
    status_t status = fFile.Sync();
    struct stat existing;
    int folder = fFolder.FileDescriptor();
    if (status == B_OK && fstatat(folder, fName.c_str(), &existing, 0) == 0 &&
        S_ISREG(existing.st_mode))
        status = fFile.SetPermissions(existing.st_mode & 07777);
    fFile.Unset();
    if (status == B_OK && renameat(folder, fTemporary.c_str(), folder, fName.c_str()) != 0)
        status = BPrivate::status_for_errno(errno);
    if (status != B_OK) {
        Abandon();
        return status;
    }
    fPending = false;
    // The rename itself must survive a crash too.
    fFolder.Sync();
    return B_OK;
}

void BFileReplacement::Abandon()
{
    if (!fPending)
        return;
    fFile.Unset();
    unlinkat(fFolder.FileDescriptor(), fTemporary.c_str(), 0);
    fPending = false;
}
