// The translators behind the translation kit: one class per format family,
// each on the library made for that format. Private to the kit.
//
// A reader decodes from the whole file held in memory and hands back a
// B_RGB32 bitmap (B_RGBA32 when the picture has alpha) whose every pixel it
// has written. A writer encodes a bitmap into a BPositionIO, usually an
// in-memory one, so nothing is written to a file before the encoder is done.
#ifndef _IMAGE_TRANSLATOR_H
#define _IMAGE_TRANSLATOR_H

#include <BitmapReading.h>
#include <SupportDefs.h>

#include <string>
#include <vector>

class BBitmap;
class BPositionIO;

namespace BPrivate {

// What one read may cost. Every reader checks the declared size against it
// before allocating anything picture-sized, and keeps within it while
// decoding.
struct ReadBudget
{
    static constexpr uint64 kDefaultMaxPixels = kDefaultMaxPicturePixels;

    uint64 maxPixels = kDefaultMaxPixels;
    // Metadata (text chunks, ICC profiles, EXIF, ...) kept in memory.
    uint64 maxAncillaryBytes = uint64(8) << 20;
    // Progressive JPEG scans and the like: each one is a pass over the picture.
    uint32 maxScans = 256;

    // Whether a width x height picture may be decoded: not empty, within
    // maxPixels and within what a BBitmap of 4-byte pixels can hold.
    bool Admits(uint64 width, uint64 height) const;
};

// The budget GetBitmapFile and ReadBitmapFile use; a tool may raise the
// pixel ceiling up to what a BBitmap can hold.
ReadBudget& default_read_budget();

// A file to read, whole, in memory.
struct ImageSource
{
    const uint8* data = nullptr;
    size_t size = 0;
    // The file name's extension, lower case, without the dot; may be empty.
    // Used only to break a tie between formats without a magic number.
    std::string extension;
};

// How sure a reader is that a source is its format.
enum identify_result : int32
{
    kNotMine = 0,
    kMaybeMine = 1, // no magic number (TGA, ...): plausible header only
    kMine = 2,      // magic number found
};

// A format a translator writes.
struct WriteFormat
{
    uint32 type;            // 'PNG ', ...
    const char* shortName;  // "png": also the usual extension
    const char* extensions; // space separated, short name first
    const char* mime;
    const char* name;       // "PNG image"
    bool lossless;          // every pixel written exactly
    float quality;
    float capability;
};

// What a write may record beside the pixels, from the roster's ioExtension.
struct WriteSettings
{
    // The print resolution in dots per inch, 0 for none: written where the
    // format has a place for it.
    uint32 dotsPerInch = 0;
};

class ImageTranslator
{
public:
    virtual ~ImageTranslator() = default;

    // For diagnostics: "png", "jpeg", "qt", ...
    virtual const char* Name() const = 0;

    virtual identify_result Identify(const ImageSource& source) const
    {
        (void)source;
        return kNotMine;
    }
    // B_OK and a new bitmap in *outBitmap; otherwise *outBitmap is null and
    // the status says why: B_NO_TRANSLATOR (not this format after all),
    // B_ILLEGAL_DATA (corrupt or truncated), B_NO_MEMORY (over the budget or
    // out of memory). Orientation metadata is applied, as viewers do.
    virtual status_t Read(const ImageSource& source, const ReadBudget& budget,
                          BBitmap** outBitmap) const
    {
        (void)source;
        (void)budget;
        *outBitmap = nullptr;
        return B_NO_TRANSLATOR;
    }

    // The formats this translator writes, none for a reader only.
    virtual std::vector<WriteFormat> OutputFormats() const { return {}; }
    // Encodes a valid bitmap (any colour space the translator accepts; at
    // least B_RGB32, whose alpha byte is ignored, and B_RGBA32) as type,
    // writing at destination's position. B_ERROR when the encoder fails,
    // the destination's status when writing fails.
    virtual status_t Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const
    {
        (void)bitmap;
        (void)type;
        (void)destination;
        return B_NO_TRANSLATOR;
    }
    // The same, recording what settings ask where the format can; a
    // translator whose format has no such place writes as Write does.
    virtual status_t WriteWith(const BBitmap& bitmap, uint32 type, BPositionIO* destination,
                               const WriteSettings& settings) const
    {
        (void)settings;
        return Write(bitmap, type, destination);
    }
};

// Every translator, ours first in the order of preference, Qt's image
// plugins last (they take what none of ours does).
const std::vector<const ImageTranslator*>& image_translators();

// Helpers shared by the translators.

// A new picture-sized bitmap of width x height, B_RGBA32 when alpha is set
// and B_RGB32 otherwise, bounds from (0, 0); null when the budget refuses it
// or memory runs out. Its pixels are not initialised: the reader writes
// every one.
BBitmap* new_picture(uint64 width, uint64 height, bool alpha, const ReadBudget& budget);

// The orientation (1 to 8, 1 when absent or unreadable) in an EXIF block:
// a TIFF structure, optionally preceded by "Exif\0\0".
int32 exif_orientation(const uint8* data, size_t size);

// The bitmap turned and mirrored as an EXIF orientation says. Returns bitmap
// itself for orientation 1 or an unknown value; otherwise a new bitmap, the
// old one deleted; null (the old one deleted too) when memory runs out.
BBitmap* apply_orientation(BBitmap* bitmap, int32 orientation);

} // namespace BPrivate

#endif // _IMAGE_TRANSLATOR_H
