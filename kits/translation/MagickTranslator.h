// ImageMagick's core library, restricted to the coders our formats name,
// as a decoder the long tail's modules (formats/) call: each module's header
// stage says which coder reads the file and what to mend in its reading,
// after the header has been held against the budget.
#ifndef _MAGICK_TRANSLATOR_H
#define _MAGICK_TRANSLATOR_H

#include <ImageTranslator.h>

class BBitmap;

namespace BPrivate {

// How ImageMagick reads one format, from the format's own module. Every
// coding made is noted, so that ImageMagick's policy allows exactly the
// coders the modules name: a module's coding is made before any reading.
struct MagickCoding
{
    MagickCoding(const char* coder, bool everyPicture = false, bool setBitIsWhite = false,
                 const char* harmlessWarning = nullptr,
                 void (*mend)(PictureHeader* header, BBitmap* bitmap) = nullptr,
                 const char* inner = nullptr);
    MagickCoding(const MagickCoding&) = delete;
    MagickCoding& operator=(const MagickCoding&) = delete;

    const char* coder; // "PCX"
    // Every picture of the file is read and the largest kept (an icon's);
    // otherwise only the first (a PSD's composite, without its layers).
    bool everyPicture = false;
    // A two-colour picture is black and white, a set bit white, whatever
    // its palette says.
    bool setBitIsWhite = false;
    // A warning this coder gives on sound files, not a sign of damage.
    const char* harmlessWarning = nullptr;
    // Mends the picture read, its alpha in header->alpha, where the coder
    // reads the format differently from other readers.
    void (*mend)(PictureHeader* header, BBitmap* bitmap) = nullptr;
    // A coder the coder calls for what the file holds inside (an icon's
    // PNG pictures), or null.
    const char* inner = nullptr;
};

// Decodes with the coding the header stage put in PictureHeader::magick;
// B_NO_TRANSLATOR without one.
const ImageTranslator* magick_translator();

} // namespace BPrivate

#endif // _MAGICK_TRANSLATOR_H
