// For tests of SafeFileWriter only.
#ifndef _SAFE_FILE_WRITER_PRIVATE_H
#define _SAFE_FILE_WRITER_PRIVATE_H

namespace BPrivate {

// Called with the folder and name of a temporary file once it is written
// and synced, just before it is renamed into place; null removes the hook.
using safe_write_hook = void (*)(int folder, const char* temporaryName);
void set_safe_write_hook(safe_write_hook hook);

} // namespace BPrivate

#endif // _SAFE_FILE_WRITER_PRIVATE_H
