#include <Errors.h>
#include <PosixErrors.h>

#include <cerrno>

status_t status_for_errno(int error)
{
    switch (error) {
    case ENOENT:
        return B_ENTRY_NOT_FOUND;
    case EEXIST:
        return B_FILE_EXISTS;
    case EACCES:
    case EPERM:
        return B_PERMISSION_DENIED;
    case EISDIR:
        return B_IS_A_DIRECTORY;
    case ENOTDIR:
        return B_NOT_A_DIRECTORY;
    case ENAMETOOLONG:
        return B_NAME_TOO_LONG;
    case ENOTEMPTY:
        return B_DIRECTORY_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return B_DEVICE_FULL;
    case EROFS:
        return B_READ_ONLY_DEVICE;
    case ENOMEM:
        return B_NO_MEMORY;
    case EINVAL:
        return B_BAD_VALUE;
    case EBADF:
        return B_FILE_ERROR;
    case EINTR:
        return B_INTERRUPTED;
    case EAGAIN:
        return B_WOULD_BLOCK;
    case EIO:
        return B_IO_ERROR;
    case EBUSY:
    case ETXTBSY:
        return B_BUSY;
    case EXDEV:
        return B_CROSS_DEVICE_LINK;
    case ELOOP:
        return B_LINK_LIMIT;
    case EMFILE:
    case ENFILE:
        return B_NO_MORE_FDS;
    default:
        return B_ERROR;
    }
}
