// Depth pictures read by rows from their files: PNG, JPEG, TIFF and PNM,
// each through its translator's row reader, so that a poster's depth is
// never held whole.
#include "FuseJob.h"
#include "RowPipeline.h"

#include <PngRows.h>
#include <RowReaders.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <sys/stat.h>

namespace fuse {

namespace {

// What the whole reading sniffs before it reads the rest.
constexpr size_t kPrefixBytes = 64 << 10;

template <class Reader>
class FileDepthRows : public DepthRows
{
public:
    explicit FileDepthRows(FILE* file) : fFile(file) {}
    ~FileDepthRows() override { fclose(fFile); }

    status_t Open(uint64 fileSize, uint64 maxPixels)
    {
        return fReader.Open(fFile, fileSize, maxPixels);
    }

    uint32 Width() const override { return fReader.Width(); }
    uint32 Height() const override { return fReader.Height(); }

    bool Read(uint32 count, uint32* to, std::string* why) override
    {
        for (uint32 i = 0; i < count; i++, to += Width()) {
            if (status_t status = fReader.ReadRow(to); status != B_OK) {
                *why = ReadFailure(status);
                return false;
            }
        }
        return true;
    }

    bool Finish(bool* again, std::string* why) override
    {
        if (status_t status = fReader.Finish(again); status != B_OK) {
            *why = ReadFailure(status);
            return false;
        }
        return true;
    }

private:
    FILE* fFile;
    Reader fReader;
};

template <class Reader>
std::unique_ptr<DepthRows> open_rows(FILE* file, uint64 fileSize, uint64 maxPixels)
{
    auto rows = std::make_unique<FileDepthRows<Reader>>(file);
    if (rows->Open(fileSize, maxPixels) != B_OK)
        return nullptr;
    return rows;
}

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
    // Only the format the whole reading would read the file as.
    const char* format = first_read_format(prefix.data(), got, uint64(st.st_size), path);
    const uint64 size = uint64(st.st_size);
    maxPixels = std::min(maxPixels, kMostStreamedPixels);
    const auto is = [format](const char* name) {
        return format != nullptr && std::strcmp(format, name) == 0;
    };
    if (is("png"))
        return open_rows<PngRowReader>(file, size, maxPixels);
    if (is("jpeg"))
        return open_rows<JpegRowReader>(file, size, maxPixels);
    if (is("tiff"))
        return open_rows<TiffRowReader>(file, size, maxPixels);
    if (is("pnm"))
        return open_rows<PnmRowReader>(file, size, maxPixels);
    fclose(file);
    return nullptr;
}

} // namespace fuse
