// The platform's reading calls, over the one reading pipeline.
#include <ReadingPipeline.h>
#include <TranslationUtils.h>

BBitmap* BTranslationUtils::GetBitmapFile(const char* path, BTranslatorRoster*)
{
    BBitmap* bitmap = nullptr;
    return ReadBitmapFile(path, &bitmap) == B_OK ? bitmap : nullptr;
}

BBitmap* BTranslationUtils::GetBitmap(const char* path, BTranslatorRoster* roster)
{
    return GetBitmapFile(path, roster);
}

status_t BTranslationUtils::ReadBitmapFile(const char* path, BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;
    return BPrivate::read_picture_file(path, outBitmap);
}
