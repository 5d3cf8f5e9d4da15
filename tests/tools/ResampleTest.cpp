// Scaling depth pictures and tiles: a cubic that keeps flat areas flat and
// slopes straight (what a depth map's smooth surfaces need), at any ratio,
// up or down, edges included.
#include "Resample.h"

#include <Bitmap.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

struct ScaleCase
{
    int32 fromWidth, fromHeight, toWidth, toHeight;
};

// A slope across and down: level = 40 + 150 * (x + y) / (w + h), at pixel
// centres, so that a scaled picture's expected level is known anywhere.
double slope(double x, double y, double w, double h)
{
    return 40 + 150 * (x + y) / (w + h);
}

class Scale : public testing::TestWithParam<ScaleCase>
{
};

TEST_P(Scale, KeepsASlopeStraightAndAFlatPictureFlat)
{
    const ScaleCase& c = GetParam();
    BBitmap in(BRect(0, 0, float(c.fromWidth - 1), float(c.fromHeight - 1)), B_RGB32);
    for (int32 y = 0; y < c.fromHeight; y++) {
        uint8* row = static_cast<uint8*>(in.Bits()) + y * in.BytesPerRow();
        for (int32 x = 0; x < c.fromWidth; x++) {
            row[4 * x] = uint8(std::lround(slope(x + 0.5, y + 0.5, c.fromWidth, c.fromHeight)));
            row[4 * x + 1] = 77; // flat
            row[4 * x + 2] = uint8((x + y) % 2 == 0 ? 0 : 255); // finest detail
            row[4 * x + 3] = 255;
        }
    }
    std::unique_ptr<BBitmap> out = fuse::ScalePicture(&in, c.toWidth, c.toHeight);
    ASSERT_TRUE(out);
    ASSERT_EQ(c.toWidth, out->PixelWidth());
    ASSERT_EQ(c.toHeight, out->PixelHeight());
    const double sx = double(c.fromWidth) / c.toWidth, sy = double(c.fromHeight) / c.toHeight;
    int crooked = 0, uneven = 0;
    for (int32 y = 0; y < c.toHeight; y++) {
        const uint8* row = static_cast<const uint8*>(out->Bits()) + y * out->BytesPerRow();
        for (int32 x = 0; x < c.toWidth; x++) {
            const double fx = (x + 0.5) * sx, fy = (y + 0.5) * sy;
            // Two source pixels from the edge, where the edge is repeated,
            // the slope bends.
            const bool inside = fx > 2.5 * std::max(1.0, sx) && fx < c.fromWidth - 2.5 * std::max(1.0, sx) &&
                                fy > 2.5 * std::max(1.0, sy) && fy < c.fromHeight - 2.5 * std::max(1.0, sy);
            if (inside && std::fabs(row[4 * x] - slope(fx, fy, c.fromWidth, c.fromHeight)) > 1.01)
                crooked++;
            if (row[4 * x + 1] != 77 || row[4 * x + 3] != 255)
                uneven++;
            // At its own size the picture is itself, finest detail and all.
            if (c.toWidth == c.fromWidth && c.toHeight == c.fromHeight &&
                row[4 * x + 2] != ((x + y) % 2 == 0 ? 0 : 255))
                uneven++;
        }
    }
    EXPECT_EQ(0, crooked);
    EXPECT_EQ(0, uneven);
}

INSTANTIATE_TEST_SUITE_P(Ratios, Scale,
                         testing::Values(ScaleCase{40, 30, 400, 300}, ScaleCase{37, 23, 101, 61},
                                         ScaleCase{200, 120, 61, 37}, ScaleCase{64, 64, 64, 64},
                                         ScaleCase{1, 1, 9, 5}, ScaleCase{50, 40, 3, 1}));

} // namespace
