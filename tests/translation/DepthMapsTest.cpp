// Depth maps read out of photos: phones' own files, and files made here in
// every layout the readers know, whose maps are computed independently (by
// Python, from the pictures the files were made of).
#include "CodecTestSupport.h"

#include <DepthMapsPrivate.h>

#include <cmath>
#include <cstring>

using namespace BPrivate;

namespace {

std::string sample(const char* name)
{
    return std::string(PELLARA_TEST_DATA) + "/depth/" + name;
}

struct Read
{
    status_t status;
    depth_map map;
    std::string why;
};

Read read_file(const std::string& path)
{
    std::vector<uint8> file = read_all(path);
    Read read;
    const char* why = nullptr;
    read.status = read_depth_map_data(file.data(), file.size(), &read.map, &why);
    read.why = why != nullptr ? why : "";
    return read;
}

double mean_of_rows(const depth_map& map, int32 first, int32 last)
{
    double sum = 0;
    for (int32 y = first; y < last; y++)
        for (int32 x = 0; x < map.width; x++)
            sum += map.values[size_t(y) * map.width + x];
    return sum / (double(last - first) * map.width);
}

// --- Phones' files ------------------------------------------------------------

TEST(DepthMapSamples, IphonePortraitGivesItsDisparityAtThePhotosSize)
{
    Read read = read_file(sample("portrait-iphone.heic"));
    ASSERT_EQ(B_OK, read.status) << read.why;
    EXPECT_EQ(DEPTH_MAP_HEIF, read.map.source);
    EXPECT_EQ(768, read.map.width);
    EXPECT_EQ(576, read.map.height);
    EXPECT_EQ(4032, read.map.photoWidth);
    EXPECT_EQ(3024, read.map.photoHeight);
    // The dog and its basket, in the lower half, stand before the wall.
    EXPECT_GT(mean_of_rows(read.map, 480, 576), mean_of_rows(read.map, 0, 96) + 0.3);
    for (float v : read.map.values)
        ASSERT_TRUE(v >= 0 && v <= 1);
}

TEST(DepthMapSamples, StereoPairWithoutDepthMapSaysSo)
{
    EXPECT_EQ(B_NAME_NOT_FOUND, read_file(sample("stereo-pair-no-depth.heic")).status);
}

// The Google camera's map, found here by Python with none of our code: the
// extended XMP's parts joined in file order, its GDepth:Data decoded.
TEST(DepthMapSamples, GoogleCameraMapIsTheOneInItsExtendedXmp)
{
    if (!have_pillow())
        GTEST_SKIP() << "Pillow missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(
        folder,
        "import base64, io, re, struct\n"
        "from PIL import Image\n"
        "data = open('" +
            sample("portrait-gdepth.jpg") +
            "', 'rb').read()\n"
            "parts, at = [], 2\n"
            "while data[at + 1] != 0xDA:\n"
            "    n = struct.unpack('>H', data[at + 2:at + 4])[0]\n"
            "    body = data[at + 4:at + 2 + n]\n"
            "    if body.startswith(b'http://ns.adobe.com/xmp/extension/'):\n"
            "        parts.append(body[75:])\n"
            "    at += 2 + n\n"
            "text = b''.join(parts).decode()\n"
            "png = base64.b64decode(re.search('GDepth:Data=\"([^\"]*)\"', text).group(1))\n"
            "im = Image.open(io.BytesIO(png)).convert('L')\n"
            "open(d + '/map.raw', 'wb').write(struct.pack('<II', *im.size) + im.tobytes())\n"));
    std::vector<uint8> raw = read_all(folder / "map.raw");
    ASSERT_GE(raw.size(), 8u);
    uint32 w, h;
    std::memcpy(&w, raw.data(), 4);
    std::memcpy(&h, raw.data() + 4, 4);

    Read read = read_file(sample("portrait-gdepth.jpg"));
    ASSERT_EQ(B_OK, read.status) << read.why;
    EXPECT_EQ(DEPTH_MAP_GDEPTH, read.map.source);
    ASSERT_EQ(int32(w), read.map.width);
    ASSERT_EQ(int32(h), read.map.height);
    EXPECT_EQ(1536, read.map.photoWidth);
    EXPECT_EQ(2048, read.map.photoHeight);
    ASSERT_EQ(raw.size(), 8 + read.map.values.size());
    // RangeInverse stores 0 at the near distance: nearness is 1 - d.
    for (size_t i = 0; i < read.map.values.size(); i++)
        ASSERT_NEAR(1.0 - raw[8 + i] / 255.0, read.map.values[i], 1e-5) << "at " << i;
}

