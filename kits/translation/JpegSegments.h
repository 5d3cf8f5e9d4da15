// A JPEG's marker segments before its first scan, walked by one rule for
// every reader that looks at them (the orientation, the frame header of
// wide samples, depth maps' metadata). Private to the translation kit.
#ifndef _JPEG_SEGMENTS_H
#define _JPEG_SEGMENTS_H

#include "ByteReading.h"

#include <SupportDefs.h>

#include <cstddef>

namespace BPrivate {

// One segment: its marker's second byte, where its 0xFF stands, and what
// follows its length.
struct JpegSegment
{
    uint8 marker;
    size_t at;
    const uint8* payload;
    size_t size;
};

enum class jpeg_walk
{
    kScan,    // the first scan's header reached (at *stopAt), whole
    kEnd,     // the end of the image (at *stopAt) came before any scan
    kStopped, // visit asked to stop
    kBroken,  // no JPEG we know: a byte that is no marker, a second start
              // of image, a segment past the file's end, or the file ends
};

// A marker with no length after it: a stuffed zero, TEM, a restart.
inline bool is_lone_jpeg_marker(uint8 marker)
{
    return marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

// Calls visit(segment) for each segment after the start of image up to the
// first scan's header, which it does not visit; visit returns false to
// stop. Fill bytes and markers without a length (TEM, restarts, a stuffed
// zero) are passed over. libjpeg refuses a second start of image, and so
// does this.
template <typename Visit>
jpeg_walk walk_jpeg_segments(const uint8* data, size_t size, size_t* stopAt, Visit visit)
{
    size_t at = 2;
    while (at + 2 <= size) {
        if (data[at] != 0xFF)
            return jpeg_walk::kBroken;
        const uint8 marker = data[at + 1];
        if (marker == 0xFF) {
            at++;
            continue;
        }
        if (is_lone_jpeg_marker(marker)) {
            at += 2;
            continue;
        }
        if (marker == 0xD9) {
            if (stopAt != nullptr)
                *stopAt = at;
            return jpeg_walk::kEnd;
        }
        if (marker == 0xD8 || at + 4 > size)
            return jpeg_walk::kBroken;
        const size_t length = big16(data + at + 2);
        if (length < 2 || length > size - at - 2)
            return jpeg_walk::kBroken;
        if (marker == 0xDA) {
            if (stopAt != nullptr)
                *stopAt = at;
            return jpeg_walk::kScan;
        }
        if (!visit(JpegSegment{marker, at, data + at + 4, length - 2}))
            return jpeg_walk::kStopped;
        at += 2 + length;
    }
    return jpeg_walk::kBroken;
}

// SOF0 to SOF15 but DHT (C4), JPG (C8) and DAC (CC).
inline bool is_jpeg_frame_marker(uint8 marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
           marker != 0xCC;
}

} // namespace BPrivate

#endif // _JPEG_SEGMENTS_H
