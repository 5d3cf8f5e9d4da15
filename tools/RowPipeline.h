// A stereogram made row by row: depth rows are read, made into stereogram
// rows and encoded (PNG, TIFF, JPEG, PPM, PGM) as they come, a band at a time
// on every core, so that a poster never has to fit in memory. The file is built in an
// unnamed temporary and only then put in place by SafeFileWriter.
#ifndef FUSE_ROW_PIPELINE_H
#define FUSE_ROW_PIPELINE_H

#include "ToolOutput.h"

#include <SupportDefs.h>

#include <cstdio>
#include <memory>
#include <string>

class BBitmap;
class RowWriter;
class StereogramRows;
class VPellaraObject;

namespace fuse {

// The most pixels a stereogram made row by row may have (what must be held
// whole keeps the reading pixel limit).
constexpr uint64 kMostStreamedPixels = uint64(1) << 32;

// Depth rows as they come, as the engine captures them (B_RGB32 words).
class DepthRows
{
public:
    virtual ~DepthRows() = default;
    virtual uint32 Width() const = 0;
    virtual uint32 Height() const = 0;
    // The next count rows, Width() words each, packed. False with *why.
    virtual bool Read(uint32 count, uint32* to, std::string* why) = 0;
    // After the last row: whether what follows it holds up. *again says the
    // picture must be read whole after all (an orientation found last).
    virtual bool Finish(bool* again, std::string* why) = 0;
    // A source whose rows can be made anywhere at once (a scaled picture)
    // has each band's made on the thread that makes its stereogram rows,
    // rows first to first + count - 1; Read is then never called.
    virtual bool InBands() const { return false; }
    virtual bool Band(uint32 /*first*/, uint32 /*count*/, uint32* /*to*/) const { return false; }
};

// A depth picture read by rows from its file: PNG, JPEG, TIFF or PNM (see
// RowReaders.cpp). Null when it must be read whole instead (another
// format, a layout read whole only, turned, over maxPixels, or unreadable:
// the whole reading then says why).
std::unique_ptr<DepthRows> OpenDepthRows(const char* path, uint64 maxPixels);

// The rows of a depth picture an engine captured (GetFrom), kept by it.
std::unique_ptr<DepthRows> CapturedDepthRows(const VPellaraObject& engine);

// The depth picture scaled to width x height (as ScalePicture scales it) a
// band at a time; null when it cannot be scaled.
std::unique_ptr<DepthRows> ScaledDepthRows(std::unique_ptr<BBitmap> picture, uint32 width,
                                           uint32 height);

// Why a streamed run failed: reading the depth, or writing the output.
enum class StreamFailure
{
    kNone,
    kRead,
    kMake,
    kWrite,
    kAgain, // the depth must be read whole: nothing was written
};

// Whether pictures of a format (a translation type) can be written by rows.
bool WrittenByRows(uint32 type);

// The writer of a picture of that format, width x height B_RGB32 words,
// grey when every pixel is (PNG then writes grey), dotsPerInch where the
// format keeps it (when above 0). Null for a format written whole.
std::unique_ptr<RowWriter> RowWriterFor(uint32 type, uint32 width, uint32 height, bool grey,
                                        uint32 dotsPerInch);

// The whole run: rows from depth through rows, into writer, whose file is
// put at path. On failure nothing is left at path and *why is one line.
// bandRows 0 lets the width decide how tall bands are.
StreamFailure StreamRows(DepthRows& depth, const StereogramRows& rows, RowWriter& writer,
                         const char* path, std::string* why, uint32 bandRows = 0);

} // namespace fuse

#endif // FUSE_ROW_PIPELINE_H
