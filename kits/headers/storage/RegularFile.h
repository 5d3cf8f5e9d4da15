// This layer's own (the platform has no such call): the one check that a
// file is a regular file before anything reads it. A pipe or a device would
// block a reader or never end; a folder has no content to read.
#ifndef _REGULAR_FILE_H
#define _REGULAR_FILE_H

#include <SupportDefs.h>

#include <sys/types.h>

// B_OK for a regular file (links followed), B_IS_A_DIRECTORY for a folder,
// B_BAD_TYPE for anything else, or the error stat gave.
status_t check_regular_file(const char* path);

// The same for a file already open, which cannot be swapped meanwhile;
// size, when given, receives the file's length.
status_t check_regular_file(int fd, off_t* size = nullptr);

#endif // _REGULAR_FILE_H
