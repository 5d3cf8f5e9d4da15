#include "MpoFiles.h"

#include <string_view>

namespace pairs {

namespace {

constexpr uint16 kMpfNumberOfImages = 0xB001;
constexpr uint16 kMpfEntries = 0xB002;
constexpr uint32 kTypeMask = 0x00FFFFFF;
constexpr uint32 kDisparityView = 0x020002;
constexpr uint32 kFormatMask = 0x07000000; // 0: JPEG
constexpr size_t kEntryBytes = 16;

// Bytes of the MPF segment's TIFF-like body, in its own byte order.
struct Tiff
{
    const uint8* data;
    size_t size;
    bool little;

    bool Has(size_t at, size_t bytes) const { return at <= size && bytes <= size - at; }
    uint32 Read(size_t at, size_t bytes) const
    {
        uint32 value = 0;
        for (size_t i = 0; i < bytes; i++)
            value |= uint32(data[at + i]) << (8 * (little ? i : bytes - 1 - i));
        return value;
    }
};

status_t refuse(const char** why, const char* what)
{
    if (why != nullptr)
        *why = what;
    return B_ILLEGAL_DATA;
}

// The APP2 MPF segment of the first JPEG: its body after "MPF\0", and that
// body's offset in the file (the index counts offsets from there).
bool find_mpf(const uint8* data, size_t size, size_t* base, size_t* length)
{
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    for (size_t at = 2; at + 4 <= size;) {
        if (data[at] != 0xFF)
            return false;
        const uint8 marker = data[at + 1];
        if (marker == 0xFF) { // fill byte
            at++;
            continue;
        }
        // The metadata segments come before the frame; past them, no index.
        if (marker == 0xDA || marker == 0xD9 || (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                                                 marker != 0xC8 && marker != 0xCC))
            return false;
        const size_t segment = size_t(data[at + 2]) << 8 | data[at + 3];
        if (segment < 2 || segment > size - at - 2)
            return false;
        if (marker == 0xE2 && segment >= 2 + 4 + 8 &&
            std::string_view(reinterpret_cast<const char*>(data + at + 4), 4) ==
                std::string_view("MPF\0", 4)) {
            *base = at + 8;
            *length = segment - 6;
            return true;
        }
        at += 2 + segment;
    }
    return false;
}

} // namespace

status_t FindMpoViews(const uint8* data, size_t size, JpegSpan views[2], const char** why)
{
    size_t base = 0, length = 0;
    if (data == nullptr || !find_mpf(data, size, &base, &length))
        return B_NAME_NOT_FOUND;
    const uint8* body = data + base;
    Tiff tiff{body, length, body[0] == 'I'};
    if (!((body[0] == 'I' && body[1] == 'I') || (body[0] == 'M' && body[1] == 'M')) ||
        tiff.Read(2, 2) != 42)
        return refuse(why, "its MPF index is damaged");
    const size_t ifd = tiff.Read(4, 4);
    if (!tiff.Has(ifd, 2))
        return refuse(why, "its MPF index is damaged");
    const size_t tags = tiff.Read(ifd, 2);
    if (!tiff.Has(ifd + 2, tags * 12))
        return refuse(why, "its MPF index runs past its segment");
    uint32 count = 0;
    size_t entries = 0, entriesBytes = 0;
    bool haveCount = false, haveEntries = false;
    for (size_t i = 0; i < tags; i++) {
        const size_t tag = ifd + 2 + i * 12;
        const uint16 id = uint16(tiff.Read(tag, 2));
        if (id == kMpfNumberOfImages) {
            count = tiff.Read(tag + 8, 4);
            haveCount = true;
        } else if (id == kMpfEntries) {
            entriesBytes = tiff.Read(tag + 4, 4);
            entries = tiff.Read(tag + 8, 4);
            haveEntries = true;
        }
    }
    if (!haveCount || !haveEntries)
        return B_NAME_NOT_FOUND; // an index without the list of images
    if (count > kMostMpoImages)
        return refuse(why, "its MPF index lists more images than a camera writes");
    if (entriesBytes != size_t(count) * kEntryBytes || !tiff.Has(entries, entriesBytes))
        return refuse(why, "its MPF index's list of images does not fit its segment");

    int found = 0;
    for (uint32 i = 0; i < count && found < 2; i++) {
        const size_t entry = entries + i * kEntryBytes;
        const uint32 attributes = tiff.Read(entry, 4);
        if ((attributes & kTypeMask) != kDisparityView)
            continue;
        if ((attributes & kFormatMask) != 0)
            return refuse(why, "a view in its MPF index is not a JPEG");
        const size_t bytes = tiff.Read(entry + 4, 4);
        // The first image starts the file; the others count from the index.
        const size_t offset = i == 0 ? 0 : base + size_t(tiff.Read(entry + 8, 4));
        if (i != 0 && tiff.Read(entry + 8, 4) == 0)
            return refuse(why, "its MPF index gives a view no place in the file");
        if (offset > size || bytes > size - offset)
            return refuse(why, "a view in its MPF index runs past the end of the file");
        if (bytes < 4 || data[offset] != 0xFF || data[offset + 1] != 0xD8)
            return refuse(why, "a view in its MPF index is not a JPEG");
        views[found].offset = offset;
        views[found].size = bytes;
        found++;
    }
    if (found < 2)
        return B_NAME_NOT_FOUND;
    if (views[0].offset == views[1].offset)
        return refuse(why, "its MPF index gives both views the same place");
    return B_OK;
}

} // namespace pairs
