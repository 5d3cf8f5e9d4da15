// Shared by the storage kit's sources only.
#ifndef _STORAGE_PRIVATE_H
#define _STORAGE_PRIVATE_H

#include <PosixErrors.h>

namespace BPrivate {

// The platform status for an errno value (never B_OK): the support kit's.
using ::status_for_errno;

} // namespace BPrivate

#endif // _STORAGE_PRIVATE_H
