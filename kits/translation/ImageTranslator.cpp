#include <ImageTranslator.h>

#include <Bitmap.h>
#include <CodecSupport.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace BPrivate {

namespace {

// The size this thread's reads last refused as too large, so that the
// refusal can name it: the reader only returns B_NO_MEMORY.
thread_local uint64 tRefusedWidth = 0;
thread_local uint64 tRefusedHeight = 0;

} // namespace

bool ReadBudget::Admits(uint64 width, uint64 height) const
{
    if (width == 0 || height == 0)
        return false;
    const bool admitted = width <= kMostPicturePixels && height <= kMostPicturePixels &&
                          width * height <= kMostPicturePixels && width * height <= maxPixels;
    if (!admitted) {
        tRefusedWidth = width;
        tRefusedHeight = height;
    }
    return admitted;
}

ReadBudget& default_read_budget()
{
    static ReadBudget budget;
    return budget;
}

} // namespace BPrivate

uint64 max_picture_pixels()
{
    return BPrivate::default_read_budget().maxPixels;
}

void set_max_picture_pixels(uint64 pixels)
{
    BPrivate::default_read_budget().maxPixels = std::clamp<uint64>(pixels, 1, kMostPicturePixels);
}

bool refused_picture_size(uint64* width, uint64* height)
{
    if (BPrivate::tRefusedWidth == 0)
        return false;
    if (width != nullptr)
        *width = BPrivate::tRefusedWidth;
    if (height != nullptr)
        *height = BPrivate::tRefusedHeight;
    return true;
}

void forget_refused_picture_size()
{
    BPrivate::tRefusedWidth = 0;
    BPrivate::tRefusedHeight = 0;
}

namespace BPrivate {

BBitmap* new_picture(uint64 width, uint64 height, bool alpha, const ReadBudget& budget)
{
    if (!budget.Admits(width, height))
        return nullptr;
    BBitmap* bitmap = new (std::nothrow)
        BBitmap(pixel_bounds(int32(width), int32(height)), alpha ? B_RGBA32 : B_RGB32);
    if (bitmap == nullptr)
        return nullptr;
    if (bitmap->InitCheck() != B_OK || uint64(bitmap->PixelWidth()) != width ||
        uint64(bitmap->PixelHeight()) != height || bitmap->BytesPerRow() != int32(width * 4)) {
        delete bitmap;
        return nullptr;
    }
    return bitmap;
}

int32 exif_orientation(const uint8* data, size_t size)
{
    if (data == nullptr)
        return 1;
    if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
        data += 6;
        size -= 6;
    }
    if (size < 8)
        return 1;
    bool little;
    if (data[0] == 'I' && data[1] == 'I')
        little = true;
    else if (data[0] == 'M' && data[1] == 'M')
        little = false;
    else
        return 1;
    auto u16 = [&](size_t at) -> uint32 {
        return little ? uint32(data[at]) | (uint32(data[at + 1]) << 8)
                      : (uint32(data[at]) << 8) | uint32(data[at + 1]);
    };
    auto u32 = [&](size_t at) -> uint32 {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    if (u16(2) != 42)
        return 1;
    uint64 ifd = u32(4);
    if (ifd + 2 > size)
        return 1;
    uint32 count = u16(size_t(ifd));
    for (uint32 i = 0; i < count; i++) {
        uint64 entry = ifd + 2 + uint64(i) * 12;
        if (entry + 12 > size)
            return 1;
        if (u16(size_t(entry)) != 0x0112)
            continue;
        // SHORT, count 1: the value sits in the first two bytes of the field.
        if (u16(size_t(entry) + 2) != 3)
            return 1;
        uint32 value = u16(size_t(entry) + 8);
        return value >= 1 && value <= 8 ? int32(value) : 1;
    }
    return 1;
}

BBitmap* apply_orientation(BBitmap* bitmap, int32 orientation)
{
    if (bitmap == nullptr || orientation <= 1 || orientation > 8)
        return bitmap;
    const int64 w = bitmap->PixelWidth(), h = bitmap->PixelHeight();
    // Mirrors and the half turn keep the size: done in place, rows swapped
    // from both ends.
    if (orientation <= 4) {
        uint8* bits = static_cast<uint8*>(bitmap->Bits());
        const int64 stride = bitmap->BytesPerRow();
        auto row = [&](int64 y) { return reinterpret_cast<uint32*>(bits + y * stride); };
        if (orientation != 4) {
            for (int64 y = 0; y < h; y++)
                std::reverse(row(y), row(y) + w);
        }
        if (orientation != 2) {
            for (int64 top = 0, bottom = h - 1; top < bottom; top++, bottom--)
                std::swap_ranges(row(top), row(top) + w, row(bottom));
        }
        return bitmap;
    }
    // Orientations 5 to 8 swap the axes.
    const bool swap = orientation >= 5;
    const int64 outW = swap ? h : w, outH = swap ? w : h;
    BBitmap* turned = new (std::nothrow) BBitmap(
        pixel_bounds(int32(outW), int32(outH)), bitmap->ColorSpace());
    if (turned == nullptr || turned->InitCheck() != B_OK) {
        delete turned;
        delete bitmap;
        return nullptr;
    }
    const uint8* from = static_cast<const uint8*>(bitmap->Bits());
    uint8* to = static_cast<uint8*>(turned->Bits());
    const int64 fromRow = bitmap->BytesPerRow(), toRow = turned->BytesPerRow();
    for (int64 y = 0; y < outH; y++) {
        uint32* out = reinterpret_cast<uint32*>(to + y * toRow);
        for (int64 x = 0; x < outW; x++) {
            int64 sx, sy;
            stored_position(orientation, w, h, x, y, &sx, &sy);
            out[x] = reinterpret_cast<const uint32*>(from + sy * fromRow)[sx];
        }
    }
    delete bitmap;
    return turned;
}

} // namespace BPrivate
