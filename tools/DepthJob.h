// The work of pellara-depth: a depth picture (grey, light = near) from what
// people have: a phone's portrait photo with its depth map, any picture, a
// 3D model, or a few words.
#ifndef DEPTH_JOB_H
#define DEPTH_JOB_H

#include <DepthMaps.h>
#include <SupportDefs.h>

#include <string>

namespace depth {

// What an input turned out to be.
enum class InputKind
{
    kPhoto,   // a photo's embedded depth map
    kPicture, // a picture taken as depth
    kModel,
    kText,
};

// A size given as WxH ("1024x768"); false for anything else.
bool ParseSize(const std::string& text, int32* width, int32* height);
// Three angles in degrees, "X,Y,Z"; false for anything else.
bool ParseRotation(const std::string& text, double angles[3]);

// The whole tool: exit status 0, 1 when the run fails, 2 for a usage error.
int Main(int argc, char** argv);

} // namespace depth

#endif // DEPTH_JOB_H
