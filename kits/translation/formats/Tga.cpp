// TGA (Truevision): no magic number, only a plausible header; read by
// ImageMagick's coder.
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

struct TgaHeader
{
    uint32 idLength, mapType, type, mapLength, mapDepth, width, height, depth, descriptor;
    uint64 dataOffset;
};

bool parse_tga(const HeaderBytes& b, TgaHeader* h)
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

bool plausible_tga(const HeaderBytes& b)
{
    TgaHeader tga;
    return parse_tga(b, &tga);
}

const MagickCoding kTgaCoding{"TGA"};

status_t check_tga(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    TgaHeader h;
    if (!parse_tga(b, &h))
        return B_ILLEGAL_DATA;
    header->width = h.width;
    header->height = h.height;
    header->alpha = (h.descriptor & 0x0F) != 0;
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
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

} // namespace

bool plausible_named_tga(const ImageSource& source)
{
    return extension_is(source, {"tga", "icb", "vda", "vst"}) && plausible_tga(HeaderBytes(source));
}

identify_result tga_sniff(const ImageSource& source)
{
    return plausible_tga(HeaderBytes(source)) ? kMaybeMine : kNotMine;
}

status_t tga_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kTgaCoding;
    return check_tga(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
