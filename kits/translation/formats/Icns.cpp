// Apple icons (ICNS): the largest picture, read by Qt's plugin.
#include "FormatStages.h"

namespace BPrivate {

namespace {

// The side of an icon entry by its type, 0 for entries that hold no picture
// (masks, the table of contents, ...).
uint32 icns_side(const uint8* type)
{
    static const struct
    {
        char type[5];
        uint32 side;
    } kSides[] = {
        {"ICON", 32},  {"ICN#", 32},   {"icm#", 16}, {"icm4", 16}, {"icm8", 16},  {"ics#", 16},
        {"ics4", 16},  {"ics8", 16},   {"is32", 16}, {"icl4", 32}, {"icl8", 32},  {"il32", 32},
        {"ich#", 48},  {"ich4", 48},   {"ich8", 48}, {"ih32", 48}, {"it32", 128}, {"icp4", 16},
        {"icp5", 32},  {"icp6", 64},   {"ic04", 16}, {"ic05", 32}, {"ic07", 128}, {"ic08", 256},
        {"ic09", 512}, {"ic10", 1024}, {"ic11", 32}, {"ic12", 64}, {"ic13", 256}, {"ic14", 512},
    };
    for (const auto& entry : kSides) {
        if (std::memcmp(entry.type, type, 4) == 0)
            return entry.side;
    }
    return 0;
}

// Every entry within the file; the largest picture's size, a PNG inside an
// entry held to its own header. JPEG 2000 entries are skipped: no plugin
// here reads them.
status_t check_icns(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->alpha = true;
    if (!b.Has(0, 8) || b.Be32(4) < 8 || b.Be32(4) > b.size)
        return B_ILLEGAL_DATA;
    const uint64 end = b.Be32(4);
    for (uint64 at = 8; at < end;) {
        if (at + 8 > end)
            return B_ILLEGAL_DATA;
        const uint64 length = b.Be32(at + 4);
        if (length < 8 || length > end - at)
            return B_ILLEGAL_DATA;
        const uint8* body = b.data + at + 8;
        const uint64 bodySize = length - 8;
        uint64 width = icns_side(b.data + at), height = width;
        if (width != 0 && bodySize >= 8 && std::memcmp(body, kPngSignature, 8) == 0) {
            if (status_t status = check_embedded_png(body, bodySize, budget, &width, &height);
                status != B_OK)
                return status;
        } else if (width != 0 && bodySize >= 12 && body[4] == 'j' && body[5] == 'P') {
            width = height = 0;
        }
        if (width * height > header->width * header->height) {
            header->width = width;
            header->height = height;
        }
        at += length;
    }
    return admit(*header, budget);
}

} // namespace

identify_result icns_sniff(const ImageSource& source)
{
    return starts_with(HeaderBytes(source), "icns") ? kMine : kNotMine;
}

status_t icns_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->qtPicksBySize = true;
    return check_icns(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
