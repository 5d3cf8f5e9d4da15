// The model library's side of the model road: a file assimp reads, its
// meshes placed where the nodes put them, turned, and brought to the
// picture's coordinates as a flat list of triangles.
#ifndef MODEL_READER_H
#define MODEL_READER_H

#include "ModelChecks.h"

#include <SupportDefs.h>

#include <string>
#include <vector>

namespace depth {

struct ModelView;

// The share of the picture left clear on each side of a model.
constexpr double kModelMargin = 0.05;

// One triangle in picture coordinates: x right and y down in pixels, z the
// nearness (1 the model's nearest point, 0 its farthest).
struct PlacedTriangle
{
    float corner[3][3];
};

struct ModelSource
{
    const uint8* data = nullptr;
    size_t size = 0;
    ModelFormat format = ModelFormat::kNone;
    // Where the file came from, or null (standard input).
    const char* path = nullptr;
    const ModelCheck* check = nullptr;
};

// The model's triangles, centred and scaled to fill view's picture less its
// margins, read by the library in a walled child process (ModelWall.h) that
// is given the model and the glTF buffers read here from the model's folder,
// and no other file. B_OK; B_BAD_DATA for a model without triangles or
// extent; B_NO_MEMORY over the triangle ceiling or when the reader ran out of
// memory; B_TIMED_OUT when it ran out of time; B_ILLEGAL_DATA when the
// library cannot read it, crashed, or a buffer cannot be read. *why says why
// on failure, in one line.
status_t ReadModelTriangles(const ModelSource& source, const ModelView& view,
                            std::vector<PlacedTriangle>* triangles, std::string* why);

} // namespace depth

#endif // MODEL_READER_H
