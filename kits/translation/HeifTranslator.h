// HEIF (HEIC, every phone's photos) and AVIF through libheif: the primary
// picture, its rotation, mirroring and crop applied, deep colour brought to
// 8 bits.
#ifndef _HEIF_TRANSLATOR_H
#define _HEIF_TRANSLATOR_H

#include <ImageTranslator.h>

struct heif_error;

namespace BPrivate {

const ImageTranslator* heif_translator();

// libheif's decoders registered, once for the process.
void initialise_libheif();
// A libheif error as a reader's status.
status_t libheif_status(const heif_error& error);

// A grid of tiles or an overlay declares its canvas in its own data, and
// libheif allocates that canvas whatever the item's 'ispe' box claims: a
// file of a few hundred bytes could cost gigabytes. Whether every such item
// in the file is within the budget, and within deflate's ratio to the
// file's size; what can't be parsed here is left for libheif to judge.
bool heif_canvases_admitted(const uint8* data, size_t size, const ReadBudget& budget);
// Whether every picture a grid, overlay or derived item is made of is an
// item libheif decodes as a picture: libheif 1.15 aborts the process on a
// reference to anything else.
bool heif_derivations_sound(const uint8* data, size_t size);

} // namespace BPrivate

#endif // _HEIF_TRANSLATOR_H
