// Puts a file's whole new contents, already encoded in memory, where a path
// names, without harming what is there.
//
// The path is resolved as the kernel resolves it: symbolic links are
// followed (a dangling one creates the file it names) and ".." goes up from
// wherever the link led. Then:
// - nothing there: the bytes go to a temporary file beside the name, which
//   is renamed into place once complete (0666 less the umask);
// - a folder: refused;
// - not a regular file (a pipe, a device, a terminal): written through in
//   place, never replaced;
// - a regular file the caller may not open for writing: refused, as the
//   shell would refuse it;
// - a regular file whose replacement would lose something (a second hard
//   link, an owner or group the caller cannot give, an extended attribute
//   it cannot copy, a folder that refuses the rename): rewritten in place,
//   after a journal of its old and new bytes is synced beside it. Refused
//   when no journal can be made there (a folder the caller may not write);
// - any other regular file: replaced by a temporary file carrying its mode
//   (without setuid/setgid), owner, group and extended attributes (ACLs
//   included), synced, renamed over it, and the folder synced.
// A temporary file is removed on failure and on SIGINT, SIGTERM or SIGHUP.
// A process killed outright (SIGKILL, a crash) may leave a temporary or a
// journal: the next save into the same folder removes what no live save
// holds, and first puts a journal's old picture back into its file, so that
// every name then holds the old picture or the new one.
#ifndef _SAFE_FILE_WRITER_H
#define _SAFE_FILE_WRITER_H

#include <SupportDefs.h>

#include <cstddef>

class BDirectory;

class SafeFileWriter
{
public:
    enum Method
    {
        kNotWritten,
        kCreated,        // a new file
        kReplaced,       // a temporary renamed over the old file
        kWrittenInPlace, // the old regular file rewritten
        kWrittenThrough, // a pipe, device, terminal or open descriptor
    };

    SafeFileWriter();

    SafeFileWriter(const SafeFileWriter&) = delete;
    SafeFileWriter& operator=(const SafeFileWriter&) = delete;

    // Whether WriteFile may wait on its destination (true at first). A
    // program whose thread must keep answering (a window) says false: a
    // FIFO that no one reads, a device that is busy or a file leased to
    // another program then fails at once, and a pipe or device that stops
    // taking bytes fails after a second.
    void SetMayBlock(bool mayBlock) { fMayBlock = mayBlock; }

    // path is relative to the working folder unless absolute.
    status_t WriteFile(const char* path, const void* data, size_t size);
    // name must be a plain name in folder: no '/', not "." or "..".
    status_t WriteFile(const BDirectory* folder, const char* name, const void* data, size_t size);
    // As WriteFile, with the whole of the regular file open as source (read
    // from its start): mapped, not copied, and its pages let go as they are
    // written, so that a long file (a video) costs no memory.
    status_t WriteFileFrom(const char* path, int source);
    // Writes everything to an open descriptor (standard output) at its
    // position; a short or failed write is a failure.
    status_t WriteDescriptor(int fd, const void* data, size_t size);

    // Of the last write: B_OK or the failure, the errno behind it (0 when
    // none), and one line saying what went wrong ("" on success).
    status_t Status() const { return fStatus; }
    int Error() const { return fError; }
    const char* ErrorMessage() const { return fMessage; }
    Method HowWritten() const { return fMethod; }

    // One line for an errno value, as ErrorMessage() gives it.
    static const char* MessageFor(int error);

private:
    status_t _Write(int base, const char* path, const void* data, size_t size);
    status_t _Finish(int error, Method method);

    bool fMayBlock;
    status_t fStatus;
    int fError;
    const char* fMessage;
    Method fMethod;
};

#endif // _SAFE_FILE_WRITER_H
