#include "FormatStages.h"

namespace BPrivate {

status_t check_embedded_png(const uint8* data, uint64 size, const ReadBudget& budget, uint64* width,
                            uint64* height)
{
    const HeaderBytes b(data, size);
    if (!b.Has(0, 24) || std::memcmp(data, kPngSignature, 8) != 0 ||
        std::memcmp(data + 12, "IHDR", 4) != 0)
        return B_ILLEGAL_DATA;
    PictureHeader picture;
    picture.width = b.Be32(16);
    picture.height = b.Be32(20);
    if (status_t admitted = admit(picture, budget); admitted != B_OK)
        return admitted;
    if (least_compressed_bytes(0, picture.width * picture.height) > size)
        return B_ILLEGAL_DATA;
    *width = picture.width;
    *height = picture.height;
    return B_OK;
}

} // namespace BPrivate
