#include "DepthPictures.h"

#include <Bitmap.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace depth {

namespace {

const uint32* row_of(const BBitmap& bitmap, int32 y)
{
    return reinterpret_cast<const uint32*>(static_cast<const uint8*>(bitmap.Bits()) +
                                           size_t(y) * size_t(bitmap.BytesPerRow()));
}

// The cubic B-spline: smooth to its second derivative, never negative, so
// a resampled map stays within its own range.
double bspline(double t)
{
    t = std::fabs(t);
    if (t < 1)
        return (4 - 6 * t * t + 3 * t * t * t) / 6;
    if (t < 2)
        return (2 - t) * (2 - t) * (2 - t) / 6;
    return 0;
}

// Which inputs each output sample takes, and how much of each.
struct Taps
{
    int32 count = 1;
    std::vector<int32> index;  // out x count
    std::vector<float> weight; // out x count
    bool identity = true;
};

Taps make_taps(int32 in, int32 out)
{
    Taps taps;
    if (in == out)
        return taps;
    taps.identity = false;
    const double scale = double(in) / out;
    // Shrinking widens the kernel to the inputs each output covers.
    const double widen = std::max(1.0, scale);
    const double support = 2 * widen;
    taps.count = int32(std::ceil(2 * support)) + 1;
    taps.index.resize(size_t(out) * size_t(taps.count));
    taps.weight.resize(taps.index.size());
    for (int32 o = 0; o < out; o++) {
        const double centre = (o + 0.5) * scale - 0.5;
        const int64 start = int64(std::floor(centre - support)) + 1;
        double sum = 0;
        for (int32 k = 0; k < taps.count; k++) {
            const int64 i = start + k;
            const double w = bspline((double(i) - centre) / widen);
            // Past the edges the edge sample continues.
            taps.index[size_t(o) * taps.count + k] = int32(std::clamp<int64>(i, 0, in - 1));
            taps.weight[size_t(o) * taps.count + k] = float(w);
            sum += w;
        }
        for (int32 k = 0; k < taps.count; k++)
            taps.weight[size_t(o) * taps.count + k] = float(taps.weight[size_t(o) * taps.count + k] / sum);
    }
    return taps;
}

// Nearness as the picture's level, 0..255.
class Quantiser
{
public:
    Quantiser(const depth_map& map, const Levels& levels) : fInvert(levels.invert)
    {
        float low = INFINITY, high = -INFINITY;
        for (float v : map.values) {
            if (std::isfinite(v)) {
                low = std::min(low, v);
                high = std::max(high, v);
            }
        }
        // A flat map has nothing to stretch: it keeps its own level.
        if (levels.normalize && high > low) {
            fOffset = low;
            fScale = 1.0f / (high - low);
        }
    }

    uint8 Level(float v) const
    {
        float f = std::isfinite(v) ? (v - fOffset) * fScale : 0.0f;
        f = std::clamp(f, 0.0f, 1.0f);
        if (fInvert)
            f = 1.0f - f;
        return uint8(f * 255.0f + 0.5f);
    }

private:
    float fOffset = 0.0f;
    float fScale = 1.0f;
    bool fInvert;
};

void put_row(BBitmap* bitmap, int32 y, const float* values, const Quantiser& quantiser)
{
    uint8* row = static_cast<uint8*>(bitmap->Bits()) + size_t(y) * size_t(bitmap->BytesPerRow());
    const int32 width = bitmap->PixelWidth();
    if (bitmap->ColorSpace() == B_GRAY8) {
        for (int32 x = 0; x < width; x++)
            row[x] = quantiser.Level(values[x]);
    } else {
        uint32* words = reinterpret_cast<uint32*>(row);
        for (int32 x = 0; x < width; x++)
            words[x] = 0xFF000000u | uint32(quantiser.Level(values[x])) * 0x010101u;
    }
}

} // namespace

