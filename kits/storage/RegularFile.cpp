#include <Errors.h>
#include <RegularFile.h>
#include <StoragePrivate.h>

#include <cerrno>

#include <sys/stat.h>

namespace {

status_t status_of(const struct stat& st)
{
    if (S_ISREG(st.st_mode))
        return B_OK;
    return S_ISDIR(st.st_mode) ? status_t(B_IS_A_DIRECTORY) : status_t(B_BAD_TYPE);
}

} // namespace

status_t check_regular_file(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;
    struct stat st;
    if (stat(path, &st) != 0)
        return BPrivate::status_for_errno(errno);
    return status_of(st);
}

status_t check_regular_file(int fd, off_t* size)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return BPrivate::status_for_errno(errno);
    if (size != nullptr)
        *size = st.st_size;
    return status_of(st);
}
