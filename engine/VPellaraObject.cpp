#include "VPellaraObject.h"
#include "RowKernels.h"

#include <Bitmap.h>
#include <PictureMemory.h>
#include <PictureSize.h>
#include <View.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// Picture memory: the four buffers are first touched by the synthesis, and
// on huge pages that costs a few faults instead of tens of thousands.
VPellaraObject::Reallocator VPellaraObject::reallocator = picture_realloc;

namespace {

using namespace engine_rows;

// A bitmap the capture can read as it is: 4 bytes a pixel, rows with no gap.
bool is_flat_32bit(const BBitmap* bitmap, uint32_t width, uint32_t height)
{
    color_space space = bitmap->ColorSpace();
    if (space != B_RGB32 && space != B_RGBA32)
        return false;
    if (uint64_t(bitmap->BytesPerRow()) != uint64_t(width) * 4)
        return false;
    return uint64_t(bitmap->BitsLength()) >= uint64_t(width) * height * 4;
}

} // namespace

VPellaraObject::VPellaraObject()
    : motive(nullptr), scaledMotive(nullptr), form(nullptr), result(nullptr), wM(0), hM(0), wF(0),
      hF(0), L(80), A(10), stretch(false), formPresent(false), motivePresent(false), scaledBytes(0)
{
}

VPellaraObject::~VPellaraObject()
{
    picture_free(motive);
    picture_free(scaledMotive);
    picture_free(form);
    picture_free(result);
}

void VPellaraObject::GetFrom(BBitmap* bitmap)
{
    if (!_capture(bitmap, &form, &wF, &hF, &formPresent))
        printf("erreur de reallocation tableau forme\n");
}

void VPellaraObject::GetMotive(BBitmap* bitmap)
{
    if (!_capture(bitmap, &motive, &wM, &hM, &motivePresent))
        printf("erreur de reallocation tableau motif\n");
}

// Returns false only for a failed resize; every other refusal is silent.
bool VPellaraObject::_capture(BBitmap* bitmap, uint32_t** buffer, uint32_t* width, uint32_t* height,
                              bool* present)
{
    if (bitmap == nullptr)
        return true;

    BRect bounds = bitmap->Bounds();
    *width = uint32_t(pixel_extent(bounds.left, bounds.right));
    *height = uint32_t(pixel_extent(bounds.top, bounds.bottom));

    size_t bytes = size_t(picture_bytes(*width, *height));
    if (bytes == 0) {
        *present = false;
        return false;
    }
    if (bitmap->Bits() == nullptr) {
        *present = false;
        return true;
    }

    // Other layouts are first drawn into a 32-bit bitmap of the same size.
    BBitmap* converted = nullptr;
    const BBitmap* source = bitmap;
    if (!is_flat_32bit(bitmap, *width, *height)) {
        converted =
            new BBitmap(BRect(0, 0, float(*width - 1), float(*height - 1)), B_RGB32, true, true);
        if (converted->InitCheck() != B_OK || !is_flat_32bit(converted, *width, *height)) {
            delete converted;
            *present = false;
            return true;
        }
        _convert_to32bits(bitmap, converted);
        source = converted;
    }

    void* block = reallocator(*buffer, bytes);
    if (block == nullptr) {
        delete converted;
        *present = false;
        return false;
    }
    *buffer = static_cast<uint32_t*>(block);
    uint32_t* to = *buffer;
    const auto* from = static_cast<const uint32_t*>(source->Bits());
    const uint32_t w = *width;
    for_row_bands(*height, uint64_t(w) * *height, [=](uint32_t first, uint32_t last) {
        size_t offset = size_t(first) * w;
        std::memcpy(to + offset, from + offset, size_t(last - first) * w * 4);
    });
    *present = true;
    delete converted;
    return true;
}

bool VPellaraObject::_scale_motive()
{
    if (!_prepare_scaled_motive())
        return false;
    for_row_bands(hF, uint64_t(wF) * hF,
                  [this](uint32_t first, uint32_t last) { _fill_scaled_rows(first, last); });
    return true;
}

// Resizes the picture-sized pattern and says when the sizes differ; the rows
// themselves are filled by _fill_scaled_rows.
bool VPellaraObject::_prepare_scaled_motive()
{
    // Sizes left by a failed capture describe a pattern the buffer lacks.
    if (motive == nullptr || !motivePresent)
        return false;
    size_t bytes = size_t(picture_bytes(wF, hF));
    if (bytes == 0)
        return false;
    void* block = reallocator(scaledMotive, bytes);
    if (block == nullptr)
        return false;
    scaledMotive = static_cast<uint32_t*>(block);
    scaledBytes = bytes;
    if (wF != wM || hF != hM) {
        printf("pas la meme taille\n");
        printf("taille : wF=%ld, wM=%ld, hF=%ld, hM=%ld \n", long(wF), long(wM), long(hF),
               long(hM));
    }
    return true;
}

