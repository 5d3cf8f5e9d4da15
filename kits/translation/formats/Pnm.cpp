// The Netpbm formats: PNM (P1 to P6) and PAM (P7), read by ImageMagick's
// coders; Qt's plugins read PNM by its own kind when ImageMagick cannot.
#include "FormatStages.h"

#include <MagickTranslator.h>

namespace BPrivate {

namespace {

const MagickCoding kPnmCoding{"PNM"};

const MagickCoding kPamCoding{"PAM"};

// Qt's plugin for a PNM file's kind.
const char* qt_plugin_of(const HeaderBytes& b)
{
    switch (b.U8(1)) {
    case '1':
    case '4':
        return "pbm";
    case '2':
    case '5':
        return "pgm";
    default:
        return "ppm";
    }
}

status_t check_pnm(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
    const uint32 kind = b.U8(1) - '0';
    uint64 at = 2, maxValue = 1;
    if (!pnm_number(b, &at, &header->width) || !pnm_number(b, &at, &header->height))
        return B_ILLEGAL_DATA;
    if (kind != 1 && kind != 4 &&
        (!pnm_number(b, &at, &maxValue) || maxValue == 0 || maxValue > 65535))
        return B_ILLEGAL_DATA;
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    at++; // the single blank before the raster
    const uint64 pixels = header->width * header->height;
    const uint64 samples = pixels * (kind == 3 || kind == 6 ? 3 : 1);
    uint64 needed;
    switch (kind) {
    case 1:
        needed = pixels;
        break; // one digit each, blanks optional
    case 2:
    case 3:
        needed = samples * 2 - 1;
        break; // a digit and a blank each
    case 4:
        needed = (header->width + 7) / 8 * header->height;
        break;
    default:
        needed = samples * (maxValue > 255 ? 2 : 1);
        break;
    }
    header->leastBytes = at + needed;
    return B_OK;
}

// PAM (P7): keyword lines up to ENDHDR, then the samples raw, one or two
// bytes each by MAXVAL.
bool pam_keyword(const HeaderBytes& b, uint64 at, const char* word)
{
    const size_t length = std::strlen(word);
    return b.Holds(at, length + 1) && std::memcmp(b.data + at, word, length) == 0 &&
           is_space(b.U8(at + length));
}

status_t check_pam(const HeaderBytes& b, const ReadBudget& budget, PictureHeader* header)
{
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
    if (status_t admitted = admit(*header, budget); admitted != B_OK)
        return admitted;
    header->leastBytes = at + header->width * header->height * depth * (maxValue > 255 ? 2 : 1);
    return B_OK;
}

} // namespace

identify_result pnm_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    return b.Holds(0, 3) && b.U8(0) == 'P' && b.U8(1) >= '1' && b.U8(1) <= '6' && is_space(b.U8(2))
               ? kMine
               : kNotMine;
}

identify_result pam_sniff(const ImageSource& source)
{
    const HeaderBytes b(source);
    return b.Holds(0, 3) && b.U8(0) == 'P' && b.U8(1) == '7' && b.U8(2) == '\n' ? kMine : kNotMine;
}

status_t pnm_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kPnmCoding;
    header->qtPlugin = qt_plugin_of(HeaderBytes(source.data, source.size));
    return check_pnm(HeaderBytes(source.data, source.size), budget, header);
}

status_t pam_header(const ImageSource& source, const ReadBudget& budget, PictureHeader* header)
{
    header->magick = &kPamCoding;
    return check_pam(HeaderBytes(source.data, source.size), budget, header);
}

} // namespace BPrivate
