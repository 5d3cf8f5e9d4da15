// PNG depth pictures read at their own precision and a byte or two a pixel:
// files written sample by sample in Python, their light computed there from
// the same samples.
#include "CodecTestSupport.h"

#include <DepthMaps.h>

#include <cstring>

namespace {

struct WideCase
{
    const char* name;
    // Python writing d/in (and, for B_OK, d/expected: width, height and the
    // light of each pixel as it is shown).
    const char* python;
    status_t status;
};

const std::string kWidePrelude =
    "import struct, sys\n"
    "sys.path.insert(0, '" PELLARA_TEST_DATA "/../support')\n"
    "from wide_png import *\n"
    "def make(w, h, pixel, colour=0, turn=None, **options):\n"
    "    open(d + '/in', 'wb').write(png16(w, h, pixel, colour, **options))\n"
    "    grid = [[light(pixel(x, y), colour, options.get('trns')) for x in range(w)]\n"
    "            for y in range(h)]\n"
    "    if turn:\n"
    "        grid, w, h = turn(grid), h, w\n"
    "    values = [v for row in grid for v in row]\n"
    "    open(d + '/expected', 'wb').write(struct.pack('<2I', w, h) +\n"
    "                                     struct.pack('<%df' % len(values), *values))\n"
    // EXIF 6: shown turned a quarter clockwise; 8: a quarter anticlockwise.
    "def clockwise(g):\n"
    "    return [list(r) for r in zip(*g[::-1])]\n"
    "def anticlockwise(g):\n"
    "    return [list(r) for r in zip(*g)][::-1]\n"
    // A depth camera's millimetres: 1000..3000 of 65535, where 8 bits keep 8 levels.
    "def narrow(x, y):\n"
    "    return (1000 + (x * 37 + y * 101) % 2001,)\n";

const WideCase kWideCases[] = {
    {"NarrowGreyKeepsEveryLevel", "make(61, 37, narrow)", B_OK},
    {"GreyInterlaced", "make(13, 7, narrow, interlace=True)", B_OK},
    {"GreyOnePixelInterlaced", "make(1, 1, lambda x, y: (12345,), interlace=True)", B_OK},
    {"Colour", "make(20, 9, lambda x, y: (x * 3000, y * 7000, 65535 - x * 3000), 2)", B_OK},
    {"GreyWithAlpha", "make(20, 9, lambda x, y: (40000 + x, y * 7000), 4)", B_OK},
    {"ColourWithAlphaInterlaced",
     "make(19, 11, lambda x, y: (x * 3000, y * 5000, 20000, 65535 - x * y * 200), 6,\n"
     "     interlace=True)",
     B_OK},
    {"TransparentLevelIsFar", "make(16, 4, lambda x, y: ((x % 4) * 1000,), trns=2000)", B_OK},
    {"TurnedAsItsExifSays", "make(12, 5, narrow, turn=clockwise, exif=6)", B_OK},
    {"TurnedTheOtherWay", "make(12, 5, narrow, turn=anticlockwise, exif=8, interlace=True)", B_OK},
    // A flat picture deflates near its limit; a lower bound assuming 8
    // bytes a pixel refused it as truncated.
    {"FlatGreyCompressesWell", "make(2000, 300, lambda x, y: (30000,))", B_OK},
    {"EightBitGrey",
     "from PIL import Image\n"
     "Image.new('L', (8, 8), 77).save(d + '/in', 'PNG')\n"
     "open(d + '/expected', 'wb').write(struct.pack('<2I', 8, 8) + struct.pack('<f', 77 / 255) * "
     "64)",
     B_OK},
    {"EightBitGreyTurned",
     "from PIL import Image\n"
     "image = Image.new('L', (3, 2), 0)\n"
     "image.putdata([0, 50, 100, 150, 200, 250])\n"
     "exif = Image.Exif()\n"
     "exif[0x112] = 6\n"
     "image.save(d + '/in', 'PNG', exif=exif)\n"
     "values = [150 / 255, 0, 200 / 255, 50 / 255, 250 / 255, 100 / 255]\n"
     "open(d + '/expected', 'wb').write(struct.pack('<2I', 2, 3) + struct.pack('<6f', *values))",
     B_OK},
    // Other layouts of 8 bits or fewer, and other formats: the bitmap holds
    // every level.
    {"EightBitGreyTransparent",
     "from PIL import Image\n"
     "Image.new('L', (8, 8), 77).save(d + '/in', 'PNG', transparency=77)",
     B_NAME_NOT_FOUND},
    {"EightBitPalette",
     "from PIL import Image\n"
     "Image.new('P', (8, 8), 3).save(d + '/in', 'PNG')",
     B_NAME_NOT_FOUND},
    {"EightBitColour",
     "from PIL import Image\n"
     "Image.new('RGB', (8, 8), (1, 2, 3)).save(d + '/in', 'PNG')",
     B_NAME_NOT_FOUND},
    {"NoPng", "open(d + '/in', 'wb').write(b'\\xff\\xd8\\xff' + bytes(100))", B_NAME_NOT_FOUND},
    // Damage and lies.
    {"Truncated",
     "data = png16(64, 64, narrow)\n"
     "open(d + '/in', 'wb').write(data[:len(data) // 2])",
     B_ILLEGAL_DATA},
    {"BadChecksum",
     "data = bytearray(png16(16, 16, narrow))\n"
     "data[-20] ^= 0xFF\n"
     "open(d + '/in', 'wb').write(bytes(data))",
     B_ILLEGAL_DATA},
    {"ClaimsMoreRowsThanItsBytesHold",
     "open(d + '/in', 'wb').write(png16(4, 4, narrow, ihdr=(8000, 8000)))", B_ILLEGAL_DATA},
    {"OverTheBudget", "open(d + '/in', 'wb').write(png16(4, 4, narrow, ihdr=(1 << 20, 1 << 20)))",
     B_NO_MEMORY},
};

class WideDepthPicture : public testing::TestWithParam<WideCase>
{
};

TEST_P(WideDepthPicture, GivesTheLightOfItsSamples)
{
    const WideCase& c = GetParam();
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kWidePrelude + c.python)) << "could not make the file";
    std::vector<uint8> file = read_all(folder / "in");
    depth_map map;
    map.width = 99; // anything left from before must go
    ASSERT_EQ(c.status, read_wide_depth_picture_data(file.data(), file.size(), &map));
    if (c.status != B_OK) {
        EXPECT_EQ(0u, depth_map_count(map));
        EXPECT_EQ(0, map.width);
        return;
    }
    std::vector<uint8> expected = read_all(folder / "expected");
    ASSERT_GE(expected.size(), 8u);
    uint32 size[2];
    std::memcpy(size, expected.data(), 8);
    ASSERT_EQ(int32(size[0]), map.width);
    ASSERT_EQ(int32(size[1]), map.height);
    EXPECT_EQ(map.width, map.photoWidth);
    EXPECT_EQ(map.height, map.photoHeight);
    // Held a byte or two a pixel, never as floats.
    EXPECT_TRUE(map.values.empty());
    ASSERT_EQ(expected.size(), 8 + depth_map_count(map) * 4);
    for (size_t i = 0; i < depth_map_count(map); i++) {
        float want;
        std::memcpy(&want, expected.data() + 8 + i * 4, 4);
        // Within half a 16-bit level (7.6e-6); 8 bits are off by up to 2e-3.
        ASSERT_NEAR(want, depth_map_value(map, i), 8e-6)
            << "at (" << i % size_t(map.width) << ", " << i / size_t(map.width) << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(Files, WideDepthPicture, testing::ValuesIn(kWideCases),
                         [](const testing::TestParamInfo<WideCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(WideDepthPicture, RefusesNullArguments)
{
    depth_map map;
    const uint8 byte = 0;
    EXPECT_EQ(B_BAD_VALUE, read_wide_depth_picture_data(&byte, 1, nullptr));
    EXPECT_EQ(B_BAD_VALUE, read_wide_depth_picture_data(nullptr, 10, &map));
    EXPECT_EQ(B_NAME_NOT_FOUND, read_wide_depth_picture_data(nullptr, 0, &map));
}

} // namespace
