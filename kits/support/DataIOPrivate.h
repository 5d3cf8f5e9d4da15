// Shared by the kits' in-memory streams.
#ifndef _DATA_IO_PRIVATE_H
#define _DATA_IO_PRIVATE_H

#include <SupportDefs.h>

#include <sys/types.h>

// The position a Seek(position, seekMode) lands on in a stream at current
// of size bytes, or B_BAD_VALUE for an unknown mode, a position before the
// start or one past what off_t holds.
off_t seek_target(off_t current, off_t size, off_t position, uint32 seekMode);

#endif // _DATA_IO_PRIVATE_H
