// Shared by the translation kit's sources only: Qt's codecs behind the kit.
#ifndef _TRANSLATION_PRIVATE_H
#define _TRANSLATION_PRIVATE_H

namespace BPrivate {

// Sets the decoder allocation limit and quietens the codecs' own chatter
// (libpng warnings and the like): failures are reported by status instead.
// Safe to call from any thread, any number of times.
void prepare_image_codecs();

// While one lives on a thread, every message Qt gives on that thread (any
// category, any text: the codecs' own, QBuffer's, QIODevice's) is dropped;
// fatal ones still go through. Qt's codecs run inside one.
class QuietQtCodecs
{
public:
    QuietQtCodecs();
    ~QuietQtCodecs();
    QuietQtCodecs(const QuietQtCodecs&) = delete;
    QuietQtCodecs& operator=(const QuietQtCodecs&) = delete;
};

// Whether libpng's errors are kept off standard error (QuietPng.cpp):
// false only where libpng cannot be reached to make them so.
bool png_errors_quiet();

} // namespace BPrivate

#endif // _TRANSLATION_PRIVATE_H
