// Pictures scaled smoothly to another size: a depth picture to the size of
// the stereogram it makes (a 1000-px depth map for a 10000-px poster), a
// pattern tile to its printed size.
#ifndef FUSE_RESAMPLE_H
#define FUSE_RESAMPLE_H

#include <SupportDefs.h>

#include <memory>

class BBitmap;

namespace fuse {

// picture (4 bytes a pixel) scaled to width x height with the Mitchell and
// Netravali cubic (B = C = 1/3: smooth, with little ringing at edges),
// widened when shrinking; the picture's edge pixels extend past it. A new
// bitmap of picture's colour space, or null when there is no memory.
std::unique_ptr<BBitmap> ScalePicture(const BBitmap* picture, int32 width, int32 height);

// The height that keeps ownWidth x ownHeight's shape at width, to the
// nearest row and at least 1: what --width gives.
inline uint64 HeightKeepingShape(uint64 width, uint64 ownWidth, uint64 ownHeight)
{
    const uint64 height = ownWidth > 0 ? (width * ownHeight + ownWidth / 2) / ownWidth : 0;
    return height > 0 ? height : 1;
}

// The rows ScalePicture would make, a band at a time, for a stereogram made
// row by row: the picture (kept by the caller) is held, the scaled one never.
class RowScaler
{
public:
    RowScaler(const BBitmap* picture, int32 width, int32 height);
    ~RowScaler();

    // False for what ScalePicture refuses.
    bool IsValid() const { return fData != nullptr; }
    // Rows first to first + count - 1, 4 bytes a pixel, packed. Any thread
    // at once; false without memory.
    bool Rows(int32 first, int32 count, uint8* to) const;

private:
    struct Data;
    const BBitmap* fPicture;
    int32 fWidth, fHeight;
    std::unique_ptr<Data> fData;
};

} // namespace fuse

#endif // FUSE_RESAMPLE_H
