#include <PictureHeaders.h>

#include <cstring>

namespace BPrivate {

namespace {

// Deflate's best ratio: a compressed layout cannot hold more than this many
// bytes per byte present; nor can a run-length one that skips rows.
constexpr uint64 kMaxInflation = 1032;

// Bounds-checked little and big endian reads over the source.
struct Bytes
{
    const uint8* data;
    uint64 size;

    bool Has(uint64 at, uint64 count) const { return at <= size && count <= size - at; }
    uint32 U8(uint64 at) const { return Has(at, 1) ? data[at] : 0; }
    uint32 Le16(uint64 at) const { return U8(at) | (U8(at + 1) << 8); }
    uint32 Le32(uint64 at) const { return Le16(at) | (Le16(at + 2) << 16); }
    uint32 Be16(uint64 at) const { return (U8(at) << 8) | U8(at + 1); }
    uint32 Be32(uint64 at) const { return (Be16(at) << 16) | Be16(at + 2); }
    uint64 Be64(uint64 at) const { return (uint64(Be32(at)) << 32) | Be32(at + 4); }
};

struct Check
{
    DeclaredPicture picture;
    status_t status = B_NO_TRANSLATOR;
};

Check refused(const DeclaredPicture& picture, status_t status)
{
    return Check{picture, status};
}

// The size must fit the budget before the layout is checked: the layout's
// arithmetic relies on a bounded pixel count.
bool admitted(const DeclaredPicture& picture, const ReadBudget& budget, Check* check)
{
    if (picture.width == 0 || picture.height == 0) {
        *check = refused(picture, B_ILLEGAL_DATA);
        return false;
    }
    if (!budget.Admits(picture.width, picture.height)) {
        *check = refused(picture, B_NO_MEMORY);
        return false;
    }
    return true;
}

// BMP --------------------------------------------------------------------

struct BmpHeader
{
    uint32 offset = 0, infoSize = 0, bits = 0, compression = 0;
    int64 width = 0, height = 0;
};

bool parse_bmp_info(const Bytes& b, uint64 at, BmpHeader* h)
{
    h->infoSize = b.Le32(at);
    if (h->infoSize == 12) {
        if (!b.Has(at, 12))
            return false;
        h->width = b.Le16(at + 4);
        h->height = int16(b.Le16(at + 6));
        h->bits = b.Le16(at + 10);
        h->compression = 0;
        return true;
    }
    if (h->infoSize < 16 || h->infoSize > 1024 || !b.Has(at, 16))
        return false;
    h->width = int32(b.Le32(at + 4));
    h->height = int32(b.Le32(at + 8));
    h->bits = b.Le16(at + 14);
    h->compression = h->infoSize >= 20 && b.Has(at, 20) ? b.Le32(at + 16) : 0;
    return true;
}

bool bmp_bits_valid(uint32 bits)
{
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Walks RLE4/RLE8 codes without decoding: the data must reach the end of the
// picture (or its end marker) within the bytes present.
bool bmp_rle_complete(const Bytes& b, uint64 at, uint64 height, bool rle8)
{
    uint64 y = 0;
    while (true) {
        if (!b.Has(at, 2))
            return false;
        uint32 count = b.U8(at), code = b.U8(at + 1);
        at += 2;
        if (count > 0)
            continue;
        if (code == 0) {
            if (++y >= height)
                return true;
        } else if (code == 1) {
            return true;
        } else if (code == 2) {
            if (!b.Has(at, 2))
                return false;
            y += b.U8(at + 1);
            at += 2;
            if (y >= height)
                return true;
        } else {
            uint64 bytes = rle8 ? code : (code + 1) / 2;
            bytes = (bytes + 1) & ~uint64(1);
            if (!b.Has(at, bytes))
                return false;
            at += bytes;
        }
    }
}

Check check_bmp(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kBmpFormat, kMine, 0, 0};
    BmpHeader h;
    if (!b.Has(0, 18) || !parse_bmp_info(b, 14, &h)) {
        // Two letters are a weak signature: text may begin with them.
        picture.certainty = kNotMine;
        return refused(picture, b.Has(0, 18) ? B_NO_TRANSLATOR : B_ILLEGAL_DATA);
    }
    h.offset = b.Le32(10);
    if (h.width <= 0 || h.height == 0 || !bmp_bits_valid(h.bits))
        return refused(picture, B_ILLEGAL_DATA);
    picture.width = uint64(h.width);
    picture.height = uint64(h.height < 0 ? -h.height : h.height);
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    if (h.offset < 14 + h.infoSize || h.offset > b.size)
        return refused(picture, B_ILLEGAL_DATA);
    const uint64 pixels = picture.width * picture.height;
    switch (h.compression) {
    case 0: // RGB
    case 3: // bit fields
    case 6: // bit fields with alpha
    {
        uint64 row = (picture.width * h.bits + 31) / 32 * 4;
        if (!b.Has(h.offset, row * picture.height))
            return refused(picture, B_ILLEGAL_DATA);
        break;
    }
    case 1: // RLE8
    case 2: // RLE4
        if (h.bits != (h.compression == 1 ? 8u : 4u) || h.height < 0)
            return refused(picture, B_ILLEGAL_DATA);
        if (pixels > (b.size - h.offset) * kMaxInflation ||
            !bmp_rle_complete(b, h.offset, picture.height, h.compression == 1))
            return refused(picture, B_ILLEGAL_DATA);
        break;
    default: // JPEG or PNG inside, Huffman, RLE24: not read
        return refused(picture, B_NO_TRANSLATOR);
    }
    return Check{picture, B_OK};
}

// TGA --------------------------------------------------------------------

struct TgaHeader
{
    uint32 idLength, mapType, type, mapLength, mapDepth, width, height, depth, descriptor;
    uint64 dataOffset;
};

bool parse_tga(const Bytes& b, TgaHeader* h)
{
    if (!b.Has(0, 18))
        return false;
    h->idLength = b.U8(0);
    h->mapType = b.U8(1);
    h->type = b.U8(2);
    h->mapLength = b.Le16(5);
    h->mapDepth = b.U8(7);
    h->width = b.Le16(12);
    h->height = b.Le16(14);
    h->depth = b.U8(16);
    h->descriptor = b.U8(17);
    if (h->mapType > 1 || h->width == 0 || h->height == 0 || (h->descriptor & 0xC0) != 0)
        return false;
    const uint32 base = h->type & 7;
    if ((h->type & ~8u) != base || base < 1 || base > 3)
        return false;
    if (base == 1) {
        if (h->mapType != 1 || h->mapLength == 0 || (h->depth != 8 && h->depth != 16))
            return false;
    } else if (base == 2) {
        if (h->depth != 15 && h->depth != 16 && h->depth != 24 && h->depth != 32)
            return false;
    } else if (h->depth != 8 && h->depth != 16) {
        return false;
    }
    if (h->mapType == 1 && h->mapDepth != 15 && h->mapDepth != 16 && h->mapDepth != 24 &&
        h->mapDepth != 32)
        return false;
    uint64 mapBytes = h->mapType == 1 ? uint64(h->mapLength) * ((h->mapDepth + 7) / 8) : 0;
    h->dataOffset = 18 + uint64(h->idLength) + mapBytes;
    return b.Has(0, h->dataOffset);
}

Check check_tga(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kTgaFormat, kMaybeMine, 0, 0};
    TgaHeader h;
    if (!parse_tga(b, &h))
        return refused(picture, B_ILLEGAL_DATA);
    picture.width = h.width;
    picture.height = h.height;
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    const uint64 pixelBytes = (h.depth + 7) / 8;
    const uint64 pixels = picture.width * picture.height;
    uint64 at = h.dataOffset;
    if ((h.type & 8) == 0) {
        if (!b.Has(at, pixels * pixelBytes))
            return refused(picture, B_ILLEGAL_DATA);
        return Check{picture, B_OK};
    }
    // Each packet holds at most 128 pixels: the walk costs no more than the
    // bytes present.
    for (uint64 seen = 0; seen < pixels;) {
        if (!b.Has(at, 1))
            return refused(picture, B_ILLEGAL_DATA);
        uint32 packet = b.U8(at++);
        uint64 count = (packet & 0x7F) + 1;
        uint64 bytes = (packet & 0x80) != 0 ? pixelBytes : count * pixelBytes;
        if (!b.Has(at, bytes))
            return refused(picture, B_ILLEGAL_DATA);
        at += bytes;
        seen += count;
    }
    return Check{picture, B_OK};
}

// PSD --------------------------------------------------------------------

Check check_psd(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kPsdFormat, kMine, 0, 0};
    if (!b.Has(0, 26))
        return refused(picture, B_ILLEGAL_DATA);
    const uint32 version = b.Be16(4);
    const uint32 channels = b.Be16(12), depth = b.Be16(22);
    if ((version != 1 && version != 2) || channels < 1 || channels > 56 ||
        (depth != 1 && depth != 8 && depth != 16 && depth != 32))
        return refused(picture, B_ILLEGAL_DATA);
    picture.height = b.Be32(14);
    picture.width = b.Be32(18);
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    // Colour mode data, image resources, then layers (8-byte length in PSB).
    uint64 at = 26;
    for (int section = 0; section < 3; section++) {
        const bool wide = section == 2 && version == 2;
        if (!b.Has(at, wide ? 8 : 4))
            return refused(picture, B_ILLEGAL_DATA);
        uint64 length = wide ? b.Be64(at) : b.Be32(at);
        at += wide ? 8 : 4;
        if (!b.Has(at, length))
            return refused(picture, B_ILLEGAL_DATA);
        at += length;
    }
    if (!b.Has(at, 2))
        return refused(picture, B_ILLEGAL_DATA);
    const uint32 compression = b.Be16(at);
    at += 2;
    const uint64 rowBytes = (picture.width * depth + 7) / 8;
    const uint64 rows = picture.height * channels;
    const uint64 left = b.size - at;
    switch (compression) {
    case 0:
        if (rowBytes * rows > left)
            return refused(picture, B_ILLEGAL_DATA);
        break;
    case 1: {
        // A table of each row's packed length, then the rows.
        const uint64 entry = version == 2 ? 4 : 2;
        if (rows * entry > left)
            return refused(picture, B_ILLEGAL_DATA);
        uint64 packed = 0;
        const uint64 leastRow = (rowBytes + 127) / 128 * 2;
        for (uint64 r = 0; r < rows; r++) {
            uint64 length = entry == 4 ? b.Be32(at + r * 4) : b.Be16(at + r * 2);
            if (length < leastRow)
                return refused(picture, B_ILLEGAL_DATA);
            packed += length;
        }
        if (packed > left - rows * entry)
            return refused(picture, B_ILLEGAL_DATA);
        break;
    }
    case 2:
    case 3:
        if (rowBytes * rows > left * kMaxInflation)
            return refused(picture, B_ILLEGAL_DATA);
        break;
    default:
        return refused(picture, B_ILLEGAL_DATA);
    }
    return Check{picture, B_OK};
}

