// Depth pictures read at their own precision and size. A bitmap keeps 8 bits
// a channel: a 16-bit depth map that uses a small part of its range
// (millimetres from a depth camera, a 3D tool's Z pass) would keep only a
// few levels of it, and stretching those makes terraces. And it takes four
// bytes a pixel, then a float more, for what a grey picture holds in one.
#include <DepthMapsPrivate.h>

#include <ImageTranslator.h>
#include <PictureMemory.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include <spng.h>

namespace {

const uint8 kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct ContextFree
{
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

struct PictureFree
{
    void operator()(uint8* block) const { picture_free(block); }
};

status_t status_of(int error)
{
    return error == SPNG_EMEM ? B_NO_MEMORY : B_ILLEGAL_DATA;
}

// The light of one RGBA16 pixel, 0..1, as a bitmap's light is taken:
// weighted channels, times its opacity.
float light_of(const uint16* p)
{
    const float light = depth_light(float(p[0]), float(p[1]), float(p[2]), 65535.0f);
    return std::clamp(light * (float(p[3]) / 65535.0f), 0.0f, 1.0f);
}

uint16 level_of(const uint16* p)
{
    return uint16(light_of(p) * 65535.0f + 0.5f);
}

uint32 channels_of(uint8 colorType)
{
    switch (colorType) {
    case SPNG_COLOR_TYPE_TRUECOLOR:
        return 3;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
        return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
        return 4;
    default:
        return 1;
    }
}

} // namespace

status_t read_wide_depth_picture_data(const void* data, size_t size, depth_map* outMap)
{
    using namespace BPrivate;
    if (outMap == nullptr || (data == nullptr && size > 0))
        return B_BAD_VALUE;
    *outMap = depth_map();
    if (size < 8 || std::memcmp(data, kPngSignature, 8) != 0)
        return B_NAME_NOT_FOUND;
    const ReadBudget& budget = default_read_budget();
    std::unique_ptr<spng_ctx, ContextFree> ctx(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
    if (ctx == nullptr)
        return B_NO_MEMORY;
    const size_t ancillary =
        size_t(std::min<uint64>(budget.maxAncillaryBytes, std::numeric_limits<uint32>::max() >> 1));
    spng_set_chunk_limits(ctx.get(), ancillary, ancillary);
    spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    if (spng_set_png_buffer(ctx.get(), data, size) != 0)
        return B_ILLEGAL_DATA;
    spng_ihdr ihdr;
    if (int error = spng_get_ihdr(ctx.get(), &ihdr); error != 0)
        return status_of(error);
    // 16 bits of anything keep their precision; plain 8-bit grey is taken
    // a byte a pixel. A transparent grey needs its alpha: the bitmap's road.
    bool grey = false;
    if (ihdr.bit_depth != 16) {
        spng_trns trns;
        if (ihdr.bit_depth != 8 || ihdr.color_type != SPNG_COLOR_TYPE_GRAYSCALE ||
            spng_get_trns(ctx.get(), &trns) != SPNG_ECHUNKAVAIL)
            return B_NAME_NOT_FOUND;
        grey = true;
    }
    if (!budget.Admits(ihdr.width, ihdr.height))
        return B_NO_MEMORY;
    // A header announcing more rows than its bytes could inflate to lies
    // (deflate makes at most 1032 bytes of one).
    const uint64 rowBytes =
        (uint64(ihdr.width) * channels_of(ihdr.color_type) * ihdr.bit_depth + 7) / 8;
    if ((rowBytes + 1) * uint64(ihdr.height) > (uint64(size) + 1) * 1032 + 15 * uint64(ihdr.height))
        return B_ILLEGAL_DATA;

    const size_t width = ihdr.width, height = ihdr.height;
    const int format = grey ? SPNG_FMT_G8 : SPNG_FMT_RGBA16;
    const int flags = grey ? 0 : SPNG_DECODE_TRNS;
    const size_t pixelBytes = grey ? 1 : 8;
    depth_map map;
    try {
        if (grey)
            map.samples8.resize(width * height);
        else
            map.samples16.resize(width * height);
        if (ihdr.interlace_method != SPNG_INTERLACE_NONE) {
            // Adam7 fills each row over several passes: the whole picture
            // first (grey straight into the map).
            size_t length = 0;
            if (spng_decoded_image_size(ctx.get(), format, &length) != 0 ||
                length != width * height * pixelBytes)
                return B_NO_MEMORY;
            if (grey) {
                if (int error =
                        spng_decode_image(ctx.get(), map.samples8.data(), length, format, flags))
                    return status_of(error);
            } else {
                std::unique_ptr<uint8, PictureFree> whole(
                    static_cast<uint8*>(picture_alloc(length)));
                if (whole == nullptr)
                    return B_NO_MEMORY;
                if (int error = spng_decode_image(ctx.get(), whole.get(), length, format, flags))
                    return status_of(error);
                const uint16* samples = reinterpret_cast<const uint16*>(whole.get());
                for (size_t i = 0; i < width * height; i++)
                    map.samples16[i] = level_of(samples + 4 * i);
            }
        } else {
            if (int error = spng_decode_image(ctx.get(), nullptr, 0, format,
                                              flags | SPNG_DECODE_PROGRESSIVE))
                return status_of(error);
            std::vector<uint16> row(grey ? 0 : width * 4);
            for (size_t y = 0; y < height; y++) {
                void* target = grey ? static_cast<void*>(map.samples8.data() + y * width)
                                    : static_cast<void*>(row.data());
                int error = spng_decode_row(ctx.get(), target, width * pixelBytes);
                // The last row reports the end of the image.
                if (error != 0 && !(error == SPNG_EOI && y == height - 1))
                    return status_of(error);
                if (grey)
                    continue;
                uint16* out = map.samples16.data() + y * width;
                for (size_t x = 0; x < width; x++)
                    out[x] = level_of(row.data() + 4 * x);
            }
        }
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    // The rest of the file, to its end, must be sound too.
    if (int error = spng_decode_chunks(ctx.get()); error != 0)
        return status_of(error);
    map.width = map.photoWidth = int32(width);
    map.height = map.photoHeight = int32(height);
    spng_exif exif;
    if (spng_get_exif(ctx.get(), &exif) == 0) {
        const int32 orientation =
            exif_orientation(reinterpret_cast<const uint8*>(exif.data), exif.length);
        try {
            orient_depth_map(&map, orientation);
        } catch (const std::bad_alloc&) {
            return B_NO_MEMORY;
        }
        map.photoWidth = map.width;
        map.photoHeight = map.height;
    }
    *outMap = std::move(map);
    return B_OK;
}
