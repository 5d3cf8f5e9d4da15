// Open modes of the storage kit, numbered as the platform numbers them.
#ifndef _STORAGE_DEFS_H
#define _STORAGE_DEFS_H

#include <SupportDefs.h>

#define B_FILE_NAME_LENGTH 256
#define B_PATH_NAME_LENGTH 1024

enum
{
    B_READ_ONLY = 0x0000,
    B_WRITE_ONLY = 0x0001,
    B_READ_WRITE = 0x0002,
    B_FAIL_IF_EXISTS = 0x0100,
    B_CREATE_FILE = 0x0200,
    B_ERASE_FILE = 0x0400,
    B_OPEN_AT_END = 0x0800,
};

#endif // _STORAGE_DEFS_H
