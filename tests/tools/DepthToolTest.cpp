// pellara-depth run as a program on phones' photos, pictures, models of known
// shape and words: what it writes, compared with depth computed here from
// the shapes' equations, and what it says and leaves when it fails.
#include <Bitmap.h>
#include <BitmapReading.h>
#include <DepthMaps.h>
#include <FuseJob.h>
#include <TranslationUtils.h>

#include "DepthToolRun.h"
#include "ModelFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Scratch
{
public:
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-depth-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(fPath); }
    std::string operator/(const std::string& name) const { return fPath + "/" + name; }
    const std::string& Path() const { return fPath; }

private:
    std::string fPath;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A 16-bit PNG written by the tests' own encoder: samples is a Python
// expression in x and y giving each pixel's tuple of samples.
bool write_png16(const std::string& path, int width, int height, const std::string& samples)
{
    const std::string make = "import sys; sys.path.insert(0, '" PELLARA_TEST_DATA "/../support'); "
                             "from wide_png import png16; "
                             "open(sys.argv[1], 'wb').write(png16(" +
                             std::to_string(width) + ", " + std::to_string(height) +
                             ", lambda x, y: " + samples + "))";
    const std::string python =
        std::system("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
    return std::system((python + " -c \"" + make + "\" '" + path + "'").c_str()) == 0;
}

std::string sample(const char* name)
{
    return std::string(PELLARA_TEST_DATA) + "/depth/" + name;
}

using ToolRun = DepthToolRun;

// The tool with args; input, when given, is its standard input.
ToolRun run_depth(const Scratch& scratch, const std::vector<std::string>& args,
                  const std::string& input = "")
{
    return run_depth_tool(scratch.Path(), args, {input, {}});
}

// A grey picture as levels, row after row.
struct Grey
{
    int32 width = 0;
    int32 height = 0;
    std::vector<uint8> levels;
    bool allGrey = true;

    uint8 At(int32 x, int32 y) const { return levels[size_t(y) * width + x]; }
};

Grey read_grey(const std::string& path)
{
    BBitmap* raw = nullptr;
    Grey grey;
    if (BTranslationUtils::ReadBitmapFile(path.c_str(), &raw) != B_OK)
        return grey;
    std::unique_ptr<BBitmap> bitmap(raw);
    grey.width = bitmap->PixelWidth();
    grey.height = bitmap->PixelHeight();
    for (int32 y = 0; y < grey.height; y++) {
        const uint32* row = reinterpret_cast<const uint32*>(
            static_cast<const uint8*>(bitmap->Bits()) + size_t(y) * bitmap->BytesPerRow());
        for (int32 x = 0; x < grey.width; x++) {
            const uint32 p = row[x];
            grey.allGrey =
                grey.allGrey && ((p >> 16) & 0xFF) == (p & 0xFF) && ((p >> 8) & 0xFF) == (p & 0xFF);
            grey.levels.push_back(uint8(p & 0xFF));
        }
    }
    return grey;
}

void write_picture(BBitmap* bitmap, const std::string& path)
{
    fuse::OutputFormat format;
    ASSERT_EQ(B_OK, fuse::FormatFromPath(path.c_str(), &format));
    ASSERT_EQ(B_OK, fuse::WritePicture(bitmap, path.c_str(), format));
}

// A picture whose every pixel is f(x, y), 0xAARRGGBB.
void write_function(const std::string& path, int32 w, int32 h,
                    const std::function<uint32(int32, int32)>& f, color_space space = B_RGB32)
{
    BBitmap bitmap(BRect(0, 0, float(w - 1), float(h - 1)), space);
    for (int32 y = 0; y < h; y++) {
        uint32* row = reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap.Bits()) +
                                                size_t(y) * bitmap.BytesPerRow());
        for (int32 x = 0; x < w; x++)
            row[x] = f(x, y);
    }
    write_picture(&bitmap, path);
}

uint32 grey_word(uint32 level)
{
    return 0xFF000000u | level * 0x010101u;
}

// One line on standard error, naming the tool.
void expect_one_line(const ToolRun& run, const std::string& part)
{
    EXPECT_EQ(0, run.err.rfind("pellara-depth: ", 0)) << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(part)) << run.err;
}

// --- Phones' photos ------------------------------------------------------------

TEST(DepthTool, PortraitGivesAPictureOfThePhotosSize)
{
    Scratch scratch;
    const std::string out = scratch / "depth.png";
    ToolRun run = run_depth(scratch, {sample("portrait-iphone.heic"), out});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err);
    Grey grey = read_grey(out);
    EXPECT_EQ(4032, grey.width);
    EXPECT_EQ(3024, grey.height);
    EXPECT_TRUE(grey.allGrey);
    // Stretched to the whole range by default.
    EXPECT_EQ(0, *std::min_element(grey.levels.begin(), grey.levels.end()));
    EXPECT_EQ(255, *std::max_element(grey.levels.begin(), grey.levels.end()));
}

