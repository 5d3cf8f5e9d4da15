#include <DepthMapsPrivate.h>

#include <Bitmap.h>
#include <BitmapReading.h>
#include <CodecSupport.h>
#include <HeifTranslator.h>
#include <IsoBoxes.h>
#include <JpegSegments.h>
#include <LibheifHandles.h>
#include <ReadingPipeline.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>

#include <expat.h>
#include <libheif/heif.h>

namespace BPrivate {

const char kRdfNamespace[] = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
const char kXmpNoteNamespace[] = "http://ns.adobe.com/xmp/note/";
const char kGDepthNamespace[] = "http://ns.google.com/photos/1.0/depthmap/";
const char kContainerNamespace[] = "http://ns.google.com/photos/1.0/container/";
const char kItemNamespace[] = "http://ns.google.com/photos/1.0/container/item/";
const char kCameraNamespace[] = "http://ns.google.com/photos/dd/1.0/camera/";
const char kDepthMapNamespace[] = "http://ns.google.com/photos/dd/1.0/depthmap/";

namespace {

const char kDeviceNamespace[] = "http://ns.google.com/photos/dd/1.0/device/";

// Some writers use these prefixes without declaring them; the names are
// unambiguous enough to be read anyway.
const std::pair<const char*, const char*> kUsualPrefixes[] = {
    {"rdf", kRdfNamespace},           {"xmpNote", kXmpNoteNamespace},
    {"GDepth", kGDepthNamespace},     {"Container", kContainerNamespace},
    {"Item", kItemNamespace},         {"Camera", kCameraNamespace},
    {"DepthMap", kDepthMapNamespace}, {"Device", kDeviceNamespace},
};

} // namespace

// --- XMP ----------------------------------------------------------------------

// Expat's callbacks build the flat element list; prefixes are resolved here
// (expat's own namespace processing refuses an undeclared prefix outright).
struct XmpBuilder
{
    XmpDocument* document = nullptr;
    XML_Parser parser = nullptr;
    std::vector<size_t> open;
    // Each prefix's declarations, innermost last, and per open element the
    // prefixes it declared.
    std::unordered_map<std::string, std::vector<std::string>> prefixes;
    std::vector<std::vector<std::string>> declared;
    bool sawRoot = false;
    bool rootClosed = false;
    bool refused = false;

    std::string Resolve(std::string_view qualified, std::string* local, bool isAttribute)
    {
        const size_t colon = qualified.find(':');
        std::string prefix(colon == std::string_view::npos ? "" : qualified.substr(0, colon));
        *local =
            std::string(colon == std::string_view::npos ? qualified : qualified.substr(colon + 1));
        // An unprefixed attribute is in no namespace.
        if (prefix.empty() && isAttribute)
            return std::string();
        auto found = prefixes.find(prefix);
        if (found != prefixes.end() && !found->second.empty())
            return found->second.back();
        for (const auto& [name, uri] : kUsualPrefixes) {
            if (prefix == name)
                return uri;
        }
        return prefix.empty() ? std::string() : "undeclared:" + prefix;
    }

    static void Start(void* user, const XML_Char* name, const XML_Char** attributes)
    {
        auto* self = static_cast<XmpBuilder*>(user);
        if (self->rootClosed) {
            // A second root: not XML, and not an XMP packet.
            self->refused = true;
            XML_StopParser(self->parser, XML_FALSE);
            return;
        }
        self->sawRoot = true;
        std::vector<std::string> declarations;
        for (size_t i = 0; attributes[i] != nullptr; i += 2) {
            std::string_view key(attributes[i]);
            if (key == "xmlns" || key.rfind("xmlns:", 0) == 0) {
                std::string prefix(key == "xmlns" ? "" : key.substr(6));
                self->prefixes[prefix].emplace_back(attributes[i + 1]);
                declarations.push_back(std::move(prefix));
            }
        }
        std::vector<XmpDocument::Element>& elements = self->document->fElements;
        if (!self->open.empty())
            elements[self->open.back()].hasChildren = true;
        XmpDocument::Element element;
        element.space = self->Resolve(name, &element.name, false);
        for (size_t i = 0; attributes[i] != nullptr; i += 2) {
            std::string_view key(attributes[i]);
            if (key == "xmlns" || key.rfind("xmlns:", 0) == 0)
                continue;
            XmpDocument::Attribute attribute;
            attribute.space = self->Resolve(key, &attribute.name, true);
            attribute.value = attributes[i + 1];
            element.attributes.push_back(std::move(attribute));
        }
        self->open.push_back(elements.size());
        self->declared.push_back(std::move(declarations));
        elements.push_back(std::move(element));
    }

    static void End(void* user, const XML_Char*)
    {
        auto* self = static_cast<XmpBuilder*>(user);
        std::vector<XmpDocument::Element>& elements = self->document->fElements;
        XmpDocument::Element& element = elements[self->open.back()];
        element.end = elements.size();
        if (element.hasChildren)
            std::string().swap(element.text);
        for (const std::string& prefix : self->declared.back())
            self->prefixes[prefix].pop_back();
        self->declared.pop_back();
        self->open.pop_back();
        self->rootClosed = self->open.empty();
    }

