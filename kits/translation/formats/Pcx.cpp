// PCX (ZSoft): no magic number, a plausible header; read by ImageMagick's
// coder.
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

bool pcx_header_valid(const HeaderBytes& b)
{
    if (!b.Holds(0, 128) || b.U8(0) != 0x0A)
        return false;
    const uint32 version = b.U8(1), encoding = b.U8(2), bits = b.U8(3), planes = b.U8(65);
    return (version == 0 || (version >= 2 && version <= 5)) && encoding <= 1 &&
           (bits == 1 || bits == 2 || bits == 4 || bits == 8) && planes >= 1 && planes <= 4 &&
           b.Le16(8) >= b.Le16(4) && b.Le16(10) >= b.Le16(6) && b.Le16(66) > 0;
}

const MagickCoding kPcxCoding{"PCX"};
// A one-plane 1-bit PCX is black and white, a set bit white: the palette in
// its header is the 16-colour one, unused here and often left empty, as
// Pillow and FFmpeg read it. ImageMagick reads it through that palette, with
// a set bit as index 0.
const MagickCoding kMonoPcxCoding{"PCX", false, true};

status_t check_pcx(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    if (!pcx_header_valid(b))
        return B_ILLEGAL_DATA;
    header->width = uint64(b.Le16(8)) - b.Le16(4) + 1;
    header->height = uint64(b.Le16(10)) - b.Le16(6) + 1;
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    const uint64 bits = b.U8(3), planes = b.U8(65), lineBytes = b.Le16(66);
    header->magick = bits == 1 && planes == 1 ? &kMonoPcxCoding : &kPcxCoding;
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

} // namespace

identify_result pcx_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    return pcx_header_valid(b) && !plausible_named_tga(source) ? kMaybeMine : kNotMine;
}

status_t pcx_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kPcxCoding;
    return check_pcx(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