// DDS --------------------------------------------------------------------

Check check_dds(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kDdsFormat, kMine, 0, 0};
    if (!b.Has(0, 128) || b.Le32(4) != 124 || b.Le32(76) != 32)
        return refused(picture, B_ILLEGAL_DATA);
    picture.height = b.Le32(12);
    picture.width = b.Le32(16);
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    const uint32 flags = b.Le32(80);
    const uint64 blocks = ((picture.width + 3) / 4) * ((picture.height + 3) / 4);
    uint64 bytes;
    if ((flags & 0x4) != 0) {
        const uint8* fourCC = b.data + 84;
        if (std::memcmp(fourCC, "DXT1", 4) == 0)
            bytes = blocks * 8;
        else if (std::memcmp(fourCC, "DXT3", 4) == 0 || std::memcmp(fourCC, "DXT5", 4) == 0)
            bytes = blocks * 16;
        else
            return refused(picture, B_NO_TRANSLATOR);
    } else if ((flags & (0x40 | 0x20000 | 0x2)) != 0) {
        const uint32 bits = b.Le32(88);
        if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
            return refused(picture, B_ILLEGAL_DATA);
        bytes = picture.width * picture.height * (bits / 8);
    } else {
        return refused(picture, B_NO_TRANSLATOR);
    }
    if (!b.Has(128, bytes))
        return refused(picture, B_ILLEGAL_DATA);
    return Check{picture, B_OK};
}

