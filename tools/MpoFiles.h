// The two views of a multi-picture (MPO) file: 3D cameras and consoles store
// a stereo pair as JPEGs one after another, indexed in the first one's APP2
// "MPF" segment (CIPA DC-007). Read without decoding anything, so that a
// lying index is refused before a picture is allocated.
#ifndef MPO_FILES_H
#define MPO_FILES_H

#include <SupportDefs.h>

#include <cstddef>

namespace pairs {

// One JPEG inside the file.
struct JpegSpan
{
    size_t offset = 0;
    size_t size = 0;
};

// The index lists no more images than this: a camera writes two, a
// multi-angle shot a handful.
constexpr uint32 kMostMpoImages = 64;

// The left and right views (the first two disparity images, which the index
// lists in viewpoint order, left to right). Statuses:
//   B_OK              views[0] and views[1] lie within the file and start as JPEGs;
//   B_NAME_NOT_FOUND  no MPF index with two disparity views (a plain JPEG, or
//                     a phone's JPEG whose index lists a preview or gain map);
//   B_ILLEGAL_DATA    an index that lies; *why (a constant) says how.
status_t FindMpoViews(const uint8* data, size_t size, JpegSpan views[2],
                      const char** why = nullptr);

} // namespace pairs

#endif // MPO_FILES_H
