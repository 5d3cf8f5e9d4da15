#include "ModelChecks.h"

#include <algorithm>
#include <cstring>
#include <string_view>

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

struct PlyHeader
{
    bool valid = false;
    // A header line holding a control character, or text after
    // end_header: assimp's PLY reader can loop for ever on such a header.
    bool damaged = false;
    uint64 vertices = 0;
    uint64 faces = 0;
};

PlyHeader ply_header(const uint8* data, size_t size)
{
    PlyHeader header;
    const size_t look = std::min<size_t>(size, 65536);
    for_each_line(data, look, [&](std::string_view line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        for (char c : line) {
            if ((uint8(c) < 0x20 && c != '\t' && c != '\r') || uint8(c) == 0x7F) {
                header.damaged = true;
                return false;
            }
        }
        if (line.rfind("end_header", 0) == 0) {
            header.valid = line == "end_header";
            header.damaged = !header.valid;
            return false;
        }
        if (line.rfind("element ", 0) != 0)
            return true;
        std::string_view rest = line.substr(8);
        const size_t space = rest.find(' ');
        if (space == std::string_view::npos)
            return true;
        const std::string_view name = rest.substr(0, space);
        uint64 count = 0;
        for (char c : rest.substr(space + 1)) {
            if (c < '0' || c > '9' || count > (UINT64_MAX - 9) / 10)
                break;
            count = count * 10 + uint64(c - '0');
        }
        if (name == "vertex")
            header.vertices = count;
        else if (name == "face")
            header.faces = count;
        return true;
    });
    return header;
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

// The buffers a glTF text names by URI, leaving out the ones it carries
// inline (data: URIs). False when the JSON cannot be parsed.
bool gltf_buffer_uris(const uint8* text, size_t length, std::vector<std::string>* uris)
{
    const nlohmann::json document = nlohmann::json::parse(text, text + length, nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return false;
    const auto buffers = document.find("buffers");
    if (buffers == document.end() || !buffers->is_array())
        return true;
    for (const auto& buffer : *buffers) {
        if (!buffer.is_object())
            continue;
        const auto uri = buffer.find("uri");
        if (uri == buffer.end() || !uri->is_string())
            continue;
        const std::string& name = uri->get_ref<const std::string&>();
        if (name.rfind("data:", 0) != 0)
            uris->push_back(name);
    }
    return true;
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
            return B_ILLEGAL_DATA;
        }
        if (!header.valid || header.vertices > size || header.faces > size) {
            *why = "its PLY header declares more than the file holds";
            return B_ILLEGAL_DATA;
        }
        counted = header.faces;
        break;
    }
    case ModelFormat::kGltf:
        knowsCount = false;
        if (!json_depth_within(data, size, kMaxJsonDepth)) {
            *why = "its glTF JSON nests too deeply";
            return B_ILLEGAL_DATA;
        }
        if (!gltf_buffer_uris(data, size, &check->bufferUris)) {
            *why = "its glTF JSON is damaged";
            return B_ILLEGAL_DATA;
        }
        break;
    case ModelFormat::kGlb: {
        knowsCount = false;
        // Header, then the JSON chunk: its length, "JSON", the text.
        const uint64 jsonLength = size >= 20 ? le32(data + 12) : 0;
        if (size < 20 || std::memcmp(data + 16, "JSON", 4) != 0 || jsonLength > size - 20) {
            *why = "its glTF container has no JSON chunk";
            return B_ILLEGAL_DATA;
        }
        if (!json_depth_within(data + 20, size_t(jsonLength), kMaxJsonDepth)) {
            *why = "its glTF JSON nests too deeply";
            return B_ILLEGAL_DATA;
        }
        break;
    }
    default: break;
    }
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