    static void Text(void* user, const XML_Char* text, int length)
    {
        auto* self = static_cast<XmpBuilder*>(user);
        if (self->open.empty() || length <= 0)
            return;
        XmpDocument::Element& element = self->document->fElements[self->open.back()];
        if (!element.hasChildren)
            element.text.append(text, size_t(length));
    }

    static void Doctype(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        auto* self = static_cast<XmpBuilder*>(user);
        self->refused = true;
        XML_StopParser(self->parser, XML_FALSE);
    }
};

status_t XmpDocument::Parse(std::string_view packet)
{
    fElements.clear();
    if (packet.size() > size_t(INT_MAX))
        return B_ILLEGAL_DATA;
    std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
        XML_ParserCreate("UTF-8"), &XML_ParserFree);
    if (!parser)
        return B_NO_MEMORY;
    XmpBuilder builder;
    builder.document = this;
    builder.parser = parser.get();
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), &XmpBuilder::Start, &XmpBuilder::End);
    XML_SetCharacterDataHandler(parser.get(), &XmpBuilder::Text);
    XML_SetStartDoctypeDeclHandler(parser.get(), &XmpBuilder::Doctype);
    XML_Status status;
    try {
        status = XML_Parse(parser.get(), packet.data(), int(packet.size()), XML_TRUE);
    } catch (const std::bad_alloc&) {
        fElements.clear();
        return B_NO_MEMORY;
    }
    // Whatever follows the packet's one root element (padding, a writer's
    // stray bytes) is no part of it.
    const bool whole = builder.sawRoot && builder.rootClosed && !builder.refused;
    if (status != XML_STATUS_OK && !whole) {
        fElements.clear();
        return B_ILLEGAL_DATA;
    }
    if (!whole) {
        fElements.clear();
        return B_ILLEGAL_DATA;
    }
    return B_OK;
}

const std::string* XmpDocument::Find(size_t from, size_t to, std::string_view space,
                                     std::string_view name) const
{
    to = std::min(to, fElements.size());
    for (size_t i = from; i < to; i++) {
        const Element& element = fElements[i];
        if (!element.hasChildren && element.name == name && element.space == space)
            return &element.text;
        for (const Attribute& attribute : element.attributes) {
            if (attribute.name == name && attribute.space == space)
                return &attribute.value;
        }
    }
    return nullptr;
}

size_t XmpDocument::FindElement(size_t from, size_t to, std::string_view space,
                                std::string_view name) const
{
    to = std::min(to, fElements.size());
    for (size_t i = from; i < to; i++) {
        if (fElements[i].name == name && fElements[i].space == space)
            return i;
    }
    return npos;
}

// --- JPEG ---------------------------------------------------------------------

namespace {

const char kStandardXmpHeader[] = "http://ns.adobe.com/xap/1.0/"; // and a NUL
const char kExtendedXmpHeader[] = "http://ns.adobe.com/xmp/extension/";
constexpr size_t kGuidLength = 32;

bool starts_with(const uint8* data, size_t size, const char* text, size_t length)
{
    return size >= length && std::memcmp(data, text, length) == 0;
}

void note_segment(uint8 marker, const uint8* segment, size_t size, JpegLayout* layout,
                  bool* sawExif)
{
    if (is_jpeg_frame_marker(marker)) {
        if (layout->width == 0 && size >= 5) {
            layout->height = int32(big16(segment + 1));
            layout->width = int32(big16(segment + 3));
        }
        return;
    }
    if (marker != 0xE1)
        return;
    if (!*sawExif && starts_with(segment, size, "Exif\0\0", 6)) {
        *sawExif = true;
        layout->orientation = exif_orientation(segment, size);
        return;
    }
    const size_t standard = sizeof(kStandardXmpHeader); // with its NUL
    if (starts_with(segment, size, kStandardXmpHeader, standard)) {
        layout->xmp.emplace_back(reinterpret_cast<const char*>(segment + standard),
                                 size - standard);
        return;
    }
    const size_t extended = sizeof(kExtendedXmpHeader);
    if (starts_with(segment, size, kExtendedXmpHeader, extended) &&
        size >= extended + kGuidLength + 8) {
        const uint8* at = segment + extended;
        JpegLayout::ExtendedChunk chunk;
        chunk.guid = std::string_view(reinterpret_cast<const char*>(at), kGuidLength);
        chunk.fullLength = big32(at + kGuidLength);
        chunk.offset = big32(at + kGuidLength + 4);
        const size_t header = extended + kGuidLength + 8;
        chunk.data =
            std::string_view(reinterpret_cast<const char*>(segment + header), size - header);
        layout->extended.push_back(chunk);
    }
}

} // namespace

