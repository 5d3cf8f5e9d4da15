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

#endif // _PNG_ROWS_H
