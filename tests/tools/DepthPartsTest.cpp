// pellara-depth's pieces on their own: the option values, the z-buffer's
// edges, the triangle ceiling, the resampler's levels and the text's lines.
#include <Bitmap.h>
#include <DepthJob.h>
#include <DepthPictures.h>
#include <ModelDepth.h>
#include <ModelReader.h>
#include <TextDepth.h>

#include "ModelFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

TEST(DepthOptions, SizesAndRotations)
{
    struct SizeCase
    {
        const char* text;
        bool ok;
        int32 width, height;
    };
    const SizeCase sizes[] = {
        {"1024x768", true, 1024, 768}, {"1X1", true, 1, 1},     {"x768", false, 0, 0},
        {"1024x", false, 0, 0},        {"0x10", false, 0, 0},   {"10x0", false, 0, 0},
        {"10x-5", false, 0, 0},        {"10*5", false, 0, 0},   {"1e3x5", false, 0, 0},
        {"100000x100000", false, 0, 0}, // more pixels than a bitmap holds
        {"99999999999999999999x1", false, 0, 0},
    };
    for (const SizeCase& c : sizes) {
        int32 w = 0, h = 0;
        EXPECT_EQ(c.ok, depth::ParseSize(c.text, &w, &h)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.width, w) << c.text;
            EXPECT_EQ(c.height, h) << c.text;
        }
    }
    struct RotationCase
    {
        const char* text;
        bool ok;
        double x, y, z;
    };
    const RotationCase rotations[] = {
        {"0,0,0", true, 0, 0, 0},   {"30,-45.5,+90", true, 30, -45.5, 90},
        {"1e1,0,0", true, 10, 0, 0}, {"1,2", false, 0, 0, 0},
        {"1,2,3,4", false, 0, 0, 0}, {"1,,3", false, 0, 0, 0},
        {"a,b,c", false, 0, 0, 0},  {"1,2,inf", false, 0, 0, 0},
        {"1e999,0,0", false, 0, 0, 0},
    };
    for (const RotationCase& c : rotations) {
        double angles[3] = {};
        EXPECT_EQ(c.ok, depth::ParseRotation(c.text, angles)) << c.text;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(c.x, angles[0]) << c.text;
            EXPECT_DOUBLE_EQ(c.y, angles[1]) << c.text;
            EXPECT_DOUBLE_EQ(c.z, angles[2]) << c.text;
        }
    }
}

// Triangles sharing edges at awkward positions cover every pixel inside
// their union: a seam would show the far background through the model.
TEST(DepthBuffer, SharedEdgesLeaveNoSeams)
{
    constexpr int32 kSide = 64;
    std::vector<float> values(kSide * kSide, 0.0f);
    depth::DepthBuffer buffer(kSide, kSide, values.data());
    // A fan of 97 thin triangles around a centre off the pixel grid, out to
    // a polygon whose corners lie exactly on pixel centres and edges.
    const float cx = 31.37f, cy = 30.91f;
    constexpr int kSpokes = 97;
    for (int i = 0; i < kSpokes; i++) {
        const double a0 = 2 * M_PI * i / kSpokes, a1 = 2 * M_PI * (i + 1) / kSpokes;
        const float centre[3] = {cx, cy, 1.0f};
        const float p0[3] = {float(cx + 28 * std::cos(a0)), float(cy + 28 * std::sin(a0)), 0.5f};
        const float p1[3] = {float(cx + 28 * std::cos(a1)), float(cy + 28 * std::sin(a1)), 0.5f};
        // Either winding.
        if (i % 2 == 0)
            buffer.Triangle(centre, p0, p1);
        else
            buffer.Triangle(centre, p1, p0);
    }
    for (int32 y = 0; y < kSide; y++) {
        for (int32 x = 0; x < kSide; x++) {
            const double r = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            if (r < 27.5) {
                ASSERT_GT(values[size_t(y * kSide + x)], 0.5f) << x << "," << y;
                // Linear from 1 at the centre to 0.5 at the rim, to rounding.
                EXPECT_NEAR(1.0 - 0.5 * r / 28, values[size_t(y * kSide + x)], 0.02);
            }
            if (r > 28.5) {
                ASSERT_EQ(0.0f, values[size_t(y * kSide + x)]) << x << "," << y;
            }
        }
    }
}

