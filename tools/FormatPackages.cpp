#include "FormatPackages.h"

#include <strings.h>

namespace fuse {

namespace {

// Names and extensions of the formats read and not written: HEIF and AVIF
// (libheif reads them; lossless AVIF is not exact), GIF, JPEG 2000, OpenEXR
// and PFM, and the long tail of the readers (icons and one-bit formats are
// read, but writing them would shrink or dither the repeats away).
const char* const kReadOnly[] = {
    "heic", "heif", "hif",  "avif", "gif", "jp2", "j2k", "j2c", "jpf",  "jpx", "exr",
    "pfm",  "tga",  "psd",  "dds",  "sgi", "rgb", "pcx", "ico", "cur",  "icns", "pbm",
    "pnm",  "xbm",  "wbmp", "mng",
};

} // namespace

std::string UnknownFormatMessage(const char* name)
{
    const std::string text = name != nullptr ? name : "";
    for (const char* format : kReadOnly)
        if (strcasecmp(format, text.c_str()) == 0)
            return "format '" + text + "' is read but not written (see --list-formats)";
    return "unknown format '" + text + "' (see --list-formats)";
}

} // namespace fuse
