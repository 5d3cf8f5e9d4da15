// Status codes of the platform layer: B_OK is zero, every error is negative.
// The values are the platform's, so code written against its headers reads
// them the same way.
#ifndef _ERRORS_H
#define _ERRORS_H

#include <climits>

#define B_GENERAL_ERROR_BASE INT_MIN
#define B_OS_ERROR_BASE (B_GENERAL_ERROR_BASE + 0x1000)
#define B_APP_ERROR_BASE (B_GENERAL_ERROR_BASE + 0x2000)
#define B_INTERFACE_ERROR_BASE (B_GENERAL_ERROR_BASE + 0x3000)
#define B_TRANSLATION_ERROR_BASE (B_GENERAL_ERROR_BASE + 0x4800)
#define B_STORAGE_ERROR_BASE (B_GENERAL_ERROR_BASE + 0x6000)

// One enumeration, so that any two codes compare without a warning.
enum
{
    B_OK = 0,
    B_NO_ERROR = 0,
    B_ERROR = -1,

    B_NO_MEMORY = B_GENERAL_ERROR_BASE,
    B_IO_ERROR,
    B_PERMISSION_DENIED,
    B_BAD_INDEX,
    B_BAD_TYPE,
    B_BAD_VALUE,
    B_MISMATCHED_VALUES,
    B_NAME_NOT_FOUND,
    B_NAME_IN_USE,
    B_TIMED_OUT,
    B_INTERRUPTED,
    B_WOULD_BLOCK,
    B_CANCELED,
    B_NO_INIT,
    B_BUSY,
    B_NOT_ALLOWED,
    B_BAD_DATA,

    B_BAD_PORT_ID = B_OS_ERROR_BASE + 0x200,

    B_BAD_REPLY = B_APP_ERROR_BASE,
    B_DUPLICATE_REPLY,
    B_MESSAGE_TO_SELF,
    B_BAD_HANDLER,
    B_ALREADY_RUNNING,

    B_NO_TRANSLATOR = B_TRANSLATION_ERROR_BASE,
    B_ILLEGAL_DATA,

    B_FILE_ERROR = B_STORAGE_ERROR_BASE,
    B_FILE_NOT_FOUND,
    B_FILE_EXISTS,
    B_ENTRY_NOT_FOUND,
    B_NAME_TOO_LONG,
    B_NOT_A_DIRECTORY,
    B_DIRECTORY_NOT_EMPTY,
    B_DEVICE_FULL,
    B_READ_ONLY_DEVICE,
    B_IS_A_DIRECTORY,
    B_NO_MORE_FDS,
    B_CROSS_DEVICE_LINK,
    B_LINK_LIMIT,
    B_BUSTED_PIPE,
    B_UNSUPPORTED,
};

#endif // _ERRORS_H
