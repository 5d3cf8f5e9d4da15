// PNG read and written a row at a time, for pictures never held whole (a
// poster made row by row): the same pixels the translator reads and writes.
#ifndef _PNG_ROWS_H
#define _PNG_ROWS_H

#include <SupportDefs.h>

#include <cstdio>
#include <memory>
#include <vector>

// A PNG written a band of rows at a time, as a caller makes them (a
// stereogram too large to hold): Head(), then each band's chunk in order,
// then Tail(). The rows are B_RGB32 words, written as grey when told to.
struct PngRowBand
{
    std::vector<uint8> chunk; // a whole IDAT chunk
    uint32 adler = 1;
    uint64 rawLength = 0;
};

class PngRowWriter
{
public:
    // dotsPerInch above 0 goes into pHYs.
    PngRowWriter(uint32 width, uint32 height, bool grey, uint32 dotsPerInch);

    std::vector<uint8> Head() const;
    // Rows first to last - 1 (rows holds row first, stride words apart)
    // deflated on their own, into band->chunk (its storage reused). Any
    // thread, any order; false without memory.
    bool Deflate(const uint32* rows, size_t stride, uint32 first, uint32 last,
                 PngRowBand* band) const;
    // Each band once written, in order.
    void Add(const PngRowBand& band);
    std::vector<uint8> Tail() const;

private:
    uint32 fWidth, fHeight;
    bool fGrey;
    uint32 fDotsPerInch;
    uint32 fAdler = 1;
};

// A PNG read a row at a time into B_RGB32 words, as the reading pipeline
// would have decoded it, for pictures never held whole.
class PngRowReader
{
public:
    PngRowReader();
    ~PngRowReader();

    // file is read from its start and stays the caller's. B_NO_TRANSLATOR
    // for no PNG, or one that is read whole only (interlaced, with alpha, or
    // turned by its EXIF); B_NO_MEMORY over maxPixels; B_ILLEGAL_DATA.
    status_t Open(FILE* file, uint64 fileSize, uint64 maxPixels);
    uint32 Width() const;
    uint32 Height() const;
    // The next row, Width() words.
    status_t ReadRow(uint32* to);
    // After the last row: the rest of the file, to IEND, must be sound;
    // *turned says an EXIF orientation after the pixels turns the picture.
    status_t Finish(bool* turned);

private:
    struct Data;
    std::unique_ptr<Data> fData;
};

#endif // _PNG_ROWS_H