// SGI --------------------------------------------------------------------

Check check_sgi(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kSgiFormat, kMine, 0, 0};
    if (!b.Has(0, 512))
        return refused(picture, B_ILLEGAL_DATA);
    const uint32 storage = b.U8(2), bpc = b.U8(3), dimension = b.Be16(4);
    uint64 depth = b.Be16(10);
    picture.width = b.Be16(6);
    picture.height = dimension == 1 ? 1 : b.Be16(8);
    if (dimension < 3)
        depth = 1;
    if (storage > 1 || (bpc != 1 && bpc != 2) || dimension < 1 || dimension > 3 || depth < 1 ||
        depth > 4)
        return refused(picture, B_ILLEGAL_DATA);
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    const uint64 rows = picture.height * depth;
    if (storage == 0) {
        if (!b.Has(512, picture.width * rows * bpc))
            return refused(picture, B_ILLEGAL_DATA);
        return Check{picture, B_OK};
    }
    // Tables of row starts and lengths, then each row's packets, which must
    // give the whole row within the row's bytes. A row stops being walked
    // once complete, so shared rows cost no more than the pixels.
    if (!b.Has(512, rows * 8))
        return refused(picture, B_ILLEGAL_DATA);
    for (uint64 r = 0; r < rows; r++) {
        const uint64 start = b.Be32(512 + r * 4), length = b.Be32(512 + rows * 4 + r * 4);
        if (!b.Has(start, length))
            return refused(picture, B_ILLEGAL_DATA);
        const Bytes row{b.data + start, length};
        uint64 at = 0, produced = 0;
        while (produced < picture.width) {
            if (!row.Has(at, bpc))
                return refused(picture, B_ILLEGAL_DATA);
            const uint32 code = bpc == 1 ? row.U8(at) : row.Be16(at);
            at += bpc;
            const uint64 count = code & 0x7F;
            if (count == 0)
                return refused(picture, B_ILLEGAL_DATA);
            const uint64 bytes = (code & 0x80) != 0 ? count * bpc : bpc;
            if (!row.Has(at, bytes))
                return refused(picture, B_ILLEGAL_DATA);
            at += bytes;
            produced += count;
        }
    }
    return Check{picture, B_OK};
}