TEST(DepthMapSamples, PicturesThatCarryNoMapAreToldApart)
{
    // A PNG can carry no depth map; a JPEG could, but this one does not.
    BBitmap bitmap(BRect(0, 0, 7, 7), B_RGB32);
    std::memset(bitmap.Bits(), 0x80, size_t(bitmap.BitsLength()));
    for (const char* type : {"PNG ", "JPEG"}) {
        BMallocIO encoded;
        const uint32 code = (uint32(type[0]) << 24) | (uint32(type[1]) << 16) |
                            (uint32(type[2]) << 8) | uint32(type[3]);
        for (const ImageTranslator* translator : image_translators()) {
            for (const WriteFormat& format : translator->OutputFormats()) {
                if (format.type == code && encoded.BufferLength() == 0)
                    translator->Write(bitmap, code, &encoded);
            }
        }
        ASSERT_GT(encoded.BufferLength(), 0u) << type;
        depth_map map;
        EXPECT_EQ(code == 'PNG ' ? B_NO_TRANSLATOR : B_NAME_NOT_FOUND,
                  read_depth_map_data(encoded.Buffer(), encoded.BufferLength(), &map))
            << type;
        EXPECT_TRUE(map.values.empty());
    }
}

// --- Files made here ----------------------------------------------------------

// Python that writes d/in, the photo, and for a readable one d/expected:
// the map's width, height, the photo's shown width and height (uint32 each)
// and the nearness values (float32), computed from the pictures the file
// was made of.
struct BuiltCase
{
    const char* name;
    const char* python;
    status_t status;
    depth_map_source source;
    const char* problem; // a part of the reason given, for B_ILLEGAL_DATA
};

