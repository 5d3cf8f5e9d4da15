// SGI images, read by ImageMagick's coder.
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

const MagickCoding kSgiCoding{"SGI"};

status_t check_sgi(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    if (!b.Has(0, 512))
        return B_ILLEGAL_DATA;
    const uint32 storage = b.U8(2), bpc = b.U8(3), dimension = b.Be16(4);
    uint64 depth = b.Be16(10);
    header->width = b.Be16(6);
    header->height = dimension == 1 ? 1 : b.Be16(8);
    if (dimension < 3)
        depth = 1;
    if (storage > 1 || (bpc != 1 && bpc != 2) || dimension < 1 || dimension > 3 || depth < 1 ||
        depth > 4)
        return B_ILLEGAL_DATA;
    header->alpha = depth == 4 || depth == 2;
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    const uint64 rows = header->height * depth;
    if (storage == 0) {
        header->leastBytes = 512 + header->width * rows * bpc;
        return B_OK;
    }
    // Tables of row starts and lengths, then each row's packets, which must
    // give the whole row within the row's bytes. A row stops being walked
    // once complete, so shared rows cost no more than the pixels.
    if (!b.Has(512, rows * 8))
        return B_ILLEGAL_DATA;
    for (uint64 r = 0; r < rows; r++) {
        const uint64 start = b.Be32(512 + r * 4), length = b.Be32(512 + rows * 4 + r * 4);
        if (!b.Has(start, length))
            return B_ILLEGAL_DATA;
        const HeaderBytes row(b.data + start, length);
        uint64 at = 0, produced = 0;
        while (produced < header->width) {
            if (!row.Has(at, bpc))
                return B_ILLEGAL_DATA;
            const uint32 code = bpc == 1 ? row.U8(at) : row.Be16(at);
            at += bpc;
            const uint64 count = code & 0x7F;
            if (count == 0)
                return B_ILLEGAL_DATA;
            const uint64 bytes = (code & 0x80) != 0 ? count * bpc : bpc;
            if (!row.Has(at, bytes))
                return B_ILLEGAL_DATA;
            at += bytes;
            produced += count;
        }
    }
    return B_OK;
}

} // namespace

identify_result sgi_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    return b.Holds(0, 2) && b.Be16(0) == 474 ? kMine : kNotMine;
}

status_t sgi_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kSgiCoding;
    return check_sgi(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