TEST(DepthBuffer, NearestWinsAndOutsideIsClipped)
{
    std::vector<float> values(16 * 16, 0.0f);
    depth::DepthBuffer buffer(16, 16, values.data());
    const float far[3][3] = {{-50, -50, 0.2f}, {80, -50, 0.2f}, {-50, 80, 0.2f}};
    const float near[3][3] = {{4, 4, 0.9f}, {12, 4, 0.9f}, {4, 12, 0.9f}};
    buffer.Triangle(near[0], near[1], near[2]);
    buffer.Triangle(far[0], far[1], far[2]); // drawn later, yet behind
    EXPECT_FLOAT_EQ(0.9f, values[5 * 16 + 5]);
    EXPECT_FLOAT_EQ(0.2f, values[15 * 16 + 15 - 16]); // outside the near one
    EXPECT_FLOAT_EQ(0.2f, values[0]);
    // Degenerate and non-finite triangles draw nothing.
    std::vector<float> empty(16 * 16, 0.0f);
    depth::DepthBuffer other(16, 16, empty.data());
    const float line[3][3] = {{0, 0, 1}, {8, 8, 1}, {15, 15, 1}};
    const float wild[3][3] = {{0, 0, 1}, {NAN, 8, 1}, {15, 0, 1}};
    other.Triangle(line[0], line[1], line[2]);
    other.Triangle(wild[0], wild[1], wild[2]);
    for (float v : empty)
        ASSERT_EQ(0.0f, v);
}

// Drawn nearest first with hidden tiles skipped, or as they come: the same
// picture; copies of one triangle cost one; past the limit, a refusal.
TEST(DepthBuffer, DrawingManyTrianglesIsBoundedAndExact)
{
    constexpr int32 kSide = 160;
    uint32 state = 7;
    auto random = [&](float low, float high) {
        state = state * 1664525u + 1013904223u;
        return low + (high - low) * float(state >> 8) / float(1 << 24);
    };
    std::vector<depth::PlacedTriangle> mixed;
    for (int i = 0; i < 400; i++) {
        depth::PlacedTriangle t;
        for (auto& corner : t.corner)
            corner[0] = random(-40, 200), corner[1] = random(-40, 200), corner[2] = random(0, 1);
        mixed.push_back(t);
        if (i % 50 == 0) { // a copy, and one starting from another corner
            mixed.push_back(t);
            std::swap(t.corner[0], t.corner[2]);
            mixed.push_back(t);
        }
    }
    const depth::PlacedTriangle big = {{{-10, -10, 0.2f}, {400, 0, 0.9f}, {0, 400, 0.5f}}};
    struct Case
    {
        const char* name;
        std::vector<depth::PlacedTriangle> triangles;
        depth::FillLimits limits;
        status_t status;
        size_t reference = SIZE_MAX; // how many of them make the expected picture
    };
    const Case cases[] = {
        {"culled", mixed, {0, uint64(1) << 40}, B_OK},
        {"plain", mixed, {}, B_OK},
        // Drawn one by one, these would pass the default limit many times.
        {"copies", std::vector<depth::PlacedTriangle>(200000, big), {0, uint64(1) << 24}, B_OK, 1},
        {"too much", mixed, {0, 100000}, B_NO_MEMORY},
    };
    for (const Case& c : cases) {
        std::vector<float> expected(kSide * kSide, 0.0f), got(expected.size(), 0.0f);
        depth::DepthBuffer buffer(kSide, kSide, expected.data());
        for (size_t i = 0; i < std::min(c.reference, c.triangles.size()); i++)
            buffer.Triangle(c.triangles[i].corner[0], c.triangles[i].corner[1], c.triangles[i].corner[2]);
        std::vector<depth::PlacedTriangle> triangles = c.triangles;
        std::string why;
        ASSERT_EQ(c.status, depth::DrawTriangles(&triangles, kSide, kSide, got.data(), &why, c.limits))
            << c.name;
        if (c.status != B_OK) {
            EXPECT_EQ("its triangles cover the picture too many times over to be drawn at "
                      "160x160 (a smaller --size draws it)",
                      why);
            continue;
        }
        for (size_t i = 0; i < got.size(); i++)
            ASSERT_NEAR(expected[i], got[i], 1e-6) << c.name << " at " << i;
    }
}

