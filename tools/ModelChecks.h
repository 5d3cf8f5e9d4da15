// What a model file shows before any library reads it: its format, from
// signatures and structure alone, and the counts that can be checked against
// the bytes present, so that a lying file is refused before it costs.
#ifndef MODEL_CHECKS_H
#define MODEL_CHECKS_H

#include <SupportDefs.h>

#include <cstddef>
#include <string>
#include <vector>

namespace depth {

enum class ModelFormat
{
    kNone,
    kStlBinary,
    kStlAscii,
    kObj,
    kPly,
    kGltf, // JSON
    kGlb,  // binary container
};

// The format the content shows, from signatures and structure alone.
ModelFormat SniffModel(const uint8* data, size_t size);

// What the checks found out.
struct ModelCheck
{
    // The triangles the file declares, when knowsCount.
    uint64 triangles = 0;
    bool knowsCount = false;
    // The bytes the model reader is given instead of the file's, when not
    // empty (a glTF without the parts a depth picture does not need).
    std::string replacement;
    // The buffers a glTF file names by relative URI, to be read from the
    // model's own folder, and the bytes each declares (the file may hold
    // more, never fewer).
    std::vector<std::string> bufferUris;
    std::vector<uint64> bufferLengths;
};

// B_OK when the file may go to the model reader; B_ILLEGAL_DATA for a file
// whose structure lies or is damaged, B_BAD_DATA for a model without
// triangles, B_NO_MEMORY over maxTriangles. *why says why in a few words.
status_t CheckModel(ModelFormat format, const uint8* data, size_t size, uint64 maxTriangles,
                    ModelCheck* check, std::string* why);

} // namespace depth

#endif // MODEL_CHECKS_H
