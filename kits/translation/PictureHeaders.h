// The header stages of the formats no library of ours parses: what a
// picture's header declares, checked against the file before any decoder
// allocates for it. A few bytes may claim gigapixels: the size is held
// against the budget, and against what the bytes present can encode (raw
// layouts exactly, run-length layouts by walking their runs, compressed ones
// by their best ratio), so a truncated or inflated file is refused before it
// costs anything. Each format is known here once, whoever decodes it
// (ImageMagick's coders, or Qt's plugins), in its own module under formats/,
// with what its decoder must know and mend.
//
// Each sniff looks at the first bytes only (ImageSource::wholeSize gives the
// file's length); each header stage at the whole file, for at most one pass.
#ifndef _PICTURE_HEADERS_H
#define _PICTURE_HEADERS_H

#include <ImageTranslator.h>

namespace BPrivate {

// Each format's sniff and header stage, from its module (formats/), for the
// table of formats.
identify_result bmp_sniff(const ImageSource& source);
status_t bmp_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result dib_sniff(const ImageSource& source);
status_t dib_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result tga_sniff(const ImageSource& source);
status_t tga_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result psd_sniff(const ImageSource& source);
status_t psd_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result sgi_sniff(const ImageSource& source);
status_t sgi_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result pcx_sniff(const ImageSource& source);
status_t pcx_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result ico_sniff(const ImageSource& source);
status_t ico_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result pnm_sniff(const ImageSource& source);
status_t pnm_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result pam_sniff(const ImageSource& source);
status_t pam_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result xbm_sniff(const ImageSource& source);
status_t xbm_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result xpm_sniff(const ImageSource& source);
status_t xpm_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result mng_sniff(const ImageSource& source);
status_t mng_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result icns_sniff(const ImageSource& source);
status_t icns_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);
identify_result wbmp_sniff(const ImageSource& source);
status_t wbmp_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header);

// Whether a source is plausibly a TGA and named as one: icons and PCX files,
// whose headers a TGA's may resemble, give way to it.
bool plausible_named_tga(const ImageSource& source);

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
status_t check_embedded_png(const uint8* data, uint64 size, const ReadBudget& budget, uint64* width,
                            uint64* height);

} // namespace BPrivate

#endif // _PICTURE_HEADERS_H
