#include <Bitmap.h>
#include <PictureMemory.h>
#include <PictureSize.h>
#include <View.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

} // namespace

BRect pixel_bounds(int32 width, int32 height)
{
    BRect bounds;
    pixel_span(width, &bounds.left, &bounds.right);
    pixel_span(height, &bounds.top, &bounds.bottom);
    return bounds;
}

BBitmap::BBitmap(BRect bounds, color_space space, bool acceptsViews, bool needsContiguous)
    : fBounds(bounds), fColorSpace(space),
      fFlags((acceptsViews ? uint32(B_BITMAP_ACCEPTS_VIEWS) : 0u) |
             (needsContiguous ? uint32(B_BITMAP_IS_CONTIGUOUS) : 0u)),
      fWidth(0), fHeight(0), fBytesPerRow(0), fBitsLength(0), fBits(nullptr),
      fInitStatus(B_NO_INIT), fLockCount(0)
{
    _Allocate(bounds, space);
}

BBitmap::BBitmap(BRect bounds, uint32 flags, color_space space)
    : fBounds(bounds), fColorSpace(space), fFlags(flags), fWidth(0), fHeight(0), fBytesPerRow(0),
      fBitsLength(0), fBits(nullptr), fInitStatus(B_NO_INIT), fLockCount(0)
{
    _Allocate(bounds, space);
}

BBitmap::~BBitmap()
{
    for (BView* view : std::vector<BView*>(fViews)) {
        RemoveChild(view);
        delete view;
    }
    picture_free(fBits);
}

void BBitmap::_Allocate(BRect bounds, color_space space)
{
    int32 bits = bits_per_pixel_of(space);
    if (bits == 0) {
        fInitStatus = B_BAD_VALUE;
        return;
    }
    fWidth = pixel_extent(bounds.left, bounds.right);
    fHeight = pixel_extent(bounds.top, bounds.bottom);
    if (fWidth == 0 || fHeight == 0) {
        fWidth = fHeight = 0;
        fInitStatus = B_BAD_VALUE;
        return;
    }
    const int32 total = picture_bytes(fWidth, fHeight, bits);
    if (total == 0) {
        fInitStatus = B_NO_MEMORY;
        return;
    }
    const int32 row = picture_bytes(fWidth, 1, bits);
    size_t length = size_t(total);
    // Cleared, as a new bitmap is on the platform; large ones come cleared
    // from the kernel, on huge pages.
    fBits = picture_alloc(length, true);
    if (fBits == nullptr) {
        fInitStatus = B_NO_MEMORY;
        return;
    }
    fBytesPerRow = static_cast<int32>(row);
    fBitsLength = static_cast<int32>(length);
    fInitStatus = B_OK;
}

void BBitmap::AddChild(BView* view)
{
    if (view == nullptr || fBits == nullptr || (fFlags & B_BITMAP_ACCEPTS_VIEWS) == 0)
        return;
    if (std::find(fViews.begin(), fViews.end(), view) != fViews.end())
        return;
    fViews.push_back(view);
    view->_AttachToBitmap(this);
}

bool BBitmap::RemoveChild(BView* view)
{
    auto it = std::find(fViews.begin(), fViews.end(), view);
    if (it == fViews.end())
        return false;
    view->_DetachFromBitmap();
    fViews.erase(it);
    return true;
}

BView* BBitmap::ChildAt(int32 index) const
{
    if (index < 0 || index >= CountChildren())
        return nullptr;
    return fViews[size_t(index)];
}

bool BBitmap::Lock()
{
    ++fLockCount;
    return true;
}

void BBitmap::Unlock()
{
    if (fLockCount == 0)
        return;
    if (--fLockCount == 0) {
        // Whatever was drawn must be in the pixels once nobody holds the lock.
        for (BView* view : fViews)
            view->Sync();
    }
}
