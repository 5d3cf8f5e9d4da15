// Our lossless WebP encoder, decoded by libwebp (through the translator's
// reader): every picture must come back word for word.
#include "CodecTestSupport.h"

#include <LayerFormats.h>
#include <WebpLosslessWriter.h>
#include <WebpTranslator.h>

#include <random>

using BPrivate::WebpLosslessOptions;
using BPrivate::write_webp_lossless;

namespace {

enum class Fill
{
    kSolid,
    kNoise,
    kStereogram, // rows repeating at a separation that drifts
    kChecker,
    kGarbageAlpha, // B_RGB32 whose alpha bytes differ between equal colours
    kTranslucent,
    kFarRows,   // rows repeating further back than a copy can reach
    kSkewed,    // greens as frequent as Fibonacci numbers: a deep tree
};

struct Case
{
    const char* name;
    int32 width;
    int32 height;
    color_space space;
    Fill fill;
    // Pixels a band holds; 0: the writer's default.
    size_t bandPixels = 0;
};

std::vector<int32> fibonacci_greens(size_t pixels)
{
    std::vector<int32> greens;
    uint64 a = 1, b = 1;
    for (int32 green = 0; greens.size() < pixels; green++) {
        for (uint64 i = 0; i < a && greens.size() < pixels; i++)
            greens.push_back(green);
        uint64 next = a + b;
        a = b;
        b = next;
    }
    return greens;
}

std::unique_ptr<BBitmap> make_picture(const Case& c)
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, c.width - 1, c.height - 1), c.space);
    std::mt19937 random(uint32(c.width * 7919 + c.height));
    std::vector<int32> greens;
    if (c.fill == Fill::kSkewed) {
        greens = fibonacci_greens(size_t(c.width) * size_t(c.height));
        std::shuffle(greens.begin(), greens.end(), random);
    }
    for (int32 y = 0; y < c.height; y++) {
        uint32* row = row_of(bitmap.get(), y);
        for (int32 x = 0; x < c.width; x++) {
            uint32 noise = uint32(random());
            uint32& pixel = row[x];
            switch (c.fill) {
                case Fill::kSolid:
                    pixel = 0xFF336699u;
                    break;
                case Fill::kNoise:
                    pixel = noise | 0xFF000000u;
                    break;
                case Fill::kStereogram: {
                    int32 separation = 60 + (x / 97 + y / 13) % 9;
                    pixel = x >= separation ? row[x - separation]
                                            : (noise & 0x00FFFFFFu) | 0xFF000000u;
                    break;
                }
                case Fill::kChecker:
                    pixel = ((x + y) & 1) != 0 ? 0xFF000000u : 0xFFFFFFFFu;
                    break;
                case Fill::kGarbageAlpha:
                    pixel = (noise & 0xFF000000u) | (x % 5 == 0 ? 0x102030u : 0x405060u);
                    break;
                case Fill::kTranslucent:
                    // Some transparent pixels with colours under them, kept.
                    pixel = (x % 3 == 0 ? noise & 0x00FFFFFFu : noise) & 0xFFF0F0F0u;
                    break;
                case Fill::kFarRows:
                    // Rows of noise 600 rows apart, the same each time,
                    // with plain rows between that leave them in the hash.
                    pixel = y % 600 != 0 ? 0xFF808080u
                            : y >= 600   ? row_of(bitmap.get(), y - 600)[x]
                                         : noise | 0xFF000000u;
                    break;
                case Fill::kSkewed:
                    pixel = 0xFF000000u | (noise & 0xFF00FFu) |
                            uint32(greens[size_t(y) * size_t(c.width) + size_t(x)]) << 8;
                    break;
            }
        }
    }
    return bitmap;
}

std::vector<uint8> encode(const BBitmap& picture, const WebpLosslessOptions& options)
{
    BMallocIO out;
    EXPECT_EQ(B_OK, write_webp_lossless(picture, &out, options));
    const uint8* bytes = static_cast<const uint8*>(out.Buffer());
    return std::vector<uint8>(bytes, bytes + out.BufferLength());
}

