// A reference to a file system entry. Here it carries the entry's absolute
// path (read it through BPath); the entry need not exist.
#ifndef _ENTRY_H
#define _ENTRY_H

#include <SupportDefs.h>

#include <string>

struct entry_ref
{
    entry_ref() = default;
    explicit entry_ref(const char* path);

    // The entry's leaf name, or null for an empty reference.
    const char* Name() const;
    status_t SetPath(const char* path);

    bool operator==(const entry_ref& other) const { return path == other.path; }
    bool operator!=(const entry_ref& other) const { return path != other.path; }

    std::string path;
    std::string name;
};

class BDirectory;
class BPath;

// An entry in a folder, by path. Initialisation succeeds when the folder
// holding it exists; the entry itself need not (Exists() tells).
class BEntry
{
public:
    BEntry();
    explicit BEntry(const char* path);
    explicit BEntry(const entry_ref* ref);
    BEntry(const BDirectory* directory, const char* name);

    status_t InitCheck() const { return fStatus; }
    status_t SetTo(const char* path);
    status_t SetTo(const entry_ref* ref);
    status_t SetTo(const BDirectory* directory, const char* name);
    void Unset();

    bool Exists() const;
    bool IsFile() const;
    bool IsDirectory() const;

    status_t GetRef(entry_ref* ref) const;
    status_t GetPath(BPath* path) const;
    status_t GetName(char* buffer) const; // B_FILE_NAME_LENGTH bytes
    status_t GetParent(BDirectory* directory) const;

    status_t Remove();
    // Moves the entry to path (relative paths stay in the same folder);
    // without clobber an existing target fails with B_FILE_EXISTS.
    status_t Rename(const char* path, bool clobber = false);

private:
    entry_ref fRef;
    status_t fStatus;
};

#endif // _ENTRY_H
