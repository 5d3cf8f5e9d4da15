// The translators installed: one for each bitmap format the image codecs can
// write faithfully enough (PNG, JPEG, BMP, TIFF, WebP, PPM, PGM, XPM where
// the codecs are present). Each reads B_TRANSLATOR_BITMAP from a
// BBitmapStream and writes its own format. Ids run from 1 in a fixed order,
// so a loop over GetAllTranslators() builds the same menu every time.
#ifndef _TRANSLATOR_ROSTER_H
#define _TRANSLATOR_ROSTER_H

#include <DataIO.h>
#include <TranslationDefs.h>
#include <TranslatorFormats.h>

#include <memory>

// This layer's own ioExtension field (the platform has none for it): an
// int32, the print resolution in dots per inch (1 to 65535), written as PNG
// pHYs, JPEG JFIF density, TIFF resolution tags and EXIF resolution in WebP
// and JPEG XL.
constexpr char kResolutionField[] = "pellara:dpi";
constexpr int32 kMostResolution = 65535;

class BTranslatorRoster
{
public:
    BTranslatorRoster();
    ~BTranslatorRoster();

    BTranslatorRoster(const BTranslatorRoster&) = delete;
    BTranslatorRoster& operator=(const BTranslatorRoster&) = delete;

    static BTranslatorRoster* Default();

    // list is allocated with new[]; the caller frees it with delete[].
    status_t GetAllTranslators(translator_id** list, int32* count) const;
    status_t GetTranslatorInfo(translator_id id, const char** name, const char** info,
                               int32* version) const;
    status_t GetInputFormats(translator_id id, const translation_format** formats,
                             int32* count) const;
    status_t GetOutputFormats(translator_id id, const translation_format** formats,
                              int32* count) const;

    // Encodes the bitmap of a BBitmapStream source into destination, at its
    // position. wantedType must be the translator's output type (0 means
    // that type). ioExtension may be null; its kResolutionField, when
    // present, is recorded in the file where the format can.
    status_t Translate(translator_id id, BPositionIO* source, BMessage* ioExtension,
                       BPositionIO* destination, uint32 wantedType);

    // The translator writing a type code, or one known by a short name or a
    // file extension ("png", "JPG", "tif"; case does not matter).
    status_t FindTranslator(uint32 type, translator_id* id) const;
    status_t FindTranslator(const char* name, translator_id* id) const;
    // The short name ("png"), also the usual file extension; null if unknown.
    const char* ShortName(translator_id id) const;
    // Whether the format keeps every pixel exactly.
    bool IsLossless(translator_id id) const;
    // The most pixels a side the format holds; 0 when only the bitmap's
    // own limits apply.
    uint32 LargestSide(translator_id id) const;

    struct Private;

private:
    std::unique_ptr<Private> fPrivate;
};

#endif // _TRANSLATOR_ROSTER_H
