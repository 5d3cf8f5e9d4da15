// Reading pictures from files through the image codecs installed.
//
// The format is found from the content, never from the name. A picture that
// would need more than kDecodeLimitMiB megabytes to decode, or more than a
// BBitmap can hold (2 GiB of pixels), is refused before its pixels are read.
#ifndef _TRANSLATION_UTILS_H
#define _TRANSLATION_UTILS_H

#include <TranslationDefs.h>

class BBitmap;
class BMenu;
class BMessage;
class BTranslatorRoster;

// The code of the messages AddTranslationItems puts in its items.
enum : uint32
{
    B_TRANSLATION_MENU = 'BTMN'
};

class BTranslationUtils
{
public:
    static constexpr int32 kDecodeLimitMiB = 2048;

    // A new B_RGB32 bitmap (B_RGBA32 when the file has an alpha channel)
    // with bounds (0, 0, w - 1, h - 1), or null. The first frame of an
    // animation; EXIF orientation applied. The roster is not consulted:
    // every installed reader is tried.
    static BBitmap* GetBitmapFile(const char* path, BTranslatorRoster* roster = nullptr);
    static BBitmap* GetBitmap(const char* path, BTranslatorRoster* roster = nullptr);

    // As GetBitmapFile, telling why it failed: B_BAD_VALUE (no path),
    // B_ENTRY_NOT_FOUND, B_PERMISSION_DENIED, B_IS_A_DIRECTORY, B_BAD_TYPE
    // (not a regular file), B_NO_TRANSLATOR (not a picture any reader
    // knows), B_ILLEGAL_DATA (corrupt or truncated), B_NO_MEMORY (too large).
    static status_t ReadBitmapFile(const char* path, BBitmap** outBitmap);

    // Adds to intoMenu one item for each format a translator writes from
    // fromType, labelled with the format's name, in the roster's order. Each
    // item's message is a copy of model (or a new B_TRANSLATION_MENU
    // message) with the translator's id under translatorIdName
    // ("be:translator") and the format's type under translatorTypeName
    // ("be:type"), both int32. The items target the menu's window.
    static status_t AddTranslationItems(BMenu* intoMenu, uint32 fromType,
                                        const BMessage* model = nullptr,
                                        const char* translatorIdName = nullptr,
                                        const char* translatorTypeName = nullptr,
                                        BTranslatorRoster* roster = nullptr);

private:
    BTranslationUtils() = delete;
};

#endif // _TRANSLATION_UTILS_H
