// Photoshop (PSD and PSB): the composite picture, read by ImageMagick's coder
// without its layers.
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

const MagickCoding kPsdCoding{"PSD"};

status_t check_psd(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    if (!b.Has(0, 26))
        return B_ILLEGAL_DATA;
    const uint32 version = b.Be16(4);
    const uint32 channels = b.Be16(12), depth = b.Be16(22), mode = b.Be16(24);
    if ((version != 1 && version != 2) || channels < 1 || channels > 56 ||
        (depth != 1 && depth != 8 && depth != 16 && depth != 32))
        return B_ILLEGAL_DATA;
    header->height = b.Be32(14);
    header->width = b.Be32(18);
    const uint32 colours = mode == 3 || mode == 9 ? 3 : mode == 4 ? 4 : 1;
    header->alpha = channels > colours;
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    // Colour mode data, image resources, then layers (8-byte length in PSB).
    uint64 at = 26;
    for (int section = 0; section < 3; section++) {
        const bool wide = section == 2 && version == 2;
        if (!b.Has(at, wide ? 8 : 4))
            return B_ILLEGAL_DATA;
        uint64 length = wide ? b.Be64(at) : b.Be32(at);
        at += wide ? 8 : 4;
        if (!b.Has(at, length))
            return B_ILLEGAL_DATA;
        at += length;
    }
    if (!b.Has(at, 2))
        return B_ILLEGAL_DATA;
    const uint32 compression = b.Be16(at);
    at += 2;
    const uint64 rowBytes = (header->width * depth + 7) / 8;
    const uint64 rows = header->height * channels;
    switch (compression) {
    case 0:
        header->leastBytes = at + rowBytes * rows;
        break;
    case 1: {
        // A table of each row's packed length, then the rows.
        const uint64 entry = version == 2 ? 4 : 2;
        if (!b.Has(at, rows * entry))
            return B_ILLEGAL_DATA;
        uint64 packed = 0;
        const uint64 leastRow = (rowBytes + 127) / 128 * 2;
        for (uint64 r = 0; r < rows; r++) {
            uint64 length = entry == 4 ? b.Be32(at + r * 4) : b.Be16(at + r * 2);
            if (length < leastRow)
                return B_ILLEGAL_DATA;
            packed += length;
        }
        header->leastBytes = at + rows * entry + packed;
        break;
    }
    case 2:
    case 3:
        header->leastBytes = least_compressed_bytes(at, rowBytes * rows);
        break;
    default:
        return B_ILLEGAL_DATA;
    }
    return B_OK;
}

} // namespace

identify_result psd_sniff(const ImageSource& source)
{
    return starts_with(HeaderBytes(source), "8BPS") ? kMine : kNotMine;
}

status_t psd_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kPsdCoding;
    return check_psd(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
