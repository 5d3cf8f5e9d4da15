// A multi-picture (MPO) file's MPF index: the first JPEG's segments walked
// and the index read. What it gives back must lie within the file, start as
// JPEGs and be two places; a refusal must say why.
#include <MpoFiles.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pairs::JpegSpan views[2];
    const char* why = nullptr;
    const status_t status = pairs::FindMpoViews(data, size, views, &why);
    if (status == B_ILLEGAL_DATA && why == nullptr)
        std::abort();
    if (status != B_OK)
        return 0;
    for (const pairs::JpegSpan& view : views)
        if (view.offset > size || view.size > size - view.offset || view.size < 4 ||
            data[view.offset] != 0xFF || data[view.offset + 1] != 0xD8)
            std::abort();
    if (views[0].offset == views[1].offset)
        std::abort();
    return 0;
}
