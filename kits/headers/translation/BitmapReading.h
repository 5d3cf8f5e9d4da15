// Reading a picture already held in memory, as ReadBitmapFile reads a file:
// for data that does not come from a file (standard input, a drop's
// payload).
#ifndef _BITMAP_READING_H
#define _BITMAP_READING_H

#include <SupportDefs.h>

#include <cstddef>
#include <limits>

class BBitmap;

// A new bitmap in *outBitmap, or null and the same statuses as
// BTranslationUtils::ReadBitmapFile: B_BAD_VALUE, B_NO_TRANSLATOR,
// B_ILLEGAL_DATA, B_NO_MEMORY. nameHint (may be null) is a file name whose
// extension breaks ties between formats without a magic number; the format
// still comes from the content.
status_t read_bitmap_data(const void* data, size_t size, const char* nameHint,
                          BBitmap** outBitmap);

// The same from an open descriptor read to its end (standard input, a
// pipe): only its first bytes are read until they look like a picture, and
// nothing beyond max_picture_file_bytes(), which is refused as B_NO_MEMORY.
// Also B_BAD_VALUE for no descriptor, or the read's own error.
status_t read_bitmap_stream(int fd, const char* nameHint, BBitmap** outBitmap);

// Whether the first bytes of a stream, of a length not yet known, look like
// a picture of a format that can be read: what read_bitmap_stream checks
// before it reads on.
bool looks_like_picture(const void* data, size_t size);

// Whether name (an extension or short name, "qoi", in any case) is one of a
// format that can be read, whether or not anything writes it.
bool is_read_format_name(const char* name);

// The longest file or stream read for a picture: enough for the largest one
// the pixel ceiling admits stored raw at 16 bits a channel with alpha, and
// its metadata. ReadBitmapFile refuses a longer file unread.
uint64 max_picture_file_bytes();

// The reading budget's pixel ceiling: a picture declaring more pixels is
// refused before anything is allocated. A 1 m print at 400 dpi is about 250
// megapixels.
constexpr uint64 kDefaultMaxPicturePixels = uint64(256) << 20;
// The most pixels a bitmap of 4-byte pixels holds (its length is an int32):
// 536,870,911, about 23170 x 23170.
constexpr uint64 kMostPicturePixels = uint64(std::numeric_limits<int32>::max()) / 4;
uint64 max_picture_pixels();
// pixels is kept within 1 and kMostPicturePixels.
void set_max_picture_pixels(uint64 pixels);

// This layer's own: the size declared by the last picture a read on this
// thread refused as too large (B_NO_MEMORY over the pixel ceiling), so that
// a refusal can name it; false when none was refused since
// forget_refused_picture_size(). Either pointer may be null.
bool refused_picture_size(uint64* width, uint64* height);
void forget_refused_picture_size();

#endif // _BITMAP_READING_H
