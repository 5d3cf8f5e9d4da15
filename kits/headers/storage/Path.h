#ifndef _PATH_H
#define _PATH_H

#include <Entry.h>

#include <string>

class BPath
{
public:
    BPath();
    BPath(const char* path, const char* leaf = nullptr, bool normalize = false);
    explicit BPath(const entry_ref* ref);
    BPath(const BPath& other) = default;
    BPath& operator=(const BPath& other) = default;

    status_t InitCheck() const { return fStatus; }
    status_t SetTo(const char* path, const char* leaf = nullptr, bool normalize = false);
    status_t SetTo(const entry_ref* ref);
    status_t Append(const char* path, bool normalize = false);
    void Unset();

    const char* Path() const { return fStatus == B_OK ? fPath.c_str() : nullptr; }
    const char* Leaf() const;
    status_t GetParent(BPath* parent) const;

    bool operator==(const BPath& other) const { return fPath == other.fPath; }
    bool operator!=(const BPath& other) const { return fPath != other.fPath; }

private:
    std::string fPath;
    status_t fStatus;
};

#endif // _PATH_H
