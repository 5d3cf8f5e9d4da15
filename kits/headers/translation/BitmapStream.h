// A bitmap seen as a stream: a TranslatorBitmap header, then the rows.
// Reading serialises the bitmap; writing a header and rows into an empty
// stream builds one. The stream owns its bitmap until DetachBitmap().
#ifndef _BITMAP_STREAM_H
#define _BITMAP_STREAM_H

#include <DataIO.h>
#include <TranslatorFormats.h>

class BBitmap;

class BBitmapStream : public BPositionIO
{
public:
    BBitmapStream(BBitmap* bitmap = nullptr);
    ~BBitmapStream() override;

    ssize_t ReadAt(off_t position, void* buffer, size_t size) override;
    ssize_t WriteAt(off_t position, const void* buffer, size_t size) override;
    off_t Seek(off_t position, uint32 seekMode) override;
    off_t Position() const override { return fPosition; }
    status_t SetSize(off_t size) override;
    status_t GetSize(off_t* size) const override;

    // Hands the bitmap to the caller, who then deletes it; the stream is
    // empty afterwards. B_ERROR when there is no bitmap (never was, or
    // already detached).
    status_t DetachBitmap(BBitmap** outBitmap);

private:
    friend class BTranslatorRoster;

    void _FillHeader();
    status_t _BuildFromHeader();

    BBitmap* fBitmap;
    uint8 fHeader[sizeof(TranslatorBitmap)];
    off_t fPosition;
    off_t fSize;
};

#endif // _BITMAP_STREAM_H
