// XPM (X pixmaps, C source), read by Qt's plugin.
#include "FormatStages.h"

namespace BPrivate {

namespace {

status_t check_xpm(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    const uint8* brace = static_cast<const uint8*>(std::memchr(b.data, '{', b.present));
    const uint8* quote =
        brace != nullptr
            ? static_cast<const uint8*>(std::memchr(brace, '"', b.present - uint64(brace - b.data)))
            : nullptr;
    if (quote == nullptr)
        return B_ILLEGAL_DATA;
    uint64 at = uint64(quote - b.data) + 1, colours = 0, perPixel = 0;
    if (!pnm_number(b, &at, &header->width) || !pnm_number(b, &at, &header->height) ||
        !pnm_number(b, &at, &colours) || !pnm_number(b, &at, &perPixel) || perPixel == 0 ||
        perPixel > 8)
        return B_ILLEGAL_DATA;
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    // A colour named None is transparent.
    for (uint64 i = at; i + 4 <= b.present && !header->alpha; i++)
        header->alpha = (b.data[i] | 0x20) == 'n' && (b.data[i + 1] | 0x20) == 'o' &&
                        (b.data[i + 2] | 0x20) == 'n' && (b.data[i + 3] | 0x20) == 'e';
    // Every pixel is written as perPixel characters; every colour on a line.
    header->leastBytes = header->width * header->height * perPixel + colours * (perPixel + 4);
    return B_OK;
}

} // namespace

identify_result xpm_sniff(const ImageSource& source)
{
    return starts_with(HeaderBytes(source), "/* XPM */") ? kMine : kNotMine;
}

status_t xpm_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    return check_xpm(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
