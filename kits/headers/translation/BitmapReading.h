// Reading a picture already held in memory, as ReadBitmapFile reads a file:
// for data that does not come from a file (standard input, a drop's
// payload).
#ifndef _BITMAP_READING_H
#define _BITMAP_READING_H

#include <SupportDefs.h>

#include <cstddef>

class BBitmap;

// A new bitmap in *outBitmap, or null and the same statuses as
// BTranslationUtils::ReadBitmapFile: B_BAD_VALUE, B_NO_TRANSLATOR,
// B_ILLEGAL_DATA, B_NO_MEMORY. nameHint (may be null) is a file name whose
// extension breaks ties between formats without a magic number; the format
// still comes from the content.
status_t read_bitmap_data(const void* data, size_t size, const char* nameHint,
                          BBitmap** outBitmap);

// The reading budget's pixel ceiling: a picture declaring more pixels is
// refused before anything is allocated. A 1 m print at 400 dpi is about 250
// megapixels.
constexpr uint64 kDefaultMaxPicturePixels = uint64(256) << 20;
uint64 max_picture_pixels();
// pixels is kept within 1 and what a bitmap of 4-byte pixels can hold.
void set_max_picture_pixels(uint64 pixels);

#endif // _BITMAP_READING_H