void expect_decodes_to(const std::vector<uint8>& file, const BBitmap& picture)
{
    BBitmap* decoded = nullptr;
    ASSERT_EQ(B_OK, BPrivate::webp_translator()->Read(source_of(file), BPrivate::ReadBudget(),
                                                      &decoded));
    std::unique_ptr<BBitmap> owner(decoded);
    ASSERT_EQ(picture.PixelWidth(), decoded->PixelWidth());
    ASSERT_EQ(picture.PixelHeight(), decoded->PixelHeight());
    bool translucent = false;
    for (int32 y = 0; y < picture.PixelHeight(); y++) {
        const uint32* in = row_of(const_cast<BBitmap*>(&picture), y);
        const uint32* back = row_of(decoded, y);
        for (int32 x = 0; x < picture.PixelWidth(); x++) {
            const uint32 expected = picture.ColorSpace() == B_RGB32 ? in[x] | 0xFF000000u : in[x];
            translucent |= expected < 0xFF000000u;
            ASSERT_EQ(expected, back[x] | (decoded->ColorSpace() == B_RGB32 ? 0xFF000000u : 0))
                << "pixel " << x << ", " << y;
        }
    }
    // The header says whether alpha matters, and the reader believes it.
    EXPECT_EQ(translucent, decoded->ColorSpace() == B_RGBA32);
}

const Case kCases[] = {
    {"OnePixel", 1, 1, B_RGB32, Fill::kNoise},
    {"OneTranslucentPixel", 1, 1, B_RGBA32, Fill::kTranslucent},
    {"OneColumn", 1, 3000, B_RGB32, Fill::kChecker},
    {"OneRowLongerThanACopy", 10000, 2, B_RGB32, Fill::kSolid},
    {"Solid", 300, 200, B_RGB32, Fill::kSolid},
    {"Noise", 257, 131, B_RGB32, Fill::kNoise},
    // Larger than the writer's staging buffer: written in several pieces.
    {"NoiseInPieces", 700, 400, B_RGB32, Fill::kNoise},
    {"Stereogram", 1001, 307, B_RGB32, Fill::kStereogram},
    {"Checker", 64, 64, B_RGB32, Fill::kChecker},
    {"GarbageAlpha", 200, 50, B_RGB32, Fill::kGarbageAlpha},
    {"Translucent", 123, 45, B_RGBA32, Fill::kTranslucent},
    {"OpaqueRgba", 300, 20, B_RGBA32, Fill::kStereogram},
    // One band, so the hash still holds rows too far back to copy from.
    {"RowsBeyondTheWindow", 2000, 1300, B_RGB32, Fill::kFarRows, size_t(1) << 22},
    {"DeepTree", 640, 500, B_RGB32, Fill::kSkewed},
    {"WidestSide", 16383, 3, B_RGB32, Fill::kStereogram},
};

class WebpLossless : public testing::TestWithParam<Case>
{
};

TEST_P(WebpLossless, LibwebpDecodesEveryWord)
{
    std::unique_ptr<BBitmap> picture = make_picture(GetParam());
    WebpLosslessOptions options;
    if (GetParam().bandPixels > 0)
        options.bandPixels = GetParam().bandPixels;
    expect_decodes_to(encode(*picture, options), *picture);
}

// Bands of one row each, worked on by several threads: the same file as one
// thread makes, and still whole.
TEST_P(WebpLossless, SmallBandsOnManyThreadsGiveTheSameFile)
{
    std::unique_ptr<BBitmap> picture = make_picture(GetParam());
    WebpLosslessOptions one;
    one.threads = 1;
    one.bandPixels = 1;
    WebpLosslessOptions many = one;
    many.threads = 4;
    const std::vector<uint8> file = encode(*picture, one);
    EXPECT_EQ(file, encode(*picture, many));
    expect_decodes_to(file, *picture);
}