// PCX --------------------------------------------------------------------

bool pcx_header_valid(const Bytes& b)
{
    if (!b.Has(0, 128) || b.U8(0) != 0x0A)
        return false;
    const uint32 version = b.U8(1), encoding = b.U8(2), bits = b.U8(3), planes = b.U8(65);
    return (version == 0 || (version >= 2 && version <= 5)) && encoding <= 1 &&
           (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && planes <= 4 &&
           b.Le16(8) >= b.Le16(4) && b.Le16(10) >= b.Le16(6) && b.Le16(66) > 0;
}

Check check_pcx(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kPcxFormat, kMaybeMine, 0, 0};
    if (!pcx_header_valid(b))
        return refused(picture, B_ILLEGAL_DATA);
    picture.width = uint64(b.Le16(8)) - b.Le16(4) + 1;
    picture.height = uint64(b.Le16(10)) - b.Le16(6) + 1;
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    const uint64 bits = b.U8(3), planes = b.U8(65), lineBytes = b.Le16(66);
    if (lineBytes * 8 < picture.width * bits)
        return refused(picture, B_ILLEGAL_DATA);
    const uint64 total = lineBytes * planes * picture.height;
    if (b.U8(2) == 0) {
        if (!b.Has(128, total))
            return refused(picture, B_ILLEGAL_DATA);
        return Check{picture, B_OK};
    }
    uint64 at = 128;
    for (uint64 produced = 0; produced < total;) {
        if (!b.Has(at, 1))
            return refused(picture, B_ILLEGAL_DATA);
        const uint32 code = b.U8(at++);
        if ((code & 0xC0) == 0xC0) {
            if (!b.Has(at, 1))
                return refused(picture, B_ILLEGAL_DATA);
            at++;
            produced += code & 0x3F;
        } else {
            produced++;
        }
    }
    return Check{picture, B_OK};
}

// ICO and CUR ------------------------------------------------------------

bool ico_directory_valid(const Bytes& b)
{
    if (!b.Has(0, 6) || b.Le16(0) != 0 || (b.Le16(2) != 1 && b.Le16(2) != 2))
        return false;
    const uint64 count = b.Le16(4);
    if (count == 0 || !b.Has(6, count * 16))
        return false;
    for (uint64 i = 0; i < count; i++) {
        const uint64 entry = 6 + i * 16, size = b.Le32(entry + 8), offset = b.Le32(entry + 12);
        if (size < 16 || offset < 6 + count * 16 || !b.Has(offset, size))
            return false;
    }
    return true;
}

