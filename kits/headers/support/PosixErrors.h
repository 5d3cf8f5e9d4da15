// This layer's own (the platform has no such call): the platform status for
// an errno value, for every kit that calls the system directly.
#ifndef _POSIX_ERRORS_H
#define _POSIX_ERRORS_H

#include <SupportDefs.h>

// Never B_OK; B_ERROR for a value with no status of its own.
status_t status_for_errno(int error);

#endif // _POSIX_ERRORS_H
