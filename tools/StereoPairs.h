// Depth from two views of one scene: a stereo pair matched with OpenCV's
// semi-global matcher, its holes (occlusions, the band at the left edge the
// right view does not see) filled from the background side, and the result
// brought to the left photo's size along the photo's own edges.
//
// Only pellara-depth links this (and OpenCV); the window never does.
#ifndef STEREO_PAIRS_H
#define STEREO_PAIRS_H

#include <DepthMaps.h>
#include <SupportDefs.h>

#include <string>

class BBitmap;

namespace pairs {

// How one picture holds both views.
enum class Layout
{
    kNone,
    kLeftRight,  // "lr": the left eye's view in the left half
    kRightLeft,  // "rl": crossed, the left eye's view in the right half
    kTopBottom,  // "tb": the left eye's view on top
    kBottomTop,  // "bt": the left eye's view below
};

// "lr", "rl", "tb" or "bt"; false for anything else.
bool ParseLayout(const std::string& text, Layout* layout);

struct PairOptions
{
    // Finds matching features and rectifies the pair before matching: for
    // two hand-held shots, whose rows do not line up.
    bool rectify = false;
    // The pixels the match works at; the result is brought up to the left
    // view's size.
    double workingPixels = 1'000'000;
};

// What a match says beyond the map.
struct PairReport
{
    // Without rectify: the views' rows clearly do not line up.
    bool rowsDisagree = false;
    // The disparity range searched, in pixels at the working size.
    int minDisparity = 0;
    int disparities = 0;
};

// Depth from the left and right views (B_RGB32 or B_RGBA32), as a map of the
// left view's size: 1 near, 0 far, every pixel set. The right view is taken
// at the left one's size. B_BAD_VALUE (with *why) for views too small or of
// different shapes, or that rectify cannot relate; B_NO_MEMORY.
status_t DepthFromViews(const BBitmap& left, const BBitmap& right, const PairOptions& options,
                        depth_map* map, PairReport* report = nullptr, std::string* why = nullptr);

// The same from one picture holding both views side by side or one above
// the other; an odd width or height leaves out the middle line.
status_t DepthFromLayout(const BBitmap& picture, Layout layout, const PairOptions& options,
                         depth_map* map, PairReport* report = nullptr,
                         std::string* why = nullptr);

// The baseline the benchmark compares with: OpenCV's matcher and its
// weighted-least-squares filter at the settings of OpenCV's own sample,
// at the working size and left as it leaves holes (NaN where it has no
// disparity). Disparities in pixels at the working size.
status_t BaselineDisparity(const BBitmap& left, const BBitmap& right, const PairOptions& options,
                           depth_map* map, std::string* why = nullptr);

} // namespace pairs

#endif // STEREO_PAIRS_H
