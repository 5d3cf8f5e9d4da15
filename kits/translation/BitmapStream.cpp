#include <Bitmap.h>
#include <BitmapStream.h>

#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr off_t kHeaderSize = off_t(sizeof(TranslatorBitmap));
static_assert(sizeof(TranslatorBitmap) == 32, "the header is eight 32-bit words");

void put_word(uint8* at, uint32 value)
{
    at[0] = uint8(value >> 24);
    at[1] = uint8(value >> 16);
    at[2] = uint8(value >> 8);
    at[3] = uint8(value);
}

uint32 get_word(const uint8* at)
{
    return (uint32(at[0]) << 24) | (uint32(at[1]) << 16) | (uint32(at[2]) << 8) | uint32(at[3]);
}

void put_float(uint8* at, float value)
{
    uint32 word;
    std::memcpy(&word, &value, 4);
    put_word(at, word);
}

float get_float(const uint8* at)
{
    uint32 word = get_word(at);
    float value;
    std::memcpy(&value, &word, 4);
    return value;
}

} // namespace

BBitmapStream::BBitmapStream(BBitmap* bitmap) : fBitmap(bitmap), fHeader{}, fPosition(0), fSize(0)
{
    if (fBitmap != nullptr && fBitmap->IsValid()) {
        _FillHeader();
        fSize = kHeaderSize + fBitmap->BitsLength();
    }
}

BBitmapStream::~BBitmapStream()
{
    delete fBitmap;
}

void BBitmapStream::_FillHeader()
{
    BRect bounds = fBitmap->Bounds();
    put_word(fHeader + 0, B_TRANSLATOR_BITMAP);
    put_float(fHeader + 4, bounds.left);
    put_float(fHeader + 8, bounds.top);
    put_float(fHeader + 12, bounds.right);
    put_float(fHeader + 16, bounds.bottom);
    put_word(fHeader + 20, uint32(fBitmap->BytesPerRow()));
    put_word(fHeader + 24, uint32(fBitmap->ColorSpace()));
    put_word(fHeader + 28, uint32(fBitmap->BitsLength()));
}

// A header written into an empty stream makes the bitmap its rows go into;
// one that disagrees with the bitmap it describes is refused.
status_t BBitmapStream::_BuildFromHeader()
{
    if (get_word(fHeader) != B_TRANSLATOR_BITMAP)
        return B_BAD_TYPE;
    BRect bounds(get_float(fHeader + 4), get_float(fHeader + 8), get_float(fHeader + 12),
                 get_float(fHeader + 16));
    color_space space = color_space(get_word(fHeader + 24));
    BBitmap* bitmap = new BBitmap(bounds, space);
    if (bitmap->InitCheck() != B_OK || uint32(bitmap->BytesPerRow()) != get_word(fHeader + 20) ||
        uint32(bitmap->BitsLength()) != get_word(fHeader + 28)) {
        delete bitmap;
        return B_BAD_VALUE;
    }
    fBitmap = bitmap;
    fSize = kHeaderSize + bitmap->BitsLength();
    return B_OK;
}

ssize_t BBitmapStream::ReadAt(off_t position, void* buffer, size_t size)
{
    if (fBitmap == nullptr)
        return B_NO_INIT;
    if (position < 0 || (buffer == nullptr && size > 0))
        return B_BAD_VALUE;
    if (position >= fSize)
        return 0;
    size = size_t(std::min<off_t>(off_t(std::min<size_t>(size, size_t(fSize))), fSize - position));
    uint8* out = static_cast<uint8*>(buffer);
    size_t done = 0;
    if (position < kHeaderSize) {
        size_t n = std::min<size_t>(size, size_t(kHeaderSize - position));
        std::memcpy(out, fHeader + position, n);
        done = n;
    }
    if (done < size) {
        off_t offset = position + off_t(done) - kHeaderSize;
        std::memcpy(out + done, static_cast<const uint8*>(fBitmap->Bits()) + offset, size - done);
        done = size;
    }
    return ssize_t(done);
}

ssize_t BBitmapStream::WriteAt(off_t position, const void* buffer, size_t size)
{
    if (position < 0 || (buffer == nullptr && size > 0) ||
        size > size_t(std::numeric_limits<ssize_t>::max()))
        return B_BAD_VALUE;
    if (size == 0)
        return 0;
    const uint8* in = static_cast<const uint8*>(buffer);
    size_t done = 0;
    if (position < kHeaderSize) {
        // The header of a stream that already holds a bitmap is fixed.
        if (fBitmap != nullptr)
            return B_NOT_ALLOWED;
        size_t n = std::min<size_t>(size, size_t(kHeaderSize - position));
        std::memcpy(fHeader + position, in, n);
        done = n;
        if (position + off_t(n) == kHeaderSize) {
            status_t status = _BuildFromHeader();
            if (status != B_OK)
                return status;
        }
        if (done == size)
            return ssize_t(done);
    }
    if (fBitmap == nullptr)
        return B_NO_INIT;
    off_t offset = position + off_t(done) - kHeaderSize;
    if (offset >= fBitmap->BitsLength())
        return done > 0 ? ssize_t(done) : ssize_t(B_BAD_VALUE);
    size_t n = std::min<size_t>(size - done, size_t(fBitmap->BitsLength() - offset));
    std::memcpy(static_cast<uint8*>(fBitmap->Bits()) + offset, in + done, n);
    return ssize_t(done + n);
}

off_t BBitmapStream::Seek(off_t position, uint32 seekMode)
{
    off_t target = seek_target(fPosition, fSize, position, seekMode);
    if (target < 0)
        return target;
    return fPosition = target;
}

status_t BBitmapStream::SetSize(off_t size)
{
    // The bitmap's own size is the only one the stream can have.
    return size == fSize ? B_OK : B_NOT_ALLOWED;
}

status_t BBitmapStream::GetSize(off_t* size) const
{
    if (size == nullptr)
        return B_BAD_VALUE;
    *size = fSize;
    return B_OK;
}

status_t BBitmapStream::DetachBitmap(BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    if (fBitmap == nullptr)
        return B_ERROR;
    *outBitmap = fBitmap;
    fBitmap = nullptr;
    fSize = 0;
    fPosition = 0;
    std::memset(fHeader, 0, sizeof(fHeader));
    return B_OK;
}
