// Qt's image plugins as the last translator: they read whatever none of ours
// recognises and write the formats we do not encode ourselves.
#ifndef _QT_TRANSLATOR_H
#define _QT_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* qt_translator();

} // namespace BPrivate

#endif // _QT_TRANSLATOR_H
