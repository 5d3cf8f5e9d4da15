// WBMP (wireless bitmaps): no magic number, a header of two numbers that
// must account for the whole file; read by Qt's plugin.
#include "FormatStages.h"

namespace BPrivate {

namespace {

// A multi-byte integer: seven bits a byte, the high bit set on all but the
// last; at most four bytes here.
bool wbmp_number(const HeaderBytes& b, uint64* at, uint64* value)
{
    *value = 0;
    for (int i = 0; i < 4; i++) {
        if (!b.Holds(*at, 1))
            return false;
        const uint32 byte = b.U8((*at)++);
        *value = (*value << 7) | (byte & 0x7F);
        if ((byte & 0x80) == 0)
            return true;
    }
    return false;
}

// Type 0 (the only one), no extension headers, width and height, then rows
// of one bit a pixel. No magic number: the file's length must be the
// picture's, give or take a little padding.
bool parse_wbmp(const HeaderBytes& b, PictureHeader* header)
{
    uint64 at = 2;
    if (b.U8(0) != 0 || b.U8(1) != 0 || !wbmp_number(b, &at, &header->width) ||
        !wbmp_number(b, &at, &header->height) || header->width == 0 || header->height == 0)
        return false;
    header->leastBytes = at + (header->width + 7) / 8 * header->height;
    return b.size >= header->leastBytes && b.size - header->leastBytes <= 16;
}

} // namespace

identify_result wbmp_sniff(const ImageSource& source)
{
    PictureHeader header;
    return parse_wbmp(HeaderBytes(source), &header) ? kMaybeMine : kNotMine;
}

status_t wbmp_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    if (!parse_wbmp(HeaderBytes(source.data, source.size), header))
        return B_ILLEGAL_DATA;
    return admit(*header, budget);
}

} // namespace BPrivate