status_t walk_jpeg(const uint8* data, size_t size, JpegLayout* layout)
{
    *layout = JpegLayout();
    if (data == nullptr || size < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF)
        return B_NO_TRANSLATOR;
    bool sawExif = false;
    size_t at = 0;
    const jpeg_walk header = walk_jpeg_segments(data, size, &at, [&](const JpegSegment& s) {
        note_segment(s.marker, s.payload, s.size, layout, &sawExif);
        return true;
    });
    if (header == jpeg_walk::kEnd) {
        layout->end = at + 2;
        return B_OK;
    }
    if (header != jpeg_walk::kScan)
        return B_ILLEGAL_DATA;
    // The scans, up to the end of image: a file cut in them is read as far
    // as it goes.
    while (at < size) {
        if (data[at] != 0xFF) {
            // Entropy-coded data up to the next marker.
            const void* next = std::memchr(data + at, 0xFF, size - at);
            if (next == nullptr)
                break;
            at = size_t(static_cast<const uint8*>(next) - data);
            continue;
        }
        if (at + 1 >= size)
            break;
        const uint8 marker = data[at + 1];
        if (marker == 0xFF) { // fill byte
            at++;
            continue;
        }
        if (is_lone_jpeg_marker(marker)) {
            at += 2;
            continue;
        }
        if (marker == 0xD9) {
            layout->end = at + 2;
            return B_OK;
        }
        if (marker == 0xD8) // a second start of image ends this one
            return B_OK;
        if (at + 4 > size)
            break;
        const size_t length = big16(data + at + 2);
        if (length < 2 || length > size - at - 2)
            break;
        at += 2 + length;
    }
    return B_OK;
}

