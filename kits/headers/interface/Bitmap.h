// Off-screen pictures. A bitmap owns one pixel buffer; rows are padded to a
// multiple of 4 bytes. Invalid bounds or an unrepresentable size leave a
// bitmap whose InitCheck() fails and whose Bits() is null.
#ifndef _BITMAP_H
#define _BITMAP_H

#include <GraphicsDefs.h>
#include <Rect.h>

#include <vector>

class BView;

// This layer's own: bounds of exactly width x height pixels, even past the
// 2^24 that a float counts one by one (a one-pixel-wide strip 20 million
// tall, say), where BRect(0, 0, width - 1, height - 1) would round.
BRect pixel_bounds(int32 width, int32 height);

enum
{
    B_BITMAP_ACCEPTS_VIEWS = 0x00000002,
    B_BITMAP_IS_CONTIGUOUS = 0x00000008,
};

class BBitmap
{
public:
    BBitmap(BRect bounds, color_space space, bool acceptsViews = false,
            bool needsContiguous = false);
    BBitmap(BRect bounds, uint32 flags, color_space space);
    virtual ~BBitmap();

    BBitmap(const BBitmap&) = delete;
    BBitmap& operator=(const BBitmap&) = delete;

    status_t InitCheck() const { return fInitStatus; }
    bool IsValid() const { return fInitStatus == B_OK; }

    BRect Bounds() const { return fBounds; }
    void* Bits() const { return fBits; }
    int32 BitsLength() const { return fBitsLength; }
    int32 BytesPerRow() const { return fBytesPerRow; }
    color_space ColorSpace() const { return fColorSpace; }
    uint32 Flags() const { return fFlags; }

    // Pixel size as the bounds give it: (right - left) truncated, plus one.
    int32 PixelWidth() const { return fWidth; }
    int32 PixelHeight() const { return fHeight; }

    // Views drawing into the bitmap (only when it accepts views).
    void AddChild(BView* view);
    bool RemoveChild(BView* view);
    int32 CountChildren() const { return static_cast<int32>(fViews.size()); }
    BView* ChildAt(int32 index) const;

    bool Lock();
    void Unlock();
    bool IsLocked() const { return fLockCount > 0; }

private:
    void _Allocate(BRect bounds, color_space space);

    BRect fBounds;
    color_space fColorSpace;
    uint32 fFlags;
    int32 fWidth;
    int32 fHeight;
    int32 fBytesPerRow;
    int32 fBitsLength;
    void* fBits;
    status_t fInitStatus;
    int32 fLockCount;
    std::vector<BView*> fViews;
};

#endif // _BITMAP_H
