// A BMP's info header, which icons hold too. Private to the translation kit.
#ifndef _BMP_INFO_H
#define _BMP_INFO_H

#include "FormatStages.h"

namespace BPrivate {

struct BmpHeader
{
    uint32 offset = 0, infoSize = 0, bits = 0, compression = 0;
    int64 width = 0, height = 0;
};

// Only the sizes of the info headers that exist: a damaged size field (high
// bytes set) is no BMP any reader should guess at.
inline bool parse_bmp_info(const HeaderBytes& b, uint64 at, BmpHeader* h)
{
    h->infoSize = b.Le32(at);
    if (h->infoSize == 12) {
        if (!b.Holds(at, 12))
            return false;
        h->width = b.Le16(at + 4);
        h->height = int16(b.Le16(at + 6));
        h->bits = b.Le16(at + 10);
        h->compression = 0;
        return true;
    }
    if (h->infoSize < 16 || h->infoSize > 1024 || !b.Holds(at, 16))
        return false;
    h->width = int32(b.Le32(at + 4));
    h->height = int32(b.Le32(at + 8));
    h->bits = b.Le16(at + 14);
    h->compression = h->infoSize >= 20 && b.Holds(at, 20) ? b.Le32(at + 16) : 0;
    return true;
}

inline bool bmp_bits_valid(uint32 bits)
{
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

} // namespace BPrivate

#endif // _BMP_INFO_H
