// Byte streams. BDataIO reads and writes in sequence; BPositionIO adds random
// access. Reads and writes return the byte count or a negative status.
#ifndef _DATA_IO_H
#define _DATA_IO_H

#include <SupportDefs.h>

#include <sys/types.h>

class BDataIO
{
public:
    BDataIO() = default;
    virtual ~BDataIO();

    BDataIO(const BDataIO&) = delete;
    BDataIO& operator=(const BDataIO&) = delete;

    virtual ssize_t Read(void* buffer, size_t size);
    virtual ssize_t Write(const void* buffer, size_t size);

    // Loops until everything moved; a short transfer is an error.
    status_t ReadExactly(void* buffer, size_t size);
    status_t WriteExactly(const void* buffer, size_t size);
};

class BPositionIO : public BDataIO
{
public:
    BPositionIO() = default;
    ~BPositionIO() override;

    // Sequential access goes through ReadAt/WriteAt at Position().
    ssize_t Read(void* buffer, size_t size) override;
    ssize_t Write(const void* buffer, size_t size) override;

    virtual ssize_t ReadAt(off_t position, void* buffer, size_t size) = 0;
    virtual ssize_t WriteAt(off_t position, const void* buffer, size_t size) = 0;

    // seekMode is SEEK_SET, SEEK_CUR or SEEK_END; returns the new position
    // or a negative status.
    virtual off_t Seek(off_t position, uint32 seekMode) = 0;
    virtual off_t Position() const = 0;

    virtual status_t SetSize(off_t size);
    virtual status_t GetSize(off_t* size) const;
};

// A growable stream in memory. Bytes between the old end and a write or
// SetSize past it read as zeros.
class BMallocIO : public BPositionIO
{
public:
    BMallocIO();
    ~BMallocIO() override;

    ssize_t ReadAt(off_t position, void* buffer, size_t size) override;
    ssize_t WriteAt(off_t position, const void* buffer, size_t size) override;
    off_t Seek(off_t position, uint32 seekMode) override;
    off_t Position() const override { return fPosition; }
    status_t SetSize(off_t size) override;
    status_t GetSize(off_t* size) const override;

    const void* Buffer() const { return fData; }
    size_t BufferLength() const { return fLength; }

private:
    status_t _Reserve(size_t capacity);

    // Picture memory: an encoded 6000 x 6000 picture grows by remapping,
    // not by copying.
    uint8* fData;
    size_t fLength;
    size_t fCapacity;
    off_t fPosition;
};

// This layer's own, for the kits' in-memory streams: the position a
// Seek(position, seekMode) lands on in a stream at current of size bytes,
// or B_BAD_VALUE for an unknown mode, a position before the start or one
// past what off_t holds.
off_t seek_target(off_t current, off_t size, off_t position, uint32 seekMode);

#endif // _DATA_IO_H
