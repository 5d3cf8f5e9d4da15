#include "Resample.h"

#include <Bitmap.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
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

} // namespace

// Output rows one after another, each from taps.count source rows scaled
// across, kept in a ring so that a source row is scaled across once while
// the rows asked go down the picture.
class ScaleRing
{
public:
    ScaleRing(const BBitmap* in, int32 outWidth, const Taps& across, const Taps& down)
        : fIn(in), fOutWidth(outWidth), fAcross(across), fDown(down),
          fRowFloats(size_t(outWidth) * 4), fRing(fRowFloats * size_t(down.count)),
          fHeld(size_t(down.count), -1), fSum(fRowFloats), fRows(size_t(down.count))
    {
    }

    // Output row y, 4 bytes a pixel.
    void Row(int32 y, uint8* target)
    {
        const float* w = &fDown.weights[size_t(y) * size_t(fDown.count)];
        const int32 first = fDown.first[size_t(y)];
        const int32 count = fDown.count;
        // Distinct rows of one output row lie in distinct slots of the ring.
        const float** rows = fRows.data();
        for (int32 k = 0; k < count; k++)
            rows[k] = _Across(first + k);
        // A piece of the row at a time, from the cache: a wide row's taps
        // are megabytes.
        constexpr size_t kPiece = 2048;
        float* sum = fSum.data();
        if (count == 5) {
            // Enlarging, the common case: the sums kept apart from the
            // rows so that they vectorise, added in the same order as below.
            const float w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3], w4 = w[4];
            float piece[kPiece];
            for (size_t from = 0; from < fRowFloats; from += kPiece) {
                const size_t n = std::min(fRowFloats - from, kPiece);
                const float *r0 = rows[0] + from, *r1 = rows[1] + from, *r2 = rows[2] + from,
                            *r3 = rows[3] + from, *r4 = rows[4] + from;
                for (size_t i = 0; i < n; i++) {
                    float sum = 0.0f;
                    sum += w0 * r0[i];
                    sum += w1 * r1[i];
                    sum += w2 * r2[i];
                    sum += w3 * r3[i];
                    sum += w4 * r4[i];
                    piece[i] = sum;
                }
                for (size_t i = 0; i < n; i++)
                    target[from + i] = level(piece[i]);
            }
            return;
        }
        for (size_t from = 0; from < fRowFloats; from += kPiece) {
            const size_t to = std::min(fRowFloats, from + kPiece);
            std::fill(sum + from, sum + to, 0.0f);
            for (int32 k = 0; k < count; k++) {
                const float* row = rows[k];
                const float weight = w[k];
                for (size_t i = from; i < to; i++)
                    sum[i] += weight * row[i];
            }
            for (size_t i = from; i < to; i++)
                target[i] = level(sum[i]);
        }
    }

private:
    const float* _Across(int32 source)
    {
        const int32 inWidth = fIn->PixelWidth(), inHeight = fIn->PixelHeight();
        const int32 y = std::clamp(source, 0, inHeight - 1);
        const size_t slot = size_t(((y % fDown.count) + fDown.count) % fDown.count);
        float* row = &fRing[slot * fRowFloats];
        if (fHeld[slot] == y)
            return row;
        fHeld[slot] = y;
        const uint8* pixels =
            static_cast<const uint8*>(fIn->Bits()) + size_t(y) * size_t(fIn->BytesPerRow());
        for (int32 x = 0; x < fOutWidth; x++) {
            const float* w = &fAcross.weights[size_t(x) * size_t(fAcross.count)];
            const int32 first = fAcross.first[size_t(x)];
            if (fAcross.count == 5 && first >= 0 && first + 5 <= inWidth) {
                // Enlarging, away from the edges: no tap to clamp, the same sums.
                const uint8* p = pixels + size_t(first) * 4;
                float sum[4];
                for (int c = 0; c < 4; c++) {
                    float v = 0.0f;
                    v += w[0] * p[c];
                    v += w[1] * p[4 + c];
                    v += w[2] * p[8 + c];
                    v += w[3] * p[12 + c];
                    v += w[4] * p[16 + c];
                    sum[c] = v;
                }
                std::memcpy(row + size_t(x) * 4, sum, sizeof sum);
                continue;
            }
            float sum[4] = {0, 0, 0, 0};
            for (int32 k = 0; k < fAcross.count; k++) {
                const uint8* p = pixels + size_t(std::clamp(first + k, 0, inWidth - 1)) * 4;
                for (int c = 0; c < 4; c++)
                    sum[c] += w[k] * p[c];
            }
            std::memcpy(row + size_t(x) * 4, sum, sizeof sum);
        }
        return row;
    }

    const BBitmap* fIn;
    int32 fOutWidth;
    const Taps& fAcross;
    const Taps& fDown;
    size_t fRowFloats;
    std::vector<float> fRing;
    std::vector<int32> fHeld;
    std::vector<float> fSum;
    std::vector<const float*> fRows;
};

namespace {

void scale_band(const BBitmap* in, BBitmap* out, const Taps& across, const Taps& down,
                int32 top, int32 bottom)
{
    ScaleRing ring(in, out->PixelWidth(), across, down);
    uint8* outBits = static_cast<uint8*>(out->Bits());
    for (int32 y = top; y < bottom; y++)
        ring.Row(y, outBits + size_t(y) * size_t(out->BytesPerRow()));
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

struct RowScaler::Data
{
    Taps across, down;
    std::unique_ptr<ScaleRing> ring;
};

RowScaler::RowScaler(const BBitmap* picture, int32 width, int32 height)
    : fPicture(picture), fWidth(width), fHeight(height)
{
    const color_space space = picture != nullptr ? picture->ColorSpace() : B_NO_COLOR_SPACE;
    if ((space != B_RGB32 && space != B_RGBA32) || width < 1 || height < 1)
        return;
    try {
        auto data = std::make_unique<Data>();
        if (width != picture->PixelWidth() || height != picture->PixelHeight()) {
            data->across = taps_for(picture->PixelWidth(), width);
            data->down = taps_for(picture->PixelHeight(), height);
        }
        fData = std::move(data);
    } catch (const std::bad_alloc&) {
    }
}

RowScaler::~RowScaler() = default;

bool RowScaler::Rows(int32 first, int32 count, uint8* to) const
{
    if (fData == nullptr || first < 0 || count < 0 || first + count > fHeight)
        return false;
    const size_t rowBytes = size_t(fWidth) * 4;
    // The same size is the picture itself, as ScalePicture gives it.
    if (fData->down.count == 0) {
        for (int32 i = 0; i < count; i++)
            std::memcpy(to + size_t(i) * rowBytes,
                        static_cast<const uint8*>(fPicture->Bits()) +
                            size_t(first + i) * size_t(fPicture->BytesPerRow()),
                        rowBytes);
        return true;
    }
    try {
        ScaleRing ring(fPicture, fWidth, fData->across, fData->down);
        for (int32 i = 0; i < count; i++)
            ring.Row(first + i, to + size_t(i) * rowBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace fuse
