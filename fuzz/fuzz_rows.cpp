// The row readers (JPEG, TIFF, PNM, PNG) against the whole reading: a file
// a reader opens is read by rows to its end exactly when the whole reading
// reads it, to the same pixels.
#include <Bitmap.h>
#include <BitmapReading.h>
#include <RowReaders.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint64 kMostPixels = uint64(1) << 18;

void check(RowReader& reader, FILE* file, const uint8_t* data, size_t size)
{
    rewind(file);
    if (reader.Open(file, size, kMostPixels) != B_OK)
        return;
    const uint32 width = reader.Width(), height = reader.Height();
    if (width == 0 || height == 0 || uint64(width) * height > kMostPixels)
        std::abort();
    std::vector<uint32> rows(size_t(width) * height);
    bool complete = true;
    for (uint32 y = 0; y < height && complete; y++)
        complete = reader.ReadRow(rows.data() + size_t(y) * width) == B_OK;
    bool turned = false;
    complete = complete && reader.Finish(&turned) == B_OK;
    if (complete && turned)
        return;
    BBitmap* read = nullptr;
    const status_t status = read_bitmap_data(data, size, nullptr, &read);
    std::unique_ptr<BBitmap> whole(read);
    // Refused part way by rows is refused whole, and the other way round.
    if ((status == B_OK) != complete)
        std::abort();
    if (!complete)
        return;
    if (uint32(whole->PixelWidth()) != width || uint32(whole->PixelHeight()) != height)
        std::abort();
    for (uint32 y = 0; y < height; y++) {
        const auto* row = reinterpret_cast<const uint32*>(static_cast<const uint8*>(whole->Bits()) +
                                                          size_t(y) * size_t(whole->BytesPerRow()));
        for (uint32 x = 0; x < width; x++) {
            if (((row[x] ^ rows[size_t(y) * width + x]) & 0x00FFFFFFu) != 0)
                std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int fd = memfd_create("rows", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != ssize_t(size)) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        return 0;
    }
    if (std::unique_ptr<RowReader> reader = row_reader_for(data, size, size, nullptr))
        check(*reader, file, data, size);
    fclose(file);
    return 0;
}
