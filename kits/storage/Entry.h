// A reference to a file system entry. Here it carries the entry's absolute
// path; the entry need not exist.
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
    const char* Path() const { return path.empty() ? nullptr : path.c_str(); }
    status_t SetPath(const char* path);

    bool operator==(const entry_ref& other) const { return path == other.path; }
    bool operator!=(const entry_ref& other) const { return path != other.path; }

    std::string path;
    std::string name;
};

status_t get_ref_for_path(const char* path, entry_ref* ref);

#endif // _ENTRY_H
