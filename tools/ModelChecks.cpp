#include "ModelChecks.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <strings.h>

namespace depth {

namespace {

// glTF never nests its JSON deeply; the JSON parser inside assimp recurses
// once per level, so a file of nothing but brackets would end the process.
constexpr int kMaxJsonDepth = 64;

uint32 le32(const uint8* at)
{
    return uint32(at[0]) | (uint32(at[1]) << 8) | (uint32(at[2]) << 16) | (uint32(at[3]) << 24);
}

bool is_space(uint8 c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// The text after a UTF-8 byte order mark and leading white space.
size_t text_start(const uint8* data, size_t size)
{
    size_t at = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
    while (at < size && is_space(data[at]))
        at++;
    return at;
}

bool contains(const uint8* data, size_t size, std::string_view word)
{
    return std::search(data, data + size, word.begin(), word.end()) != data + size;
}

size_t count_of(const uint8* data, size_t size, std::string_view word)
{
    size_t count = 0;
    const uint8* end = data + size;
    for (const uint8* at = data;; at += word.size(), count++) {
        at = std::search(at, end, word.begin(), word.end());
        if (at == end)
            return count;
    }
}

// The lines of a text, each without its line end.
template <typename Visit>
void for_each_line(const uint8* data, size_t size, Visit visit)
{
    for (size_t at = 0; at < size;) {
        const void* newline = std::memchr(data + at, '\n', size - at);
        const size_t end = newline != nullptr ? size_t(static_cast<const uint8*>(newline) - data) : size;
        size_t first = at;
        while (first < end && is_space(data[first]))
            first++;
        if (!visit(std::string_view(reinterpret_cast<const char*>(data + first), end - first)))
            return;
        at = end + 1;
    }
}

std::string_view keyword_of(std::string_view line)
{
    size_t end = 0;
    while (end < line.size() && !is_space(uint8(line[end])))
        end++;
    return line.substr(0, end);
}

// An OBJ file is text whose lines, as far as they are looked at, are its
// statements: a known keyword, a comment or nothing, with vertices.
bool looks_like_obj(const uint8* data, size_t size)
{
    static const std::string_view kKeywords[] = {
        "v", "vt", "vn", "vp", "f", "l", "p", "o", "g", "s", "mtllib", "usemtl",
        "cstype", "deg", "bmat", "step", "curv", "curv2", "surf", "parm", "trim", "hole",
        "scrv", "sp", "end", "con", "mg", "bevel", "c_interp", "d_interp", "lod", "shadow_obj",
        "trace_obj", "ctech", "stech", "call", "csh", "maplib", "usemap"};
    const size_t look = std::min<size_t>(size, 65536);
    if (std::memchr(data, 0, look) != nullptr)
        return false;
    bool vertex = false, statements = true;
    size_t lines = 0;
    for_each_line(data, look, [&](std::string_view line) {
        if (line.empty() || line[0] == '#')
            return true;
        // The last line looked at may be cut short.
        if (line.data() + line.size() >= reinterpret_cast<const char*>(data + look) && look < size)
            return false;
        const std::string_view word = keyword_of(line);
        statements = std::find(std::begin(kKeywords), std::end(kKeywords), word) !=
                     std::end(kKeywords);
        vertex = vertex || word == "v";
        lines++;
        return statements;
    });
    return statements && vertex && lines > 0;
}

// The triangles an OBJ file's faces make once each polygon is fanned.
uint64 obj_triangles(const uint8* data, size_t size)
{
    uint64 triangles = 0;
    for_each_line(data, size, [&](std::string_view line) {
        if (line.size() < 2 || line[0] != 'f' || !is_space(uint8(line[1])))
            return true;
        uint64 corners = 0;
        bool inWord = false;
        for (size_t i = 1; i < line.size(); i++) {
            const bool space = is_space(uint8(line[i]));
            if (line[i] == '#')
                break;
            if (!space && !inWord)
                corners++;
            inWord = !space;
        }
        if (corners >= 3)
            triangles += corners - 2;
        return true;
    });
    return triangles;
}

// Saturating arithmetic: a declared count may be anything.
uint64 add_capped(uint64 a, uint64 b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint64 multiply_capped(uint64 a, uint64 b)
{
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// A name taken from the file, short enough for a message.
std::string quoted_name(std::string_view name)
{
    return std::string(name.substr(0, 32));
}

enum class PlyEncoding
{
    kAscii,
    kLittleEndian,
    kBigEndian,
};

struct PlyProperty
{
    uint8 size = 0; // of the value, or of each list item
    bool list = false;
    uint8 countSize = 0;
    bool countSigned = false;
    bool indices = false; // a face's corners
};

struct PlyElement
{
    std::string_view name;
    uint64 count = 0;
    std::vector<PlyProperty> properties;
};

struct PlyHeader
{
    bool valid = false;
    // A header line holding a control character, or text after
    // end_header: assimp's PLY reader can loop for ever on such a header.
    bool damaged = false;
    std::string problem; // what is damaged, when more can be said
    PlyEncoding encoding = PlyEncoding::kAscii;
    std::vector<PlyElement> elements;
    size_t body = 0; // where the elements' data starts
};

// The size of a PLY scalar type, 0 for no such type.
uint8 ply_type(std::string_view name, bool* isSigned, bool* integer)
{
    static const struct
    {
        std::string_view name;
        uint8 size;
        bool isSigned, integer;
    } kTypes[] = {
        {"char", 1, true, true},     {"int8", 1, true, true},     {"uchar", 1, false, true},
        {"uint8", 1, false, true},   {"short", 2, true, true},    {"int16", 2, true, true},
        {"ushort", 2, false, true},  {"uint16", 2, false, true},  {"int", 4, true, true},
        {"int32", 4, true, true},    {"uint", 4, false, true},    {"uint32", 4, false, true},
        {"float", 4, true, false},   {"float32", 4, true, false}, {"double", 8, true, false},
        {"float64", 8, true, false},
    };
    for (const auto& type : kTypes) {
        if (type.name == name) {
            *isSigned = type.isSigned;
            *integer = type.integer;
            return type.size;
        }
    }
    return 0;
}

// The line's words, split at white space.
std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_space(uint8(line[at])))
            at++;
        const size_t from = at;
        while (at < line.size() && !is_space(uint8(line[at])))
            at++;
        if (at > from)
            words.push_back(line.substr(from, at - from));
    }
    return words;
}

// A decimal count; false for anything else, a sign included.
bool count_of_word(std::string_view word, uint64* count)
{
    *count = 0;
    if (word.empty())
        return false;
    for (char c : word) {
        if (c < '0' || c > '9')
            return false;
        *count = add_capped(multiply_capped(*count, 10), uint64(c - '0'));
    }
    return true;
}

// The header's lines: the format, every element and its properties.
PlyHeader ply_header(const uint8* data, size_t size)
{
    PlyHeader header;
    const size_t look = std::min<size_t>(size, 65536);
    bool format = false;
    auto damage = [&header](std::string problem) {
        header.damaged = true;
        header.problem = std::move(problem);
    };
    for (size_t at = 0, number = 1; at < look && !header.damaged; number++) {
        const void* newline = std::memchr(data + at, '\n', look - at);
        if (newline == nullptr && look < size)
            break; // no end_header within the look
        const size_t end =
            newline != nullptr ? size_t(static_cast<const uint8*>(newline) - data) : look;
        std::string_view line(reinterpret_cast<const char*>(data + at), end - at);
        at = end + 1;
        while (!line.empty() && is_space(uint8(line.front())))
            line.remove_prefix(1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        for (char c : line) {
            if ((uint8(c) < 0x20 && c != '\t' && c != '\r') || uint8(c) == 0x7F) {
                damage("");
                break;
            }
        }
        if (header.damaged)
            break;
        if (line.rfind("end_header", 0) == 0) {
            header.valid = line == "end_header";
            if (!header.valid)
                damage("");
            else if (!format)
                damage("it has no format line");
            header.body = std::min(at, size);
            break;
        }
        const std::vector<std::string_view> words = words_of(line);
        if (number == 1 || words.empty() || words[0] == "comment" || words[0] == "obj_info")
            continue;
        const std::string where = "line " + std::to_string(number);
        if (words[0] == "format") {
            static const std::pair<std::string_view, PlyEncoding> kFormats[] = {
                {"ascii", PlyEncoding::kAscii},
                {"binary_little_endian", PlyEncoding::kLittleEndian},
                {"binary_big_endian", PlyEncoding::kBigEndian}};
            format = false;
            for (const auto& [name, encoding] : kFormats) {
                if (words.size() >= 2 && words[1] == name) {
                    header.encoding = encoding;
                    format = true;
                }
            }
            if (!format)
                damage(where + " names no known format");
        } else if (words[0] == "element") {
            PlyElement element;
            if (words.size() != 3 || !count_of_word(words[2], &element.count)) {
                damage(where + " gives an element without a count");
                break;
            }
            element.name = words[1];
            header.elements.push_back(element);
        } else if (words[0] == "property") {
            PlyProperty property;
            bool isSigned = false, integer = false;
            if (header.elements.empty()) {
                damage(where + " gives a property before any element");
            } else if (words.size() == 5 && words[1] == "list") {
                property.list = true;
                property.countSize = ply_type(words[2], &property.countSigned, &integer);
                property.size = ply_type(words[3], &isSigned, &isSigned);
                property.indices = words[4] == "vertex_indices" || words[4] == "vertex_index";
                if (property.countSize == 0 || !integer || property.size == 0)
                    damage(where + " gives a list of an unknown type");
            } else if (words.size() == 3) {
                property.size = ply_type(words[1], &isSigned, &integer);
                if (property.size == 0)
                    damage(where + " gives a property of an unknown type");
            } else {
                damage(where + " is not a property");
            }
            if (!header.damaged)
                header.elements.back().properties.push_back(property);
        }
        // Other lines are left to the reader, as before.
    }
    return header;
}

uint64 read_unsigned(const uint8* at, uint8 size, bool bigEndian)
{
    uint64 value = 0;
    for (uint8 i = 0; i < size; i++)
        value |= uint64(at[bigEndian ? size - 1 - i : i]) << (8 * i);
    return value;
}

// A list's count, read as the reader will read it; false when negative.
bool list_count(const uint8* at, const PlyProperty& property, bool bigEndian, uint64* count)
{
    *count = read_unsigned(at, property.countSize, bigEndian);
    return !property.countSigned || (*count >> (8 * property.countSize - 1)) == 0;
}

// The property that holds a face's corners: the one so named, else the
// first list.
int corner_list(const PlyElement& element)
{
    int first = -1;
    for (size_t i = 0; i < element.properties.size(); i++) {
        if (element.properties[i].list && element.properties[i].indices)
            return int(i);
        if (element.properties[i].list && first < 0)
            first = int(i);
    }
    return first;
}

// Every element's data against the bytes present, walked item by item
// where a list makes items differ in size: nothing is allocated by a count.
// *triangles: the faces' triangles once each polygon is fanned.
bool walk_ply_body(const uint8* data, size_t size, const PlyHeader& header, uint64* triangles,
                   std::string* why)
{
    const bool bigEndian = header.encoding == PlyEncoding::kBigEndian;
    const bool ascii = header.encoding == PlyEncoding::kAscii;
    size_t at = header.body;
    *triangles = 0;
    for (const PlyElement& element : header.elements) {
        const std::string name = quoted_name(element.name);
        const bool face = element.name == "face" || element.name == "tristrips";
        const int corners = face ? corner_list(element) : -1;
        auto cut_short = [&] {
            *why = "its PLY " + name + " data is cut short";
            return false;
        };
        auto count_fault = [&](const std::string& fault) {
            *why = "its PLY " + name + " list is damaged: " + fault;
            return false;
        };
        if (element.properties.empty())
            continue;
        bool fixed = true;
        uint64 record = 0;
        for (const PlyProperty& property : element.properties) {
            fixed = fixed && !property.list;
            record += property.size;
        }
        if (!ascii && fixed) {
            if (element.count > (size - at) / record)
                return cut_short();
            at += size_t(element.count * record);
            continue;
        }
        for (uint64 item = 0; item < element.count; item++) {
            if (!ascii) {
                for (size_t p = 0; p < element.properties.size(); p++) {
                    const PlyProperty& property = element.properties[p];
                    if (!property.list) {
                        if (size - at < property.size)
                            return cut_short();
                        at += property.size;
                        continue;
                    }
                    if (size - at < property.countSize)
                        return cut_short();
                    uint64 count = 0;
                    if (!list_count(data + at, property, bigEndian, &count))
                        return count_fault("a negative count");
                    at += property.countSize;
                    if (count > (size - at) / property.size)
                        return count_fault("a count of " + std::to_string(count) + " where " +
                                           std::to_string(size - at) + " bytes are left");
                    at += size_t(count * property.size);
                    if (int(p) == corners && count >= 3)
                        *triangles += count - 2;
                }
                continue;
            }
            // ASCII: an item a line, its values the line's words.
            std::string_view line;
            while (line.empty()) {
                if (at >= size)
                    return cut_short();
                const void* newline = std::memchr(data + at, '\n', size - at);
                const size_t end =
                    newline != nullptr ? size_t(static_cast<const uint8*>(newline) - data) : size;
                line = std::string_view(reinterpret_cast<const char*>(data + at), end - at);
                at = end + 1;
                while (!line.empty() && is_space(uint8(line.front())))
                    line.remove_prefix(1);
            }
            const std::vector<std::string_view> words = words_of(line);
            size_t next = 0;
            for (size_t p = 0; p < element.properties.size(); p++) {
                const PlyProperty& property = element.properties[p];
                if (next >= words.size())
                    return cut_short();
                if (!property.list) {
                    next++;
                    continue;
                }
                uint64 count = 0;
                const std::string_view word = words[next++];
                if (!count_of_word(word, &count))
                    return count_fault(word[0] == '-' ? "a negative count"
                                                      : "a count that is not a number");
                if (count > words.size() - next)
                    return count_fault("a count of " + std::to_string(count) + " where " +
                                       std::to_string(words.size() - next) +
                                       " numbers are left on the line");
                next += size_t(count);
                if (int(p) == corners && count >= 3)
                    *triangles += count - 2;
            }
        }
    }
    return true;
}

// Whether a JSON text nests no deeper than the limit.
bool json_depth_within(const uint8* data, size_t size, int limit)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < size; i++) {
        const uint8 c = data[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            depth--;
        }
    }
    return true;
}

using nlohmann::json;

// Node trees deeper than this are refused, as the reader refuses them.
constexpr uint64 kMaxNodeDepth = 1024;
// The nodes a glTF scene may place, reuse counted: each costs the library a
// node of its own.
constexpr uint64 kMaxNodePlacements = uint64(1) << 20;

constexpr uint64 kAbsent = UINT64_MAX;
constexpr uint64 kInvalid = UINT64_MAX - 1;

// object[key] as a count or an index below limit; kAbsent when missing,
// kInvalid when anything else.
uint64 number_at(const json& object, const char* key, uint64 limit = kInvalid)
{
    const auto found = object.find(key);
    if (found == object.end())
        return kAbsent;
    if (!found->is_number_unsigned())
        return kInvalid;
    const uint64 value = found->get<uint64>();
    return value < limit ? value : kInvalid;
}

// document[key] as a list of objects; null when missing; *bad when not.
const json* list_at(const json& document, const char* key, bool* bad)
{
    const auto found = document.find(key);
    if (found == document.end())
        return nullptr;
    bool objects = found->is_array();
    for (size_t i = 0; objects && i < found->size(); i++)
        objects = (*found)[i].is_object();
    *bad = *bad || !objects;
    return objects ? &*found : nullptr;
}

size_t size_of(const json* list)
{
    return list != nullptr ? list->size() : 0;
}

uint64 component_size(uint64 type)
{
    switch (type) {
    case 5120:
    case 5121:
        return 1;
    case 5122:
    case 5123:
        return 2;
    case 5125:
    case 5126:
        return 4;
    default:
        return 0;
    }
}

uint64 components_of(const json& accessor)
{
    static const std::pair<std::string_view, uint64> kTypes[] = {
        {"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4},
        {"MAT2", 4},   {"MAT3", 9}, {"MAT4", 16}};
    const auto type = accessor.find("type");
    if (type == accessor.end() || !type->is_string())
        return 0;
    for (const auto& [name, components] : kTypes)
        if (type->get_ref<const std::string&>() == name)
            return components;
    return 0;
}

// The bytes a data: URI holds once decoded.
uint64 data_uri_bytes(const std::string& uri)
{
    const size_t comma = uri.find(',');
    if (comma == std::string::npos)
        return 0;
    const std::string_view head(uri.data(), comma);
    const uint64 length = uri.size() - comma - 1;
    if (head.size() < 7 || head.substr(head.size() - 7) != ";base64")
        return length;
    uint64 padding = 0;
    for (size_t i = uri.size(); i > comma + 1 && padding < 2 && uri[i - 1] == '='; i--)
        padding++;
    return length / 4 * 3 + (length % 4 == 0 ? 0 : length % 4 - 1) -
           (length % 4 == 0 ? padding : 0);
}

// The line of the text where offset falls, counted from 1.
size_t line_at(const uint8* text, size_t length, size_t offset)
{
    return 1 + size_t(std::count(text, text + std::min(offset, length), '\n'));
}

// What a glTF document places and reads, checked before the library
// loads it: every reference, every accessor against its bytes, and the
// triangles its node graph makes with reuse counted. binSize is the GLB
// container's BIN chunk, kAbsent for none.
status_t check_gltf(const json& document, bool glb, uint64 binSize, uint64 maxTriangles,
                    ModelCheck* check, std::string* why)
{
    if (!document.is_object()) {
        *why = "its glTF JSON is not an object";
        return B_ILLEGAL_DATA;
    }
    const auto asset = document.find("asset");
    if (asset != document.end() && asset->is_object()) {
        const auto version = asset->find("version");
        if (version != asset->end() && version->is_string() &&
            version->get_ref<const std::string&>().rfind('1', 0) == 0) {
            *why = "glTF 1.0 is not supported, only 2.0";
            return B_ILLEGAL_DATA;
        }
    }
    bool bad = false;
    const json* buffers = list_at(document, "buffers", &bad);
    const json* views = list_at(document, "bufferViews", &bad);
    const json* accessors = list_at(document, "accessors", &bad);
    const json* meshes = list_at(document, "meshes", &bad);
    const json* nodes = list_at(document, "nodes", &bad);
    const json* scenes = list_at(document, "scenes", &bad);
    if (bad) {
        *why = "its glTF JSON is damaged: a list of objects is not";
        return B_ILLEGAL_DATA;
    }
    auto damaged = [why](const char* what, size_t index, const char* fault) {
        *why = std::string("its glTF ") + what + " " + std::to_string(index) + " " + fault;
        return B_ILLEGAL_DATA;
    };

    // What each buffer holds: a GLB's BIN chunk, a data: URI's bytes, or
    // what an external file declares (its real size is checked on reading).
    std::vector<uint64> bufferBytes;
    for (size_t i = 0; i < size_of(buffers); i++) {
        const json& buffer = (*buffers)[i];
        const uint64 declared = number_at(buffer, "byteLength");
        if (declared >= kInvalid)
            return damaged("buffer", i, "has no byte length");
        uint64 holds = 0;
        const auto uri = buffer.find("uri");
        if (uri != buffer.end() && uri->is_string()) {
            const std::string& name = uri->get_ref<const std::string&>();
            if (name.rfind("data:", 0) == 0) {
                holds = data_uri_bytes(name);
            } else {
                holds = declared;
                check->bufferUris.push_back(name);
                check->bufferLengths.push_back(declared);
            }
        } else if (uri != buffer.end()) {
            return damaged("buffer", i, "has a URI that is not text");
        } else if (glb && i == 0 && binSize != kAbsent) {
            holds = binSize;
        }
        if (declared > holds)
            return damaged("buffer", i, "holds fewer bytes than it declares");
        bufferBytes.push_back(declared);
    }
    std::vector<uint64> viewBytes;
    for (size_t i = 0; i < size_of(views); i++) {
        const json& view = (*views)[i];
        const uint64 buffer = number_at(view, "buffer", bufferBytes.size());
        uint64 offset = number_at(view, "byteOffset");
        const uint64 length = number_at(view, "byteLength");
        const uint64 stride = number_at(view, "byteStride");
        offset = offset == kAbsent ? 0 : offset;
        if (buffer >= kInvalid || offset >= kInvalid || length >= kInvalid || stride == kInvalid)
            return damaged("buffer view", i, "is damaged");
        if (add_capped(offset, length) > bufferBytes[buffer])
            return damaged("buffer view", i, "runs past its buffer");
        viewBytes.push_back(length);
    }
    // Accessors without a buffer view are zeros the library allocates:
    // bounded by what a position list at the triangle ceiling costs.
    const uint64 mostUnbacked = multiply_capped(maxTriangles, 3 * 12);
    std::vector<uint64> counts;
    for (size_t i = 0; i < size_of(accessors); i++) {
        const json& accessor = (*accessors)[i];
        const uint64 component = component_size(number_at(accessor, "componentType"));
        const uint64 element = component * components_of(accessor);
        const uint64 count = number_at(accessor, "count");
        const uint64 view = number_at(accessor, "bufferView", viewBytes.size());
        uint64 offset = number_at(accessor, "byteOffset");
        offset = offset == kAbsent ? 0 : offset;
        if (element == 0 || count >= kInvalid || view == kInvalid || offset == kInvalid)
            return damaged("accessor", i, "is damaged");
        if (view == kAbsent) {
            if (multiply_capped(count, element) > mostUnbacked)
                return damaged("accessor", i, "has no buffer view and too many elements");
        } else if (count > 0) {
            const uint64 stride = number_at((*views)[view], "byteStride");
            const uint64 step = stride == kAbsent || stride == 0 ? element : stride;
            const uint64 end =
                add_capped(add_capped(offset, multiply_capped(step, count - 1)), element);
            if (end > viewBytes[view])
                return damaged("accessor", i, "runs past its buffer view");
        }
        const auto sparse = accessor.find("sparse");
        if (sparse != accessor.end()) {
            const uint64 replaced = sparse->is_object() ? number_at(*sparse, "count") : kInvalid;
            if (replaced >= kInvalid || replaced > count)
                return damaged("accessor", i, "has a damaged sparse part");
            // The library dereferences both buffer views unchecked.
            const char* parts[] = {"indices", "values"};
            for (const char* part : parts) {
                const auto found = sparse->find(part);
                if (found == sparse->end() || !found->is_object() ||
                    number_at(*found, "bufferView", viewBytes.size()) >= kInvalid)
                    return damaged("accessor", i, "is sparse without a buffer view for its parts");
                uint64 at = number_at(*found, "byteOffset");
                at = at == kAbsent ? 0 : at;
                const uint64 each =
                    part[0] == 'i' ? component_size(number_at(*found, "componentType")) : element;
                if (at == kInvalid || each == 0 ||
                    add_capped(at, multiply_capped(each, replaced)) >
                        viewBytes[number_at(*found, "bufferView")])
                    return damaged("accessor", i, "has a sparse part past its buffer view");
            }
        }
        counts.push_back(count);
    }
    std::vector<uint64> meshTriangles;
    for (size_t i = 0; i < size_of(meshes); i++) {
        uint64 triangles = 0;
        const auto primitives = (*meshes)[i].find("primitives");
        if (primitives == (*meshes)[i].end() || !primitives->is_array())
            return damaged("mesh", i, "has no primitives");
        for (const json& primitive : *primitives) {
            const auto attributes =
                primitive.is_object() ? primitive.find("attributes") : primitive.end();
            if (attributes == primitive.end() || !attributes->is_object())
                return damaged("mesh", i, "has a primitive without attributes");
            const uint64 position = number_at(*attributes, "POSITION", counts.size());
            const uint64 indices = number_at(primitive, "indices", counts.size());
            uint64 mode = number_at(primitive, "mode");
            mode = mode == kAbsent ? 4 : mode;
            if (position == kInvalid || indices == kInvalid || mode > 6)
                return damaged("mesh", i, "has a damaged primitive");
            const uint64 corners = indices != kAbsent    ? counts[indices]
                                   : position != kAbsent ? counts[position]
                                                         : 0;
            if (mode == 4)
                triangles = add_capped(triangles, corners / 3);
            else if (mode >= 5 && corners >= 3)
                triangles = add_capped(triangles, corners - 2);
        }
        meshTriangles.push_back(triangles);
    }

    // The node graph: each node's children and mesh, then the scene's roots.
    const size_t nodeCount = size_of(nodes);
    std::vector<std::vector<size_t>> children(nodeCount);
    std::vector<uint64> meshOf(nodeCount, kAbsent);
    for (size_t i = 0; i < nodeCount; i++) {
        const json& node = (*nodes)[i];
        meshOf[i] = number_at(node, "mesh", meshTriangles.size());
        if (meshOf[i] == kInvalid)
            return damaged("node", i, "names a mesh that does not exist");
        const auto list = node.find("children");
        if (list == node.end())
            continue;
        if (!list->is_array())
            return damaged("node", i, "has damaged children");
        for (const json& child : *list) {
            if (!child.is_number_unsigned() || child.get<uint64>() >= nodeCount)
                return damaged("node", i, "names a child that does not exist");
            children[i].push_back(size_t(child.get<uint64>()));
        }
    }
    std::vector<size_t> roots;
    const uint64 chosen = number_at(document, "scene", size_of(scenes));
    if (chosen == kInvalid) {
        *why = "its glTF scene does not exist";
        return B_ILLEGAL_DATA;
    }
    for (size_t i = 0; i < size_of(scenes); i++) {
        // Without a scene named, every scene's nodes count.
        if (chosen != kAbsent && i != chosen)
            continue;
        const auto list = (*scenes)[i].find("nodes");
        if (list == (*scenes)[i].end())
            continue;
        if (!list->is_array())
            return damaged("scene", i, "has damaged nodes");
        for (const json& node : *list) {
            if (!node.is_number_unsigned() || node.get<uint64>() >= nodeCount)
                return damaged("scene", i, "names a node that does not exist");
            roots.push_back(size_t(node.get<uint64>()));
        }
    }
    // The nodes reached, then each one's paths from the roots and its depth
    // in an order where every parent comes before its children; a node
    // left out of that order lies on a cycle.
    std::vector<uint8> reached(nodeCount, 0);
    std::vector<size_t> pending(roots);
    while (!pending.empty()) {
        const size_t node = pending.back();
        pending.pop_back();
        if (reached[node])
            continue;
        reached[node] = 1;
        for (size_t child : children[node])
            pending.push_back(child);
    }
    std::vector<uint64> parents(nodeCount, 0), paths(nodeCount, 0), depth(nodeCount, 0);
    size_t reachedCount = 0;
    for (size_t node = 0; node < nodeCount; node++) {
        reachedCount += reached[node];
        if (reached[node])
            for (size_t child : children[node])
                parents[child]++;
    }
    for (size_t root : roots)
        paths[root] = add_capped(paths[root], 1);
    for (size_t node = 0; node < nodeCount; node++)
        if (reached[node] && parents[node] == 0)
            pending.push_back(node);
    size_t ordered = 0;
    uint64 placements = 0, triangles = 0;
    while (!pending.empty()) {
        const size_t node = pending.back();
        pending.pop_back();
        ordered++;
        if (depth[node] > kMaxNodeDepth) {
            *why = "its glTF node tree is too deep";
            return B_ILLEGAL_DATA;
        }
        placements = add_capped(placements, paths[node]);
        if (meshOf[node] != kAbsent)
            triangles =
                add_capped(triangles, multiply_capped(paths[node], meshTriangles[meshOf[node]]));
        for (size_t child : children[node]) {
            paths[child] = add_capped(paths[child], paths[node]);
            depth[child] = std::max(depth[child], depth[node] + 1);
            if (--parents[child] == 0)
                pending.push_back(child);
        }
    }
    if (ordered < reachedCount) {
        *why = "its glTF node graph has a cycle";
        return B_ILLEGAL_DATA;
    }
    if (placements > kMaxNodePlacements) {
        *why = "its glTF scene places more than " + std::to_string(kMaxNodePlacements) + " nodes";
        return B_NO_MEMORY;
    }
    if (triangles > maxTriangles) {
        *why = "the model has more than " + std::to_string(maxTriangles) + " triangles";
        return B_NO_MEMORY;
    }
    return B_OK;
}

// The members of object named in keep, moved into a new object; *dropped
// when it had others.
json kept_members(json& object, std::initializer_list<const char*> keep, bool* dropped)
{
    json out = json::object();
    for (const char* key : keep) {
        const auto found = object.find(key);
        if (found != object.end())
            out[key] = std::move(*found);
    }
    *dropped = *dropped || out.size() < object.size();
    return out;
}

// The document without what a depth picture never needs (skins,
// animations, materials, textures, images, samplers, cameras, morph
// targets, extensions) and without what points at those parts: the
// library crashes on some of them, and reads none of them here. Empty when
// the document holds nothing else: writing a large one again costs.
std::string sanitised_gltf(json& document)
{
    json out = json::object();
    bool dropped = false;
    auto each = [&document, &out](const char* list, auto reduce) {
        const auto found = document.find(list);
        if (found == document.end())
            return;
        json reduced = json::array();
        for (json& item : *found)
            reduced.push_back(reduce(item));
        out[list] = std::move(reduced);
    };
    out["asset"] = json::object();
    const auto asset = document.find("asset");
    if (asset != document.end() && asset->is_object())
        out["asset"] =
            kept_members(*asset, {"version", "minVersion", "generator", "copyright"}, &dropped);
    if (document.contains("scene"))
        out["scene"] = document["scene"];
    each("scenes", [&](json& scene) { return kept_members(scene, {"nodes"}, &dropped); });
    each("nodes", [&](json& node) {
        return kept_members(
            node, {"name", "children", "mesh", "matrix", "translation", "rotation", "scale"},
            &dropped);
    });
    each("meshes", [&](json& mesh) {
        json primitives = json::array();
        for (json& primitive : mesh["primitives"]) {
            json kept = kept_members(primitive, {"indices", "mode", "attributes"}, &dropped);
            kept["attributes"] = kept_members(kept["attributes"], {"POSITION"}, &dropped);
            primitives.push_back(std::move(kept));
        }
        bool named = false;
        json kept = kept_members(mesh, {"name"}, &named);
        dropped = dropped || mesh.size() > 1 + kept.size();
        kept["primitives"] = std::move(primitives);
        return kept;
    });
    each("accessors", [&](json& accessor) {
        json kept = kept_members(accessor,
                                 {"bufferView", "byteOffset", "componentType", "normalized",
                                  "count", "type", "sparse", "min", "max"},
                                 &dropped);
        if (kept.contains("sparse"))
            kept["sparse"] = kept_members(kept["sparse"], {"count", "indices", "values"}, &dropped);
        return kept;
    });
    each("bufferViews", [&](json& view) {
        return kept_members(view, {"buffer", "byteOffset", "byteLength", "byteStride", "target"},
                            &dropped);
    });
    each("buffers", [&](json& buffer) {
        return kept_members(buffer, {"uri", "byteLength"}, &dropped);
    });
    if (!dropped && out.size() == document.size())
        return std::string();
    return out.dump();
}

// A GLB container around json and the original's BIN chunk, if any.
std::string glb_container(const std::string& text, const uint8* bin, size_t binLength)
{
    std::string out("glTF\2\0\0\0\0\0\0\0", 12);
    auto word = [&out](uint32 value) {
        for (int i = 0; i < 4; i++)
            out.push_back(char(value >> (8 * i)));
    };
    const size_t padded = (text.size() + 3) / 4 * 4;
    word(uint32(padded));
    out += "JSON";
    out += text;
    out.append(padded - text.size(), ' ');
    if (bin != nullptr) {
        word(uint32(binLength));
        out.append("BIN\0", 4);
        out.append(reinterpret_cast<const char*>(bin), binLength);
        out.append((4 - binLength % 4) % 4, '\0');
    }
    const uint32 total = uint32(out.size());
    for (int i = 0; i < 4; i++)
        out[8 + i] = char(total >> (8 * i));
    return out;
}

// A glTF text, or a GLB's JSON chunk with its BIN chunk: parsed, checked,
// and given to the reader without the parts a depth picture does not need.
status_t check_gltf_text(const uint8* text, size_t length, bool glb, const uint8* bin,
                         uint64 binSize, uint64 maxTriangles, ModelCheck* check, std::string* why)
{
    if (!json_depth_within(text, length, kMaxJsonDepth)) {
        *why = "its glTF JSON nests too deeply";
        return B_ILLEGAL_DATA;
    }
    // Writers pad a GLB's JSON chunk with spaces, some with zeros.
    while (length > 0 && (text[length - 1] == 0 || is_space(text[length - 1])))
        length--;
    try {
        json document;
        try {
            document = json::parse(text, text + length);
        } catch (const json::parse_error& error) {
            *why = "its glTF JSON is damaged at line " +
                   std::to_string(line_at(text, length, error.byte > 0 ? error.byte - 1 : 0));
            return B_ILLEGAL_DATA;
        }
        const status_t status = check_gltf(document, glb, binSize, maxTriangles, check, why);
        if (status != B_OK)
            return status;
        const std::string sanitised = sanitised_gltf(document);
        if (!sanitised.empty())
            check->replacement = glb ? glb_container(sanitised, bin, size_t(binSize)) : sanitised;
    } catch (const std::bad_alloc&) {
        *why = "out of memory checking the model";
        return B_NO_MEMORY;
    } catch (const json::exception&) {
        *why = "its glTF JSON is damaged";
        return B_ILLEGAL_DATA;
    }
    return B_OK;
}

} // namespace

ModelFormat SniffModel(const uint8* data, size_t size)
{
    if (data == nullptr || size < 4)
        return ModelFormat::kNone;
    if (size >= 12 && std::memcmp(data, "glTF", 4) == 0)
        return ModelFormat::kGlb;
    if (std::memcmp(data, "ply", 3) == 0 && (data[3] == '\n' || data[3] == '\r'))
        return ModelFormat::kPly;
    // A binary STL is its 80-byte header, a count, and 50 bytes a triangle,
    // exactly: the header may say anything, "solid" included.
    if (size >= 84 && 84 + 50 * uint64(le32(data + 80)) == size)
        return ModelFormat::kStlBinary;
    const size_t start = text_start(data, size);
    const uint8* text = data + start;
    const size_t length = size - start;
    if (length >= 5 && std::memcmp(text, "solid", 5) == 0 &&
        contains(text, std::min<size_t>(length, 4096), "facet"))
        return ModelFormat::kStlAscii;
    if (length > 0 && text[0] == '{' && contains(text, std::min<size_t>(length, 65536), "\"asset\""))
        return ModelFormat::kGltf;
    if (looks_like_obj(text, length))
        return ModelFormat::kObj;
    return ModelFormat::kNone;
}

status_t CheckModel(ModelFormat format, const uint8* data, size_t size, uint64 maxTriangles,
                    ModelCheck* check, std::string* why)
{
    *check = ModelCheck();
    status_t status = B_OK;
    uint64 counted = 0;
    bool knowsCount = true;
    switch (format) {
    case ModelFormat::kStlBinary: counted = le32(data + 80); break;
    case ModelFormat::kStlAscii: counted = count_of(data, size, "endfacet"); break;
    case ModelFormat::kObj: counted = obj_triangles(data, size); break;
    case ModelFormat::kPly: {
        const PlyHeader header = ply_header(data, size);
        if (header.damaged) {
            *why = "its PLY header is damaged";
            if (!header.problem.empty())
                *why += ": " + header.problem;
            return B_ILLEGAL_DATA;
        }
        bool over = !header.valid;
        for (const PlyElement& element : header.elements)
            over = over || element.count > size;
        if (over) {
            *why = "its PLY header declares more than the file holds";
            return B_ILLEGAL_DATA;
        }
        if (!walk_ply_body(data, size, header, &counted, why))
            return B_ILLEGAL_DATA;
        break;
    }
    case ModelFormat::kGltf:
        knowsCount = false;
        status = check_gltf_text(data, size, false, nullptr, kAbsent, maxTriangles, check, why);
        break;
    case ModelFormat::kGlb: {
        knowsCount = false;
        const uint32 version = le32(data + 4);
        if (version != 2) {
            *why = version == 1 ? "glTF 1.0 is not supported, only 2.0"
                                : "its glTF container is of an unknown version";
            return B_ILLEGAL_DATA;
        }
        // Header, then the JSON chunk: its length, "JSON", the text; then
        // the BIN chunk, if any.
        const uint64 jsonLength = size >= 20 ? le32(data + 12) : 0;
        if (size < 20 || std::memcmp(data + 16, "JSON", 4) != 0 || jsonLength > size - 20) {
            *why = "its glTF container has no JSON chunk";
            return B_ILLEGAL_DATA;
        }
        const uint64 binAt = 20 + jsonLength;
        const uint8* bin = nullptr;
        uint64 binSize = kAbsent;
        if (size - binAt >= 8 && std::memcmp(data + binAt + 4, "BIN\0", 4) == 0) {
            binSize = le32(data + binAt);
            bin = data + binAt + 8;
            if (binSize > size - binAt - 8) {
                *why = "its glTF container's BIN chunk runs past the file's end";
                return B_ILLEGAL_DATA;
            }
        }
        status = check_gltf_text(data + 20, size_t(jsonLength), true, bin, binSize, maxTriangles,
                                 check, why);
        break;
    }
    default: break;
    }
    if (status != B_OK)
        return status;
    if (knowsCount && counted == 0) {
        *why = "the model has no triangles";
        return B_BAD_DATA;
    }
    if (counted > maxTriangles) {
        *why = "the model has more than " + std::to_string(maxTriangles) + " triangles";
        return B_NO_MEMORY;
    }
    check->triangles = counted;
    check->knowsCount = knowsCount;
    return B_OK;
}

} // namespace depth
