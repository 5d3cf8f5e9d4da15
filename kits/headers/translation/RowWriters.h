// Pictures written a band of rows at a time, as a caller makes them (a
// stereogram too large to hold), with the settings the translators use when
// they write a picture whole, so that both decode alike. The rows are B_RGB32
// words. PNG has its own (PngRows.h).
#ifndef _ROW_WRITERS_H
#define _ROW_WRITERS_H

#include <SupportDefs.h>

#include <memory>
#include <vector>

class BPositionIO;

// What a writer's Encode made of a band, for its Write.
struct RowBand
{
    std::vector<uint8> bytes;
    std::vector<uint64> parts; // the writer's own account of bytes
};

// Head(), then each band of rows in order through Write (Encode first, on
// any thread), then Finish().
class RowWriter
{
public:
    virtual ~RowWriter() = default;

    // Bands had best hold a multiple of this many rows (the rest is done in
    // order, by Write).
    virtual uint32 BandRows() const { return 1; }
    // The start of the file, at destination's position; destination is
    // written at and after it until Finish.
    virtual status_t Head(BPositionIO* destination) = 0;
    // Rows first to last - 1 (row first at rows, stride words apart) made
    // ready for Write. Any thread, any order, several at once; may do
    // nothing. False without memory.
    virtual bool Encode(const uint32* /*rows*/, size_t /*stride*/, uint32 /*first*/,
                        uint32 /*last*/, RowBand* /*band*/) const
    {
        return true;
    }
    // Each band once, in order, its rows still at rows, after its Encode.
    virtual status_t Write(const uint32* rows, size_t stride, uint32 first, uint32 last,
                           RowBand& band) = 0;
    // After the last band: what ends the file.
    virtual status_t Finish() = 0;
};

// A TIFF in deflated strips, as the TIFF translator writes; BigTIFF when
// the file could pass 4 GiB.
std::unique_ptr<RowWriter> MakeTiffRowWriter(uint32 width, uint32 height, uint32 dotsPerInch);
// A baseline JPEG, as the JPEG translator writes: the same bytes.
std::unique_ptr<RowWriter> MakeJpegRowWriter(uint32 width, uint32 height, uint32 dotsPerInch);
// A binary PPM, or a PGM when grey, as Qt writes them: the same bytes.
std::unique_ptr<RowWriter> MakePnmRowWriter(uint32 width, uint32 height, bool grey);

#endif // _ROW_WRITERS_H
