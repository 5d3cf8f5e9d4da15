// PNG on libspng for reading; written by our own encoder, rows straight from
// the bitmap, deflated in bands over the cores.
#ifndef _PNG_TRANSLATOR_H
#define _PNG_TRANSLATOR_H

#include <ImageTranslator.h>

namespace BPrivate {

const ImageTranslator* png_translator();

// How a PNG is written. The defaults are what the translator uses; the rest
// is there to measure the alternatives.
enum class png_deflate : int32
{
    kIsal, // ISA-L
    kZlib,
};

struct PngWriteOptions
{
    // The row filter of every row: 0 none, 1 sub, 2 up, 3 average, 4 paeth.
    int32 filter = 0;
    png_deflate engine = png_deflate::kIsal;
    int32 level = 1;
    // Threads that deflate bands at once; 0: one per core.
    int32 threads = 0;
    // Raw bytes a band holds before it is deflated on its own.
    size_t bandBytes = size_t(4) << 20;
    // A print resolution for the pHYs chunk; 0 writes none.
    uint32 dotsPerInch = 0;
};

status_t write_png(const BBitmap& bitmap, BPositionIO* destination,
                   const PngWriteOptions& options = PngWriteOptions());

} // namespace BPrivate

#endif // _PNG_TRANSLATOR_H
