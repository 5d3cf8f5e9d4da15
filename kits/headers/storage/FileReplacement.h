// A new version of a file, written beside it under a temporary name and put
// in its place only by Commit(): until then, and whenever writing fails, the
// old file stays exactly as it was. Destroying an uncommitted replacement
// removes the temporary file.
#ifndef _FILE_REPLACEMENT_H
#define _FILE_REPLACEMENT_H

#include <Directory.h>
#include <File.h>

#include <string>

class BFileReplacement
{
public:
    BFileReplacement(const BDirectory* directory, const char* name);
    explicit BFileReplacement(const char* path);
    ~BFileReplacement();

    BFileReplacement(const BFileReplacement&) = delete;
    BFileReplacement& operator=(const BFileReplacement&) = delete;

    // B_OK once the temporary file is open for writing.
    status_t InitCheck() const { return fStatus; }
    BFile* File() { return &fFile; }

    // Syncs the new contents, gives them the old file's permissions (a new
    // file keeps 0666 less the umask), renames them over the target and
    // syncs the folder. On failure the temporary file is removed.
    status_t Commit();
    // Drops the new contents; the target is untouched.
    void Abandon();

private:
    void _Open(const BDirectory* directory, const char* name);

    BDirectory fFolder;
    std::string fName;
    std::string fTemporary;
    BFile fFile;
    status_t fStatus;
    bool fPending;
};

#endif // _FILE_REPLACEMENT_H
