// The header stages of the formats no library of ours parses: what a
// picture's header declares, checked against the file before any decoder
// allocates for it. A few bytes may claim gigapixels: the size is held
// against the budget, and against what the bytes present can encode (raw
// layouts exactly, run-length layouts by walking their runs, compressed ones
// by their best ratio), so a truncated or inflated file is refused before it
// costs anything. Each format is known here once, whoever decodes it
// (ImageMagick's coders, or Qt's plugins).
//
// Each sniff looks at the first bytes only (ImageSource::wholeSize gives the
// file's length); each header stage at the whole file, for at most one pass.
#ifndef _PICTURE_HEADERS_H
#define _PICTURE_HEADERS_H

#include <ImageTranslator.h>

namespace BPrivate {

// PictureHeader::variant of the formats below, for their decoders.
enum long_tail_format : int32
{
    kUnknownTail = 0,
    kBmpTail,
    kTgaTail,
    kPsdTail,
    kDdsTail, // ImageMagick's DDS layouts; the rest are DdsTranslator's
    kSgiTail,
    kPcxTail,
    kIcoTail, // icons and cursors
    kPnmTail, // P1 to P6
    kXbmTail,
    kXpmTail,
    kMngTail,
    kIcnsTail,
    kWbmpTail,
    kDibTail, // a BMP without its file header
    kPamTail, // P7
};

#define PELLARA_LONG_TAIL_STAGES(name)                                                            \
    identify_result name##_sniff(const ImageSource& source);                                      \
    status_t name##_header(const ImageSource& source, const ReadBudget& budget,                   \
                           PictureHeader* header)

PELLARA_LONG_TAIL_STAGES(bmp);
PELLARA_LONG_TAIL_STAGES(dib);
PELLARA_LONG_TAIL_STAGES(pam);
PELLARA_LONG_TAIL_STAGES(tga);
PELLARA_LONG_TAIL_STAGES(psd);
PELLARA_LONG_TAIL_STAGES(sgi);
PELLARA_LONG_TAIL_STAGES(pcx);
PELLARA_LONG_TAIL_STAGES(ico);
PELLARA_LONG_TAIL_STAGES(pnm);
PELLARA_LONG_TAIL_STAGES(xbm);
PELLARA_LONG_TAIL_STAGES(xpm);
PELLARA_LONG_TAIL_STAGES(mng);
PELLARA_LONG_TAIL_STAGES(icns);
PELLARA_LONG_TAIL_STAGES(wbmp);

#undef PELLARA_LONG_TAIL_STAGES

// Deflate's best ratio: a compressed layout cannot hold more than this many
// bytes (or pixels, for the laxer bound) per byte present.
constexpr uint64 kMaxInflation = 1032;

// The least bytes a compressed picture of so many pixels needs, at offset.
constexpr uint64 least_compressed_bytes(uint64 offset, uint64 pixels)
{
    return offset + (pixels + kMaxInflation - 1) / kMaxInflation;
}

// Whether a PNG stream held in data (an icon's picture, an MNG's) declares
// a size within the budget that its bytes can hold; its size in *width and
// *height. B_OK, B_NO_MEMORY or B_ILLEGAL_DATA.
status_t check_embedded_png(const uint8* data, uint64 size, const ReadBudget& budget,
                            uint64* width, uint64* height);

} // namespace BPrivate

#endif // _PICTURE_HEADERS_H
