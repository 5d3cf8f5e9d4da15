// The stereogram engine: captures a depth picture and a pattern as flat
// 32-bit pixel arrays and synthesises a single-image stereogram from them.
#ifndef VPELLARA_OBJECT_H
#define VPELLARA_OBJECT_H

#include <cstddef>
#include <cstdint>

class BBitmap;
struct StereogramOptions;

class VPellaraObject
{
public:
    VPellaraObject();
    ~VPellaraObject();

    VPellaraObject(const VPellaraObject&) = delete;
    VPellaraObject& operator=(const VPellaraObject&) = delete;

    void GetFrom(BBitmap* bitmap);
    void GetMotive(BBitmap* bitmap);
    BBitmap* Fusion();
    // Our own addition: the other kinds of stereogram (StereogramKinds.h)
    // from the same captured pictures. Fusion stays the window's.
    BBitmap* Synthesise(const StereogramOptions& options);

    bool _scale_motive();
    void _copy_motive();
    void _stretch_motive();
    void _convert_to32bits(BBitmap* source, BBitmap* target);

    // Every buffer resize goes through this; tests swap it to make a resize fail.
    using Reallocator = void* (*)(void* block, size_t bytes);
    static Reallocator reallocator;

    uint32_t* motive;
    uint32_t* scaledMotive;
    uint32_t* form;
    uint32_t* result;
    uint32_t wM;
    uint32_t hM;
    uint32_t wF;
    uint32_t hF;
    int32_t L;
    int32_t A;
    bool stretch;

private:
    bool _capture(BBitmap* bitmap, uint32_t** buffer, uint32_t* width, uint32_t* height,
                  bool* present);
    bool _prepare_scaled_motive();
    void _fill_scaled_rows(uint32_t first, uint32_t last);
    void _synthesise_row(uint32_t y, uint32_t* out, uint8_t* separations);

    // A picture whose last resize failed is absent until it is captured again.
    bool formPresent;
    bool motivePresent;
    // Bytes scaledMotive holds, so that tiling never writes past it.
    size_t scaledBytes;
};

#endif // VPELLARA_OBJECT_H
