// Shared by the storage kit's sources only.
#ifndef _STORAGE_PRIVATE_H
#define _STORAGE_PRIVATE_H

#include <SupportDefs.h>

namespace BPrivate {

// The platform status for an errno value (never B_OK).
status_t status_for_errno(int error);

} // namespace BPrivate

#endif // _STORAGE_PRIVATE_H
