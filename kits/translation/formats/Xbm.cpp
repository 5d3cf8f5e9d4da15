// XBM (X bitmaps, C source), read by ImageMagick's coder.
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

// The number after "#define <name><suffix>" in an XBM header, 0 if absent.
uint64 xbm_define(const HeaderBytes& b, uint64 end, const char* suffix)
{
    const size_t suffixLength = std::strlen(suffix);
    for (uint64 at = 0; at + 8 < end; at++) {
        if (std::memcmp(b.data + at, "#define", 7) != 0)
            continue;
        uint64 name = at + 7;
        while (name < end && is_space(b.U8(name)))
            name++;
        uint64 nameEnd = name;
        while (nameEnd < end && !is_space(b.U8(nameEnd)))
            nameEnd++;
        if (nameEnd - name < suffixLength ||
            std::memcmp(b.data + nameEnd - suffixLength, suffix, suffixLength) != 0)
            continue;
        uint64 value = 0;
        return pnm_number(b, &nameEnd, &value) ? value : 0;
    }
    return 0;
}

const MagickCoding kXbmCoding{"XBM"};

status_t check_xbm(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    const uint8* brace = static_cast<const uint8*>(std::memchr(b.data, '{', b.present));
    if (brace == nullptr)
        return B_ILLEGAL_DATA;
    const uint64 open = uint64(brace - b.data);
    header->width = xbm_define(b, open, "_width");
    header->height = xbm_define(b, open, "_height");
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    // X10 bitmaps hold 16 pixels per value.
    bool shorts = false;
    for (uint64 at = 0; at + 5 <= open && !shorts; at++)
        shorts = std::memcmp(b.data + at, "short", 5) == 0;
    const uint64 perRow = (header->width + (shorts ? 15 : 7)) / (shorts ? 16 : 8);
    const uint64 needed = perRow * header->height;
    // Count the values present: a short list is a truncated picture.
    uint64 values = 0;
    bool inValue = false;
    for (uint64 at = open + 1; at < b.present && values < needed; at++) {
        const uint32 c = b.U8(at);
        const bool valueChar = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                               (c >= 'A' && c <= 'F') || c == 'x' || c == 'X';
        if (valueChar && !inValue)
            values++;
        inValue = valueChar;
        if (c == '}')
            break;
    }
    if (values < needed)
        return B_ILLEGAL_DATA;
    return B_OK;
}

} // namespace

identify_result xbm_sniff(const ImageSource& source)
{
    return starts_with(HeaderBytes(source), "#define") ? kMine : kNotMine;
}

status_t xbm_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kXbmCoding;
    return check_xbm(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
