// For tests of SafeFileWriter only.
#ifndef _SAFE_FILE_WRITER_PRIVATE_H
#define _SAFE_FILE_WRITER_PRIVATE_H

#include <SupportDefs.h>

#include <cstddef>

namespace BPrivate {

// Called with the folder and name of a temporary file once it is written
// and synced, just before it is renamed into place; null removes the hook.
using safe_write_hook = void (*)(int folder, const char* temporaryName);
void set_safe_write_hook(safe_write_hook hook);

// The moments of a save a test may stop it at (with SIGKILL, say). The
// "-ing" steps come after each piece written, with the bytes done so far.
enum safe_write_step
{
    kWritingTemporary, // the new bytes going into a temporary beside the file
    kTemporaryWritten, // ... synced, not yet renamed over the file
    kJournalWritten,   // old and new bytes synced beside a file to rewrite
    kRewriting,        // the new bytes going into the file itself
    kRewritten,        // ... all there and synced; the journal not yet removed
    kRestoring,        // a journal's old bytes going back into its file
};
using safe_write_step_hook = void (*)(safe_write_step step, uint64 done);
void set_safe_write_step_hook(safe_write_step_hook hook);

// Pieces are written this size at most, so a hook can stop between them.
constexpr size_t kSafeWritePiece = 64 * 1024;

// How long a destination that would block may take no bytes before a save
// that must not wait fails.
constexpr int kSafeWriteStallMs = 1000;

} // namespace BPrivate

#endif // _SAFE_FILE_WRITER_PRIVATE_H
