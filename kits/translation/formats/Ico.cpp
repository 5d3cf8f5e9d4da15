// Windows icons and cursors (ICO, CUR): the largest picture, BMP or PNG,
// read by ImageMagick's coder.
#include "BmpInfo.h"
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

bool ico_directory_valid(const HeaderBytes& b)
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

const MagickCoding kIcoCoding{"ICO", true, false, nullptr, nullptr, "PNG"};

status_t check_ico(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    header->alpha = true; // the transparency mask
    if (!ico_directory_valid(b))
        return B_ILLEGAL_DATA;
    const uint64 count = b.Le16(4);
    for (uint64 i = 0; i < count; i++) {
        const uint64 entry = 6 + i * 16, size = b.Le32(entry + 8), offset = b.Le32(entry + 12);
        const HeaderBytes image(b.data + offset, size);
        PictureHeader sub;
        if (image.Has(0, 24) && std::memcmp(image.data, kPngSignature, 8) == 0) {
            if (status_t status =
                    check_embedded_png(image.data, size, budget, &sub.width, &sub.height);
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
            if (status_t admitted = admit(sub, budget); admitted != B_OK)
                return admitted;
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

} // namespace

identify_result ico_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    return ico_directory_valid(b) && !plausible_named_tga(source) ? kMine : kNotMine;
}

status_t ico_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kIcoCoding;
    return check_ico(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
