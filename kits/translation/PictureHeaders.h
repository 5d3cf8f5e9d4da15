// What a picture's header declares, checked against the file before any
// decoder allocates for it. A few bytes may claim gigapixels: the size is
// held against the budget, and against what the bytes present can encode
// (raw layouts exactly, run-length layouts by walking their runs), so a
// truncated or inflated file is refused before it costs anything.
//
// No library here: the readers of the long tail and Qt's fallback call these
// before handing the bytes to a decoder.
#ifndef _PICTURE_HEADERS_H
#define _PICTURE_HEADERS_H

#include <ImageTranslator.h>

namespace BPrivate {

enum picture_format : int32
{
    kUnknownFormat = 0,
    kBmpFormat,
    kTgaFormat,
    kPsdFormat,
    kDdsFormat,
    kSgiFormat,
    kPcxFormat,
    kIcoFormat, // icons and cursors
    kPnmFormat, // P1 to P6
    kXbmFormat,
    kXpmFormat,
};

struct DeclaredPicture
{
    picture_format format = kUnknownFormat;
    identify_result certainty = kNotMine;
    uint64 width = 0;
    uint64 height = 0;
};

// The format of a source among those above, by its header; a TGA (which has
// no magic number) only when its header is plausible, and the extension
// breaks a tie with a cursor, whose header a TGA's can resemble.
DeclaredPicture sniff_picture(const ImageSource& source);

// B_OK when the picture's declared size is within the budget and the bytes
// present can hold it; B_NO_MEMORY over the budget; B_ILLEGAL_DATA when the
// header is broken or the data is short; B_NO_TRANSLATOR for a format not
// listed above (nothing to check). Costs at most one pass over the bytes.
status_t check_declared_picture(const ImageSource& source, const ReadBudget& budget,
                                DeclaredPicture* declared = nullptr);

} // namespace BPrivate

#endif // _PICTURE_HEADERS_H
