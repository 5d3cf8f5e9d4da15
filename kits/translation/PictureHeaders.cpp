#include <PictureHeaders.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

namespace BPrivate {

namespace {

// Bounds-checked little and big endian reads over the source. size is the
// whole file's length; only the first present bytes are held (all of them
// in a header stage, the first ones in a sniff): reads past them give 0.
struct Bytes
{
    const uint8* data;
    uint64 size;
    uint64 present;

    Bytes(const uint8* bytes, uint64 length) : data(bytes), size(length), present(length) {}
    explicit Bytes(const ImageSource& source)
        : data(source.data),
          size(source.data != nullptr ? source.WholeSize() : 0),
          present(source.data != nullptr ? std::min<uint64>(source.size, size) : 0)
    {
    }

    bool Has(uint64 at, uint64 count) const { return at <= size && count <= size - at; }
    bool Holds(uint64 at, uint64 count) const
    {
        return at <= present && count <= present - at;
    }
    uint32 U8(uint64 at) const { return at < present ? data[at] : 0; }
    uint32 Le16(uint64 at) const { return U8(at) | (U8(at + 1) << 8); }
    uint32 Le32(uint64 at) const { return Le16(at) | (Le16(at + 2) << 16); }
    uint32 Be16(uint64 at) const { return (U8(at) << 8) | U8(at + 1); }
    uint32 Be32(uint64 at) const { return (Be16(at) << 16) | Be16(at + 2); }
    uint64 Be64(uint64 at) const { return (uint64(Be32(at)) << 32) | Be32(at + 4); }
};

// The size must fit the budget before the layout is checked: the layout's
// arithmetic relies on a bounded pixel count.
status_t admit(const PictureHeader& header, const ReadBudget& budget)
{
    if (header.width == 0 || header.height == 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(header.width, header.height))
        return B_NO_MEMORY;
    return B_OK;
}

#define ADMIT(header)                                                                             \
    if (status_t admitted = admit(header, budget); admitted != B_OK)                              \
    return admitted

bool starts_with(const Bytes& b, const char* text)
{
    const size_t length = std::strlen(text);
    return b.Holds(0, length) && std::memcmp(b.data, text, length) == 0;
}

bool extension_is(const ImageSource& source, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (source.extension == name)
            return true;
    }
    return false;
}

const uint8 kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// BMP --------------------------------------------------------------------

struct BmpHeader
{
    uint32 offset = 0, infoSize = 0, bits = 0, compression = 0;
    int64 width = 0, height = 0;
};

// Only the sizes of the info headers that exist: a damaged size field (high
// bytes set) is no BMP any reader should guess at.
bool parse_bmp_info(const Bytes& b, uint64 at, BmpHeader* h)
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

// The picture's layout after its headers: the data at h.offset holds every
// row (raw layouts), or its runs reach the picture's end (RLE4, RLE8).
status_t check_bmp_layout(const Bytes& b, const ReadBudget& budget, const BmpHeader& h,
                          PictureHeader* header)
{
    if (h.width <= 0 || h.height == 0 || !bmp_bits_valid(h.bits))
        return B_ILLEGAL_DATA;
    header->width = uint64(h.width);
    header->height = uint64(h.height < 0 ? -h.height : h.height);
    ADMIT(*header);
    if (h.offset < h.infoSize || h.offset > b.size)
        return B_ILLEGAL_DATA;
    const uint64 pixels = header->width * header->height;
    switch (h.compression) {
    case 0: // RGB
    case 3: // bit fields
    case 6: // bit fields with alpha
        header->leastBytes = h.offset + (header->width * h.bits + 31) / 32 * 4 * header->height;
        break;
    case 1: // RLE8
    case 2: // RLE4
        if (h.bits != (h.compression == 1 ? 8u : 4u) || h.height < 0)
            return B_ILLEGAL_DATA;
        header->leastBytes = least_compressed_bytes(h.offset, pixels);
        if (header->leastBytes > b.size ||
            !bmp_rle_complete(b, h.offset, header->height, h.compression == 1))
            return B_ILLEGAL_DATA;
        break;
    default: // JPEG or PNG inside, Huffman, RLE24: not read
        return B_NO_TRANSLATOR;
    }
    return B_OK;
}

// Bit fields with an alpha mask (a V4 header or later), or their variant
// with alpha; infoAt is where the info header starts.
bool bmp_alpha(const Bytes& b, uint64 infoAt, const BmpHeader& h)
{
    return h.bits == 32 &&
           (h.compression == 6 ||
            (h.compression == 3 && h.infoSize >= 56 && b.Le32(infoAt + 52) != 0));
}

status_t check_bmp(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kBmpTail;
    BmpHeader h;
    if (!b.Holds(0, 18) || !parse_bmp_info(b, 14, &h))
        return B_ILLEGAL_DATA;
    h.offset = b.Le32(10);
    // The layout's offsets count from the file's start, past its header.
    BmpHeader layout = h;
    layout.infoSize += 14;
    header->alpha = bmp_alpha(b, 14, h);
    return check_bmp_layout(b, budget, layout, header);
}

// DIB: a BMP without its file header, as clipboards and some programs keep
// it. Nothing says where the rows start: after the info header, the three
// masks a 40-byte header's bit fields add, and the palette.
bool parse_dib(const Bytes& b, BmpHeader* h)
{
    if (!b.Holds(0, 16) || !parse_bmp_info(b, 0, h))
        return false;
    // Planes is always 1; only the compressions a DIB can hold.
    const uint32 planes = h->infoSize == 12 ? b.Le16(8) : b.Le16(12);
    if (planes != 1 || h->width <= 0 || h->height == 0 || !bmp_bits_valid(h->bits) ||
        (h->compression > 3 && h->compression != 6))
        return false;
    const uint64 entry = h->infoSize == 12 ? 3 : 4;
    uint64 colours = h->bits <= 8 ? uint64(1) << h->bits : 0;
    if (h->infoSize >= 36 && b.Le32(32) != 0) {
        const uint64 used = b.Le32(32);
        if (used > 256 || (h->bits <= 8 && used > colours))
            return false;
        colours = used;
    }
    uint64 offset = h->infoSize + colours * entry;
    if (h->infoSize == 40 && (h->compression == 3 || h->compression == 6))
        offset += h->compression == 3 ? 12 : 16;
    h->offset = uint32(offset);
    return true;
}

status_t check_dib(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kDibTail;
    BmpHeader h;
    if (!parse_dib(b, &h))
        return B_ILLEGAL_DATA;
    header->alpha = bmp_alpha(b, 0, h);
    return check_bmp_layout(b, budget, h, header);
}

// TGA --------------------------------------------------------------------

struct TgaHeader
{
    uint32 idLength, mapType, type, mapLength, mapDepth, width, height, depth, descriptor;
    uint64 dataOffset;
};

bool parse_tga(const Bytes& b, TgaHeader* h)
{
    if (!b.Holds(0, 18))
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

status_t check_tga(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kTgaTail;
    TgaHeader h;
    if (!parse_tga(b, &h))
        return B_ILLEGAL_DATA;
    header->width = h.width;
    header->height = h.height;
    header->alpha = (h.descriptor & 0x0F) != 0;
    ADMIT(*header);
    const uint64 pixelBytes = (h.depth + 7) / 8;
    const uint64 pixels = header->width * header->height;
    uint64 at = h.dataOffset;
    if ((h.type & 8) == 0) {
        header->leastBytes = at + pixels * pixelBytes;
        return B_OK;
    }
    // Each packet holds at most 128 pixels: the walk costs no more than the
    // bytes present.
    for (uint64 seen = 0; seen < pixels;) {
        if (!b.Has(at, 1))
            return B_ILLEGAL_DATA;
        uint32 packet = b.U8(at++);
        uint64 count = (packet & 0x7F) + 1;
        uint64 bytes = (packet & 0x80) != 0 ? pixelBytes : count * pixelBytes;
        if (!b.Has(at, bytes))
            return B_ILLEGAL_DATA;
        at += bytes;
        seen += count;
    }
    return B_OK;
}

// PSD --------------------------------------------------------------------

status_t check_psd(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kPsdTail;
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
    ADMIT(*header);
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

// SGI --------------------------------------------------------------------

status_t check_sgi(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kSgiTail;
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
    ADMIT(*header);
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
        const Bytes row(b.data + start, length);
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

// PCX --------------------------------------------------------------------

bool pcx_header_valid(const Bytes& b)
{
    if (!b.Holds(0, 128) || b.U8(0) != 0x0A)
        return false;
    const uint32 version = b.U8(1), encoding = b.U8(2), bits = b.U8(3), planes = b.U8(65);
    return (version == 0 || (version >= 2 && version <= 5)) && encoding <= 1 &&
           (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && planes <= 4 &&
           b.Le16(8) >= b.Le16(4) && b.Le16(10) >= b.Le16(6) && b.Le16(66) > 0;
}

status_t check_pcx(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kPcxTail;
    if (!pcx_header_valid(b))
        return B_ILLEGAL_DATA;
    header->width = uint64(b.Le16(8)) - b.Le16(4) + 1;
    header->height = uint64(b.Le16(10)) - b.Le16(6) + 1;
    ADMIT(*header);
    const uint64 bits = b.U8(3), planes = b.U8(65), lineBytes = b.Le16(66);
    if (lineBytes * 8 < header->width * bits)
        return B_ILLEGAL_DATA;
    const uint64 total = lineBytes * planes * header->height;
    if (b.U8(2) == 0) {
        header->leastBytes = 128 + total;
        return B_OK;
    }
    uint64 at = 128;
    for (uint64 produced = 0; produced < total;) {
        if (!b.Has(at, 1))
            return B_ILLEGAL_DATA;
        const uint32 code = b.U8(at++);
        if ((code & 0xC0) == 0xC0) {
            if (!b.Has(at, 1))
                return B_ILLEGAL_DATA;
            at++;
            produced += code & 0x3F;
        } else {
            produced++;
        }
    }
    return B_OK;
}

// ICO and CUR ------------------------------------------------------------

bool ico_directory_valid(const Bytes& b)
{
    if (!b.Holds(0, 6) || b.Le16(0) != 0 || (b.Le16(2) != 1 && b.Le16(2) != 2))
        return false;
    const uint64 count = b.Le16(4);
    if (count == 0 || !b.Holds(6, count * 16))
        return false;
    for (uint64 i = 0; i < count; i++) {
        const uint64 entry = 6 + i * 16, size = b.Le32(entry + 8), offset = b.Le32(entry + 12);
        if (size < 16 || offset < 6 + count * 16 || !b.Has(offset, size))
            return false;
    }
    return true;
}

status_t check_ico(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kIcoTail;
    header->alpha = true; // the transparency mask
    if (!ico_directory_valid(b))
        return B_ILLEGAL_DATA;
    const uint64 count = b.Le16(4);
    for (uint64 i = 0; i < count; i++) {
        const uint64 entry = 6 + i * 16, size = b.Le32(entry + 8), offset = b.Le32(entry + 12);
        const Bytes image(b.data + offset, size);
        PictureHeader sub;
        if (image.Has(0, 24) && std::memcmp(image.data, kPngSignature, 8) == 0) {
            if (status_t status = check_embedded_png(image.data, size, budget, &sub.width,
                                                     &sub.height);
                status != B_OK)
                return status;
        } else {
            // A device-independent bitmap twice the icon's height: colours,
            // then the transparency mask, which some writers leave out.
            BmpHeader h;
            if (!parse_bmp_info(image, 0, &h) || h.width <= 0 || h.height <= 0 ||
                !bmp_bits_valid(h.bits) || h.compression != 0)
                return B_ILLEGAL_DATA;
            sub.width = uint64(h.width);
            sub.height = uint64(h.height) / 2;
            ADMIT(sub);
            uint64 colours = h.bits <= 8 ? uint64(1) << h.bits : 0;
            if (h.infoSize >= 36 && image.Le32(32) != 0 && image.Le32(32) < colours)
                colours = image.Le32(32);
            const uint64 row = (sub.width * h.bits + 31) / 32 * 4;
            if (!image.Has(h.infoSize + colours * 4, row * sub.height))
                return B_ILLEGAL_DATA;
        }
        if (sub.width * sub.height > header->width * header->height) {
            header->width = sub.width;
            header->height = sub.height;
            header->frame = uint32(i);
        }
    }
    return admit(*header, budget);
}

// PNM, XBM and XPM: text headers ----------------------------------------

bool is_space(uint32 c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The next decimal number of a PNM header, skipping blanks and comments.
bool pnm_number(const Bytes& b, uint64* at, uint64* value)
{
    while (b.Holds(*at, 1)) {
        uint32 c = b.U8(*at);
        if (c == '#') {
            while (b.Holds(*at, 1) && b.U8(*at) != '\n' && b.U8(*at) != '\r')
                (*at)++;
        } else if (is_space(c)) {
            (*at)++;
        } else {
            break;
        }
    }
    uint64 number = 0, digits = 0;
    while (b.Holds(*at, 1) && b.U8(*at) >= '0' && b.U8(*at) <= '9' && digits < 10) {
        number = number * 10 + (b.U8(*at) - '0');
        (*at)++;
        digits++;
    }
    *value = number;
    return digits > 0 && digits < 10;
}

status_t check_pnm(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kPnmTail;
    const uint32 kind = b.U8(1) - '0';
    uint64 at = 2, maxValue = 1;
    if (!pnm_number(b, &at, &header->width) || !pnm_number(b, &at, &header->height))
        return B_ILLEGAL_DATA;
    if (kind != 1 && kind != 4 &&
        (!pnm_number(b, &at, &maxValue) || maxValue == 0 || maxValue > 65535))
        return B_ILLEGAL_DATA;
    ADMIT(*header);
    at++; // the single blank before the raster
    const uint64 pixels = header->width * header->height;
    const uint64 samples = pixels * (kind == 3 || kind == 6 ? 3 : 1);
    uint64 needed;
    switch (kind) {
    case 1: needed = pixels; break;          // one digit each, blanks optional
    case 2:
    case 3: needed = samples * 2 - 1; break; // a digit and a blank each
    case 4: needed = (header->width + 7) / 8 * header->height; break;
    default: needed = samples * (maxValue > 255 ? 2 : 1); break;
    }
    header->leastBytes = at + needed;
    return B_OK;
}

// PAM (P7): keyword lines up to ENDHDR, then the samples raw, one or two
// bytes each by MAXVAL.
bool pam_keyword(const Bytes& b, uint64 at, const char* word)
{
    const size_t length = std::strlen(word);
    return b.Holds(at, length + 1) && std::memcmp(b.data + at, word, length) == 0 &&
           is_space(b.U8(at + length));
}

status_t check_pam(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kPamTail;
    // A header is a few short lines; a long one is no PAM.
    constexpr uint64 kMostHeaderBytes = 4096;
    uint64 at = 3, depth = 0, maxValue = 0;
    while (true) {
        while (b.Holds(at, 1) && is_space(b.U8(at)))
            at++;
        if (at > kMostHeaderBytes || !b.Holds(at, 1))
            return B_ILLEGAL_DATA;
        if (b.U8(at) == '#' || pam_keyword(b, at, "TUPLTYPE")) {
            const uint64 start = at;
            while (b.Holds(at, 1) && b.U8(at) != '\n')
                at++;
            const std::string line(reinterpret_cast<const char*>(b.data + start), at - start);
            if (line[0] != '#' && line.find("_ALPHA") != std::string::npos)
                header->alpha = true;
            continue;
        }
        if (pam_keyword(b, at, "ENDHDR")) {
            at += 6;
            // The line ends with one newline; the samples follow.
            while (b.Holds(at, 1) && b.U8(at) != '\n') {
                if (!is_space(b.U8(at)))
                    return B_ILLEGAL_DATA;
                at++;
            }
            at++;
            break;
        }
        uint64* field = pam_keyword(b, at, "WIDTH")    ? &header->width
                        : pam_keyword(b, at, "HEIGHT") ? &header->height
                        : pam_keyword(b, at, "DEPTH")  ? &depth
                        : pam_keyword(b, at, "MAXVAL") ? &maxValue
                                                       : nullptr;
        if (field == nullptr)
            return B_ILLEGAL_DATA;
        while (b.Holds(at, 1) && !is_space(b.U8(at)))
            at++;
        if (!pnm_number(b, &at, field))
            return B_ILLEGAL_DATA;
    }
    if (depth < 1 || depth > 5 || maxValue < 1 || maxValue > 65535)
        return B_ILLEGAL_DATA;
    ADMIT(*header);
    header->leastBytes =
        at + header->width * header->height * depth * (maxValue > 255 ? 2 : 1);
    return B_OK;
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

status_t check_xbm(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kXbmTail;
    const uint8* brace = static_cast<const uint8*>(std::memchr(b.data, '{', b.present));
    if (brace == nullptr)
        return B_ILLEGAL_DATA;
    const uint64 open = uint64(brace - b.data);
    header->width = xbm_define(b, open, "_width");
    header->height = xbm_define(b, open, "_height");
    ADMIT(*header);
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

status_t check_xpm(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kXpmTail;
    const uint8* brace = static_cast<const uint8*>(std::memchr(b.data, '{', b.present));
    const uint8* quote = brace != nullptr ? static_cast<const uint8*>(std::memchr(
                                                brace, '"', b.present - uint64(brace - b.data)))
                                          : nullptr;
    if (quote == nullptr)
        return B_ILLEGAL_DATA;
    uint64 at = uint64(quote - b.data) + 1, colours = 0, perPixel = 0;
    if (!pnm_number(b, &at, &header->width) || !pnm_number(b, &at, &header->height) ||
        !pnm_number(b, &at, &colours) || !pnm_number(b, &at, &perPixel) || perPixel == 0 ||
        perPixel > 8)
        return B_ILLEGAL_DATA;
    ADMIT(*header);
    // A colour named None is transparent.
    for (uint64 i = at; i + 4 <= b.present && !header->alpha; i++)
        header->alpha = (b.data[i] | 0x20) == 'n' && (b.data[i + 1] | 0x20) == 'o' &&
                        (b.data[i + 2] | 0x20) == 'n' && (b.data[i + 3] | 0x20) == 'e';
    // Every pixel is written as perPixel characters; every colour on a line.
    header->leastBytes = header->width * header->height * perPixel + colours * (perPixel + 4);
    return B_OK;
}

// MNG ----------------------------------------------------------------------

const uint8 kMngSignature[8] = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool chunk_is(const Bytes& b, uint64 at, const char* type)
{
    return std::memcmp(b.data + at + 4, type, 4) == 0;
}

// Qt's plugin (libmng) allocates the frame the MHDR chunk declares and
// every picture inside at its IHDR's or JHDR's size: each is held to the
// bytes present, as any compressed layout is. Chunks that multiply sizes
// (MAGN) or copy objects (CLON, PAST) are not read at all; the file must
// be whole, to MEND.
status_t check_mng(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kMngTail;
    header->alpha = true;
    if (!b.Has(0, 8 + 12 + 28) || std::memcmp(b.data + 12, "MHDR", 4) != 0 || b.Be32(8) != 28)
        return B_ILLEGAL_DATA;
    header->width = b.Be32(16);
    header->height = b.Be32(20);
    ADMIT(*header);
    header->leastBytes = least_compressed_bytes(0, header->width * header->height);
    for (uint64 at = 8;;) {
        if (!b.Has(at, 12))
            return B_ILLEGAL_DATA;
        const uint64 length = b.Be32(at);
        if (length > 0x7FFFFFFF || !b.Has(at + 12, length))
            return B_ILLEGAL_DATA;
        if (chunk_is(b, at, "MEND"))
            return B_OK;
        if (chunk_is(b, at, "MAGN") || chunk_is(b, at, "CLON") || chunk_is(b, at, "PAST"))
            return B_ILLEGAL_DATA;
        if (chunk_is(b, at, "IHDR") || chunk_is(b, at, "JHDR")) {
            PictureHeader picture;
            picture.width = b.Be32(at + 8);
            picture.height = b.Be32(at + 12);
            if (length < 8)
                return B_ILLEGAL_DATA;
            ADMIT(picture);
            header->leastBytes = std::max(
                header->leastBytes, least_compressed_bytes(0, picture.width * picture.height));
        }
        at += 12 + length;
    }
}

// ICNS ---------------------------------------------------------------------

// The side of an icon entry by its type, 0 for entries that hold no picture
// (masks, the table of contents, ...).
uint32 icns_side(const uint8* type)
{
    static const struct
    {
        char type[5];
        uint32 side;
    } kSides[] = {
        {"ICON", 32}, {"ICN#", 32}, {"icm#", 16}, {"icm4", 16}, {"icm8", 16}, {"ics#", 16},
        {"ics4", 16}, {"ics8", 16}, {"is32", 16}, {"icl4", 32}, {"icl8", 32}, {"il32", 32},
        {"ich#", 48}, {"ich4", 48}, {"ich8", 48}, {"ih32", 48}, {"it32", 128}, {"icp4", 16},
        {"icp5", 32}, {"icp6", 64}, {"ic04", 16}, {"ic05", 32}, {"ic07", 128}, {"ic08", 256},
        {"ic09", 512}, {"ic10", 1024}, {"ic11", 32}, {"ic12", 64}, {"ic13", 256},
        {"ic14", 512},
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
status_t check_icns(const Bytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kIcnsTail;
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

// WBMP ---------------------------------------------------------------------

// A multi-byte integer: seven bits a byte, the high bit set on all but the
// last; at most four bytes here.
bool wbmp_number(const Bytes& b, uint64* at, uint64* value)
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
bool parse_wbmp(const Bytes& b, PictureHeader* header)
{
    uint64 at = 2;
    if (b.U8(0) != 0 || b.U8(1) != 0 || !wbmp_number(b, &at, &header->width) ||
        !wbmp_number(b, &at, &header->height) || header->width == 0 || header->height == 0)
        return false;
    header->leastBytes = at + (header->width + 7) / 8 * header->height;
    return b.size >= header->leastBytes && b.size - header->leastBytes <= 16;
}

} // namespace

status_t check_embedded_png(const uint8* data, uint64 size, const ReadBudget& budget,
                            uint64* width, uint64* height)
{
    const Bytes b(data, size);
    if (!b.Has(0, 24) || std::memcmp(data, kPngSignature, 8) != 0 ||
        std::memcmp(data + 12, "IHDR", 4) != 0)
        return B_ILLEGAL_DATA;
    PictureHeader picture;
    picture.width = b.Be32(16);
    picture.height = b.Be32(20);
    ADMIT(picture);
    if (least_compressed_bytes(0, picture.width * picture.height) > size)
        return B_ILLEGAL_DATA;
    *width = picture.width;
    *height = picture.height;
    return B_OK;
}

// The sniffs: a magic number is kMine. TGA, PCX and cursors have none, and
// a cursor's header and a TGA's can both be plausible: the extension then
// decides, as viewers do.

namespace {

bool tga_named(const ImageSource& source)
{
    return extension_is(source, {"tga", "icb", "vda", "vst"});
}

bool plausible_tga(const Bytes& b)
{
    TgaHeader tga;
    return parse_tga(b, &tga);
}

} // namespace

identify_result bmp_sniff(const ImageSource& source)
{
    // Two letters are a weak signature: text may begin with them. An info
    // header of a size no BMP has is no BMP, and no reader guesses.
    const Bytes b(source);
    BmpHeader h;
    return starts_with(b, "BM") && b.Holds(0, 18) && parse_bmp_info(b, 14, &h) ? kMine
                                                                              : kNotMine;
}

identify_result psd_sniff(const ImageSource& source)
{
    return starts_with(Bytes(source), "8BPS") ? kMine : kNotMine;
}

identify_result sgi_sniff(const ImageSource& source)
{
    const Bytes b(source);
    return b.Holds(0, 2) && b.Be16(0) == 474 ? kMine : kNotMine;
}

identify_result pnm_sniff(const ImageSource& source)
{
    const Bytes b(source);
    return b.Holds(0, 3) && b.U8(0) == 'P' && b.U8(1) >= '1' && b.U8(1) <= '6' &&
                   is_space(b.U8(2))
               ? kMine
               : kNotMine;
}

identify_result pam_sniff(const ImageSource& source)
{
    const Bytes b(source);
    return b.Holds(0, 3) && b.U8(0) == 'P' && b.U8(1) == '7' && b.U8(2) == '\n' ? kMine
                                                                             : kNotMine;
}

// A DIB has no magic number: a plausible info header, planes, depth and
// compression, and data that starts within the file.
identify_result dib_sniff(const ImageSource& source)
{
    const Bytes b(source);
    BmpHeader h;
    return parse_dib(b, &h) && h.offset < b.size ? kMaybeMine : kNotMine;
}

identify_result xbm_sniff(const ImageSource& source)
{
    return starts_with(Bytes(source), "#define") ? kMine : kNotMine;
}

identify_result xpm_sniff(const ImageSource& source)
{
    return starts_with(Bytes(source), "/* XPM */") ? kMine : kNotMine;
}

identify_result mng_sniff(const ImageSource& source)
{
    const Bytes b(source);
    return b.Holds(0, 8) && std::memcmp(b.data, kMngSignature, 8) == 0 ? kMine : kNotMine;
}

identify_result icns_sniff(const ImageSource& source)
{
    return starts_with(Bytes(source), "icns") ? kMine : kNotMine;
}

identify_result ico_sniff(const ImageSource& source)
{
    const Bytes b(source);
    return ico_directory_valid(b) && !(plausible_tga(b) && tga_named(source)) ? kMine
                                                                                : kNotMine;
}

identify_result pcx_sniff(const ImageSource& source)
{
    const Bytes b(source);
    return pcx_header_valid(b) && !(plausible_tga(b) && tga_named(source)) ? kMaybeMine
                                                                             : kNotMine;
}

identify_result tga_sniff(const ImageSource& source)
{
    return plausible_tga(Bytes(source)) ? kMaybeMine : kNotMine;
}

identify_result wbmp_sniff(const ImageSource& source)
{
    PictureHeader header;
    return parse_wbmp(Bytes(source), &header) ? kMaybeMine : kNotMine;
}

#define PELLARA_HEADER_STAGE(name)                                                                \
    status_t name##_header(const ImageSource& source, const ReadBudget& budget,                   \
                           PictureHeader* header)                                                 \
    {                                                                                             \
        return check_##name(Bytes(source.data, source.size), budget, header);                     \
    }

PELLARA_HEADER_STAGE(bmp)
PELLARA_HEADER_STAGE(dib)
PELLARA_HEADER_STAGE(pam)
PELLARA_HEADER_STAGE(tga)
PELLARA_HEADER_STAGE(psd)
PELLARA_HEADER_STAGE(sgi)
PELLARA_HEADER_STAGE(pcx)
PELLARA_HEADER_STAGE(ico)
PELLARA_HEADER_STAGE(pnm)
PELLARA_HEADER_STAGE(xbm)
PELLARA_HEADER_STAGE(xpm)
PELLARA_HEADER_STAGE(mng)
PELLARA_HEADER_STAGE(icns)

#undef PELLARA_HEADER_STAGE

status_t wbmp_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->variant = kWbmpTail;
    if (!parse_wbmp(Bytes(source.data, source.size), header))
        return B_ILLEGAL_DATA;
    return admit(*header, budget);
}

} // namespace BPrivate
