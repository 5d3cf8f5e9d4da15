// Shared by the translation kit's sources only: Qt's codecs behind the kit.
#ifndef _TRANSLATION_PRIVATE_H
#define _TRANSLATION_PRIVATE_H

namespace BPrivate {

// Sets the decoder allocation limit and quietens the codecs' own chatter
// (libpng warnings and the like): failures are reported by status instead.
// Safe to call from any thread, any number of times.
void prepare_image_codecs();

} // namespace BPrivate

#endif // _TRANSLATION_PRIVATE_H
