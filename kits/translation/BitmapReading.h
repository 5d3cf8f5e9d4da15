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

#endif // _BITMAP_READING_H