TEST(ModelCeiling, MoreTrianglesThanAllowedAreRefusedBeforeDrawing)
{
    const std::string cube = binary_stl(cube_mesh()); // 12 triangles
    depth::ModelView view;
    view.width = 32;
    view.height = 24;
    depth_map map;
    std::string why;
    view.maxTriangles = 12;
    EXPECT_EQ(B_OK, depth::RenderModel(reinterpret_cast<const uint8*>(cube.data()), cube.size(),
                                       nullptr, view, &map, &why))
        << why;
    // For each format: counted from its header or text before loading, or
    // once loaded (glTF).
    for (const std::string& file : {cube, ascii_stl(cube_mesh()), obj(cube_mesh()),
                                    ply(cube_mesh(), true), glb(cube_mesh())}) {
        view.maxTriangles = 11;
        EXPECT_EQ(B_NO_MEMORY, depth::RenderModel(reinterpret_cast<const uint8*>(file.data()),
                                                  file.size(), nullptr, view, &map, &why));
        EXPECT_EQ("the model has more than 11 triangles", why);
        EXPECT_TRUE(map.values.empty());
    }
}

// A PLY header with a control character, or text after end_header, makes
// assimp's reader loop for ever (found by fuzzing): refused before loading.
TEST(ModelHeaders, DamagedPlyHeadersAreRefusedBeforeLoading)
{
    const std::string good = ply(cube_mesh(), false);
    const size_t end = good.find("end_header") + std::string("end_header").size();
    ASSERT_EQ('\n', good[end]);
    depth::ModelView view;
    view.width = 32;
    view.height = 24;
    const struct
    {
        const char* name;
        std::string file;
        status_t status;
    } cases[] = {
        {"text after end_header", good.substr(0, end) + "\x06" + good.substr(end + 1),
         B_ILLEGAL_DATA},
        {"control character in a header line",
         "ply\nformat ascii 1.0\ncomment \x01\n" + good.substr(good.find("element")),
         B_ILLEGAL_DATA},
        {"end_header with a CR and a space", good.substr(0, end) + " \r" + good.substr(end),
         B_OK},
    };
    for (const auto& c : cases) {
        depth_map map;
        std::string why;
        EXPECT_EQ(c.status, depth::RenderModel(reinterpret_cast<const uint8*>(c.file.data()),
                                               c.file.size(), nullptr, view, &map, &why))
            << c.name << ": " << why;
        if (c.status != B_OK) {
            EXPECT_EQ("its PLY header is damaged", why) << c.name;
        }
    }
}

TEST(ModelSniffing, FormatsAreToldByContent)
{
    struct Case
    {
        std::string bytes;
        depth::ModelFormat format;
    };
    std::string solidHeader = binary_stl(cube_mesh());
    std::memcpy(solidHeader.data(), "solid but binary", 16);
    const Case cases[] = {
        {binary_stl(cube_mesh()), depth::ModelFormat::kStlBinary},
        {solidHeader, depth::ModelFormat::kStlBinary},
        {ascii_stl(cube_mesh()), depth::ModelFormat::kStlAscii},
        {"\xEF\xBB\xBF  " + obj(cube_mesh()), depth::ModelFormat::kObj},
        {ply(cube_mesh(), false), depth::ModelFormat::kPly},
        {gltf(cube_mesh()), depth::ModelFormat::kGltf},
        {glb(cube_mesh()), depth::ModelFormat::kGlb},
        {"#define x_width 8\n#define x_height 8\nstatic char x_bits[] = {0};\n",
         depth::ModelFormat::kNone}, // an XBM picture
        {"P2\n2 2\n255\n0 1 2 3\n", depth::ModelFormat::kNone},
        {"{\"not\": \"a model\"}", depth::ModelFormat::kNone},
        {std::string("v 1 2 3\nbut\0binary", 19), depth::ModelFormat::kNone},
    };
    for (const Case& c : cases)
        EXPECT_EQ(int(c.format), int(depth::SniffModel(reinterpret_cast<const uint8*>(c.bytes.data()),
                                                        c.bytes.size())))
            << c.bytes.substr(0, 20);
}

depth_map map_of(int32 w, int32 h, const std::vector<float>& values)
{
    depth_map map;
    map.width = w;
    map.height = h;
    map.values = values;
    return map;
}

