// A regular file opened with POSIX calls. Reads and writes return the byte
// count or a negative status; a write that cannot store everything (a full
// device, say) reports the error rather than a short count.
#ifndef _FILE_H
#define _FILE_H

#include <DataIO.h>
#include <Entry.h>
#include <StorageDefs.h>

#include <sys/types.h>

class BDirectory;

class BFile : public BPositionIO
{
public:
    BFile();
    BFile(const char* path, uint32 openMode);
    BFile(const entry_ref* ref, uint32 openMode);
    BFile(const BEntry* entry, uint32 openMode);
    BFile(const BDirectory* directory, const char* name, uint32 openMode);
    ~BFile() override;

    status_t InitCheck() const { return fStatus; }
    status_t SetTo(const char* path, uint32 openMode);
    status_t SetTo(const entry_ref* ref, uint32 openMode);
    status_t SetTo(const BEntry* entry, uint32 openMode);
    status_t SetTo(const BDirectory* directory, const char* name, uint32 openMode);
    void Unset();

    bool IsReadable() const;
    bool IsWritable() const;

    ssize_t Read(void* buffer, size_t size) override;
    ssize_t Write(const void* buffer, size_t size) override;
    ssize_t ReadAt(off_t position, void* buffer, size_t size) override;
    ssize_t WriteAt(off_t position, const void* buffer, size_t size) override;
    off_t Seek(off_t position, uint32 seekMode) override;
    off_t Position() const override;
    status_t SetSize(off_t size) override;
    status_t GetSize(off_t* size) const override;

    // Flushes data and metadata to the device (fsync).
    status_t Sync();
    status_t GetPermissions(mode_t* permissions) const;
    status_t SetPermissions(mode_t permissions);

    int FileDescriptor() const { return fFd; }

private:
    status_t _Open(int directoryFd, const char* path, uint32 openMode);

    int fFd;
    uint32 fMode;
    status_t fStatus;
};

#endif // _FILE_H
