// This layer's own (the platform has no such header): the one place that
// says how many pixels and bytes a picture takes, for bitmaps, the engine and the
// translation kit alike. A bitmap's length is an int32, so anything larger
// is refused everywhere the same way.
#ifndef _PICTURE_SIZE_H
#define _PICTURE_SIZE_H

#include <SupportDefs.h>

#include <cmath>
#include <limits>

// Pixels along one axis of inclusive bounds: high - low truncated toward
// zero, plus one; 0 when either end is not finite, when high is below low,
// or when the count would not fit an int32.
inline int32 pixel_extent(float low, float high)
{
    if (!std::isfinite(low) || !std::isfinite(high) || high < low)
        return 0;
    const double span = std::trunc(double(high) - double(low)) + 1.0;
    if (span > double(std::numeric_limits<int32>::max()))
        return 0;
    return static_cast<int32>(span);
}

// Inclusive ends low..high along one axis that pixel_extent() counts as
// exactly count pixels. A float holds every integer only up to 2^24, so
// 0..count - 1 would round past that (19999999 becomes 20000000): high is
// kept where a float lands exactly and low, a small negative number, takes
// the rest.
inline void pixel_span(int32 count, float* low, float* high)
{
    const int32 last = count > 0 ? count - 1 : -1;
    int32 end = int32(float(last));
    while (int64(end) > int64(last))
        end = int32(std::nextafter(float(end), 0.0f));
    *high = float(end);
    *low = float(end - last);
}

// Bytes of a width x height picture whose rows hold bitsPerPixel bits a
// pixel, each row padded to a multiple of 4 bytes; 0 when the picture is
// empty or when a row or the whole would not fit an int32.
constexpr int32 picture_bytes(int64 width, int64 height, int32 bitsPerPixel = 32)
{
    constexpr int64 kLimit = std::numeric_limits<int32>::max();
    if (width <= 0 || height <= 0 || bitsPerPixel <= 0 || width > kLimit || height > kLimit)
        return 0;
    const int64 row = (width * bitsPerPixel + 31) / 32 * 4;
    if (row > kLimit || row > kLimit / height)
        return 0;
    return static_cast<int32>(row * height);
}

#endif // _PICTURE_SIZE_H
