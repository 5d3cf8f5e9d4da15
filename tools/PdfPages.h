// A stereogram as a PDF at its true printed size: one page the picture's
// own size at its resolution, or a poster tiled onto sheets of paper with
// an overlap to glue and trim marks. The picture goes in losslessly, so a
// printed repeat is exactly the one made.
#ifndef FUSE_PDF_PAGES_H
#define FUSE_PDF_PAGES_H

#include <SupportDefs.h>

#include <string>
#include <vector>

class BBitmap;
class BMallocIO;

namespace fuse {

enum class Paper
{
    kNone, // one page the picture's size
    kA4,
    kLetter,
    kA3,
};

// From --pages' argument (a4, letter, a3); false for another.
bool PaperFromName(const std::string& name, Paper* paper);

// Where each sheet's share of the poster lies, in the picture's pixels,
// and whether the sheets are turned to landscape.
struct PageTile
{
    int32 left, top, width, height;
};
struct PageLayout
{
    double widthPoints = 0, heightPoints = 0; // of every sheet
    std::vector<PageTile> tiles;              // row by row
};

// The sheets a picture of width x height pixels at dpi takes on paper:
// 10 mm margins that printers cannot reach, 10 mm of overlap between
// neighbours, the sheet turned whichever way takes fewer.
PageLayout LayOutPages(int32 width, int32 height, double dpi, Paper paper);

// picture as a PDF in *out, at dpi (72 when 0); B_OK, or a status with *why
// in words.
status_t EncodePdf(const BBitmap* picture, double dpi, Paper paper, BMallocIO* out,
                   std::string* why);

} // namespace fuse

#endif // FUSE_PDF_PAGES_H