status_t join_extended_xmp(const JpegLayout& layout, std::string_view guid, std::string* joined,
                           const char** problem)
{
    joined->clear();
    std::vector<const JpegLayout::ExtendedChunk*> chunks;
    for (const JpegLayout::ExtendedChunk& chunk : layout.extended) {
        if (chunk.guid == guid)
            chunks.push_back(&chunk);
    }
    if (chunks.empty())
        return B_NAME_NOT_FOUND;
    const uint64 fullLength = chunks.front()->fullLength;
    uint64 held = 0;
    for (const JpegLayout::ExtendedChunk* chunk : chunks) {
        if (chunk->fullLength != fullLength) {
            *problem = "the parts of its extended XMP disagree on its length";
            return B_ILLEGAL_DATA;
        }
        if (uint64(chunk->offset) + chunk->data.size() > fullLength) {
            *problem = "a part of its extended XMP runs past the length it declares";
            return B_ILLEGAL_DATA;
        }
        held += chunk->data.size();
    }
    // Checked before anything is allocated: the length claimed must be in
    // the file.
    if (held < fullLength) {
        *problem = "its extended XMP is incomplete: it claims more than its parts hold";
        return B_ILLEGAL_DATA;
    }
    std::sort(chunks.begin(), chunks.end(),
              [](const auto* a, const auto* b) { return a->offset < b->offset; });
    uint64 reach = 0;
    for (const JpegLayout::ExtendedChunk* chunk : chunks) {
        if (chunk->offset > reach) {
            *problem = "its extended XMP is incomplete: a part is missing";
            return B_ILLEGAL_DATA;
        }
        reach = std::max<uint64>(reach, chunk->offset + chunk->data.size());
    }
    if (reach < fullLength) {
        *problem = "its extended XMP is incomplete: a part is missing";
        return B_ILLEGAL_DATA;
    }
    try {
        joined->resize(size_t(fullLength));
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    for (const JpegLayout::ExtendedChunk* chunk : chunks)
        std::memcpy(joined->data() + chunk->offset, chunk->data.data(), chunk->data.size());
    return B_OK;
}

bool decode_base64(std::string_view text, std::string* bytes)
{
    bytes->clear();
    bytes->reserve(text.size() / 4 * 3);
    uint32 group = 0;
    int count = 0;
    int padding = 0;
    for (char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=') {
            padding++;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        else
            return false;
        if (padding > 0) // data after padding
            return false;
        group = (group << 6) | uint32(value);
        if (++count == 4) {
            bytes->push_back(char(group >> 16));
            bytes->push_back(char(group >> 8));
            bytes->push_back(char(group));
            group = 0;
            count = 0;
        }
    }
    // A last group of two or three characters holds one or two bytes.
    if (count == 1 || padding > 2 || (padding > 0 && count + padding != 4))
        return false;
    if (count == 2) {
        bytes->push_back(char(group >> 4));
    } else if (count == 3) {
        bytes->push_back(char(group >> 10));
        bytes->push_back(char(group >> 2));
    }
    return !bytes->empty();
}

// --- Depth maps ---------------------------------------------------------------

namespace {

template <typename Sample>
void turn_samples(std::vector<Sample>* samples, int32 orientation, int64 w, int64 h)
{
    const bool swap = orientation >= 5;
    const int64 outW = swap ? h : w, outH = swap ? w : h;
    std::vector<Sample> turned(samples->size());
    for (int64 y = 0; y < outH; y++) {
        for (int64 x = 0; x < outW; x++) {
            int64 sx, sy;
            stored_position(orientation, w, h, x, y, &sx, &sy);
            turned[size_t(y * outW + x)] = (*samples)[size_t(sy * w + sx)];
        }
    }
    samples->swap(turned);
}

} // namespace

void orient_depth_map(depth_map* map, int32 orientation)
{
    if (orientation <= 1 || orientation > 8 ||
        (map->values.empty() && map->samples8.empty() && map->samples16.empty()))
        return;
    const int64 w = map->width, h = map->height;
    if (!map->values.empty())
        turn_samples(&map->values, orientation, w, h);
    if (!map->samples8.empty())
        turn_samples(&map->samples8, orientation, w, h);
    if (!map->samples16.empty())
        turn_samples(&map->samples16, orientation, w, h);
    if (orientation >= 5)
        std::swap(map->width, map->height);
}

namespace {

// A picture embedded in the file, read as any picture is; its grey levels,
// 0..1, become nearness, inverted when dark means near.
status_t read_embedded_map(const std::string_view bytes, const JpegLayout& layout, bool darkIsNear,
                           depth_map* map, const char** problem)
{
    // A photo's depth map is never larger than the photo: one that says
    // it is would only cost memory, and is refused before it is decoded.
    ReadBudget budget = default_read_budget();
    const uint64 photoPixels =
        uint64(std::max(0, layout.width)) * uint64(std::max(0, layout.height));
    const bool bounded = photoPixels > 0 && photoPixels < budget.maxPixels;
    if (bounded)
        budget.maxPixels = photoPixels;
    ImageSource source;
    source.data = reinterpret_cast<const uint8*>(bytes.data());
    source.size = bytes.size();
    BBitmap* raw = nullptr;
    status_t status = read_picture(source, budget, nullptr, &raw);
    std::unique_ptr<BBitmap> bitmap(raw);
    if (status == B_NO_MEMORY && bounded) {
        uint64 width = 0, height = 0;
        if (refused_picture_size(&width, &height) && default_read_budget().Admits(width, height)) {
            *problem = "its depth map is larger than the photo";
            return B_ILLEGAL_DATA;
        }
    }
    if (status == B_NO_MEMORY)
        return B_NO_MEMORY;
    if (status == B_NO_TRANSLATOR) {
        *problem = "its depth map is not a picture";
        return B_ILLEGAL_DATA;
    }
    if (status != B_OK || !bitmap) {
        *problem = "its depth map is a damaged picture";
        return B_ILLEGAL_DATA;
    }
    const int32 width = bitmap->PixelWidth(), height = bitmap->PixelHeight();
    try {
        map->values.resize(size_t(width) * size_t(height));
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    map->width = width;
    map->height = height;
    float* out = map->values.data();
    for (int32 y = 0; y < height; y++, out += width) {
        depth_light_row(bitmap_row(*bitmap, y), width, false, out);
        if (darkIsNear)
            for (int32 x = 0; x < width; x++)
                out[x] = 1.0f - out[x];
        for (int32 x = 0; x < width; x++)
            out[x] = std::clamp(out[x], 0.0f, 1.0f);
    }
    return B_OK;
}

// The photo's size as shown, from the frame header and the orientation.
void set_photo_size(const JpegLayout& layout, depth_map* map)
{
    if (layout.width > 0 && layout.height > 0) {
        const bool swap = layout.orientation >= 5;
        map->photoWidth = swap ? layout.height : layout.width;
        map->photoHeight = swap ? layout.width : layout.height;
    } else {
        map->photoWidth = map->width;
        map->photoHeight = map->height;
    }
}

// GDepth and Dynamic Depth both store d = 0 at the near distance and 1 at
// the far one, linear in depth (RangeLinear) or in its inverse
// (RangeInverse): either way 1 - d is the nearness on the file's own scale.
bool known_range_format(const std::string* format)
{
    return format == nullptr || *format == "RangeInverse" || *format == "RangeLinear";
}

// The standard packets that parse, in file order.
std::vector<XmpDocument> parse_standard_xmp(const JpegLayout& layout)
{
    std::vector<XmpDocument> documents;
    for (std::string_view packet : layout.xmp) {
        XmpDocument document;
        if (document.Parse(packet) == B_OK)
            documents.push_back(std::move(document));
    }
    return documents;
}

status_t parse_extended_xmp(const JpegLayout& layout, const XmpDocument& standard,
                            XmpDocument* extended, const char** problem)
{
    const std::string* guid = standard.Find(kXmpNoteNamespace, "HasExtendedXMP");
    if (guid == nullptr)
        return B_NAME_NOT_FOUND;
    std::string joined;
    status_t status = join_extended_xmp(layout, *guid, &joined, problem);
    if (status != B_OK)
        return status;
    if (extended->Parse(joined) != B_OK) {
        *problem = "its extended XMP is not well-formed";
        return B_ILLEGAL_DATA;
    }
    return B_OK;
}

} // namespace

status_t read_gdepth(const JpegLayout& layout, depth_map* map, const char** problem)
{
    for (const XmpDocument& standard : parse_standard_xmp(layout)) {
        const std::string* format = standard.Find(kGDepthNamespace, "Format");
        const std::string* inline_data = standard.Find(kGDepthNamespace, "Data");
        if (format == nullptr && inline_data == nullptr)
            continue;
        if (!known_range_format(format)) {
            *problem = "its GDepth map is in a format this program does not know";
            return B_ILLEGAL_DATA;
        }
        // Small maps sit in the packet itself, larger ones in extended XMP.
        XmpDocument extended;
        if (inline_data == nullptr) {
            status_t status = parse_extended_xmp(layout, standard, &extended, problem);
            if (status == B_NAME_NOT_FOUND) {
                *problem = "its GDepth map has no data";
                return B_ILLEGAL_DATA;
            }
            if (status != B_OK)
                return status;
            inline_data = extended.Find(kGDepthNamespace, "Data");
            if (inline_data == nullptr) {
                *problem = "its GDepth map has no data";
                return B_ILLEGAL_DATA;
            }
        }
        std::string bytes;
        if (!decode_base64(*inline_data, &bytes)) {
            *problem = "its GDepth data is not base64";
            return B_ILLEGAL_DATA;
        }
        extended = XmpDocument(); // the packet's copy of the data is no longer needed
        status_t status = read_embedded_map(bytes, layout, true, map, problem);
        if (status != B_OK)
            return status;
        map->source = DEPTH_MAP_GDEPTH;
        orient_depth_map(map, layout.orientation);
        set_photo_size(layout, map);
        return B_OK;
    }
    return B_NAME_NOT_FOUND;
}

namespace {

// A non-negative decimal number, as XMP writes integers.
bool parse_count(const std::string* text, uint64* value)
{
    *value = 0;
    if (text == nullptr)
        return true; // absent: none
    size_t start = text->find_first_not_of(" \t\r\n");
    size_t stop = text->find_last_not_of(" \t\r\n");
    if (start == std::string::npos)
        return false;
    for (size_t i = start; i <= stop; i++) {
        const char c = (*text)[i];
        if (c < '0' || c > '9' || *value > (UINT64_MAX - 9) / 10)
            return false;
        *value = *value * 10 + uint64(c - '0');
    }
    return true;
}

struct ContainerItem
{
    const std::string* mime = nullptr;
    const std::string* semantic = nullptr;
    const std::string* uri = nullptr;
    uint64 length = 0;
    uint64 padding = 0;
};

} // namespace

status_t read_dynamic_depth(const uint8* data, size_t size, const JpegLayout& layout,
                            depth_map* map, const char** problem)
{
    std::vector<XmpDocument> documents = parse_standard_xmp(layout);
    // The directory and the camera's depth map may sit in extended XMP too.
    for (size_t i = 0, count = documents.size(); i < count; i++) {
        XmpDocument extended;
        const char* ignored = nullptr;
        if (parse_extended_xmp(layout, documents[i], &extended, &ignored) == B_OK)
            documents.push_back(std::move(extended));
    }
    const XmpDocument* withMap = nullptr;
    size_t depthMap = XmpDocument::npos;
    const XmpDocument* withDirectory = nullptr;
    size_t directory = XmpDocument::npos;
    for (const XmpDocument& document : documents) {
        const size_t all = document.Elements().size();
        if (withMap == nullptr) {
            depthMap = document.FindElement(0, all, kCameraNamespace, "DepthMap");
            if (depthMap != XmpDocument::npos)
                withMap = &document;
        }
        if (withDirectory == nullptr) {
            directory = document.FindElement(0, all, kContainerNamespace, "Directory");
            if (directory != XmpDocument::npos)
                withDirectory = &document;
        }
    }
    if (withMap == nullptr && withDirectory == nullptr)
        return B_NAME_NOT_FOUND;
    if (withDirectory == nullptr) {
        *problem = "its Dynamic Depth map lists no items";
        return B_ILLEGAL_DATA;
    }

    // Without the camera's DepthMap element, an item marked as depth is
    // still read: every Dynamic Depth map stores near dark, whichever
    // range its element would have named, as one without a Format does.
    const std::string* format = nullptr;
    const std::string* depthUri = nullptr;
    if (withMap != nullptr) {
        const size_t mapEnd = withMap->Elements()[depthMap].end;
        format = withMap->Find(depthMap, mapEnd, kDepthMapNamespace, "Format");
        depthUri = withMap->Find(depthMap, mapEnd, kDepthMapNamespace, "DepthURI");
    }
    if (!known_range_format(format)) {
        *problem = "its Dynamic Depth map is in a format this program does not know";
        return B_ILLEGAL_DATA;
    }

    // The directory's items, each an rdf:li of its sequence.
    std::vector<ContainerItem> items;
    const auto& elements = withDirectory->Elements();
    for (size_t i = directory + 1; i < elements[directory].end;) {
        if (elements[i].space != kRdfNamespace || elements[i].name != "li") {
            i++;
            continue;
        }
        const size_t end = elements[i].end;
        ContainerItem item;
        item.mime = withDirectory->Find(i, end, kItemNamespace, "Mime");
        item.semantic = withDirectory->Find(i, end, kItemNamespace, "Semantic");
        item.uri = withDirectory->Find(i, end, kItemNamespace, "DataURI");
        if (!parse_count(withDirectory->Find(i, end, kItemNamespace, "Length"), &item.length) ||
            !parse_count(withDirectory->Find(i, end, kItemNamespace, "Padding"), &item.padding)) {
            *problem = "its Dynamic Depth directory gives an item a length that is no number";
            return B_ILLEGAL_DATA;
        }
        items.push_back(item);
        i = end;
    }
    if (items.size() < 2) {
        if (withMap == nullptr)
            return B_NAME_NOT_FOUND;
        *problem = "its Dynamic Depth directory lists no depth map";
        return B_ILLEGAL_DATA;
    }

    // The depth map's item: the one its URI names, else the one whose
    // semantic says so.
    size_t chosen = 0;
    for (size_t i = 1; i < items.size() && chosen == 0; i++) {
        if (depthUri != nullptr && items[i].uri != nullptr && *items[i].uri == *depthUri)
            chosen = i;
    }
    for (size_t i = 1; i < items.size() && chosen == 0; i++) {
        if (items[i].semantic != nullptr && *items[i].semantic == "Depth")
            chosen = i;
    }
    if (chosen == 0) {
        // A motion photo or the like: items, none of them depth.
        if (withMap == nullptr)
            return B_NAME_NOT_FOUND;
        *problem = "its Dynamic Depth map names no item of the directory";
        return B_ILLEGAL_DATA;
    }

    // The items follow the primary image in their order, each its length
    // and padding long. Where the primary's scans never end, the items are
    // counted back from the end of the file.
    uint64 offset = 0;
    if (layout.end != 0) {
        offset = uint64(layout.end) + items[0].padding;
        for (size_t i = 1; i < chosen; i++) {
            offset += items[i].length + items[i].padding;
            if (offset > size)
                break;
        }
    } else {
        uint64 tail = 0;
        for (size_t i = chosen; i < items.size() && tail <= size; i++)
            tail += items[i].length + items[i].padding;
        offset = tail <= size ? size - tail : UINT64_MAX;
    }
    const uint64 length = items[chosen].length;
    if (length == 0) {
        *problem = "its Dynamic Depth directory gives the depth map no length";
        return B_ILLEGAL_DATA;
    }
    if (offset > size || length > size - offset) {
        *problem = "its depth map item runs past the end of the file";
        return B_ILLEGAL_DATA;
    }
    status_t status = read_embedded_map(
        std::string_view(reinterpret_cast<const char*>(data + offset), size_t(length)), layout,
        true, map, problem);
    if (status != B_OK)
        return status;
    map->source = DEPTH_MAP_DYNAMIC_DEPTH;
    orient_depth_map(map, layout.orientation);
    set_photo_size(layout, map);
    return B_OK;
}

// --- HEIF ---------------------------------------------------------------------

namespace {

// One of the eight orientations as the stored pixel each shown one comes
// from, on a grid of w x h.
std::pair<int32, int32> stored_of(int32 orientation, int32 x, int32 y, int32 w, int32 h)
{
    switch (orientation) {
    case 2:
        return {w - 1 - x, y};
    case 3:
        return {w - 1 - x, h - 1 - y};
    case 4:
        return {x, h - 1 - y};
    case 5:
        return {y, x};
    case 6:
        return {y, h - 1 - x};
    case 7:
        return {w - 1 - y, h - 1 - x};
    case 8:
        return {w - 1 - y, x};
    default:
        return {x, y};
    }
}

// A small grid of distinct labels, to compose turns and mirrors by doing
// them and then recognise the result among the eight orientations.
struct Labels
{
    int32 w = 3, h = 2;
    std::array<int32, 6> at{0, 1, 2, 3, 4, 5};

    Labels Oriented(int32 orientation) const
    {
        Labels out;
        out.w = orientation >= 5 ? h : w;
        out.h = orientation >= 5 ? w : h;
        for (int32 y = 0; y < out.h; y++) {
            for (int32 x = 0; x < out.w; x++) {
                auto [sx, sy] = stored_of(orientation, x, y, w, h);
                out.at[size_t(y * out.w + x)] = at[size_t(sy * w + sx)];
            }
        }
        return out;
    }
    bool operator==(const Labels& other) const
    {
        return w == other.w && h == other.h && at == other.at;
    }
};

} // namespace

int32 heif_primary_orientation(const uint8* data, size_t size)
{
    // The 'meta' box libheif reads the photo from.
    const std::vector<Span> metas = meta_contents(Span{data, size});
    if (metas.empty())
        return 1;
    Span pitm, iprp;
    for_each_box(metas.back(), [&](std::string_view type, Span body) {
        if (type == "pitm")
            pitm = body;
        else if (type == "iprp")
            iprp = body;
    });
    if (!pitm.Has(0, 6))
        return 1;
    const uint32 primary =
        uint32(pitm.data[0] == 0 ? pitm.Read(4, 2) : (pitm.Has(0, 8) ? pitm.Read(4, 4) : 0));
    // The properties, 1-based, and the associations of the primary item.
    std::vector<std::pair<std::string_view, Span>> properties;
    std::vector<uint32> associated;
    for_each_box(iprp, [&](std::string_view type, Span body) {
        if (type == "ipco") {
            for_each_box(body, [&](std::string_view property, Span content) {
                properties.emplace_back(property, content);
            });
        } else if (type == "ipma" && associated.empty() && body.Has(0, 8)) {
            const uint8 version = body.data[0];
            const bool wideIndex = (body.data[3] & 1) != 0;
            const uint64 entries = body.Read(4, 4);
            size_t at = 8;
            for (uint64 e = 0; e < entries; e++) {
                const size_t idBytes = version < 1 ? 2 : 4;
                if (!body.Has(at, idBytes + 1))
                    return;
                const uint32 id = uint32(body.Read(at, idBytes));
                const uint32 count = body.data[at + idBytes];
                at += idBytes + 1;
                const size_t each = wideIndex ? 2 : 1;
                if (!body.Has(at, size_t(count) * each))
                    return;
                for (uint32 k = 0; k < count; k++, at += each) {
                    const uint32 index =
                        uint32(body.Read(at, each)) & (wideIndex ? 0x7FFFu : 0x7Fu);
                    if (id == primary)
                        associated.push_back(index);
                }
                if (id == primary)
                    return;
            }
        }
    });
    // Turns and mirrors done in the order they are associated, as libheif
    // does them: 'irot' turns anticlockwise by quarters; 'imir' mirrors
    // top to bottom (axis 0) or left to right (axis 1).
    Labels shown;
    for (uint32 index : associated) {
        if (index == 0 || index > properties.size())
            continue;
        const auto& [type, content] = properties[index - 1];
        if (type == "irot" && content.Has(0, 1)) {
            for (int32 turn = 0; turn < (content.data[0] & 3); turn++)
                shown = shown.Oriented(8);
        } else if (type == "imir" && content.Has(0, 1)) {
            shown = shown.Oriented((content.data[0] & 1) != 0 ? 2 : 4);
        }
    }
    static const Labels stored;
    for (int32 orientation = 1; orientation <= 8; orientation++) {
        if (stored.Oriented(orientation) == shown)
            return orientation;
    }
    return 1;
}

status_t read_heif_depth(const uint8* data, size_t size, const ReadBudget& budget, depth_map* map,
                         const char** problem)
{
    if (size < 12 || size > size_t(INT_MAX))
        return B_NO_TRANSLATOR;
    switch (heif_check_filetype(data, int(size))) {
    case heif_filetype_yes_supported:
    case heif_filetype_yes_unsupported:
        break;
    default:
        return B_NO_TRANSLATOR;
    }
    std::unique_ptr<heif_context, HeifContextDeleter> context;
    std::unique_ptr<heif_image_handle, HeifHandleDeleter> primary;
    status_t status = open_heif(data, size, &context, &primary);
    if (status != B_OK)
        return status;
    if (!heif_image_handle_has_depth_image(primary.get()))
        return B_NAME_NOT_FOUND;
    heif_item_id depthId = 0;
    if (heif_image_handle_get_list_of_depth_image_IDs(primary.get(), &depthId, 1) < 1)
        return B_NAME_NOT_FOUND;
    heif_image_handle* raw = nullptr;
    status = libheif_status(heif_image_handle_get_depth_image_handle(primary.get(), depthId, &raw));
    std::unique_ptr<heif_image_handle, HeifHandleDeleter> depth(raw);
    if (status != B_OK) {
        *problem = "its depth image cannot be found";
        return status == B_NO_MEMORY ? B_NO_MEMORY : B_ILLEGAL_DATA;
    }
    // Z is stored far = largest; inverse Z and disparity near = largest.
    // Without the information the map is taken as disparity, as phones write.
    bool farIsLargest = false;
    const heif_depth_representation_info* info = nullptr;
    if (heif_image_handle_get_depth_image_representation_info(primary.get(), depthId, &info) &&
        info != nullptr) {
        farIsLargest = info->depth_representation_type == heif_depth_representation_type_uniform_Z;
        heif_depth_representation_info_free(info);
    }
    const int width = heif_image_handle_get_ispe_width(depth.get());
    const int height = heif_image_handle_get_ispe_height(depth.get());
    if (width <= 0 || height <= 0) {
        *problem = "its depth image has no size";
        return B_ILLEGAL_DATA;
    }
    if (!budget.Admits(uint64(width), uint64(height)) ||
        !heif_canvases_admitted(data, size, budget))
        return B_NO_MEMORY;
    if (!heif_derivations_sound(data, size)) {
        *problem = "its pictures refer to items that are not pictures";
        return B_ILLEGAL_DATA;
    }

    std::unique_ptr<heif_decoding_options, HeifOptionsDeleter> options(
        heif_decoding_options_alloc());
    if (!options)
        return B_NO_MEMORY;
    // The map is turned as the primary image is, below; its own
    // transformations, if any, would turn it twice.
    options->ignore_transformations = 1;
    options->convert_hdr_to_8bit = 0;
    heif_image* rawImage = nullptr;
    {
        // An AVIF's map is decoded by dav1d, whose own lines on a damaged
        // stream ("Unknown OBU type ...") would come before ours.
        QuietStderr quiet;
        status =
            libheif_status(heif_decode_image(depth.get(), &rawImage, heif_colorspace_monochrome,
                                             heif_chroma_monochrome, options.get()));
    }
    std::unique_ptr<heif_image, HeifImageDeleter> image(rawImage);
    if (status != B_OK) {
        if (status != B_NO_MEMORY)
            *problem = "its depth image cannot be decoded";
        return status == B_NO_MEMORY ? B_NO_MEMORY : B_ILLEGAL_DATA;
    }
    const int planeWidth = heif_image_get_width(image.get(), heif_channel_Y);
    const int planeHeight = heif_image_get_height(image.get(), heif_channel_Y);
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_Y);
    int stride = 0;
    const uint8* plane = heif_image_get_plane_readonly(image.get(), heif_channel_Y, &stride);
    const int sampleBytes = bits > 8 ? 2 : 1;
    if (plane == nullptr || planeWidth <= 0 || planeHeight <= 0 || bits < 1 || bits > 16 ||
        !budget.Admits(uint64(planeWidth), uint64(planeHeight)) ||
        stride < planeWidth * sampleBytes) {
        *problem = "its depth image cannot be decoded";
        return B_ILLEGAL_DATA;
    }
    try {
        map->values.resize(size_t(planeWidth) * size_t(planeHeight));
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    map->width = planeWidth;
    map->height = planeHeight;
    // The samples span the file's own scale (z_near..z_far, d_min..d_max).
    const float scale = 1.0f / float((1u << bits) - 1);
    float* out = map->values.data();
    for (int y = 0; y < planeHeight; y++) {
        const uint8* row = plane + int64(y) * stride;
        if (sampleBytes == 1) {
            for (int x = 0; x < planeWidth; x++)
                *out++ = std::min(1.0f, float(row[x]) * scale);
        } else {
            const uint16* wide = reinterpret_cast<const uint16*>(row);
            for (int x = 0; x < planeWidth; x++)
                *out++ = std::min(1.0f, float(wide[x]) * scale);
        }
    }
    if (farIsLargest) {
        for (float& v : map->values)
            v = 1.0f - v;
    }
    map->source = DEPTH_MAP_HEIF;
    orient_depth_map(map, heif_primary_orientation(data, size));
    map->photoWidth = heif_image_handle_get_width(primary.get());
    map->photoHeight = heif_image_handle_get_height(primary.get());
    if (map->photoWidth <= 0 || map->photoHeight <= 0) {
        map->photoWidth = map->width;
        map->photoHeight = map->height;
    }
    return B_OK;
}

} // namespace BPrivate

status_t read_depth_map_data(const void* data, size_t size, depth_map* outMap, const char** why)
{
    using namespace BPrivate;
    const char* problem = nullptr;
    if (why != nullptr)
        *why = nullptr;
    if (outMap == nullptr || (data == nullptr && size > 0))
        return B_BAD_VALUE;
    *outMap = depth_map();
    const uint8* bytes = static_cast<const uint8*>(data);
    status_t status = B_NO_TRANSLATOR;
    try {
        JpegLayout layout;
        if (walk_jpeg(bytes, size, &layout) == B_OK) {
            // A file may carry both; the first that reads is taken, and a
            // damaged one is reported only when the other is missing too.
            status = read_gdepth(layout, outMap, &problem);
            if (status != B_OK) {
                const status_t first = status;
                const char* firstProblem = problem;
                *outMap = depth_map();
                status = read_dynamic_depth(bytes, size, layout, outMap, &problem);
                if (status == B_NAME_NOT_FOUND && first != B_NAME_NOT_FOUND) {
                    status = first;
                    problem = firstProblem;
                }
            }
        } else if (size >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
            // A JPEG whose segments lie: whatever it declares can't be found.
            status = B_NAME_NOT_FOUND;
        } else {
            status = read_heif_depth(bytes, size, default_read_budget(), outMap, &problem);
        }
    } catch (const std::bad_alloc&) {
        status = B_NO_MEMORY;
    }
    if (status != B_OK) {
        *outMap = depth_map();
        if (why != nullptr && status == B_ILLEGAL_DATA)
            *why = problem;
    }
    return status;
}

status_t depth_map_from_bitmap(const BBitmap& bitmap, depth_map* outMap)
{
    if (outMap == nullptr)
        return B_BAD_VALUE;
    *outMap = depth_map();
    const color_space space = bitmap.ColorSpace();
    if (!bitmap.IsValid() || (space != B_RGB32 && space != B_RGBA32))
        return B_BAD_VALUE;
    const int32 width = bitmap.PixelWidth(), height = bitmap.PixelHeight();
    std::vector<float> light;
    try {
        outMap->samples16.resize(size_t(width) * size_t(height));
        light.resize(size_t(width));
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    outMap->width = outMap->photoWidth = width;
    outMap->height = outMap->photoHeight = height;
    uint16* out = outMap->samples16.data();
    for (int32 y = 0; y < height; y++) {
        depth_light_row(BPrivate::bitmap_row(bitmap, y), width, space == B_RGBA32, light.data());
        for (int32 x = 0; x < width; x++)
            *out++ = uint16(std::clamp(light[x], 0.0f, 1.0f) * 65535.0f + 0.5f);
    }
    return B_OK;
}