Check check_ico(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kIcoFormat, kMine, 0, 0};
    if (!ico_directory_valid(b))
        return refused(picture, B_ILLEGAL_DATA);
    static const uint8 kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const uint64 count = b.Le16(4);
    for (uint64 i = 0; i < count; i++) {
        const uint64 entry = 6 + i * 16, size = b.Le32(entry + 8), offset = b.Le32(entry + 12);
        const Bytes image{b.data + offset, size};
        DeclaredPicture sub{kIcoFormat, kMine, 0, 0};
        if (image.Has(0, 24) && std::memcmp(image.data, kPng, 8) == 0) {
            sub.width = image.Be32(16);
            sub.height = image.Be32(20);
            Check check;
            if (!admitted(sub, budget, &check))
                return check;
            if (sub.width * sub.height > size * kMaxInflation)
                return refused(sub, B_ILLEGAL_DATA);
        } else {
            // A device-independent bitmap twice the icon's height: colours,
            // then the transparency mask, which some writers leave out.
            BmpHeader h;
            if (!parse_bmp_info(image, 0, &h) || h.width <= 0 || h.height <= 0 ||
                !bmp_bits_valid(h.bits) || h.compression != 0)
                return refused(sub, B_ILLEGAL_DATA);
            sub.width = uint64(h.width);
            sub.height = uint64(h.height) / 2;
            Check check;
            if (!admitted(sub, budget, &check))
                return check;
            uint64 colours = h.bits <= 8 ? uint64(1) << h.bits : 0;
            if (h.infoSize >= 36 && image.Le32(32) != 0 && image.Le32(32) < colours)
                colours = image.Le32(32);
            const uint64 row = (sub.width * h.bits + 31) / 32 * 4;
            if (!image.Has(h.infoSize + colours * 4, row * sub.height))
                return refused(sub, B_ILLEGAL_DATA);
        }
        if (sub.width * sub.height > picture.width * picture.height) {
            picture.width = sub.width;
            picture.height = sub.height;
        }
    }
    return Check{picture, B_OK};
}

// PNM, XBM and XPM: text headers ----------------------------------------

bool is_space(uint32 c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The next decimal number of a PNM header, skipping blanks and comments.
bool pnm_number(const Bytes& b, uint64* at, uint64* value)
{
    while (b.Has(*at, 1)) {
        uint32 c = b.U8(*at);
        if (c == '#') {
            while (b.Has(*at, 1) && b.U8(*at) != '\n' && b.U8(*at) != '\r')
                (*at)++;
        } else if (is_space(c)) {
            (*at)++;
        } else {
            break;
        }
    }
    uint64 number = 0, digits = 0;
    while (b.Has(*at, 1) && b.U8(*at) >= '0' && b.U8(*at) <= '9' && digits < 10) {
        number = number * 10 + (b.U8(*at) - '0');
        (*at)++;
        digits++;
    }
    *value = number;
    return digits > 0 && digits < 10;
}

Check check_pnm(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kPnmFormat, kMine, 0, 0};
    const uint32 kind = b.U8(1) - '0';
    uint64 at = 2, maxValue = 1;
    if (!pnm_number(b, &at, &picture.width) || !pnm_number(b, &at, &picture.height))
        return refused(picture, B_ILLEGAL_DATA);
    if (kind != 1 && kind != 4 && (!pnm_number(b, &at, &maxValue) || maxValue == 0 ||
                                   maxValue > 65535))
        return refused(picture, B_ILLEGAL_DATA);
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    at++; // the single blank before the raster
    const uint64 pixels = picture.width * picture.height;
    const uint64 samples = pixels * (kind == 3 || kind == 6 ? 3 : 1);
    const uint64 left = b.Has(at, 0) ? b.size - at : 0;
    uint64 needed;
    switch (kind) {
    case 1: needed = pixels; break;            // one digit each, blanks optional
    case 2:
    case 3: needed = samples * 2 - 1; break;   // a digit and a blank each
    case 4: needed = (picture.width + 7) / 8 * picture.height; break;
    default: needed = samples * (maxValue > 255 ? 2 : 1); break;
    }
    if (needed > left)
        return refused(picture, B_ILLEGAL_DATA);
    return Check{picture, B_OK};
}

// The number after "#define <name><suffix>" in an XBM header, 0 if absent.
uint64 xbm_define(const Bytes& b, uint64 end, const char* suffix)
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

