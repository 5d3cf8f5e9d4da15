// PNM read a row at a time: the rows ImageMagick gives the whole reading,
// without holding the picture. Its header is read as the header stage reads
// it (PictureHeaders.cpp); ASCII rasters and other level counts are left to
// the whole reading.
#include <RowReaders.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The blanks ImageMagick skips between the header's numbers (the header
// stage takes vertical tabs and form feeds too).
bool is_blank(uint32 c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

enum class Number
{
    kRead,
    kBroken, // the header stage refuses it too
    kOther,  // one the header stage and ImageMagick might read apart
};

// The next decimal number of the header, after blanks and comments, in
// fewer than ten digits as the header stage takes them, and ended by a
// blank, which ImageMagick takes with the number.
Number header_number(const uint8* b, size_t size, size_t* at, uint64* value)
{
    while (*at < size) {
        const uint8 c = b[*at];
        if (c == '#') {
            while (*at < size && b[*at] != '\n' && b[*at] != '\r')
                (*at)++;
        } else if (is_blank(c)) {
            (*at)++;
        } else if (c == '\v' || c == '\f') {
            return Number::kOther;
        } else {
            break;
        }
    }
    uint64 number = 0, digits = 0;
    while (*at < size && b[*at] >= '0' && b[*at] <= '9' && digits < 10) {
        number = number * 10 + (b[*at] - '0');
        (*at)++;
        digits++;
    }
    *value = number;
    if (digits == 0 || digits >= 10)
        return Number::kBroken;
    return *at < size && is_blank(b[*at]) ? Number::kRead : Number::kOther;
}

// ImageMagick's 16-bit levels to 8 bits (its Q16 ScaleQuantumToChar).
inline uint32 to8(uint32 v)
{
    return ((v + 128) - ((v + 128) >> 8)) >> 8;
}

} // namespace

struct PnmRowReader::Data
{
    FILE* file = nullptr;
    uint32 width = 0, height = 0;
    uint32 kind = 0; // 4, 5 or 6
    bool wide = false;
    std::vector<uint8> row;
    uint32 next = 0;
    bool failed = false;
};

PnmRowReader::PnmRowReader() : fData(std::make_unique<Data>()) {}

PnmRowReader::~PnmRowReader() = default;

uint32 PnmRowReader::Width() const
{
    return fData->width;
}

uint32 PnmRowReader::Height() const
{
    return fData->height;
}

status_t PnmRowReader::Open(FILE* file, uint64 fileSize, uint64 maxPixels)
{
    Data& d = *fData;
    if (file == nullptr || d.file != nullptr)
        return B_BAD_VALUE;
    // The header within the bytes the sniff looks at.
    std::vector<uint8> bytes(size_t(std::min<uint64>(fileSize, 64 << 10)));
    const uint8* head = bytes.data();
    const size_t size = fread(bytes.data(), 1, bytes.size(), file);
    if (size < 3 || head[0] != 'P' || head[1] < '1' || head[1] > '6' || !is_blank(head[2]))
        return B_NO_TRANSLATOR;
    const uint32 kind = head[1] - '0';
    size_t at = 2;
    uint64 width = 0, height = 0, levels = 1;
    Number read = header_number(head, size, &at, &width);
    if (read == Number::kRead)
        read = header_number(head, size, &at, &height);
    if (read == Number::kRead && kind != 1 && kind != 4)
        read = header_number(head, size, &at, &levels);
    if (read == Number::kBroken)
        return B_ILLEGAL_DATA;
    if (read == Number::kOther)
        return B_NO_TRANSLATOR;
    if (levels == 0 || levels > 65535 || width == 0 || height == 0)
        return B_ILLEGAL_DATA;
    if (width * height > maxPixels)
        return B_NO_MEMORY;
    // ImageMagick scales other level counts its own way; ASCII rasters are
    // left to it.
    if (kind < 4 || (kind != 4 && levels != 255 && levels != 65535))
        return B_NO_TRANSLATOR;
    if (fseek(file, long(at + 1), SEEK_SET) != 0)
        return B_ILLEGAL_DATA;
    d.kind = kind;
    d.wide = levels > 255;
    const uint64 rowBytes = kind == 4 ? (width + 7) / 8
                                      : width * (kind == 6 ? 3 : 1) * (d.wide ? 2 : 1);
    try {
        d.row.resize(size_t(rowBytes));
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    d.file = file;
    d.width = uint32(width);
    d.height = uint32(height);
    return B_OK;
}

status_t PnmRowReader::ReadRow(uint32* to)
{
    Data& d = *fData;
    if (d.failed)
        return B_ILLEGAL_DATA;
    if (d.file == nullptr || d.next >= d.height)
        return B_BAD_VALUE;
    // A raster cut short is refused, as the whole reading refuses it.
    if (fread(d.row.data(), 1, d.row.size(), d.file) != d.row.size()) {
        d.failed = true;
        return B_ILLEGAL_DATA;
    }
    const uint8* in = d.row.data();
    const auto level = [&d](const uint8* at) -> uint32 {
        return d.wide ? to8(uint32(at[0]) << 8 | at[1]) : at[0];
    };
    const size_t step = d.wide ? 2 : 1;
    for (uint32 x = 0; x < d.width; x++) {
        if (d.kind == 4) {
            // A set bit is black.
            const bool ink = (in[x >> 3] >> (7 - (x & 7))) & 1;
            to[x] = ink ? 0xFF000000u : 0xFFFFFFFFu;
        } else if (d.kind == 5) {
            to[x] = 0xFF000000u | level(in) * 0x010101u;
            in += step;
        } else {
            to[x] = 0xFF000000u | level(in) << 16 | level(in + step) << 8 | level(in + 2 * step);
            in += 3 * step;
        }
    }
    d.next++;
    return B_OK;
}

status_t PnmRowReader::Finish(bool* turned)
{
    Data& d = *fData;
    *turned = false;
    if (d.failed)
        return B_ILLEGAL_DATA;
    return d.file != nullptr && d.next == d.height ? B_OK : B_BAD_VALUE;
}
