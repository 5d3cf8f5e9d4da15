#include <DataIO.h>
#include <PictureMemory.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

BDataIO::~BDataIO() = default;

ssize_t BDataIO::Read(void*, size_t)
{
    return B_NOT_ALLOWED;
}

ssize_t BDataIO::Write(const void*, size_t)
{
    return B_NOT_ALLOWED;
}

status_t BDataIO::ReadExactly(void* buffer, size_t size)
{
    uint8* out = static_cast<uint8*>(buffer);
    while (size > 0) {
        ssize_t n = Read(out, size);
        if (n < 0)
            return status_t(n);
        if (n == 0)
            return B_IO_ERROR;
        out += n;
        size -= size_t(n);
    }
    return B_OK;
}

status_t BDataIO::WriteExactly(const void* buffer, size_t size)
{
    const uint8* in = static_cast<const uint8*>(buffer);
    while (size > 0) {
        ssize_t n = Write(in, size);
        if (n < 0)
            return status_t(n);
        if (n == 0)
            return B_IO_ERROR;
        in += n;
        size -= size_t(n);
    }
    return B_OK;
}

BPositionIO::~BPositionIO() = default;

ssize_t BPositionIO::Read(void* buffer, size_t size)
{
    off_t position = Position();
    if (position < 0)
        return ssize_t(position);
    ssize_t n = ReadAt(position, buffer, size);
    if (n > 0)
        Seek(position + n, SEEK_SET);
    return n;
}

ssize_t BPositionIO::Write(const void* buffer, size_t size)
{
    off_t position = Position();
    if (position < 0)
        return ssize_t(position);
    ssize_t n = WriteAt(position, buffer, size);
    if (n > 0)
        Seek(position + n, SEEK_SET);
    return n;
}

status_t BPositionIO::SetSize(off_t)
{
    return B_ERROR;
}

status_t BPositionIO::GetSize(off_t* size) const
{
    if (size == nullptr)
        return B_BAD_VALUE;
    // Only the subclass knows; the platform asks Seek(0, SEEK_END) here,
    // which a const stream cannot do.
    return B_ERROR;
}

BMallocIO::BMallocIO() : fData(nullptr), fLength(0), fCapacity(0), fPosition(0) {}

BMallocIO::~BMallocIO()
{
    picture_free(fData);
}

status_t BMallocIO::_Reserve(size_t capacity)
{
    if (capacity <= fCapacity)
        return B_OK;
    // Doubling keeps appends linear; a mapped block grows in place or moves
    // its pages, never copies them.
    capacity = std::max<size_t>(capacity, 4096);
    if (fCapacity <= std::numeric_limits<size_t>::max() / 2)
        capacity = std::max(capacity, fCapacity * 2);
    void* grown = picture_realloc(fData, capacity);
    if (grown == nullptr)
        return B_NO_MEMORY;
    fData = static_cast<uint8*>(grown);
    fCapacity = capacity;
    return B_OK;
}

ssize_t BMallocIO::ReadAt(off_t position, void* buffer, size_t size)
{
    if (position < 0 || (buffer == nullptr && size > 0))
        return B_BAD_VALUE;
    if (uint64(position) >= fLength)
        return 0;
    size_t available = fLength - size_t(position);
    size_t n = std::min<size_t>(std::min(size, available), std::numeric_limits<ssize_t>::max());
    if (n > 0)
        std::memcpy(buffer, fData + position, n);
    return ssize_t(n);
}

ssize_t BMallocIO::WriteAt(off_t position, const void* buffer, size_t size)
{
    if (position < 0 || (buffer == nullptr && size > 0) ||
        size > size_t(std::numeric_limits<ssize_t>::max()))
        return B_BAD_VALUE;
    if (size == 0)
        return 0;
    uint64 end = uint64(position) + size;
    if (end > uint64(std::numeric_limits<ssize_t>::max()) || end < uint64(position))
        return B_NO_MEMORY;
    if (end > fLength) {
        status_t status = _Reserve(size_t(end));
        if (status != B_OK)
            return status;
        // The gap before the write; what SetSize cut may still hold old bytes.
        if (size_t(position) > fLength)
            std::memset(fData + fLength, 0, size_t(position) - fLength);
        fLength = size_t(end);
    }
    std::memcpy(fData + position, buffer, size);
    return ssize_t(size);
}

off_t seek_target(off_t current, off_t size, off_t position, uint32 seekMode)
{
    off_t base;
    switch (seekMode) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = current;
        break;
    case SEEK_END:
        base = size;
        break;
    default:
        return B_BAD_VALUE;
    }
    // base is never negative, so -base cannot overflow where -position could.
    if ((position < 0 && position < -base) ||
        (position > 0 && position > std::numeric_limits<off_t>::max() - base))
        return B_BAD_VALUE;
    return base + position;
}

off_t BMallocIO::Seek(off_t position, uint32 seekMode)
{
    off_t target = seek_target(fPosition, off_t(fLength), position, seekMode);
    if (target < 0)
        return target;
    return fPosition = target;
}

status_t BMallocIO::SetSize(off_t size)
{
    if (size < 0 || uint64(size) > uint64(std::numeric_limits<ssize_t>::max()))
        return B_BAD_VALUE;
    if (size_t(size) > fLength) {
        status_t status = _Reserve(size_t(size));
        if (status != B_OK)
            return status;
        std::memset(fData + fLength, 0, size_t(size) - fLength);
    }
    fLength = size_t(size);
    return B_OK;
}

status_t BMallocIO::GetSize(off_t* size) const
{
    if (size == nullptr)
        return B_BAD_VALUE;
    *size = off_t(fLength);
    return B_OK;
}
