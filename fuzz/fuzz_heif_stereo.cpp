// A HEIF file's stereo pair group ('grpl' box, 'ster' group) read without
// libheif: what it names must be two items, and a refusal must say why.
#include <StereoViews.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32 items[2] = {};
    const char* why = nullptr;
    const status_t status = BPrivate::heif_stereo_items(data, size, items, &why);
    if (status == B_ILLEGAL_DATA && why == nullptr)
        std::abort();
    if (status == B_OK && items[0] == items[1])
        std::abort();
    return 0;
}
