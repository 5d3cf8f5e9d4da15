// The whole reading dispatch, as the window's drops and pellara-fuse reach
// it: the sniffs, the tie-break between formats without a magic number (the
// file name's extension, chosen by the input's first byte), every header
// stage, our decoders and Qt's plugins. A picture it gives must be whole and
// within the budget; a refusal hands back nothing.
#include <Bitmap.h>
#include <BitmapReading.h>

#include <cstdint>
#include <cstdlib>

namespace {

const char* const kNames[] = {nullptr, "x.tga", "x.ico", "x.cur", "x.png", "x.pcx", "x.mng",
                              "x.wbmp"};

// Small enough that a run stays quick; the same checks apply at any size.
constexpr uint64 kFuzzPixels = uint64(1) << 18;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool budgeted = [] {
        set_max_picture_pixels(kFuzzPixels);
        return true;
    }();
    (void)budgeted;
    if (size < 1)
        return 0;
    const char* name = kNames[data[0] % std::size(kNames)];
    BBitmap* bitmap = reinterpret_cast<BBitmap*>(1);
    status_t status = read_bitmap_data(data + 1, size - 1, name, &bitmap);
    if (status != B_OK) {
        if (bitmap != nullptr)
            std::abort(); // a refusal hands back nothing
        if (status != B_NO_TRANSLATOR && status != B_ILLEGAL_DATA && status != B_NO_MEMORY)
            std::abort(); // only the statuses callers know
        return 0;
    }
    if (bitmap == nullptr || !bitmap->IsValid() ||
        uint64(bitmap->PixelWidth()) * uint64(bitmap->PixelHeight()) > kFuzzPixels ||
        (bitmap->ColorSpace() != B_RGB32 && bitmap->ColorSpace() != B_RGBA32))
        std::abort();
    // Reading every word lets the sanitizers see uninitialised or freed pixels.
    const uint8* bits = static_cast<const uint8*>(bitmap->Bits());
    uint32 sum = 0;
    for (int32 y = 0; y < bitmap->PixelHeight(); y++) {
        const uint32* row =
            reinterpret_cast<const uint32*>(bits + size_t(y) * size_t(bitmap->BytesPerRow()));
        for (int32 x = 0; x < bitmap->PixelWidth(); x++)
            sum += row[x];
    }
    volatile uint32 keep = sum;
    (void)keep;
    delete bitmap;
    return 0;
}
