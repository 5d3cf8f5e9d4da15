// PNG, JPEG, TIFF and PNM read a row at a time into B_RGB32 words, as the
// reading pipeline would have decoded them, for pictures never held whole
// (a poster made row by row). Each reader takes only the layouts whose rows come out
// the same as the whole picture's; the others are B_NO_TRANSLATOR, to be
// read whole. Open reads file from its start; it stays the caller's.
// Statuses: B_NO_TRANSLATOR (not this format, or read whole only),
// B_NO_MEMORY (over maxPixels), B_ILLEGAL_DATA (damaged or cut short).
#ifndef _ROW_READERS_H
#define _ROW_READERS_H

#include <SupportDefs.h>

#include <cstdio>
#include <memory>

// A picture read a row at a time into B_RGB32 words.
class RowReader
{
public:
    virtual ~RowReader() = default;

    // file is read from its start and stays the caller's; fileSize is its
    // length.
    virtual status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels) = 0;
    virtual uint32 Width() const = 0;
    virtual uint32 Height() const = 0;
    // The next row, Width() words.
    virtual status_t ReadRow(uint32* to) = 0;
    // After the last row: the rest of the file must hold up; *turned says
    // an orientation found after the pixels turns the picture, which is
    // then read whole.
    virtual status_t Finish(bool* turned) = 0;
};

// The row reader of the format the reading pipeline tries first for a file
// of fileSize bytes named name whose first size bytes are prefix; null for
// a format read whole only. Open is still to be called.
std::unique_ptr<RowReader> row_reader_for(const uint8* prefix, size_t size, uint64 fileSize,
                                          const char* name);

// Not interlaced, without alpha, not turned by its EXIF.
class PngRowReader : public RowReader
{
public:
    PngRowReader();
    ~PngRowReader() override;

    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels) override;
    uint32 Width() const override;
    uint32 Height() const override;
    status_t ReadRow(uint32* to) override;
    status_t Finish(bool* turned) override;

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

// Read whole only: 12-bit and lossless JPEGs, turned ones, and those of
// several scans over the reading pixel limit (they hold every coefficient
// in memory). Only an orientation before the scans counts: Finish never
// sets *turned.
class JpegRowReader : public RowReader
{
public:
    JpegRowReader();
    ~JpegRowReader() override;

    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels) override;
    uint32 Width() const override;
    uint32 Height() const override;
    status_t ReadRow(uint32* to) override;
    status_t Finish(bool* turned) override;

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

// Strips or tiles of 8- or 16-bit grey or RGB without alpha, contiguous
// samples, stored upright; the first picture of the file.
class TiffRowReader : public RowReader
{
public:
    TiffRowReader();
    ~TiffRowReader() override;

    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels) override;
    uint32 Width() const override;
    uint32 Height() const override;
    status_t ReadRow(uint32* to) override;
    status_t Finish(bool* turned) override;

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

// P4, and P5 and P6 of 255 or 65535 levels.
class PnmRowReader : public RowReader
{
public:
    PnmRowReader();
    ~PnmRowReader() override;

    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels) override;
    uint32 Width() const override;
    uint32 Height() const override;
    status_t ReadRow(uint32* to) override;
    status_t Finish(bool* turned) override;

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

#endif // _ROW_READERS_H
