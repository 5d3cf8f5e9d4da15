// The pieces behind read_depth_map_data, each a parser of its own so that
// tests and fuzz targets reach it directly. Private to the translation kit.
#ifndef _DEPTH_MAPS_PRIVATE_H
#define _DEPTH_MAPS_PRIVATE_H

#include <DepthMaps.h>
#include <ImageTranslator.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace BPrivate {

// --- XMP ----------------------------------------------------------------------

// The namespaces looked for, by URI: a prefix means nothing by itself.
extern const char kRdfNamespace[];
extern const char kXmpNoteNamespace[];
extern const char kGDepthNamespace[];
extern const char kContainerNamespace[];
extern const char kItemNamespace[];
extern const char kCameraNamespace[];
extern const char kDepthMapNamespace[];

// An XMP packet as a flat list of its elements in document order: the
// descendants of element i are i + 1 up to (not including) its end. Flat,
// so that a deeply nested packet costs no recursion.
class XmpDocument
{
public:
    struct Attribute
    {
        std::string space;
        std::string name;
        std::string value;
    };
    struct Element
    {
        std::string space;
        std::string name;
        std::vector<Attribute> attributes;
        // Character data of an element without child elements.
        std::string text;
        size_t end = 0;
        bool hasChildren = false;
    };

    // B_OK, or B_ILLEGAL_DATA for what is not well-formed XML or declares a
    // document type (XMP never does; refusing it keeps entities out).
    status_t Parse(std::string_view packet);

    const std::vector<Element>& Elements() const { return fElements; }

    // A property among elements [from, to): an attribute of one of them, or
    // the text of one without child elements, the first in document order.
    // RDF writes the same property either way. Null when there is none.
    const std::string* Find(size_t from, size_t to, std::string_view space,
                            std::string_view name) const;
    const std::string* Find(std::string_view space, std::string_view name) const
    {
        return Find(0, fElements.size(), space, name);
    }
    // The first element named so among [from, to), or npos.
    size_t FindElement(size_t from, size_t to, std::string_view space,
                       std::string_view name) const;

    static constexpr size_t npos = size_t(-1);

private:
    friend struct XmpBuilder;
    std::vector<Element> fElements;
};

// --- JPEG ---------------------------------------------------------------------

// What a JPEG file holds for depth maps, found by walking its segments.
struct JpegLayout
{
    int32 width = 0; // from the frame header, as stored
    int32 height = 0;
    int32 orientation = 1;
    // Standard XMP packets (after their "http://ns.adobe.com/xap/1.0/"
    // header), in file order.
    std::vector<std::string_view> xmp;
    struct ExtendedChunk
    {
        std::string_view guid;
        uint32 fullLength;
        uint32 offset;
        std::string_view data;
    };
    std::vector<ExtendedChunk> extended;
    // Just past the end-of-image marker; 0 when the scans never end.
    size_t end = 0;
};

// B_OK, B_NO_TRANSLATOR for what is no JPEG, B_ILLEGAL_DATA for segments
// that run past the file.
status_t walk_jpeg(const uint8* data, size_t size, JpegLayout* layout);

// The extended XMP named by guid, its chunks put in place by their offsets.
// B_NAME_NOT_FOUND when no chunk carries that GUID; B_ILLEGAL_DATA when the
// chunks disagree on the length, overrun it, or leave a part uncovered.
status_t join_extended_xmp(const JpegLayout& layout, std::string_view guid, std::string* joined,
                           const char** problem);

// Base64 as XMP carries it (whitespace ignored); false for anything else.
bool decode_base64(std::string_view text, std::string* bytes);

// --- Depth maps ---------------------------------------------------------------

// Each reader: B_OK with *map filled, B_NAME_NOT_FOUND when the file
// carries no depth map of its kind, otherwise a failure (see DepthMaps.h)
// with *problem, when set, saying what is wrong.
status_t read_gdepth(const JpegLayout& layout, depth_map* map, const char** problem);
status_t read_dynamic_depth(const uint8* data, size_t size, const JpegLayout& layout,
                            depth_map* map, const char** problem);
status_t read_heif_depth(const uint8* data, size_t size, const ReadBudget& budget,
                         depth_map* map, const char** problem);

// The primary item's rotation and mirroring ('irot', 'imir', in the order
// its properties list them) as the EXIF orientation that does the same.
int32 heif_primary_orientation(const uint8* data, size_t size);

// values turned and mirrored as EXIF orientation says, as apply_orientation
// turns a bitmap; width and height follow.
void orient_depth_map(depth_map* map, int32 orientation);

} // namespace BPrivate

#endif // _DEPTH_MAPS_PRIVATE_H
