// BMP in all its variants (OS/2 and Windows info headers, RLE, bit fields),
// and DIB, a BMP without its file header: read by ImageMagick's coders after
// the rows the header declares are found in the file.
#include "BmpInfo.h"
#include "FormatStages.h"

#include <Bitmap.h>
#include <MagickTranslator.h>

#include <bit>

namespace BPrivate {

namespace {

// Walks RLE4/RLE8 codes without decoding: the data must reach the end of the
// picture (or its end marker) within the bytes present.
bool bmp_rle_complete(const HeaderBytes& b, uint64 at, uint64 height, bool rle8)
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
status_t check_bmp_layout(const HeaderBytes& b, const ReadBudget& budget, const BmpHeader& h,
                          PictureHeader* header)
{
    if (h.width <= 0 || h.height == 0 || !bmp_bits_valid(h.bits))
        return B_ILLEGAL_DATA;
    header->width = uint64(h.width);
    header->height = uint64(h.height < 0 ? -h.height : h.height);
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
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
bool bmp_alpha(const HeaderBytes& b, uint64 infoAt, const BmpHeader& h)
{
    return h.bits == 32 && (h.compression == 6 ||
                            (h.compression == 3 && h.infoSize >= 56 && b.Le32(infoAt + 52) != 0));
}

// A 16-bit BMP whose bit fields give alpha one bit (ARGB 1-5-5-5): a set bit
// is opaque, a clear one transparent. ImageMagick scales the bit to half
// opacity. A picture whose every alpha bit is clear was written by a program
// that left the bit unused, so it is shown opaque, as other readers show it.
void mend_one_bit_alpha(PictureHeader* header, BBitmap* bitmap)
{
    if (!header->alpha)
        return;
    uint32* pixels = static_cast<uint32*>(bitmap->Bits());
    const size_t count = size_t(bitmap->BitsLength()) / 4;
    bool anySet = false;
    for (size_t i = 0; i < count && !anySet; i++)
        anySet = (pixels[i] >> 24) != 0;
    for (size_t i = 0; i < count; i++) {
        const bool opaque = !anySet || (pixels[i] >> 24) != 0;
        pixels[i] = (pixels[i] & 0x00FFFFFFu) | (opaque ? 0xFF000000u : 0u);
    }
    header->alpha = anySet;
}

// Many writers get a BMP's file size field wrong; the header stage made it
// irrelevant.
const char kBmpSizeWarning[] = "length and filesize do not match";
const MagickCoding kBmpCoding{"BMP", false, false, kBmpSizeWarning, nullptr};
const MagickCoding kBmpOneBitAlphaCoding{"BMP", false, false, kBmpSizeWarning, mend_one_bit_alpha};
const MagickCoding kDibCoding{"DIB"};

// Whether 16-bit bit fields give alpha exactly one bit. The alpha mask
// follows the colour masks at the same offset in a V4 or V5 header and after
// a BITMAPINFOHEADER with BI_ALPHABITFIELDS.
bool one_bit_alpha(const HeaderBytes& b, const BmpHeader& h)
{
    const bool masks =
        (h.compression == 3 && h.infoSize >= 56) || (h.compression == 6 && h.infoSize >= 40);
    return h.bits == 16 && masks && std::popcount(b.Le32(66)) == 1;
}

status_t check_bmp(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    BmpHeader h;
    if (!b.Holds(0, 18) || !parse_bmp_info(b, 14, &h))
        return B_ILLEGAL_DATA;
    h.offset = b.Le32(10);
    // The layout's offsets count from the file's start, past its header.
    BmpHeader layout = h;
    layout.infoSize += 14;
    header->alpha = bmp_alpha(b, 14, h);
    header->magick = one_bit_alpha(b, h) ? &kBmpOneBitAlphaCoding : &kBmpCoding;
    return check_bmp_layout(b, budget, layout, header);
}

// DIB: a BMP without its file header, as clipboards and some programs keep
// it. Nothing says where the rows start: after the info header, the three
// masks a 40-byte header's bit fields add, and the palette.
bool parse_dib(const HeaderBytes& b, BmpHeader* h)
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

status_t check_dib(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    BmpHeader h;
    if (!parse_dib(b, &h))
        return B_ILLEGAL_DATA;
    header->alpha = bmp_alpha(b, 0, h);
    header->magick = &kDibCoding;
    return check_bmp_layout(b, budget, h, header);
}

} // namespace

identify_result bmp_sniff(const ImageSource& source)
{
    // Two letters are a weak signature: text may begin with them. An info
    // header of a size no BMP has is no BMP, and no reader guesses.
    const HeaderBytes b(source);
    BmpHeader h;
    return starts_with(b, "BM") && b.Holds(0, 18) && parse_bmp_info(b, 14, &h) ? kMine : kNotMine;
}

// A DIB has no magic number: a plausible info header, planes, depth and
// compression, and data that starts within the file.
identify_result dib_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    BmpHeader h;
    return parse_dib(b, &h) && h.offset < b.size ? kMaybeMine : kNotMine;
}

status_t bmp_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    return check_bmp(HeaderBytes(source.data, source.size), budget, header);
}

status_t dib_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    return check_dib(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
