// Types shared by the translation kit's classes.
#ifndef _TRANSLATION_DEFS_H
#define _TRANSLATION_DEFS_H

#include <SupportDefs.h>

class BMessage;

typedef int32 translator_id;

// Versions as the platform packs them: 1.2.3 is 0x123.
#define B_TRANSLATION_MAKE_VERSION(major, minor, revision)                                         \
    ((((major)&0xff) << 8) | (((minor)&0xf) << 4) | ((revision)&0xf))

#define B_MIME_STRING_LENGTH 251

// One format a translator reads or writes. quality and capability run from 0
// to 1: how faithfully the format keeps a picture, and how fully the
// translator handles the format.
struct translation_format
{
    uint32 type;
    uint32 group;
    float quality;
    float capability;
    char MIME[B_MIME_STRING_LENGTH];
    char name[B_MIME_STRING_LENGTH];
};

#endif // _TRANSLATION_DEFS_H
