// 3D models (STL, OBJ, PLY, glTF 2.0) as depth pictures: loaded with assimp,
// turned, centred and scaled to fill the picture, and drawn with an
// orthographic z-buffer looking down the model's -Z axis.
#ifndef MODEL_DEPTH_H
#define MODEL_DEPTH_H

#include "ModelChecks.h"
#include "ModelReader.h"

#include <DepthMaps.h>
#include <SupportDefs.h>

#include <cstddef>
#include <string>
#include <vector>

namespace depth {

// The most triangles a model may have: about 1.7 GB in assimp's hands for
// a binary STL, the heaviest case per triangle.
constexpr uint64 kMaxModelTriangles = 10'000'000;
// The largest model file read: a binary STL at the triangle ceiling is
// 500 MB; text formats take more bytes a triangle.
constexpr uint64 kMaxModelBytes = uint64(2) << 30;

struct ModelView
{
    int32 width = 1024;
    int32 height = 768;
    // Degrees about X, then Y, then Z.
    double rotate[3] = {0, 0, 0};
    uint64 maxTriangles = kMaxModelTriangles;
    // The triangles as the model's nodes place them, about the centre of
    // their box, unturned and unscaled (ModelTurn places them per frame).
    bool modelSpace = false;
};

// The model drawn into *map at view's size: 1 for the nearest point of the
// model, 0 for its farthest and for the empty background. path, when not
// null, is where data came from: a glTF file finds its buffers beside it.
// B_OK; B_NO_TRANSLATOR when no model of a known format; B_BAD_DATA for a
// model without triangles or without extent; B_NO_MEMORY over the
// triangle ceiling; B_ILLEGAL_DATA when assimp cannot read it. *why says
// why on failure.
status_t RenderModel(const uint8* data, size_t size, const char* path, const ModelView& view,
                     depth_map* map, std::string* why);

// The z-buffer: triangles given by their corners in picture coordinates
// (x right, y down, in pixels; z the nearness), the nearest kept per pixel
// whose centre lies inside or on the edge of a triangle.
class DepthBuffer
{
public:
    DepthBuffer(int32 width, int32 height, float* values);
    void Triangle(const float a[3], const float b[3], const float c[3]);

private:
    int32 fWidth;
    int32 fHeight;
    float* fValues;
};

// How much drawing a model may cost, in pixels written (a row's span
// counting as a few dozen): about a nanosecond each.
struct FillLimits
{
    // Up to this much, triangles are drawn as they come.
    uint64 plainWork = uint64(1) << 27;
    // The most a model may cost, about two seconds; past it, the model is
    // refused.
    uint64 mostWork = uint64(3) << 29;
};

// The triangles drawn into values (width x height, zeroed by the caller) as
// DepthBuffer draws them, within a bounded amount of work: many triangles
// over the same pixels are drawn nearest first, skipping what is already
// hidden and copies of one triangle. Reorders and thins *triangles.
// B_OK; B_NO_MEMORY, *why saying so, when drawing would cost too much.
status_t DrawTriangles(std::vector<PlacedTriangle>* triangles, int32 width, int32 height,
                       float* values, std::string* why, const FillLimits& limits = {});

// A model read once (one walled child) and drawn turned any number of ways,
// every drawing framed alike: the model's bounding sphere, which no turn
// changes, fills the picture less its margins and spans the nearness, 1 at
// its front and 0 at its back, so that a turning model neither grows,
// shrinks nor changes its depth range from frame to frame.
class ModelTurn
{
public:
    // As RenderModel reads (view's size is the drawings'; its rotate is
    // not used).
    status_t Read(const uint8* data, size_t size, const char* path, const ModelView& view,
                  std::string* why);
    // The model turned about the sphere's centre by angles (degrees about
    // X, then Y, then Z) into *map, which keeps its memory from one drawing
    // to the next. DrawTriangles' bounds hold for each drawing.
    status_t Draw(const double angles[3], depth_map* map, std::string* why,
                  const FillLimits& limits = {});

private:
    int32 fWidth = 0;
    int32 fHeight = 0;
    double fRadius = 0;
    std::vector<PlacedTriangle> fModel;
    std::vector<PlacedTriangle> fPlaced;
};

} // namespace depth

#endif // MODEL_DEPTH_H
