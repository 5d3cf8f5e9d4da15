#include <DataIO.h>
#include <DataIOPrivate.h>

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

BMallocIO::BMallocIO() : fPosition(0) {}

BMallocIO::~BMallocIO() = default;

ssize_t BMallocIO::ReadAt(off_t position, void* buffer, size_t size)
{
    if (position < 0 || (buffer == nullptr && size > 0))
        return B_BAD_VALUE;
    if (uint64(position) >= fData.size())
        return 0;
    size_t available = fData.size() - size_t(position);
    size_t n = std::min<size_t>(std::min(size, available), std::numeric_limits<ssize_t>::max());
    std::copy_n(fData.data() + position, n, static_cast<uint8*>(buffer));
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
    if (end > fData.max_size() || end < uint64(position))
        return B_NO_MEMORY;
    try {
        if (end > fData.size())
            fData.resize(size_t(end));
    } catch (...) {
        return B_NO_MEMORY;
    }
    std::memcpy(fData.data() + position, buffer, size);
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
    off_t target = seek_target(fPosition, off_t(fData.size()), position, seekMode);
    if (target < 0)
        return target;
    return fPosition = target;
}

status_t BMallocIO::SetSize(off_t size)
{
    if (size < 0 || uint64(size) > fData.max_size())
        return B_BAD_VALUE;
    try {
        fData.resize(size_t(size));
    } catch (...) {
        return B_NO_MEMORY;
    }
    return B_OK;
}

status_t BMallocIO::GetSize(off_t* size) const
{
    if (size == nullptr)
        return B_BAD_VALUE;
    *size = off_t(fData.size());
    return B_OK;
}
