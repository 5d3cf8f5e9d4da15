// Memory for picture-sized blocks: pixels, the engine's buffers, encoded
// files. Blocks of a megabyte or more are mapped on 2 MiB boundaries and
// asked for transparent huge pages, since first touching a fresh 4 KiB page
// costs more here than the work done on it; smaller blocks come from the
// ordinary heap.
//
// The calls follow malloc, realloc and free, and picture_free and
// picture_realloc also accept blocks that came from malloc: code that once
// used the C allocator can switch over piecemeal. A few freed mapped blocks
// (at most 512 MiB) are kept for the next allocations: a window that makes
// one stereogram after another, or a tool that lets its depth picture go
// before the engine needs a buffer, reuses pages already faulted in.
#ifndef _PICTURE_MEMORY_H
#define _PICTURE_MEMORY_H

#include <cstddef>

// A block of at least size bytes, or null; cleared when zeroed is set.
void* picture_alloc(size_t size, bool zeroed = false);

// As realloc: the contents are kept up to the smaller of the old and new
// sizes, the block may move, null leaves the old block as it was. A null
// block allocates; a size of 0 frees and returns null.
void* picture_realloc(void* block, size_t size);

void picture_free(void* block);

// Whether a block is one of the mapped ones (for tests and measurements).
bool picture_block_is_mapped(const void* block);

// Gives the kept freed blocks back to the system, so that a measurement of
// a first run starts as a fresh process does.
void picture_release_spare();

#endif // _PICTURE_MEMORY_H
