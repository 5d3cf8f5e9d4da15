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

#include <any>
#include <string>
#include <vector>

class BBitmap;
class BPositionIO;

namespace BPrivate {

struct PictureFormat;

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
    // The whole file's length when data holds only its first bytes (the
    // sniff before the file is read whole); 0 when data is the whole file.
    uint64 wholeSize = 0;

    uint64 WholeSize() const { return wholeSize != 0 ? wholeSize : size; }
};

// How sure a reader is that a source is its format.
enum identify_result : int32
{
    kNotMine = 0,
    kMaybeMine = 1, // no magic number (TGA, ...): plausible header only
    kMine = 2,      // magic number found
};

// What a format's header stage learns before any pixel is decoded. The
// reading pipeline allocates the bitmap from it (stored width x height,
// alpha), refuses a file shorter than leastBytes, and turns the decoded
// picture by orientation afterwards.
struct MagickCoding;

struct PictureHeader
{
    uint64 width = 0; // as stored, before orientation
    uint64 height = 0;
    bool alpha = false;
    // EXIF's meaning, 1 to 8. A decoder may still set it when the format
    // keeps it after the pixels (a PNG's eXIf chunk).
    int32 orientation = 1;
    // Which picture of the file is read: 0 the first frame or page; an
    // icon file's largest picture.
    uint32 frame = 0;
    // The fewest bytes the file needs to hold the declared picture: its
    // data's offset plus what its layout needs at the very least.
    uint64 leastBytes = 0;
    // What the header stage parsed, for its format's decoder (the format's
    // own type): nothing is parsed twice.
    std::any state;
    // How ImageMagick decodes the file, when the format's module has it do so
    // (MagickTranslator.h); null otherwise.
    const MagickCoding* magick = nullptr;
    // Qt's plugin for this file when it is not the format's (a PNM file's
    // own kind), and whether the plugin tells no size before decoding, so
    // that the picture of the header's size is looked for among the file's.
    const char* qtPlugin = nullptr;
    bool qtPicksBySize = false;
    // The format's entry in the table; set by the pipeline.
    const PictureFormat* format = nullptr;
};

// A format a translator writes.
struct WriteFormat
{
    uint32 type;            // 'PNG ', ...
    const char* shortName;  // "png": also the usual extension
    const char* extensions; // space separated, short name first
    const char* mime;
    const char* name; // "PNG image"
    bool lossless;    // every pixel written exactly
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

// A decoder behind the reading pipeline, and a writer. The pipeline sniffs
// and reads the header through the table of formats (PictureFormats.h);
// Decode only fills the bitmap it is given.
class ImageTranslator
{
public:
    virtual ~ImageTranslator() = default;

    // For diagnostics: "png", "jpeg", "qt", ...
    virtual const char* Name() const = 0;

    // The sniff and the header stage of a format this translator owns (the
    // library formats); the long tail's live in their modules (formats/).
    virtual identify_result Identify(const ImageSource& source) const
    {
        (void)source;
        return kNotMine;
    }
    virtual status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                                PictureHeader* header) const
    {
        (void)source;
        (void)budget;
        (void)header;
        return B_NO_TRANSLATOR;
    }

    // Decodes the picture a header stage described into bitmap, which the
    // pipeline allocated (header's size and alpha, cleared) and which
    // stays the pipeline's. Every pixel the file defines is written as
    // stored; a transparent pixel keeps its colour. B_NO_TRANSLATOR hands the
    // file to the format's next decoder; B_ILLEGAL_DATA for a corrupt or
    // truncated file, whose picture is never kept; B_NO_MEMORY.
    virtual status_t Decode(const ImageSource& source, const ReadBudget& budget,
                            PictureHeader* header, BBitmap* bitmap) const
    {
        (void)source;
        (void)budget;
        (void)header;
        (void)bitmap;
        return B_NO_TRANSLATOR;
    }

    // The whole reading pipeline, with this translator as the only decoder:
    // B_OK and a new bitmap in *outBitmap; otherwise *outBitmap is null and
    // the status says why: B_NO_TRANSLATOR (not a format it decodes),
    // B_ILLEGAL_DATA (corrupt or truncated), B_NO_MEMORY (over the budget or
    // out of memory).
    status_t Read(const ImageSource& source, const ReadBudget& budget, BBitmap** outBitmap) const;

    // The formats this translator writes: its one format of the table, none
    // for a reader only.
    virtual std::vector<WriteFormat> OutputFormats() const;
    // The most pixels a side the format holds when written as type; 0 when
    // the bitmap's own limits come first.
    virtual uint32 LargestSide(uint32 type) const
    {
        (void)type;
        return 0;
    }
    // Encodes a valid bitmap (any colour space the translator accepts; at
    // least B_RGB32, whose alpha byte is ignored, and B_RGBA32) as type,
    // writing at destination's position. B_ERROR when the encoder fails,
    // the destination's status when writing fails. A writer of one format
    // writes as WriteWith does without settings.
    virtual status_t Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const;
    // The same, recording what settings ask where the format can. A writer
    // of one format checks the type, the bitmap (Takes) and the destination
    // here, then runs Encode; any other translator writes as Write does.
    virtual status_t WriteWith(const BBitmap& bitmap, uint32 type, BPositionIO* destination,
                               const WriteSettings& settings) const;

protected:
    // writes: the one format of the table this translator writes, 0 for
    // none or for a translator that lists its own formats.
    explicit ImageTranslator(uint32 writes = 0) : fWrites(writes) {}

    // Whether the encoder takes this bitmap: by default a valid B_RGB32 or
    // B_RGBA32 one.
    virtual bool Takes(const BBitmap& bitmap) const;
    // The one format's encoder, given a bitmap it takes and a destination.
    virtual status_t Encode(const BBitmap& bitmap, BPositionIO* destination,
                            const WriteSettings& settings) const
    {
        (void)bitmap;
        (void)destination;
        (void)settings;
        return B_NO_TRANSLATOR;
    }

private:
    uint32 fWrites;
};

// A translator whose header stage and decoder are one routine of its
// format, run without a bitmap for the header alone and with one to decode.
template <status_t (*Run)(const ImageSource&, const ReadBudget&, PictureHeader*, BBitmap*)>
class SingleRoutineTranslator : public ImageTranslator
{
public:
    using ImageTranslator::ImageTranslator;

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override
    {
        return Run(source, budget, header, nullptr);
    }

    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override
    {
        return Run(source, budget, header, bitmap);
    }
};

// Every translator, ours first in the order of preference, Qt's image
// plugins last (they take what none of ours does).
const std::vector<const ImageTranslator*>& image_translators();

// Helpers shared by the translators.

// A new picture-sized bitmap of width x height, B_RGBA32 when alpha is set
// and B_RGB32 otherwise, bounds from (0, 0), cleared as every new bitmap
// is; null when the budget refuses it or memory runs out. The reading
// pipeline makes the one a picture is decoded into.
BBitmap* new_picture(uint64 width, uint64 height, bool alpha, const ReadBudget& budget);

// The orientation (1 to 8, 1 when absent or unreadable) in an EXIF block:
// a TIFF structure, optionally preceded by "Exif\0\0".
int32 exif_orientation(const uint8* data, size_t size);

// The bitmap turned and mirrored as an EXIF orientation says. Returns bitmap
// itself for orientation 1 to 4 (turned in place) or an unknown value;
// otherwise a new bitmap, the old one deleted; null (the old one deleted
// too) when memory runs out.
BBitmap* apply_orientation(BBitmap* bitmap, int32 orientation);

} // namespace BPrivate

#endif // _IMAGE_TRANSLATOR_H
