// Depth maps as numbers and as pictures: from a picture to nearness, and
// from nearness, at any size, to the grey picture pellara-depth writes.
#ifndef DEPTH_PICTURES_H
#define DEPTH_PICTURES_H

#include <DepthMaps.h>
#include <GraphicsDefs.h>
#include <SupportDefs.h>

#include <memory>

class BBitmap;

namespace depth {

// Whether a picture is in colour rather than grey: a photo, not a depth
// picture. JPEG's chroma noise on grey content does not count.
bool IsColourPicture(const BBitmap& picture);

struct Levels
{
    // Stretches the map's least..greatest value to black..white; without
    // it the map's own 0..1 is kept.
    bool normalize = true;
    // Near becomes far.
    bool invert = false;
    // With normalize, the range stretched is this one instead of the map's
    // own: a clip's frames share the clip's.
    bool shared = false;
    float least = 0;
    float greatest = 0;
};

// The least and greatest finite value of map, folded into *least and
// *greatest (start them at INFINITY and -INFINITY).
void WidenRange(const depth_map& map, float* least, float* greatest);

// The map at width x height, resampled smoothly (a cubic B-spline: no
// steps and no overshoot at depth edges; wider for shrinking, so nothing
// aliases), as grey light = near. space is B_GRAY8 or B_RGB32. Null when
// memory runs out.
std::unique_ptr<BBitmap> MakeDepthPicture(const depth_map& map, int32 width, int32 height,
                                          const Levels& levels, color_space space);

} // namespace depth

#endif // DEPTH_PICTURES_H
