#ifndef PELLARA_JPEG_WIDE_SAMPLES_H
#define PELLARA_JPEG_WIDE_SAMPLES_H

#include <ImageTranslator.h>

namespace BPrivate {

// JPEGs that libjpeg-turbo 2.1 cannot decode: 12-bit DCT samples (medical
// and scientific cameras) and lossless JPEG. libavcodec's JPEG decoder
// reads those of them it reads right. Which a file is, its frame header says.
bool jpeg_needs_wide_decoder(const uint8* data, size_t size);

// The header stage (bitmap null) and the decode of such a file, as the
// JPEG translator's own are; the orientation is left to the caller.
status_t read_wide_jpeg(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header, BBitmap* bitmap);

} // namespace BPrivate

#endif