Check check_xbm(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kXbmFormat, kMine, 0, 0};
    const uint8* brace = static_cast<const uint8*>(std::memchr(b.data, '{', b.size));
    if (brace == nullptr)
        return refused(picture, B_ILLEGAL_DATA);
    const uint64 open = uint64(brace - b.data);
    picture.width = xbm_define(b, open, "_width");
    picture.height = xbm_define(b, open, "_height");
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    // X10 bitmaps hold 16 pixels per value.
    bool shorts = false;
    for (uint64 at = 0; at + 5 <= open && !shorts; at++)
        shorts = std::memcmp(b.data + at, "short", 5) == 0;
    const uint64 perRow = (picture.width + (shorts ? 15 : 7)) / (shorts ? 16 : 8);
    const uint64 needed = perRow * picture.height;
    // Count the values present: a short list is a truncated picture.
    uint64 values = 0;
    bool inValue = false;
    for (uint64 at = open + 1; at < b.size && values < needed; at++) {
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
        return refused(picture, B_ILLEGAL_DATA);
    return Check{picture, B_OK};
}

Check check_xpm(const Bytes& b, const ReadBudget& budget)
{
    DeclaredPicture picture{kXpmFormat, kMine, 0, 0};
    const uint8* brace = static_cast<const uint8*>(std::memchr(b.data, '{', b.size));
    const uint8* quote = brace != nullptr ? static_cast<const uint8*>(std::memchr(
                                                brace, '"', b.size - uint64(brace - b.data)))
                                          : nullptr;
    if (quote == nullptr)
        return refused(picture, B_ILLEGAL_DATA);
    uint64 at = uint64(quote - b.data) + 1, colours = 0, perPixel = 0;
    if (!pnm_number(b, &at, &picture.width) || !pnm_number(b, &at, &picture.height) ||
        !pnm_number(b, &at, &colours) || !pnm_number(b, &at, &perPixel) || perPixel == 0 ||
        perPixel > 8)
        return refused(picture, B_ILLEGAL_DATA);
    Check check;
    if (!admitted(picture, budget, &check))
        return check;
    // Every pixel is written as perPixel characters; every colour on a line.
    if (picture.width * picture.height * perPixel + colours * (perPixel + 4) > b.size)
        return refused(picture, B_ILLEGAL_DATA);
    return Check{picture, B_OK};
}

bool starts_with(const Bytes& b, const char* text)
{
    const size_t length = std::strlen(text);
    return b.Has(0, length) && std::memcmp(b.data, text, length) == 0;
}

bool extension_is(const ImageSource& source, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (source.extension == name)
            return true;
    }
    return false;
}

Check check_source(const ImageSource& source, const ReadBudget& budget)
{
    const Bytes b{source.data, source.data != nullptr ? source.size : 0};
    if (starts_with(b, "BM"))
        return check_bmp(b, budget);
    if (starts_with(b, "8BPS"))
        return check_psd(b, budget);
    if (starts_with(b, "DDS "))
        return check_dds(b, budget);
    if (b.Has(0, 2) && b.Be16(0) == 474)
        return check_sgi(b, budget);
    if (b.Has(0, 3) && b.U8(0) == 'P' && b.U8(1) >= '1' && b.U8(1) <= '6' && is_space(b.U8(2)))
        return check_pnm(b, budget);
    if (starts_with(b, "#define"))
        return check_xbm(b, budget);
    if (starts_with(b, "/* XPM */"))
        return check_xpm(b, budget);

    // Formats without a real magic number: a cursor's header and a TGA's can
    // both be plausible, so the extension decides, as viewers do.
    TgaHeader tga;
    const bool maybeTga = parse_tga(b, &tga);
    const bool tgaNamed = extension_is(source, {"tga", "icb", "vda", "vst"});
    if (ico_directory_valid(b) && !(maybeTga && tgaNamed))
        return check_ico(b, budget);
    if (pcx_header_valid(b) && !(maybeTga && tgaNamed))
        return check_pcx(b, budget);
    if (maybeTga)
        return check_tga(b, budget);
    return Check{};
}

} // namespace

DeclaredPicture sniff_picture(const ImageSource& source)
{
    // A budget that admits any size: only the format matters here.
    ReadBudget any;
    any.maxPixels = ~uint64(0);
    Check check = check_source(source, any);
    if (check.status == B_NO_TRANSLATOR && check.picture.format != kUnknownFormat)
        check.picture.certainty = kNotMine; // a variant none of the readers take
    return check.picture;
}

status_t check_declared_picture(const ImageSource& source, const ReadBudget& budget,
                                DeclaredPicture* declared)
{
    Check check = check_source(source, budget);
    if (declared != nullptr)
        *declared = check.picture;
    return check.status;
}

} // namespace BPrivate