TEST(DepthTool, SizesFollowTheOptions)
{
    struct Case
    {
        std::vector<std::string> options;
        int32 width, height;
    };
    const Case cases[] = {
        {{"--width", "800"}, 800, 600},
        {{"--width=1000"}, 1000, 750},
        {{"--size", "300x200"}, 300, 200},
        {{"--size=64X48"}, 64, 48},
    };
    Scratch scratch;
    for (const Case& c : cases) {
        const std::string out = scratch / "depth.jpg";
        std::vector<std::string> args{sample("portrait-iphone.heic"), out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = run_depth(scratch, args);
        ASSERT_EQ(0, run.status) << run.err;
        Grey grey = read_grey(out);
        EXPECT_EQ(c.width, grey.width) << c.options[0];
        EXPECT_EQ(c.height, grey.height) << c.options[0];
    }
}

// Without normalisation the picture is the map on its own scale; the map
// itself is checked against Python's reading of the file by the
// translation tests.
TEST(DepthTool, GoogleMapKeepsItsOwnScaleWithoutNormalisation)
{
    Scratch scratch;
    const std::string out = scratch / "depth.png";
    ToolRun run = run_depth(scratch, {sample("portrait-gdepth.jpg"), out, "--no-normalize"});
    ASSERT_EQ(0, run.status) << run.err;
    std::string file = slurp(sample("portrait-gdepth.jpg"));
    depth_map map;
    ASSERT_EQ(B_OK, read_depth_map_data(file.data(), file.size(), &map));
    Grey grey = read_grey(out);
    ASSERT_EQ(map.width, grey.width);
    ASSERT_EQ(map.height, grey.height);
    for (size_t i = 0; i < grey.levels.size(); i++)
        ASSERT_EQ(std::lround(map.values[i] * 255), grey.levels[i]) << i;

    // Inverted, near and far trade places.
    const std::string inverted = scratch / "inverted.png";
    run =
        run_depth(scratch, {sample("portrait-gdepth.jpg"), inverted, "--no-normalize", "--invert"});
    ASSERT_EQ(0, run.status) << run.err;
    Grey other = read_grey(inverted);
    for (size_t i = 0; i < grey.levels.size(); i++)
        ASSERT_EQ(255 - grey.levels[i], other.levels[i]) << i;
}

TEST(DepthTool, PhotoWithoutDepthMapFailsAndKeepsTheOldFile)
{
    Scratch scratch;
    const std::string out = scratch / "depth.png";
    std::ofstream(out) << "old";
    const std::string photo = PELLARA_TEST_DATA "/corpus/made/heic-8bit-heifenc.heic";
    ToolRun run = run_depth(scratch, {photo, out});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("pellara-depth: no stereo pair in '" + photo + "'\n", run.err);
    EXPECT_EQ("old", slurp(out));
}

TEST(DepthTool, StandardInputAndOutput)
{
    Scratch scratch;
    ToolRun run = run_depth(scratch, {"-", "-", "--format", "png", "--width", "320"},
                            sample("portrait-iphone.heic"));
    ASSERT_EQ(0, run.status) << run.err;
    BBitmap* raw = nullptr;
    ASSERT_EQ(B_OK, read_bitmap_data(run.out.data(), run.out.size(), nullptr, &raw));
    std::unique_ptr<BBitmap> picture(raw);
    EXPECT_EQ(320, picture->PixelWidth());
    EXPECT_EQ(240, picture->PixelHeight());

    run = run_depth(scratch, {"-", scratch / "x.png"},
                    PELLARA_TEST_DATA "/corpus/made/heic-8bit-heifenc.heic");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("pellara-depth: no stereo pair in standard input\n", run.err);
}

// --- Pictures -------------------------------------------------------------------

TEST(DepthTool, PicturesAreTakenAsDepth)
{
    Scratch scratch;
    const std::string ramp = scratch / "ramp.png";
    // 64..191 across: stretched to 0..255, or kept, or turned round.
    write_function(ramp, 128, 8, [](int32 x, int32) { return grey_word(uint32(64 + x)); });
    struct Case
    {
        std::vector<std::string> options;
        std::function<double(int32)> level;
    };
    const Case cases[] = {
        {{}, [](int32 x) { return x * 255.0 / 127; }},
        {{"--no-normalize"}, [](int32 x) { return 64.0 + x; }},
        {{"--invert"}, [](int32 x) { return 255 - x * 255.0 / 127; }},
        {{"--invert", "--no-normalize"}, [](int32 x) { return 255 - (64.0 + x); }},
    };
    for (const Case& c : cases) {
        const std::string out = scratch / "out.png";
        std::vector<std::string> args{ramp, out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = run_depth(scratch, args);
        ASSERT_EQ(0, run.status) << run.err;
        Grey grey = read_grey(out);
        ASSERT_EQ(128, grey.width);
        for (int32 x = 0; x < 128; x++)
            ASSERT_NEAR(c.level(x), grey.At(x, 4), 0.5) << x << " with " << args.size();
    }
}

// A depth camera's 16-bit millimetres use a small part of their range: the
// picture keeps their own precision, so stretching them makes no terraces.
TEST(DepthTool, SixteenBitPicturesKeepTheirPrecision)
{
    Scratch scratch;
    const std::string in = scratch / "in.png";
    // 1000 + 4x across 512 columns: 8 levels of 8 bits, 512 of 16.
    ASSERT_TRUE(write_png16(in, 512, 4, "(1000 + 4 * x,)"));
    struct Case
    {
        std::vector<std::string> options;
        std::function<double(int32)> level;
    };
    const Case cases[] = {
        {{}, [](int32 x) { return x * 255.0 / 511; }},
        {{"--no-normalize"}, [](int32 x) { return (1000 + 4.0 * x) * 255 / 65535; }},
    };
    for (const Case& c : cases) {
        const std::string out = scratch / "out.png";
        std::vector<std::string> args{in, out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = run_depth(scratch, args);
        ASSERT_EQ(0, run.status) << run.err;
        Grey grey = read_grey(out);
        ASSERT_EQ(512, grey.width);
        for (int32 x = 0; x < 512; x++)
            ASSERT_NEAR(c.level(x), grey.At(x, 2), 0.51) << x << " with " << args.size();
    }
}

TEST(DepthTool, ColourIsTakenByItsLightAndTransparencyAsFar)
{
    Scratch scratch;
    const std::string in = scratch / "in.png";
    // Left half opaque red, right half transparent white.
    write_function(
        in, 20, 4, [](int32 x, int32) { return x < 10 ? 0xFFFF0000u : 0x00FFFFFFu; }, B_RGBA32);
    const std::string out = scratch / "out.png";
    ToolRun run = run_depth(scratch, {in, out, "--no-normalize"});
    ASSERT_EQ(0, run.status) << run.err;
    Grey grey = read_grey(out);
    EXPECT_NEAR(0.299 * 255, grey.At(2, 1), 1.0);
    EXPECT_EQ(0, grey.At(15, 1));
}

TEST(DepthTool, SmallMapsGrowSmoothlyAndLargeOnesShrinkWithoutAliasing)
{
    Scratch scratch;
    // A linear ramp grows into a linear ramp: no steps.
    const std::string ramp = scratch / "ramp.png";
    write_function(ramp, 32, 24, [](int32 x, int32) { return grey_word(uint32(x * 8)); });
    const std::string big = scratch / "big.png";
    ToolRun run = run_depth(scratch, {ramp, big, "--size", "256x192", "--no-normalize"});
    ASSERT_EQ(0, run.status) << run.err;
    Grey grown = read_grey(big);
    // Source pixel centres sit at 8x + 3.5; in between, the line through them.
    for (int32 x = 24; x < 232; x++)
        ASSERT_NEAR((x + 0.5) / 8 - 0.5, grown.At(x, 96) / 8.0, 0.13) << x;

    // A one-pixel checkerboard shrunk four times over is an even grey.
    const std::string checks = scratch / "checks.png";
    write_function(checks, 256, 256,
                   [](int32 x, int32 y) { return grey_word((x + y) % 2 ? 255 : 0); });
    const std::string small = scratch / "small.png";
    run = run_depth(scratch, {checks, small, "--size", "64x64", "--no-normalize"});
    ASSERT_EQ(0, run.status) << run.err;
    // Away from the borders, where the edge pixels continue outwards.
    Grey shrunk = read_grey(small);
    for (int32 y = 2; y < 62; y++)
        for (int32 x = 2; x < 62; x++)
            ASSERT_NEAR(127.5, shrunk.At(x, y), 1.0) << x << "," << y;
}

TEST(DepthTool, ColourJpegWithoutMapIsAPhotoAndGreyOneADepthPicture)
{
    Scratch scratch;
    const std::string colour = scratch / "colour.jpg", grey = scratch / "grey.jpg";
    write_function(colour, 64, 64, [](int32 x, int32 y) {
        return 0xFF000000u | uint32(x * 4) << 16 | uint32(y * 4) << 8 | 0x40;
    });
    write_function(grey, 64, 64, [](int32 x, int32) { return grey_word(uint32(x * 4)); });
    ToolRun run = run_depth(scratch, {colour, scratch / "a.png"});
    EXPECT_EQ(1, run.status);
    expect_one_line(run, "no depth map in");
    EXPECT_FALSE(fs::exists(scratch / "a.png"));
    run = run_depth(scratch, {grey, scratch / "b.png"});
    EXPECT_EQ(0, run.status) << run.err;
}

// --- Models ---------------------------------------------------------------------

// Where a picture pixel's centre falls in the turned model's plane, given
// the turned model's extent (the picture keeps 5 % free on each side).
struct Fit
{
    double lowX, highX, lowY, highY;

    void Place(int32 w, int32 h, int32 px, int32 py, double* x, double* y) const
    {
        const double scale = std::min(0.9 * w / (highX - lowX), 0.9 * h / (highY - lowY));
        *x = (px + 0.5 - w / 2.0) / scale + (lowX + highX) / 2;
        *y = (h / 2.0 - (py + 0.5)) / scale + (lowY + highY) / 2;
    }
};

// The nearness a shape shows at (x, y), NaN on the background, and how
// close to an edge a point may be to be judged.
struct Shape
{
    const char* name;
    std::function<Mesh()> mesh;
    std::vector<std::string> rotate;
    Fit fit;
    std::function<double(double, double)> nearness;
};

const double kCos30 = std::cos(M_PI / 6), kSqrt2 = std::sqrt(2.0);

const Shape kShapes[] = {
    // Face on: the front face, flat and nearest, in a square.
    {"Cube",
     cube_mesh,
     {},
     {-1, 1, -1, 1},
     [](double x, double y) { return std::fabs(x) < 1 && std::fabs(y) < 1 ? 1.0 : NAN; }},
    // A quarter turn about Y shows an edge: a ridge at x = 0, falling to
    // the far plane at the sides.
    {"CubeOnEdge",
     cube_mesh,
     {"--rotate", "0,45,0"},
     {-kSqrt2, kSqrt2, -1, 1},
     [](double x, double y) {
         return std::fabs(x) < kSqrt2 && std::fabs(y) < 1 ? 1 - std::fabs(x) / (2 * kSqrt2) : NAN;
     }},
    // A ball whose back touches the far plane: its rim is half way.
    {"Sphere",
     [] { return sphere_mesh(64); },
     {},
     {-1, 1, -1, 1},
     [](double x, double y) {
         const double r2 = x * x + y * y;
         return r2 < 1 ? 0.5 + 0.5 * std::sqrt(1 - r2) : NAN;
     }},
    // Turned by +30 degrees about Y, the right side goes away.
    {"TiltedPlane",
     [] { return plane_mesh(); },
     {"--rotate=0,30,0"},
     {-kCos30, kCos30, -1, 1},
     [](double x, double y) {
         return std::fabs(x) < kCos30 && std::fabs(y) < 1 ? 0.5 - x / (2 * kCos30) : NAN;
     }},
    // X, then Y, then Z: the tilt about Y is turned upright by Z, so the
    // picture's top goes away (the other order would tilt it sideways).
    {"TurnsInOrder",
     [] { return plane_mesh(); },
     {"--rotate", "0,30,90"},
     {-1, 1, -kCos30, kCos30},
     [](double x, double y) {
         return std::fabs(x) < 1 && std::fabs(y) < kCos30 ? 0.5 - y / (2 * kCos30) : NAN;
     }},
};

struct Format
{
    const char* name;
    const char* extension;
    std::function<std::string(const Mesh&)> write;
};

const Format kFormats[] = {
    {"BinaryStl", "stl", binary_stl},
    {"AsciiStl", "stl", ascii_stl},
    {"Obj", "obj", obj},
    {"AsciiPly", "ply", [](const Mesh& m) { return ply(m, false); }},
    {"BinaryPly", "ply", [](const Mesh& m) { return ply(m, true); }},
    {"Gltf", "gltf", [](const Mesh& m) { return gltf(m); }},
    {"Glb", "glb", [](const Mesh& m) { return glb(m); }},
};

// The picture against the shape's equation, away from its edges: within
// half a level and a little for the facets, and black on the background.
void expect_shape(const Grey& grey, const Shape& shape, double tolerance)
{
    const double edge =
        2.0 / (0.9 * std::min(grey.width, grey.height)) *
        std::max(shape.fit.highX - shape.fit.lowX, shape.fit.highY - shape.fit.lowY);
    int32 judged = 0;
    for (int32 py = 0; py < grey.height; py++) {
        for (int32 px = 0; px < grey.width; px++) {
            double x, y;
            shape.fit.Place(grey.width, grey.height, px, py, &x, &y);
            // Points near an edge are not judged: the pixel may fall either way.
            const double here = shape.nearness(x, y);
            bool nearEdge = false;
            for (double dx : {-edge, edge})
                for (double dy : {-edge, edge})
                    nearEdge =
                        nearEdge || std::isnan(shape.nearness(x + dx, y + dy)) != std::isnan(here);
            if (nearEdge)
                continue;
            judged++;
            if (std::isnan(here)) {
                ASSERT_EQ(0, grey.At(px, py)) << shape.name << " background at " << px << "," << py;
            } else {
                ASSERT_NEAR(here * 255, grey.At(px, py), tolerance * 255)
                    << shape.name << " at " << px << "," << py;
            }
        }
    }
    EXPECT_GT(judged, grey.width * grey.height / 2);
}

class ModelDepth : public testing::TestWithParam<std::tuple<Shape, Format>>
{
};

TEST_P(ModelDepth, MatchesTheShapesEquation)
{
    const auto& [shape, format] = GetParam();
    Scratch scratch;
    const std::string in = scratch / (std::string("model.") + format.extension);
    write_text(in, format.write(shape.mesh()));
    const std::string out = scratch / "depth.png";
    std::vector<std::string> args{in, out, "--size", "200x150"};
    args.insert(args.end(), shape.rotate.begin(), shape.rotate.end());
    ToolRun run = run_depth(scratch, args);
    ASSERT_EQ(0, run.status) << run.err;
    Grey grey = read_grey(out);
    ASSERT_EQ(200, grey.width);
    ASSERT_EQ(150, grey.height);
    // The sphere's facets stand up to 1/2000 of its radius off the sphere.
    expect_shape(grey, shape, 2.5 / 255);
}

std::string model_name(const testing::TestParamInfo<std::tuple<Shape, Format>>& info)
{
    return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Shapes, ModelDepth,
                         testing::Combine(testing::ValuesIn(kShapes), testing::ValuesIn(kFormats)),
                         model_name);

TEST(DepthTool, GltfNodesPlaceTheirMeshesAndBuffersAreFoundBesideTheFile)
{
    Scratch scratch;
    // The node's quaternion turns by 30 degrees about Y, as --rotate 0,30,0.
    const Mesh plane = plane_mesh();
    const std::string node = "\"rotation\": [0, " + std::to_string(std::sin(M_PI / 12)) + ", 0, " +
                             std::to_string(std::cos(M_PI / 12)) + "]";
    write_text(scratch / "plane.bin", gltf_buffer(plane));
    write_text(scratch / "plane.gltf", gltf_json(plane, "plane.bin", node));
    const std::string out = scratch / "depth.png";
    ToolRun run = run_depth(scratch, {scratch / "plane.gltf", out, "--size", "200x150"});
    ASSERT_EQ(0, run.status) << run.err;
    expect_shape(read_grey(out), kShapes[3], 3.0 / 255);
}

TEST(DepthTool, ModelsWithoutTrianglesOrReadableGeometryFail)
{
    struct Case
    {
        const char* name;
        std::string bytes;
        const char* said;
    };
    Mesh empty;
    Mesh lonely;
    lonely.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const Case cases[] = {
        {"empty.stl", binary_stl(empty), "no triangles"},
        {"points.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n", "no triangles"},
        {"bad.ply", "ply\nformat ascii 1.0\nelement vertex 999999999\nend_header\n",
         "more than the file holds"},
        {"deep.gltf", "{\"asset\": " + std::string(5000, '[') + std::string(5000, ']') + "}",
         "nests too deeply"},
        // A JSON chunk claiming 64 bytes of a file of 22.
        {"broken.glb", std::string("glTF\2\0\0\0\x1A\0\0\0\x40\0\0\0JSON{}", 22), "no JSON chunk"},
        {"flat.stl", ascii_stl([] {
             Mesh m;
             m.vertices = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
             m.triangles = {{0, 1, 2}};
             return m;
         }()),
         "no extent"},
    };
    Scratch scratch;
    for (const Case& c : cases) {
        const std::string in = scratch / c.name, out = scratch / "out.png";
        write_text(in, c.bytes);
        ToolRun run = run_depth(scratch, {in, out});
        EXPECT_EQ(1, run.status) << c.name;
        expect_one_line(run, c.said);
        EXPECT_FALSE(fs::exists(out)) << c.name;
    }
}

// --- Text -----------------------------------------------------------------------

struct Ink
{
    int32 left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    int64 count = 0;
};

Ink ink_of(const Grey& grey)
{
    Ink ink;
    for (int32 y = 0; y < grey.height; y++) {
        for (int32 x = 0; x < grey.width; x++) {
            if (grey.At(x, y) == 0)
                continue;
            ink.left = std::min(ink.left, x);
            ink.right = std::max(ink.right, x);
            ink.top = std::min(ink.top, y);
            ink.bottom = std::max(ink.bottom, y);
            ink.count++;
        }
    }
    return ink;
}

TEST(DepthTool, TextIsAFlatPlaneAsLargeAsFits)
{
    Scratch scratch;
    for (const char* options : {"", "--no-normalize"}) {
        const std::string out = scratch / "text.png";
        std::vector<std::string> args{"--text", "Stereo", out};
        if (options[0] != '\0')
            args.push_back(options);
        ToolRun run = run_depth(scratch, args);
        ASSERT_EQ(0, run.status) << run.err;
        Grey grey = read_grey(out);
        ASSERT_EQ(1024, grey.width);
        ASSERT_EQ(768, grey.height);
        // Two levels: the letters' plane and the far background.
        for (uint8 level : grey.levels)
            ASSERT_TRUE(level == 0 || level == 255) << int(level);
        const Ink ink = ink_of(grey);
        ASSERT_GT(ink.count, 0);
        // Centred, within the 5 % margins, and filling them across.
        EXPECT_NEAR(512, (ink.left + ink.right + 1) / 2.0, 1.5);
        EXPECT_NEAR(384, (ink.top + ink.bottom + 1) / 2.0, 1.5);
        EXPECT_GE(ink.left, 51);
        EXPECT_LE(ink.right, 1024 - 52);
        EXPECT_GT(ink.right - ink.left + 1, 0.95 * 0.9 * 1024);
        // Letters, not their boxes: well under the ink's bounding box.
        const double box = double(ink.right - ink.left + 1) * (ink.bottom - ink.top + 1);
        EXPECT_LT(ink.count, 0.7 * box);
        EXPECT_GT(ink.count, 0.2 * box);
    }
}

TEST(DepthTool, ABarOfALetterIsItsWholeBox)
{
    // "I" in a sans face is a rectangle: the letter's area is its box.
    Scratch scratch;
    const std::string out = scratch / "i.png";
    ToolRun run = run_depth(scratch, {"--text", "I", out, "--size", "400x300"});
    ASSERT_EQ(0, run.status) << run.err;
    const Ink ink = ink_of(read_grey(out));
    const int64 box = int64(ink.right - ink.left + 1) * (ink.bottom - ink.top + 1);
    EXPECT_GT(ink.count, box * 98 / 100);
    // As tall as the picture holds.
    EXPECT_GT(ink.bottom - ink.top + 1, 0.95 * 0.9 * 300);
}

TEST(DepthTool, LinesAreSeparatedAndFontsChosen)
{
    Scratch scratch;
    const std::string two = scratch / "two.png";
    ToolRun run = run_depth(scratch, {"--text", "AB\\nCD", two});
    ASSERT_EQ(0, run.status) << run.err;
    Grey grey = read_grey(two);
    // Rows with ink form two bands with an empty gap between them.
    std::vector<bool> inked(size_t(grey.height), false);
    for (int32 y = 0; y < grey.height; y++)
        for (int32 x = 0; x < grey.width; x++)
            inked[size_t(y)] = inked[size_t(y)] || grey.At(x, y) != 0;
    int bands = 0;
    for (int32 y = 0; y < grey.height; y++)
        bands += inked[size_t(y)] && (y == 0 || !inked[size_t(y - 1)]);
    EXPECT_EQ(2, bands);

    const std::string sans = scratch / "sans.png", serif = scratch / "serif.png";
    ASSERT_EQ(0, run_depth(scratch, {"--text", "Ij", sans}).status);
    run = run_depth(scratch, {"--text", "Ij", serif, "--font", "DejaVu Serif"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_NE(read_grey(sans).levels, read_grey(serif).levels);

    run = run_depth(scratch, {"--text", "Ij", scratch / "none.png", "--font", "No Such Family"});
    EXPECT_EQ(1, run.status);
    expect_one_line(run, "no font family 'No Such Family'");
    EXPECT_FALSE(fs::exists(scratch / "none.png"));
}

// --- Failures -------------------------------------------------------------------

TEST(DepthTool, DamagedInputSaysWhyAndLeavesNothing)
{
    Scratch scratch;
    // A GDepth map whose data is no base64, in a JPEG made of pieces.
    const std::string jpeg = scratch / "photo.jpg";
    write_function(jpeg, 16, 16, [](int32 x, int32 y) { return grey_word(uint32(x * y)); });
    std::string photo = slurp(jpeg);
    const std::string xmp =
        std::string("http://ns.adobe.com/xap/1.0/") + '\0' +
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
        "xmlns:GDepth='http://ns.google.com/photos/1.0/depthmap/' GDepth:Format='RangeInverse' "
        "GDepth:Data='!!!'/></rdf:RDF></x:xmpmeta>";
    std::string segment = "\xFF\xE1";
    segment += char((xmp.size() + 2) >> 8);
    segment += char((xmp.size() + 2) & 0xFF);
    write_text(scratch / "bad.jpg", photo.substr(0, 2) + segment + xmp + photo.substr(2));
    write_text(scratch / "noise.bin", std::string(3000, '\x17'));
    // Past the 2 GiB a model file may have, sparse: refused by its size,
    // unread, whether named or given as standard input.
    const std::string huge = scratch / "huge.stl";
    std::ofstream(huge) << "solid huge\nfacet normal 0 0 1\n";
    fs::resize_file(huge, (uint64_t(2) << 30) + 1);

    struct Case
    {
        std::string input;
        const char* said;
        std::string standardInput = "";
    };
    const Case cases[] = {
        {scratch / "bad.jpg", "cannot read the depth map in"},
        {scratch / "noise.bin", "not a picture, a photo with a depth map or a 3D model"},
        {scratch / "missing.png", "no such file"},
        {scratch / "", "is a directory"},
        {huge, "more than the 2 GiB a file may have"},
        {"-", "cannot read standard input: more than the 2 GiB", huge},
    };
    for (const Case& c : cases) {
        const std::string out = scratch / "out.png";
        std::ofstream(out) << "old";
        ToolRun run = run_depth(scratch, {c.input, out}, c.standardInput);
        EXPECT_EQ(1, run.status) << c.input;
        expect_one_line(run, c.said);
        EXPECT_EQ("old", slurp(out)) << c.input;
    }
}

TEST(DepthTool, UsageErrorsExitWithTwo)
{
    Scratch scratch;
    const std::string picture = scratch / "p.png";
    write_function(picture, 8, 8, [](int32 x, int32) { return grey_word(uint32(x * 30)); });
    const std::string out = scratch / "o.png";
    const std::vector<std::vector<std::string>> cases = {
        {},
        {picture},
        {picture, out, "extra"},
        {"--text", "hi"},
        {"--text", "hi", out, "extra"},
        {picture, out, "--size", "10"},
        {picture, out, "--size", "0x5"},
        {picture, out, "--size", "10x-5"},
        {picture, out, "--width", "0"},
        {picture, out, "--size", "4x4", "--width", "4"},
        {picture, out, "--font", "Serif"},
        {"--text", "hi", out, "--rotate", "1,2,3"},
        {picture, out, "--rotate", "1,2"},
        {picture, out, "--rotate", "a,b,c"},
        {picture, out, "--rotate", "0,30,0"}, // a picture does not turn
        {picture, out, "--bogus"},
        {picture, "-"}, // standard output needs --format
        {picture, scratch / "o.nosuchformat"},
        {picture, out, "--format", "nosuchformat"},
        {picture, out, "--max-pixels", "0"},
    };
    for (const auto& args : cases) {
        ToolRun run = run_depth(scratch, args);
        EXPECT_EQ(2, run.status) << (args.empty() ? "" : args.back());
        expect_one_line(run, "");
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(DepthTool, HelpVersionAndFormats)
{
    Scratch scratch;
    ToolRun run = run_depth(scratch, {"--help"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0, run.out.rfind("Usage: pellara-depth INPUT OUTPUT", 0)) << run.out;
    run = run_depth(scratch, {"--version"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0, run.out.rfind("pellara-depth 1.", 0)) << run.out;
    run = run_depth(scratch, {"--list-formats"});
    EXPECT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.out.find("'PNG '"));
}

} // namespace

// --- Sizes and costs -------------------------------------------------------------

namespace {

// The size a PNG's header gives, without decoding a picture that may be
// 20 million rows tall.
std::pair<uint32, uint32> png_size(const std::string& path)
{
    const std::string head = slurp(path).substr(0, 24);
    if (head.size() < 24)
        return {0, 0};
    auto be = [&](size_t at) {
        return uint32(uint8(head[at])) << 24 | uint32(uint8(head[at + 1])) << 16 |
               uint32(uint8(head[at + 2])) << 8 | uint32(uint8(head[at + 3]));
    };
    return {be(16), be(20)};
}

} // namespace

// Past 2^24 a float no longer holds every whole number: sizes used to
// round there (1x20000000 gave 1x20000001).
TEST(DepthTool, SizesRoundTripExactly)
{
    Scratch scratch;
    write_text(scratch / "cube.stl", binary_stl(cube_mesh()));
    const std::string picture = scratch / "small.png";
    write_function(picture, 6, 4, [](int32 x, int32 y) { return grey_word(uint32(x * 40 + y)); });
    struct Case
    {
        std::vector<std::string> source;
        const char* size;
    };
    const Case cases[] = {
        {{scratch / "cube.stl"}, "1x20000000"},
        {{scratch / "cube.stl"}, "20000001x1"},
        {{scratch / "cube.stl"}, "2x16777217"},
        {{scratch / "cube.stl"}, "3x5"},
        {{picture}, "1x16777219"},
        {{picture}, "16777215x2"},
        {{picture}, "1001x999"},
        {{"--text", "AB"}, "640x481"},
        {{"--text", "AB"}, "77x1023"},
    };
    for (const Case& c : cases) {
        const std::string out = scratch / "out.png";
        std::vector<std::string> args = c.source;
        args.insert(args.end(), {out, "--size", c.size});
        ToolRun run = run_depth(scratch, args);
        ASSERT_EQ(0, run.status) << c.size << ": " << run.err;
        const auto [w, h] = png_size(out);
        EXPECT_EQ(c.size, std::to_string(w) + "x" + std::to_string(h)) << c.source[0];
        fs::remove(out);
    }
}

// What a careless or hostile run asks for, each ending within 5 s of CPU
// and 500 MB, written whole or refused in one line with nothing left.
TEST(DepthTool, CostsStayWithinTheBudget)
{
    Scratch scratch;
    // A flat grey picture of 144 megapixels, a few hundred kilobytes: held
    // a byte a pixel, not as words and floats (1.3 GB).
    {
        BBitmap flat(BRect(0, 0, 11999, 11999), B_GRAY8);
        std::memset(flat.Bits(), 0x60, size_t(flat.BitsLength()));
        write_picture(&flat, scratch / "flat.png");
    }
    // A 16-bit grey picture that deflates near its limit.
    ASSERT_TRUE(write_png16(scratch / "wide.png", 3000, 2000, "(40000,)"));
    write_text(scratch / "cube.stl", binary_stl(cube_mesh()));
    const std::string longText(1000, 'W');
    std::string yes;
    for (int i = 0; i < 1 << 19; i++)
        yes += "y\n";
    write_text(scratch / "yes.txt", yes);
    struct Case
    {
        std::vector<std::string> args;
        int status;
        const char* said; // for a failure
        std::string standardInput = "";
    };
    const Case cases[] = {
        {{scratch / "flat.png"}, 0, nullptr},
        {{scratch / "wide.png"}, 0, nullptr},
        {{"--text", longText}, 1, "the picture is too small for the text"},
        {{scratch / "cube.stl", "--size", "1x268435456"},
         1,
         "1x268435456 is more than the 50000000 pixels a drawn picture may have (--max-pixels "
         "raises it)"},
        {{"--text", "A", "--size", "8000x8000"}, 1, "more than the 50000000 pixels"},
        {{scratch / "cube.stl", "--size", "1x40000000"}, 0, nullptr},
        // An endless source, refused on its first bytes.
        {{"-"}, 1, "cannot read standard input: not a picture, a photo", "/dev/zero"},
        {{"-"}, 1, "cannot read standard input: not a picture, a photo", scratch / "yes.txt"},
        {{scratch / "cube.stl", "--rotate", "1e300,0,0"}, 2, "within 3600 either way"},
    };
    for (const Case& c : cases) {
        const std::string out = scratch / "out.png";
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + (args[0] == "--text" ? 2 : 1), out);
        const ToolRun run = run_depth(scratch, args, c.standardInput);
        EXPECT_EQ(c.status, run.status) << args[0] << ": " << run.err;
#if !defined(__SANITIZE_ADDRESS__) // its shadow memory and slower code are not the tool's
        EXPECT_LT(run.cpuSeconds, 5.0) << args[0];
        EXPECT_LT(run.maxResidentKiB, 500 * 1024) << args[0];
#endif
        if (c.said != nullptr) {
            expect_one_line(run, c.said);
            EXPECT_FALSE(fs::exists(out)) << args[0];
        }
        fs::remove(out);
    }
}
