// A folder held open, so that files opened in it by name land in that very
// folder even if its path changes meanwhile.
#ifndef _DIRECTORY_H
#define _DIRECTORY_H

#include <Entry.h>

class BDirectory
{
public:
    BDirectory();
    explicit BDirectory(const char* path);
    explicit BDirectory(const entry_ref* ref);
    explicit BDirectory(const BEntry* entry);
    ~BDirectory();

    BDirectory(const BDirectory&) = delete;
    BDirectory& operator=(const BDirectory&) = delete;

    status_t InitCheck() const { return fStatus; }
    status_t SetTo(const char* path);
    status_t SetTo(const entry_ref* ref);
    status_t SetTo(const BEntry* entry);
    void Unset();

    // An entry in this folder by relative name, or the folder itself when
    // name is null.
    status_t GetEntry(BEntry* entry) const;
    bool Contains(const char* name) const;

    // Makes the folder's own changes (new names, renames) durable.
    status_t Sync() const;

    int FileDescriptor() const { return fFd; }
    const char* Path() const { return fStatus == B_OK ? fPath.c_str() : nullptr; }

private:
    int fFd;
    std::string fPath;
    status_t fStatus;
};

#endif // _DIRECTORY_H
