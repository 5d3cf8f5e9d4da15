#ifndef _TRANSLATION_UTILS_H
#define _TRANSLATION_UTILS_H

#include <SupportDefs.h>

class BBitmap;
class BTranslatorRoster;

class BTranslationUtils
{
public:
    // Reads any picture a decoder is installed for; null when it cannot.
    static BBitmap* GetBitmapFile(const char* name, BTranslatorRoster* roster = nullptr);
};

#endif // _TRANSLATION_UTILS_H
