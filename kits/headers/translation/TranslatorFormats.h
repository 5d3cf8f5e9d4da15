// Type codes of the formats the translation kit knows, and the layout of a
// bitmap stream. Codes are four characters read as a big-endian word; the
// platform defines 'bits', 'PNG ', 'JPEG', 'BMP ', 'TIFF' and 'PPM '; the
// layer's own codes are in LayerFormats.h.
#ifndef _TRANSLATOR_FORMATS_H
#define _TRANSLATOR_FORMATS_H

#include <GraphicsDefs.h>
#include <Rect.h>
#include <TranslationDefs.h>

// The word of a four-character code such as "PNG " (spaces included).
constexpr uint32 translation_type_code(const char (&code)[5])
{
    return (uint32(uint8(code[0])) << 24) | (uint32(uint8(code[1])) << 16) |
           (uint32(uint8(code[2])) << 8) | uint32(uint8(code[3]));
}

enum : uint32
{
    B_TRANSLATOR_BITMAP = translation_type_code("bits"), // 0x62697473
    B_PNG_FORMAT = translation_type_code("PNG "),
    B_JPEG_FORMAT = translation_type_code("JPEG"),
    B_BMP_FORMAT = translation_type_code("BMP "),
    B_TIFF_FORMAT = translation_type_code("TIFF"),
    B_PPM_FORMAT = translation_type_code("PPM "),
};

// A bitmap stream starts with this header, every field big-endian, followed
// by dataSize bytes of rows as the bitmap holds them.
struct TranslatorBitmap
{
    uint32 magic; // B_TRANSLATOR_BITMAP
    BRect bounds;
    uint32 rowBytes;
    color_space colors;
    uint32 dataSize;
};

#endif // _TRANSLATOR_FORMATS_H