void PrintTo(const BuiltCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string case_name(const testing::TestParamInfo<BuiltCase>& info)
{
    return info.param.name;
}

const std::string kPrelude =
    "import base64, struct, sys\n"
    "sys.path.insert(0, '" PELLARA_TEST_DATA "/../support')\n"
    "from depth_files import *\n"
    "from PIL import Image\n"
    "def photo(w=40, h=30):\n"
    "    im = Image.new('RGB', (w, h))\n"
    "    im.putdata([(x * 6, y * 8, (x + y) * 3) for y in range(h) for x in range(w)])\n"
    "    return im\n"
    "def depth(w=20, h=15):\n"
    "    im = Image.new('L', (w, h))\n"
    "    im.putdata([(x * 11 + y * 5) % 256 for y in range(h) for x in range(w)])\n"
    "    return im\n"
    "EXIF = {2: [Image.FLIP_LEFT_RIGHT], 3: [Image.ROTATE_180], 4: [Image.FLIP_TOP_BOTTOM],\n"
    "        5: [Image.TRANSPOSE], 6: [Image.ROTATE_270], 7: [Image.TRANSVERSE],\n"
    "        8: [Image.ROTATE_90]}\n"
    "def expect(im, near_is_dark, shown, turns=(), scale=255.0):\n"
    "    for t in turns:\n"
    "        im = im.transpose(t)\n"
    "    values = [v / scale for v in im.getdata()]\n"
    "    if near_is_dark:\n"
    "        values = [1 - v for v in values]\n"
    "    open(d + '/expected', 'wb').write(struct.pack('<4I', *im.size, *shown) +\n"
    "                                     struct.pack('<%df' % len(values), *values))\n"
    "def expect_photo(im, turns):\n"
    "    for t in turns:\n"
    "        im = im.transpose(t)\n"
    "    open(d + '/photo', 'wb').write(struct.pack('<2I', *im.size) + "
    "im.convert('RGB').tobytes())\n"
    "def write(data):\n"
    "    open(d + '/in', 'wb').write(data)\n";

// heif-enc writes losslessly; irot n turns anticlockwise n quarters; imir
// axis 0 flips top to bottom, axis 1 left to right (as libheif reads it).
#define HEIF(transforms, turns, shown)                                                             \
    "p, m = photo(), depth()\n"                                                                    \
    "heif_with_depth(d, p, m, d + '/in', " transforms ")\n"                                        \
    "expect(m, False, " shown ", " turns ")\n"                                                     \
    "expect_photo(p, " turns ")\n"

const BuiltCase kBuiltCases[] = {
    // GDepth: the map as a PNG in the XMP, near stored dark.
    {"GDepthInStandardXmp",
     "write(gdepth_jpeg(photo(), depth(), extended=False))\nexpect(depth(), True, (40, 30))", B_OK,
     DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthAsElements",
     "write(gdepth_jpeg(photo(), depth(), extended=False, elements=True))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthInExtendedXmp",
     "write(gdepth_jpeg(photo(), depth(), chunk=300))\nexpect(depth(), True, (40, 30))", B_OK,
     DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthExtendedPartsOutOfOrder",
     "count = gdepth_jpeg(photo(), depth(), chunk=300).count(EXTENDED)\n"
     "write(gdepth_jpeg(photo(), depth(), chunk=300, order=list(reversed(range(count)))))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthRangeLinear",
     "write(gdepth_jpeg(photo(), depth(), fmt='RangeLinear'))\nexpect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthTurnedWithThePhoto",
     "write(gdepth_jpeg(photo(), depth(), exif=6))\nexpect(depth(), True, (30, 40), EXIF[6])", B_OK,
     DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthMirroredWithThePhoto",
     "write(gdepth_jpeg(photo(), depth(), exif=5))\nexpect(depth(), True, (30, 40), EXIF[5])", B_OK,
     DEPTH_MAP_GDEPTH, nullptr},
    {"GDepthPartMissing", "write(gdepth_jpeg(photo(), depth(), chunk=300, drop_chunk=1))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "incomplete"},
    {"GDepthClaimsMoreThanItsPartsHold",
     "write(gdepth_jpeg(photo(), depth(), chunk=300, full_length=1 << 30))", B_ILLEGAL_DATA,
     DEPTH_MAP_NONE, "incomplete"},
    {"GDepthPartPastItsLength", "write(gdepth_jpeg(photo(), depth(), chunk=300, full_length=100))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "runs past"},
    {"GDepthOtherGuid", "write(gdepth_jpeg(photo(), depth(), declared_guid='F' * 32))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "no data"},
    {"GDepthNotBase64", "write(gdepth_jpeg(photo(), depth(), extended=False, data='#@!'))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "not base64"},
    {"GDepthNotAPicture",
     "write(gdepth_jpeg(photo(), depth(), data=base64.b64encode(b'no picture at all').decode()))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "not a picture"},
    {"GDepthDamagedPicture",
     "png = png_bytes(depth())\n"
     "write(gdepth_jpeg(photo(), depth(), data=base64.b64encode(png[:len(png) // 2]).decode()))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "damaged"},
    {"GDepthUnknownFormat", "write(gdepth_jpeg(photo(), depth(), fmt='Disparity'))", B_ILLEGAL_DATA,
     DEPTH_MAP_NONE, "format"},

    // Dynamic Depth: items after the JPEG, found by the directory's lengths.
    {"DynamicDepth",
     "gain = jpeg_bytes(photo(10, 8))\n"
     "write(dynamic_depth_jpeg(photo(), [('image/jpeg', gain, 'android/gainmap', None, 0),\n"
     "    ('image/png', png_bytes(depth()), 'android/depthmap', None, 0)]))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthAsElements",
     "gain = jpeg_bytes(photo(10, 8))\n"
     "write(dynamic_depth_jpeg(photo(), [('image/jpeg', gain, 'android/gainmap', None, 0),\n"
     "    ('image/png', png_bytes(depth()), 'android/depthmap', None, 0)], elements=True))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthWithPadding",
     "gain = jpeg_bytes(photo(10, 8))\n"
     "write(dynamic_depth_jpeg(photo(), [('image/jpeg', gain, 'android/gainmap', None, 7),\n"
     "    ('image/png', png_bytes(depth()), 'android/depthmap', None, 5)], primary_padding=3))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthAfterProgressiveScans",
     "write(dynamic_depth_jpeg(photo(), [('image/png', png_bytes(depth()), 'android/depthmap',\n"
     "    None, 0)], progressive=True))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthFoundBySemantic",
     "write(dynamic_depth_jpeg(photo(), [('image/png', png_bytes(depth()), None, 'Depth', 0)],\n"
     "    depth_uri=None))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthPhotoWithoutEnd",
     "gain = jpeg_bytes(photo(10, 8))\n"
     "write(dynamic_depth_jpeg(photo(), [('image/jpeg', gain, 'android/gainmap', None, 0),\n"
     "    ('image/png', png_bytes(depth()), 'android/depthmap', None, 0)], cut=2))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthTurnedWithThePhoto",
     "write(dynamic_depth_jpeg(photo(), [('image/png', png_bytes(depth()), 'android/depthmap',\n"
     "    None, 0)], exif=8))\n"
     "expect(depth(), True, (30, 40), EXIF[8])",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    {"DynamicDepthItemPastTheEnd",
     "png = png_bytes(depth())\n"
     "write(dynamic_depth_jpeg(photo(), [('image/png', png, 'android/depthmap', None, 0)],\n"
     "    lengths=[len(png) + 1000]))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "past the end"},
    {"DynamicDepthLengthNoNumber",
     "png = png_bytes(depth())\n"
     "write(dynamic_depth_jpeg(photo(), [('image/png', png, 'android/depthmap', None, 0)],\n"
     "    lengths=['12x']))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "no number"},
    {"DynamicDepthNamesNoItem",
     "write(dynamic_depth_jpeg(photo(), [('image/png', png_bytes(depth()), 'android/depthmap',\n"
     "    None, 0)], depth_uri='android/elsewhere'))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "names no item"},
    {"DynamicDepthItemNotAPicture",
     "write(dynamic_depth_jpeg(photo(), [('image/png', b'x' * 300, 'android/depthmap', None, 0)]))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "not a picture"},
    {"MotionPhotoHasNoDepthMap",
     "write(dynamic_depth_jpeg(photo(), [('video/mp4', b'\\0' * 500, None, 'MotionPhoto', 0)],\n"
     "    camera=False))",
     B_NAME_NOT_FOUND, DEPTH_MAP_NONE, nullptr},
    // An item marked as depth, without the camera's element to name it.
    {"DynamicDepthItemWithoutItsCamera",
     "write(dynamic_depth_jpeg(photo(), [('video/mp4', b'\\0' * 50, None, 'MotionPhoto', 0),\n"
     "    ('image/png', png_bytes(depth()), None, 'Depth', 0)], camera=False))\n"
     "expect(depth(), True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},
    // A map is never larger than its photo: a flat one that claims to be
    // costs memory for nothing.
    {"GDepthLargerThanThePhoto", "write(gdepth_jpeg(photo(), Image.new('L', (41, 30), 9)))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "larger than the photo"},
    {"DynamicDepthLargerThanThePhoto",
     "write(dynamic_depth_jpeg(photo(), [('image/png', png_bytes(Image.new('L', (40, 31), 9)),\n"
     "    'android/depthmap', None, 0)]))",
     B_ILLEGAL_DATA, DEPTH_MAP_NONE, "larger than the photo"},
    {"DynamicDepthAsLargeAsThePhoto",
     "m = depth(40, 30)\n"
     "write(dynamic_depth_jpeg(photo(), [('image/png', png_bytes(m), 'android/depthmap', None, "
     "0)]))\n"
     "expect(m, True, (40, 30))",
     B_OK, DEPTH_MAP_DYNAMIC_DEPTH, nullptr},

    // HEIF: the primary's auxiliary depth image, turned as the primary is.
    {"HeifDepth", HEIF("()", "()", "(40, 30)"), B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifQuarterTurn", HEIF("[('irot', 1)]", "[Image.ROTATE_90]", "(30, 40)"), B_OK,
     DEPTH_MAP_HEIF, nullptr},
    {"HeifHalfTurn", HEIF("[('irot', 2)]", "[Image.ROTATE_180]", "(40, 30)"), B_OK, DEPTH_MAP_HEIF,
     nullptr},
    {"HeifThreeQuarterTurn", HEIF("[('irot', 3)]", "[Image.ROTATE_270]", "(30, 40)"), B_OK,
     DEPTH_MAP_HEIF, nullptr},
    {"HeifMirrorAxis0", HEIF("[('imir', 0)]", "[Image.FLIP_TOP_BOTTOM]", "(40, 30)"), B_OK,
     DEPTH_MAP_HEIF, nullptr},
    {"HeifMirrorAxis1", HEIF("[('imir', 1)]", "[Image.FLIP_LEFT_RIGHT]", "(40, 30)"), B_OK,
     DEPTH_MAP_HEIF, nullptr},
    // Done in the order listed: turned, then mirrored.
    {"HeifTurnThenMirror",
     HEIF("[('irot', 1), ('imir', 1)]", "[Image.ROTATE_90, Image.FLIP_LEFT_RIGHT]", "(30, 40)"),
     B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifMirrorThenTurn",
     HEIF("[('imir', 1), ('irot', 1)]", "[Image.FLIP_LEFT_RIGHT, Image.ROTATE_90]", "(30, 40)"),
     B_OK, DEPTH_MAP_HEIF, nullptr},
    // 16-bit values stored in 12 bits: the map keeps them.
    {"HeifTwelveBitDepth",
     "p = photo()\n"
     "m = Image.new('I;16', (20, 15))\n"
     "m.putdata([(x * 3000 + y * 700) % 65536 for y in range(15) for x in range(20)])\n"
     "heif_with_depth(d, p, m, d + '/in', bits=12)\n"
     "stored = Image.new('I', m.size)\n"
     "stored.putdata([v >> 4 for v in m.getdata()])\n"
     "expect(stored, False, (40, 30), scale=4095.0)",
     B_OK, DEPTH_MAP_HEIF, nullptr},
    // The depth representation's direction: Z grows away from the camera,
    // inverse Z and disparity towards it.
    {"HeifUniformInverseZ",
     "p, m = photo(), depth()\n"
     "heif_with_depth(d, p, m, d + '/in', representation=depth_representation(0, z_near=0.25,\n"
     "    z_far=8.0))\n"
     "expect(m, False, (40, 30))",
     B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifUniformDisparity",
     "p, m = photo(), depth()\n"
     "heif_with_depth(d, p, m, d + '/in', representation=depth_representation(1, d_min=1.5,\n"
     "    d_max=4.4))\n"
     "expect(m, False, (40, 30))",
     B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifUniformZ",
     "p, m = photo(), depth()\n"
     "heif_with_depth(d, p, m, d + '/in', representation=depth_representation(2, z_near=0.5,\n"
     "    z_far=3.0))\n"
     "expect(m, True, (40, 30))",
     B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifUniformZTurned",
     "p, m = photo(), depth()\n"
     "heif_with_depth(d, p, m, d + '/in', [('irot', 1)],\n"
     "    representation=depth_representation(2, z_near=0.5, z_far=3.0))\n"
     "expect(m, True, (30, 40), [Image.ROTATE_90])\n"
     "expect_photo(p, [Image.ROTATE_90])",
     B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifNonuniformDisparity",
     "p, m = photo(), depth()\n"
     "heif_with_depth(d, p, m, d + '/in', representation=depth_representation(3, d_min=0.5,\n"
     "    d_max=2.0))\n"
     "expect(m, False, (40, 30))",
     B_OK, DEPTH_MAP_HEIF, nullptr},
    {"HeifTwoImagesNoDepth",
     "p, m = photo(), depth()\n"
     "p.save(d + '/p.png')\n"
     "m.save(d + '/m.png')\n"
     "import subprocess\n"
     "subprocess.run(['heif-enc', '-A', '-L', '-o', d + '/in', d + '/p.png', d + '/m.png'],\n"
     "    check=True)",
     B_NAME_NOT_FOUND, DEPTH_MAP_NONE, nullptr},
};

class BuiltFile : public testing::TestWithParam<BuiltCase>
{
};

TEST_P(BuiltFile, GivesTheMapItWasMadeOf)
{
    const BuiltCase& c = GetParam();
    if (!have_pillow() || !have_program("heif-enc"))
        GTEST_SKIP() << "Pillow or libheif-examples missing";
    ScratchFolder folder;
    ASSERT_TRUE(run_python(folder, kPrelude + c.python)) << "could not make the file";
    Read read = read_file(folder / "in");
    ASSERT_EQ(c.status, read.status) << read.why;
    if (c.status == B_ILLEGAL_DATA) {
        EXPECT_NE(std::string::npos, read.why.find(c.problem)) << "reason: " << read.why;
        EXPECT_TRUE(read.map.values.empty());
        return;
    }
    if (c.status != B_OK)
        return;
    EXPECT_EQ(c.source, read.map.source);
    std::vector<uint8> expected = read_all(folder / "expected");
    ASSERT_GE(expected.size(), 16u);
    uint32 sizes[4];
    std::memcpy(sizes, expected.data(), 16);
    ASSERT_EQ(int32(sizes[0]), read.map.width);
    ASSERT_EQ(int32(sizes[1]), read.map.height);
    EXPECT_EQ(int32(sizes[2]), read.map.photoWidth);
    EXPECT_EQ(int32(sizes[3]), read.map.photoHeight);
    ASSERT_EQ(expected.size(), 16 + read.map.values.size() * 4);
    // Where the photo itself was turned too, the translation kit shows it
    // turned the same way: map and photo line up.
    std::vector<uint8> photo = read_all(folder / "photo");
    if (!photo.empty()) {
        std::vector<uint8> file = read_all(folder / "in");
        BBitmap* raw = nullptr;
        ASSERT_EQ(B_OK, read_bitmap_data(file.data(), file.size(), nullptr, &raw));
        std::unique_ptr<BBitmap> shown(raw);
        uint32 size[2];
        std::memcpy(size, photo.data(), 8);
        ASSERT_EQ(int32(size[0]), shown->PixelWidth());
        ASSERT_EQ(int32(size[1]), shown->PixelHeight());
        // heif-enc's "lossless" goes through subsampled YCbCr: a few levels
        // off, where a wrong turn would be tens of levels off.
        double error = 0;
        for (int32 y = 0; y < shown->PixelHeight(); y++) {
            for (int32 x = 0; x < shown->PixelWidth(); x++) {
                const uint8* rgb = photo.data() + 8 + (size_t(y) * size[0] + x) * 3;
                const uint32 got = row_of(shown.get(), y)[x];
                for (int c = 0; c < 3; c++)
                    error += std::abs(int(rgb[c]) - int((got >> (16 - 8 * c)) & 0xFF));
            }
        }
        EXPECT_LT(error / (3.0 * shown->PixelWidth() * shown->PixelHeight()), 3.0);
    }
    for (size_t i = 0; i < read.map.values.size(); i++) {
        float want;
        std::memcpy(&want, expected.data() + 16 + i * 4, 4);
        ASSERT_NEAR(want, read.map.values[i], 1e-5)
            << "at (" << i % size_t(read.map.width) << ", " << i / size_t(read.map.width) << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BuiltFile, testing::ValuesIn(kBuiltCases), case_name);

// --- The parsers alone --------------------------------------------------------

TEST(Base64, DecodesWhatXmpCarries)
{
    struct Case
    {
        const char* text;
        bool ok;
        const char* bytes;
    };
    const Case cases[] = {
        {"aGVsbG8=", true, "hello"},    {"aGVsbG8h", true, "hello!"},
        {"aGVs\n bG8=", true, "hello"}, // wrapped
        {"aGVsbG8", true, "hello"},     // padding left out
        {"aGVsbG8==", false, nullptr},  // too much padding
        {"aGVs=bG8", false, nullptr},   // data after padding
        {"aGVsb", false, nullptr},      // one character cannot end a group
        {"aGV$bG8=", false, nullptr},   // not of the alphabet
        {"", false, nullptr},           // nothing
    };
    for (const Case& c : cases) {
        std::string bytes;
        EXPECT_EQ(c.ok, decode_base64(c.text, &bytes)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.bytes, bytes) << c.text;
        }
    }
}

TEST(Xmp, PropertiesAreFoundByNamespaceInEitherForm)
{
    XmpDocument document;
    ASSERT_EQ(B_OK,
              document.Parse("<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>"
                             "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                             "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                             "<rdf:Description xmlns:g='http://ns.google.com/photos/1.0/depthmap/' "
                             "g:Near='1.5'><g:Far>9</g:Far></rdf:Description>"
                             "<rdf:Description xmlns:GDepth='urn:not-google' GDepth:Mime='no'/>"
                             "</rdf:RDF></x:xmpmeta><?xpacket end='w'?>\n\0\0 padding"));
    const std::string* near = document.Find(kGDepthNamespace, "Near");
    const std::string* far = document.Find(kGDepthNamespace, "Far");
    ASSERT_NE(nullptr, near);
    ASSERT_NE(nullptr, far);
    EXPECT_EQ("1.5", *near);
    EXPECT_EQ("9", *far);
    // The prefix alone means nothing: this one is bound to another URI.
    EXPECT_EQ(nullptr, document.Find(kGDepthNamespace, "Mime"));
}

TEST(Xmp, UndeclaredUsualPrefixesAreReadAnyway)
{
    XmpDocument document;
    ASSERT_EQ(B_OK, document.Parse("<rdf:RDF><rdf:Description GDepth:Format='RangeLinear'/>"
                                   "</rdf:RDF>"));
    const std::string* format = document.Find(kGDepthNamespace, "Format");
    ASSERT_NE(nullptr, format);
    EXPECT_EQ("RangeLinear", *format);
}

TEST(Xmp, WhatIsNotAPacketIsRefused)
{
    const char* packets[] = {
        "",
        "<a><b></a>",                                  // not well-formed
        "<!DOCTYPE x [<!ENTITY e 'boom'>]><x>&e;</x>", // declares a document type
        "<a><b/>",                                     // never closed
        "just text",
    };
    for (const char* packet : packets) {
        XmpDocument document;
        EXPECT_EQ(B_ILLEGAL_DATA, document.Parse(packet)) << packet;
        EXPECT_TRUE(document.Elements().empty()) << packet;
    }
}

TEST(Xmp, DeepNestingCostsNoRecursion)
{
    std::string packet;
    for (int i = 0; i < 200000; i++)
        packet += "<a>";
    packet += "<GDepth:Data>x</GDepth:Data>";
    for (int i = 0; i < 200000; i++)
        packet += "</a>";
    XmpDocument document;
    ASSERT_EQ(B_OK, document.Parse(packet));
    EXPECT_EQ(200001u, document.Elements().size());
    ASSERT_NE(nullptr, document.Find(kGDepthNamespace, "Data"));
}

TEST(ExtendedXmp, OverlappingPartsJoinAndGapsDoNot)
{
    JpegLayout layout;
    const std::string_view guid = "0123456789ABCDEF0123456789ABCDEF";
    layout.extended = {{guid, 10, 0, "01234"}, {guid, 10, 3, "3456789"}, {"other", 10, 0, "xx"}};
    std::string joined;
    const char* problem = nullptr;
    ASSERT_EQ(B_OK, join_extended_xmp(layout, guid, &joined, &problem));
    EXPECT_EQ("0123456789", joined);

    layout.extended = {{guid, 10, 0, "0123"}, {guid, 10, 5, "56789"}, {guid, 10, 0, "01"}};
    EXPECT_EQ(B_ILLEGAL_DATA, join_extended_xmp(layout, guid, &joined, &problem));
    EXPECT_NE(nullptr, std::strstr(problem, "part is missing"));
    EXPECT_EQ(B_NAME_NOT_FOUND, join_extended_xmp(layout, "F", &joined, &problem));
}

TEST(Orientation, DepthMapsTurnAsBitmapsDo)
{
    // A 3 x 2 map and a bitmap of the same labels, through both turners.
    for (int32 orientation = 1; orientation <= 8; orientation++) {
        depth_map map;
        map.width = 3;
        map.height = 2;
        map.values = {0, 1, 2, 3, 4, 5};
        auto* bitmap = new BBitmap(BRect(0, 0, 2, 1), B_RGB32);
        for (uint32 i = 0; i < 6; i++)
            static_cast<uint32*>(bitmap->Bits())[i] = i;
        orient_depth_map(&map, orientation);
        std::unique_ptr<BBitmap> turned(apply_orientation(bitmap, orientation));
        ASSERT_EQ(turned->PixelWidth(), map.width) << orientation;
        ASSERT_EQ(turned->PixelHeight(), map.height) << orientation;
        for (int32 y = 0; y < map.height; y++)
            for (int32 x = 0; x < map.width; x++)
                EXPECT_EQ(float(row_of(turned.get(), y)[x]), map.values[size_t(y * map.width + x)])
                    << "orientation " << orientation << " at " << x << "," << y;
    }
}

TEST(JpegWalk, SegmentsThatLieAreRefused)
{
    // SOI, then an APP1 claiming 0x4000 bytes of a file of 12.
    const uint8 lying[] = {0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 'h', 't', 't', 'p', 0, 0};
    JpegLayout layout;
    EXPECT_EQ(B_ILLEGAL_DATA, walk_jpeg(lying, sizeof(lying), &layout));
    depth_map map;
    EXPECT_EQ(B_NAME_NOT_FOUND, read_depth_map_data(lying, sizeof(lying), &map));
    const uint8 notJpeg[] = {0x89, 'P', 'N', 'G'};
    EXPECT_EQ(B_NO_TRANSLATOR, walk_jpeg(notJpeg, sizeof(notJpeg), &layout));
}

} // namespace
