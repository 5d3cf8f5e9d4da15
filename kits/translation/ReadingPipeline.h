// The one way a picture is read, whatever its format and whoever decodes
// it. The stages, in order:
//   1. the source's limits: a file longer than max_source_bytes() is refused
//      unread, and one whose first bytes no format's sniff recognises is
//      refused before the rest is read;
//   2. the sniff (PictureFormats.h), then each candidate format's header
//      stage: size, alpha, orientation, frame, and the bytes the declared
//      picture needs;
//   3. here, once for every format: the budget, the truncation rule (a
//      file shorter than its header's leastBytes is refused), one
//      allocation of the bitmap (cleared, never cleared again);
//   4. the format's decoders in turn, into that bitmap;
//   5. here again: a decoder's failure never leaves a picture (no padded
//      or partial pictures), and the orientation is applied.
// Transparent pixels keep their stored colour: no stage premultiplies or
// clears them.
#ifndef _READING_PIPELINE_H
#define _READING_PIPELINE_H

#include <ImageTranslator.h>

namespace BPrivate {

// Reads a whole source. only, when set, is the one decoder allowed (the
// formats it does not decode are not asked).
status_t read_picture(const ImageSource& source, const ReadBudget& budget,
                      const ImageTranslator* only, BBitmap** outBitmap);

// The longest file read: what the largest picture within the budget could
// take stored raw in 16-bit RGBA, plus room for its metadata.
uint64 max_source_bytes(const ReadBudget& budget);

// Reads from an open descriptor: a regular file of knownSize bytes, or a
// pipe when knownSize is negative. Only the first kSniffBytes are read
// until a format's sniff recognises them.
status_t read_picture_from(int fd, int64 knownSize, const char* nameHint, BBitmap** outBitmap);
// Reads the regular file at path (B_IS_A_DIRECTORY, B_BAD_TYPE for
// anything else), its name breaking ties between formats.
status_t read_picture_file(const char* path, BBitmap** outBitmap);

// The file name's extension, lower case, without the dot.
std::string extension_of(const char* name);

} // namespace BPrivate

#endif // _READING_PIPELINE_H
