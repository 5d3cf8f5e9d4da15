// JPEG, TIFF and PNM read a row at a time into B_RGB32 words, as the reading
// pipeline would have decoded them, for pictures never held whole (a poster
// made row by row). Each reader takes only the layouts whose rows come out
// the same as the whole picture's; the others are B_NO_TRANSLATOR, to be
// read whole. Open reads file from its start; it stays the caller's.
// Statuses: B_NO_TRANSLATOR (not this format, or read whole only),
// B_NO_MEMORY (over maxPixels), B_ILLEGAL_DATA (damaged or cut short).
#ifndef _ROW_READERS_H
#define _ROW_READERS_H

#include <SupportDefs.h>

#include <cstdio>
#include <memory>

// The format the reading pipeline tries first for a file of fileSize bytes
// named name whose first size bytes are prefix ("png", "jpeg", "tiff",
// "pnm", ...), or null for none.
const char* first_read_format(const uint8* prefix, size_t size, uint64 fileSize,
                              const char* name);

class JpegRowReader
{
public:
    JpegRowReader();
    ~JpegRowReader();

    // Read whole only: 12-bit and lossless JPEGs, turned ones, and those
    // of several scans over the reading pixel limit (they hold every
    // coefficient in memory).
    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels);
    uint32 Width() const;
    uint32 Height() const;
    status_t ReadRow(uint32* to);
    // After the last row: the rest of the scans must hold up. *turned is
    // false: only an orientation before the scans counts.
    status_t Finish(bool* turned);

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

class TiffRowReader
{
public:
    TiffRowReader();
    ~TiffRowReader();

    // Strips or tiles of 8- or 16-bit grey or RGB without alpha, contiguous
    // samples, stored upright; the first picture of the file.
    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels);
    uint32 Width() const;
    uint32 Height() const;
    status_t ReadRow(uint32* to);
    status_t Finish(bool* turned);

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

class PnmRowReader
{
public:
    PnmRowReader();
    ~PnmRowReader();

    // P4, and P5 and P6 of 255 or 65535 levels.
    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels);
    uint32 Width() const;
    uint32 Height() const;
    status_t ReadRow(uint32* to);
    status_t Finish(bool* turned);

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

#endif // _ROW_READERS_H
