// Depth pictures read by rows from their files: PNG, JPEG, TIFF and PNM,
// each through its translator's row reader, so that a poster's depth is
// never held whole.
#include "FuseJob.h"
#include "RowPipeline.h"

#include <RowReaders.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <sys/stat.h>

namespace fuse {

namespace {

// What the whole reading sniffs before it reads the rest.
constexpr size_t kPrefixBytes = 64 << 10;

class FileDepthRows : public DepthRows
{
public:
    FileDepthRows(FILE* file, std::unique_ptr<RowReader> reader)
        : fFile(file), fReader(std::move(reader))
    {
    }
    ~FileDepthRows() override { fclose(fFile); }

    uint32 Width() const override { return fReader->Width(); }
    uint32 Height() const override { return fReader->Height(); }

    bool Read(uint32 count, uint32* to, std::string* why) override
    {
        for (uint32 i = 0; i < count; i++, to += Width()) {
            if (status_t status = fReader->ReadRow(to); status != B_OK) {
                *why = ReadFailure(status);
                return false;
            }
        }
        return true;
    }

    bool Finish(bool* again, std::string* why) override
    {
        if (status_t status = fReader->Finish(again); status != B_OK) {
            *why = ReadFailure(status);
            return false;
        }
        return true;
    }

private:
    FILE* fFile;
    std::unique_ptr<RowReader> fReader;
};

} // namespace

std::unique_ptr<DepthRows> OpenDepthRows(const char* path, uint64 maxPixels)
{
    FILE* file = fopen(path, "rbe");
    if (file == nullptr)
        return nullptr;
    struct stat st;
    std::vector<uint8> prefix(kPrefixBytes);
    size_t got = 0;
    if (fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) ||
        (got = fread(prefix.data(), 1, prefix.size(), file)) == 0 ||
        fseek(file, 0, SEEK_SET) != 0) {
        fclose(file);
        return nullptr;
    }
    std::unique_ptr<RowReader> reader =
        row_reader_for(prefix.data(), got, uint64(st.st_size), path);
    if (reader &&
        reader->Open(file, uint64(st.st_size), std::min(maxPixels, kMostStreamedPixels)) == B_OK)
        return std::make_unique<FileDepthRows>(file, std::move(reader));
    fclose(file);
    return nullptr;
}

} // namespace fuse