// FFmpeg decodes WebP with code of its own: the files must not lean on
// anything libwebp merely tolerates.
TEST_P(WebpLossless, FfmpegDecodesEveryWord)
{
    if (!have_program("ffmpeg"))
        GTEST_SKIP() << "ffmpeg missing";
    std::unique_ptr<BBitmap> picture = make_picture(GetParam());
    ScratchFolder folder;
    write_all(folder / "in.webp", encode(*picture, WebpLosslessOptions()));
    ASSERT_TRUE(run_quietly("ffmpeg -nostdin -v error -c:v webp -i '" + folder / "in.webp" +
                            "' -f rawvideo -pix_fmt bgra '" + folder / "out.raw" + "'"));
    const std::vector<uint8> raw = read_all(folder / "out.raw");
    const size_t width = size_t(picture->PixelWidth()), height = size_t(picture->PixelHeight());
    ASSERT_EQ(width * height * 4, raw.size());
    for (size_t y = 0; y < height; y++) {
        const uint32* in = row_of(picture.get(), int32(y));
        for (size_t x = 0; x < width; x++) {
            uint32 back;
            std::memcpy(&back, raw.data() + (y * width + x) * 4, 4);
            const uint32 expected = picture->ColorSpace() == B_RGB32 ? in[x] | 0xFF000000u : in[x];
            ASSERT_EQ(expected, back) << "pixel " << x << ", " << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, WebpLossless, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(WebpLosslessLimits, RefusesWhatTheFormatCannotHold)
{
    BMallocIO out;
    for (BRect bounds : {BRect(0, 0, 16383, 0), BRect(0, 0, 0, 16383)}) {
        BBitmap picture(bounds, B_RGB32);
        EXPECT_EQ(B_NO_TRANSLATOR, write_webp_lossless(picture, &out));
    }
    BBitmap grey(BRect(0, 0, 9, 9), B_GRAY8);
    EXPECT_EQ(B_NO_TRANSLATOR, write_webp_lossless(grey, &out));
    EXPECT_EQ(0, out.BufferLength());
}

// A stereogram's repeats are found: little more than the random colours
// that begin each row (at most 68 pixels of three random bytes) is left.
TEST(WebpLosslessSize, FindsTheRepeats)
{
    std::unique_ptr<BBitmap> picture = make_picture({"", 1200, 400, B_RGB32, Fill::kStereogram});
    const size_t bytes = encode(*picture, WebpLosslessOptions()).size();
    EXPECT_LT(bytes, size_t(400) * 68 * 3 * 3 / 2);
}

} // namespace

// Each row begins with a row of a 32-row tile, shifted; the rest repeats it.
// A band of one row still finds the tile's rows above it, so cutting the
// picture into many bands costs little.
TEST(WebpLosslessSize, BandsStillFindTheRowsAbove)
{
    constexpr int32 kWidth = 600, kHeight = 600, kTileRows = 32, kSeparation = 50;
    BBitmap picture(BRect(0, 0, kWidth - 1, kHeight - 1), B_RGB32);
    std::mt19937 random(3);
    std::vector<uint32> tile(kTileRows * (kSeparation + 8));
    for (uint32& pixel : tile)
        pixel = uint32(random()) | 0xFF000000u;
    for (int32 y = 0; y < kHeight; y++) {
        uint32* row = row_of(&picture, y);
        const uint32* tileRow = tile.data() + (y % kTileRows) * (kSeparation + 8);
        for (int32 x = 0; x < kWidth; x++)
            row[x] = x < kSeparation ? tileRow[x + (y / kTileRows) % 8] : row[x - kSeparation];
    }
    WebpLosslessOptions oneBand, rowBands;
    oneBand.bandPixels = size_t(kWidth) * kHeight;
    rowBands.bandPixels = 1;
    const size_t whole = encode(picture, oneBand).size();
    const size_t cut = encode(picture, rowBands).size();
    EXPECT_LT(cut, whole + whole / 10) << whole;
    expect_decodes_to(encode(picture, rowBands), picture);
}