uint8 level_at(const BBitmap& bitmap, int32 x, int32 y)
{
    const uint8* row = static_cast<const uint8*>(bitmap.Bits()) + size_t(y) * bitmap.BytesPerRow();
    return bitmap.ColorSpace() == B_GRAY8 ? row[x] : row[4 * x];
}

TEST(DepthPicture, LevelsNormaliseInvertAndKeepFlatMaps)
{
    struct Case
    {
        std::vector<float> values;
        bool normalize, invert;
        std::vector<uint8> levels;
    };
    const Case cases[] = {
        {{0.25f, 0.5f, 0.75f}, true, false, {0, 128, 255}},
        {{0.25f, 0.5f, 0.75f}, false, false, {64, 128, 191}},
        {{0.25f, 0.5f, 0.75f}, true, true, {255, 128, 0}},
        {{0.25f, 0.5f, 0.75f}, false, true, {191, 128, 64}},
        // A flat map has nothing to stretch.
        {{0.4f, 0.4f, 0.4f}, true, false, {102, 102, 102}},
        // Out of range and not a number: clamped, and far.
        {{-1.0f, NAN, 2.0f}, false, false, {0, 0, 255}},
    };
    for (const Case& c : cases) {
        for (color_space space : {B_GRAY8, B_RGB32}) {
            depth::Levels levels;
            levels.normalize = c.normalize;
            levels.invert = c.invert;
            std::unique_ptr<BBitmap> picture =
                depth::MakeDepthPicture(map_of(3, 1, c.values), 3, 1, levels, space);
            ASSERT_TRUE(picture);
            for (int32 x = 0; x < 3; x++)
                EXPECT_EQ(c.levels[size_t(x)], level_at(*picture, x, 0))
                    << x << (c.normalize ? " normalised" : "") << (c.invert ? " inverted" : "");
        }
    }
}

TEST(DepthPicture, ResamplingStaysWithinTheMapsRange)
{
    // A hard edge, grown and shrunk: the B-spline never overshoots.
    std::vector<float> values(16 * 4);
    for (int32 i = 0; i < 64; i++)
        values[size_t(i)] = (i % 16) < 8 ? 0.2f : 0.8f;
    depth::Levels keep;
    keep.normalize = false;
    for (auto [w, h] : {std::pair{100, 25}, std::pair{5, 3}, std::pair{16, 9}}) {
        std::unique_ptr<BBitmap> picture =
            depth::MakeDepthPicture(map_of(16, 4, values), w, h, keep, B_GRAY8);
        ASSERT_TRUE(picture);
        for (int32 y = 0; y < h; y++) {
            for (int32 x = 0; x < w; x++) {
                EXPECT_GE(level_at(*picture, x, y), 51) << w << "x" << h;
                EXPECT_LE(level_at(*picture, x, y), 204) << w << "x" << h;
            }
        }
    }
    // The same size is the map itself.
    std::unique_ptr<BBitmap> same = depth::MakeDepthPicture(map_of(16, 4, values), 16, 4, keep,
                                                            B_RGB32);
    ASSERT_TRUE(same);
    for (int32 x = 0; x < 16; x++)
        EXPECT_EQ(x < 8 ? 51 : 204, level_at(*same, x, 2));
    EXPECT_FALSE(depth::MakeDepthPicture(map_of(16, 4, values), 0, 4, keep, B_RGB32));
    EXPECT_FALSE(depth::MakeDepthPicture(map_of(16, 4, {}), 16, 4, keep, B_RGB32));
}

TEST(TextLines, NewlinesAndBackslashN)
{
    using Lines = std::vector<std::string>;
    EXPECT_EQ(Lines({"one"}), depth::TextLines("one"));
    EXPECT_EQ(Lines({"one", "two"}), depth::TextLines("one\\ntwo"));
    EXPECT_EQ(Lines({"one", "two"}), depth::TextLines("one\ntwo"));
    EXPECT_EQ(Lines({"", "x", ""}), depth::TextLines("\\nx\\n"));
    EXPECT_EQ(Lines({"a\\", "b"}), depth::TextLines("a\\\\nb"));
    EXPECT_EQ(Lines({"back\\slash"}), depth::TextLines("back\\slash"));
}

} // namespace
