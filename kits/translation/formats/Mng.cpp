// MNG animations: the first frame, read by Qt's plugin (libmng).
#include "FormatStages.h"

namespace BPrivate {

namespace {

const uint8 kMngSignature[8] = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool chunk_is(const HeaderBytes& b, uint64 at, const char* type)
{
    return std::memcmp(b.data + at + 4, type, 4) == 0;
}

// Qt's plugin (libmng) allocates the frame the MHDR chunk declares and
// every picture inside at its IHDR's or JHDR's size: each is held to the
// bytes present, as any compressed layout is. Chunks that multiply sizes
// (MAGN) or copy objects (CLON, PAST) are not read at all; the file must
// be whole, to MEND.
status_t check_mng(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->alpha = true;
    if (!b.Has(0, 8 + 12 + 28) || std::memcmp(b.data + 12, "MHDR", 4) != 0 || b.Be32(8) != 28)
        return B_ILLEGAL_DATA;
    header->width = b.Be32(16);
    header->height = b.Be32(20);
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    header->leastBytes = least_compressed_bytes(0, header->width * header->height);
    for (uint64 at = 8;;) {
        if (!b.Has(at, 12))
            return B_ILLEGAL_DATA;
        const uint64 length = b.Be32(at);
        if (length > 0x7FFFFFFF || !b.Has(at + 12, length))
            return B_ILLEGAL_DATA;
        if (chunk_is(b, at, "MEND"))
            return B_OK;
        if (chunk_is(b, at, "MAGN") || chunk_is(b, at, "CLON") || chunk_is(b, at, "PAST"))
            return B_ILLEGAL_DATA;
        if (chunk_is(b, at, "IHDR") || chunk_is(b, at, "JHDR")) {
            PictureHeader picture;
            picture.width = b.Be32(at + 8);
            picture.height = b.Be32(at + 12);
            if (length < 8)
                return B_ILLEGAL_DATA;
            if (status_t admitted = admit(picture, budget); admitted != B_OK)
                return admitted;
            header->leastBytes = std::max(
                header->leastBytes, least_compressed_bytes(0, picture.width * picture.height));
        }
        at += 12 + length;
    }
}

} // namespace

identify_result mng_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    return b.Holds(0, 8) && std::memcmp(b.data, kMngSignature, 8) == 0 ? kMine : kNotMine;
}

status_t mng_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    return check_mng(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
