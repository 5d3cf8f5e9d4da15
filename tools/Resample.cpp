#include "Resample.h"

#include <Bitmap.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace fuse {

namespace {

// Mitchell and Netravali's cubic, B = C = 1/3, over [-2, 2].
double mitchell(double x)
{
    x = std::fabs(x);
    constexpr double B = 1.0 / 3, C = 1.0 / 3;
    if (x < 1)
        return ((12 - 9 * B - 6 * C) * x * x * x + (-18 + 12 * B + 6 * C) * x * x + (6 - 2 * B)) /
               6;
    if (x < 2)
        return ((-B - 6 * C) * x * x * x + (6 * B + 30 * C) * x * x + (-12 * B - 48 * C) * x +
                (8 * B + 24 * C)) /
               6;
    return 0;
}

// For each output position, the first source position it reads and the
// weights of the taps from there (the same count for all), summing to 1.
struct Taps
{
    int32 count = 0;
    std::vector<int32> first;
    std::vector<float> weights;
};

Taps taps_for(int32 from, int32 to)
{
    Taps taps;
    const double scale = double(from) / to;
    // Shrinking widens the kernel so that every source pixel counts.
    const double stretch = std::max(1.0, scale);
    const double support = 2 * stretch;
    taps.count = int32(std::ceil(support * 2)) + 1;
    taps.first.resize(size_t(to));
    taps.weights.resize(size_t(to) * size_t(taps.count));
    for (int32 i = 0; i < to; i++) {
        const double centre = (i + 0.5) * scale - 0.5;
        const int32 first = int32(std::floor(centre - support)) + 1;
        taps.first[size_t(i)] = first;
        float* w = &taps.weights[size_t(i) * size_t(taps.count)];
        double sum = 0;
        for (int32 k = 0; k < taps.count; k++) {
            w[k] = float(mitchell((first + k - centre) / stretch));
            sum += w[k];
        }
        for (int32 k = 0; k < taps.count; k++)
            w[k] = float(w[k] / sum);
    }
    return taps;
}

uint8 level(float v)
{
    return uint8(std::clamp(v + 0.5f, 0.0f, 255.0f));
}

// Output rows [top, bottom): each from taps.count source rows scaled across,
// kept in a ring so that a source row is scaled across once in a band.
void scale_band(const BBitmap* in, BBitmap* out, const Taps& across, const Taps& down,
                int32 top, int32 bottom)
{
    const int32 inWidth = in->PixelWidth(), inHeight = in->PixelHeight();
    const int32 outWidth = out->PixelWidth();
    const size_t rowFloats = size_t(outWidth) * 4;
    std::vector<float> ring(rowFloats * size_t(down.count));
    std::vector<int32> held(size_t(down.count), -1);
    const uint8* inBits = static_cast<const uint8*>(in->Bits());
    uint8* outBits = static_cast<uint8*>(out->Bits());
    auto across_row = [&](int32 source) -> const float* {
        const int32 y = std::clamp(source, 0, inHeight - 1);
        const size_t slot = size_t(((y % down.count) + down.count) % down.count);
        float* row = &ring[slot * rowFloats];
        if (held[slot] == y)
            return row;
        held[slot] = y;
        const uint8* pixels = inBits + size_t(y) * size_t(in->BytesPerRow());
        for (int32 x = 0; x < outWidth; x++) {
            const float* w = &across.weights[size_t(x) * size_t(across.count)];
            const int32 first = across.first[size_t(x)];
            float sum[4] = {0, 0, 0, 0};
            for (int32 k = 0; k < across.count; k++) {
                const uint8* p = pixels + size_t(std::clamp(first + k, 0, inWidth - 1)) * 4;
                for (int c = 0; c < 4; c++)
                    sum[c] += w[k] * p[c];
            }
            std::memcpy(row + size_t(x) * 4, sum, sizeof sum);
        }
        return row;
    };
    std::vector<float> sum(rowFloats);
    for (int32 y = top; y < bottom; y++) {
        const float* w = &down.weights[size_t(y) * size_t(down.count)];
        const int32 first = down.first[size_t(y)];
        uint8* target = outBits + size_t(y) * size_t(out->BytesPerRow());
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (int32 k = 0; k < down.count; k++) {
            const float* row = across_row(first + k);
            const float weight = w[k];
            for (size_t i = 0; i < rowFloats; i++)
                sum[i] += weight * row[i];
        }
        for (size_t i = 0; i < rowFloats; i++)
            target[i] = level(sum[i]);
    }
}

} // namespace

std::unique_ptr<BBitmap> ScalePicture(const BBitmap* picture, int32 width, int32 height)
{
    const color_space space = picture->ColorSpace();
    if ((space != B_RGB32 && space != B_RGBA32) || width < 1 || height < 1)
        return nullptr;
    auto out = std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)), space,
                                         true, true);
    if (out->InitCheck() != B_OK || out->Bits() == nullptr)
        return nullptr;
    // The same size is the picture itself: the cubic would soften it.
    if (width == picture->PixelWidth() && height == picture->PixelHeight()) {
        for (int32 y = 0; y < height; y++)
            std::memcpy(static_cast<uint8*>(out->Bits()) + size_t(y) * size_t(out->BytesPerRow()),
                        static_cast<const uint8*>(picture->Bits()) +
                            size_t(y) * size_t(picture->BytesPerRow()),
                        size_t(width) * 4);
        return out;
    }
    const Taps across = taps_for(picture->PixelWidth(), width);
    const Taps down = taps_for(picture->PixelHeight(), height);
    const int32 bands =
        int32(std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 16));
    std::vector<std::thread> workers;
    for (int32 b = 1; b < bands; b++) {
        const int32 top = int32(int64(height) * b / bands);
        const int32 bottom = int32(int64(height) * (b + 1) / bands);
        workers.emplace_back(scale_band, picture, out.get(), std::cref(across), std::cref(down),
                             top, bottom);
    }
    scale_band(picture, out.get(), across, down, 0, int32(int64(height) / bands));
    for (std::thread& worker : workers)
        worker.join();
    return out;
}

} // namespace fuse