// Equal sizes copy the pattern; otherwise every cell takes
// motive[(r mod hM) * wM + (c mod wM)], so no cell is ever left unwritten.
// Stretching was never written: it tiles too, keeping the picture defined.
void VPellaraObject::_fill_scaled_rows(uint32_t first, uint32_t last)
{
    if (wF == wM && hF == hM) {
        std::memcpy(scaledMotive + size_t(first) * wF, motive + size_t(first) * wF,
                    size_t(last - first) * wF * 4);
        return;
    }
    for (uint32_t r = first; r < last; r++)
        tile_row(scaledMotive + size_t(r) * wF, wF, motive + size_t(r % hM) * wM, wM);
}

void VPellaraObject::_copy_motive()
{
    if (scaledMotive == nullptr || motive == nullptr || !motivePresent ||
        scaledBytes != size_t(picture_bytes(wF, hF)))
        return;
    for_row_bands(hF, uint64_t(wF) * hF, [this](uint32_t first, uint32_t last) {
        for (uint32_t r = first; r < last; r++)
            tile_row(scaledMotive + size_t(r) * wF, wF, motive + size_t(r % hM) * wM, wM);
    });
}

void VPellaraObject::_stretch_motive()
{
    _copy_motive();
}

BBitmap* VPellaraObject::Fusion()
{
    if (form == nullptr || motive == nullptr || !formPresent || !motivePresent)
        return nullptr;
    if (!_prepare_scaled_motive())
        return nullptr;
    size_t bytes = size_t(picture_bytes(wF, hF));
    void* block = reallocator(result, bytes);
    if (block == nullptr)
        return nullptr;
    result = static_cast<uint32_t*>(block);
    printf("debut de fusion\n");

    BBitmap* bitmap = new BBitmap(BRect(0, 0, float(wF - 1), float(hF - 1)), B_RGB32, true, true);
    if (bitmap->InitCheck() != B_OK || size_t(bitmap->BitsLength()) < bytes ||
        size_t(bitmap->BytesPerRow()) != size_t(wF) * 4) {
        delete bitmap;
        bitmap = nullptr;
    }
    uint32_t* out = bitmap != nullptr ? static_cast<uint32_t*>(bitmap->Bits()) : nullptr;

    // Row by row, tiling, synthesis and output happen while the row is still
    // in the cache; rows are independent, so bands run on every core.
    for_row_bands(hF, uint64_t(wF) * hF, [this, out](uint32_t first, uint32_t last) {
        // Scratch rows for one band; without them (a picture so wide that
        // even a row cannot be had) each row is made in place, more slowly.
        std::unique_ptr<uint32_t, decltype(&picture_free)> row(
            static_cast<uint32_t*>(reallocator(nullptr, size_t(wF) * 4)), &picture_free);
        std::unique_ptr<uint8_t, decltype(&picture_free)> separations(
            static_cast<uint8_t*>(reallocator(nullptr, wF)), &picture_free);
        for (uint32_t y = first; y < last; y++) {
            _fill_scaled_rows(y, y + 1);
            size_t offset = size_t(y) * wF;
            if (!row || !separations) {
                _synthesise_row(y, result + offset, nullptr);
                if (out != nullptr)
                    std::memcpy(out + offset, result + offset, size_t(wF) * 4);
                continue;
            }
            _synthesise_row(y, row.get(), separations.get());
            stream_words(result + offset, row.get(), wF);
            if (out != nullptr)
                stream_words(out + offset, row.get(), wF);
        }
        fence_streams();
    });
    return bitmap;
}

void VPellaraObject::_synthesise_row(uint32_t y, uint32_t* out, uint8_t* separations)
{
    size_t offset = size_t(y) * wF;
    if (L == 80 && A == 10 && separations != nullptr) {
        fixed_separations(form + offset, separations, wF);
        synthesise_row(scaledMotive + offset, out, wF, PrecomputedSeparation<uint8_t>{separations});
    } else {
        synthesise_row(scaledMotive + offset, out, wF, GeneralSeparation{form + offset, L, A});
    }
}

// The view covers the target's whole pixels and the source is drawn over
// exactly them, so source pixel (x, y) lands on target pixel (x, y): drawing
// at the source's own bounds would shift a picture whose bounds do not start
// at the origin, and resample one whose bounds are fractional.
void VPellaraObject::_convert_to32bits(BBitmap* source, BBitmap* target)
{
    if (source == nullptr || target == nullptr)
        return;
    BRect bounds = target->Bounds();
    BRect pixels(0, 0, float(target->PixelWidth() - 1), float(target->PixelHeight() - 1));
    BView* view = new BView(pixels.OffsetByCopy(bounds.left, bounds.top), "off-view", B_FOLLOW_NONE,
                            B_WILL_DRAW);
    target->Lock();
    target->AddChild(view);
    view->DrawBitmapAsync(source, pixels);
    view->Sync();
    target->Unlock();
    target->Lock();
    target->RemoveChild(view);
    target->Unlock();
    delete view;
}
