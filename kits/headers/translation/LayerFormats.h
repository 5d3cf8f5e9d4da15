// Type codes of formats the platform has no code of its own for: this
// layer's additions, named as ours. Four characters read as a big-endian
// word, as the platform's own codes are.
#ifndef _LAYER_FORMATS_H
#define _LAYER_FORMATS_H

#include <TranslatorFormats.h>

enum : uint32
{
    kWebpFormat = translation_type_code("WEBP"),
    kPgmFormat = translation_type_code("PGM "),
    kXpmFormat = translation_type_code("XPM "),
};

#endif // _LAYER_FORMATS_H