status_t MapFromPicture(const BBitmap& picture, depth_map* map)
{
    *map = depth_map();
    const color_space space = picture.ColorSpace();
    if (!picture.IsValid() || (space != B_RGB32 && space != B_RGBA32))
        return B_BAD_VALUE;
    const int32 width = picture.PixelWidth(), height = picture.PixelHeight();
    try {
        map->values.resize(size_t(width) * size_t(height));
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    map->width = map->photoWidth = width;
    map->height = map->photoHeight = height;
    const bool alpha = space == B_RGBA32;
    float* out = map->values.data();
    for (int32 y = 0; y < height; y++) {
        const uint32* row = row_of(picture, y);
        for (int32 x = 0; x < width; x++) {
            const uint32 p = row[x];
            float light = (0.299f * float((p >> 16) & 0xFF) + 0.587f * float((p >> 8) & 0xFF) +
                           0.114f * float(p & 0xFF)) /
                          255.0f;
            if (alpha)
                light *= float(p >> 24) / 255.0f;
            *out++ = std::clamp(light, 0.0f, 1.0f);
        }
    }
    return B_OK;
}

bool IsColourPicture(const BBitmap& picture)
{
    const color_space space = picture.ColorSpace();
    if (!picture.IsValid() || (space != B_RGB32 && space != B_RGBA32))
        return false;
    const int32 width = picture.PixelWidth(), height = picture.PixelHeight();
    // Every fourth pixel of every fourth row is plenty to tell.
    const int32 step = width * int64(height) > 65536 ? 4 : 1;
    uint64 looked = 0, coloured = 0;
    for (int32 y = 0; y < height; y += step) {
        const uint32* row = row_of(picture, y);
        for (int32 x = 0; x < width; x += step) {
            const int32 r = (row[x] >> 16) & 0xFF, g = (row[x] >> 8) & 0xFF, b = row[x] & 0xFF;
            looked++;
            if (std::max({r, g, b}) - std::min({r, g, b}) > 16)
                coloured++;
        }
    }
    return coloured * 100 > looked;
}

std::unique_ptr<BBitmap> MakeDepthPicture(const depth_map& map, int32 width, int32 height,
                                          const Levels& levels, color_space space)
{
    if (map.width <= 0 || map.height <= 0 || width <= 0 || height <= 0 ||
        map.values.size() != size_t(map.width) * size_t(map.height) ||
        (space != B_GRAY8 && space != B_RGB32))
        return nullptr;
    try {
        std::unique_ptr<BBitmap> bitmap(
            new BBitmap(BRect(0, 0, float(width - 1), float(height - 1)), space));
        if (!bitmap->IsValid())
            return nullptr;
        const Quantiser quantiser(map, levels);
        const Taps across = make_taps(map.width, width);
        const Taps down = make_taps(map.height, height);

        // Across first, each of the map's rows to the new width.
        std::vector<float> wide;
        const float* rows = map.values.data();
        if (!across.identity) {
            wide.resize(size_t(map.height) * size_t(width));
            for (int32 y = 0; y < map.height; y++) {
                const float* in = map.values.data() + size_t(y) * map.width;
                float* out = wide.data() + size_t(y) * width;
                for (int32 x = 0; x < width; x++) {
                    const int32* index = across.index.data() + size_t(x) * across.count;
                    const float* weight = across.weight.data() + size_t(x) * across.count;
                    float sum = 0;
                    for (int32 k = 0; k < across.count; k++)
                        sum += weight[k] * in[index[k]];
                    out[x] = sum;
                }
            }
            rows = wide.data();
        }
        // Then down, row by row into the picture.
        std::vector<float> line(static_cast<size_t>(width));
        for (int32 y = 0; y < height; y++) {
            if (down.identity) {
                put_row(bitmap.get(), y, rows + size_t(y) * width, quantiser);
                continue;
            }
            std::fill(line.begin(), line.end(), 0.0f);
            for (int32 k = 0; k < down.count; k++) {
                const float w = down.weight[size_t(y) * down.count + k];
                const float* in = rows + size_t(down.index[size_t(y) * down.count + k]) * width;
                for (int32 x = 0; x < width; x++)
                    line[size_t(x)] += w * in[x];
            }
            put_row(bitmap.get(), y, line.data(), quantiser);
        }
        return bitmap;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace depth
