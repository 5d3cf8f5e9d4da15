// Stereo pairs: depth from two views made here by shifting a textured
// picture by a known disparity, in every way a pair arrives (two files, one
// picture in four layouts, an MPO file), and the MPO index's lies refused;
// a phone's spatial HEIC photo, and its stereo pair group forged.
#include <Bitmap.h>
#include <DataIO.h>
#include <DepthMaps.h>
#include <FuseJob.h>
#include <MpoFiles.h>
#include <StereoPairs.h>
#include <TranslationUtils.h>

#include "DepthToolRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 480, kHeight = 360;

// The scene's disparity: a far wall leaning back, a box and a ball before it.
float truth(int x, int y)
{
    const float wall = 6 + 4.0f * float(y) / kHeight;
    const float dx = float(x - 300), dy = float(y - 170), r = 80;
    if (dx * dx + dy * dy < r * r)
        return 16 + 14 * std::sqrt(1 - (dx * dx + dy * dy) / (r * r));
    if (x > 60 && x < 170 && y > 90 && y < 280)
        return 22;
    return wall;
}

// Texture the matcher can hold on to: value noise of a few octaves.
uint8 texture(int x, int y)
{
    auto hash = [](int a, int b) {
        uint32 h = uint32(a) * 374761393u + uint32(b) * 668265263u;
        h = (h ^ (h >> 13)) * 1274126177u;
        return float((h ^ (h >> 16)) & 0xFF);
    };
    float sum = 0, weight = 0;
    for (int cell = 2, w = 1; cell <= 16; cell *= 2, w *= 2) {
        const int cx = x / cell, cy = y / cell;
        const float fx = float(x % cell) / float(cell), fy = float(y % cell) / float(cell);
        const float top = hash(cx, cy) * (1 - fx) + hash(cx + 1, cy) * fx;
        const float bottom = hash(cx, cy + 1) * (1 - fx) + hash(cx + 1, cy + 1) * fx;
        sum += float(w) * (top * (1 - fy) + bottom * fy);
        weight += float(w);
    }
    return uint8(sum / weight);
}

uint32 grey(uint8 v)
{
    return 0xFF000000u | uint32(v) << 16 | uint32(v / 2 + 60) << 8 | uint32(255 - v);
}

std::unique_ptr<BBitmap> blank(int width, int height)
{
    return std::make_unique<BBitmap>(pixel_bounds(width, height), B_RGB32);
}

uint32* row(BBitmap& bitmap, int y)
{
    return reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap.Bits()) +
                                     size_t(y) * size_t(bitmap.BytesPerRow()));
}

// The left view is the texture; the right one has each left pixel moved
// left by its disparity, nearer ones drawn over farther ones.
struct Pair
{
    std::unique_ptr<BBitmap> left = blank(kWidth, kHeight), right = blank(kWidth, kHeight);
    Pair()
    {
        for (int y = 0; y < kHeight; y++) {
            std::vector<float> drawn(kWidth, -1);
            for (int x = 0; x < kWidth; x++) {
                row(*left, y)[x] = grey(texture(x, y));
                // What the right view sees behind the left view's occluders.
                row(*right, y)[x] = grey(texture(x + int(truth(x, y)), y));
            }
            for (int x = 0; x < kWidth; x++) {
                const float d = truth(x, y);
                const int to = int(std::lround(float(x) - d));
                if (to >= 0 && d > drawn[size_t(to)]) {
                    row(*right, y)[to] = row(*left, y)[x];
                    drawn[size_t(to)] = d;
                }
            }
        }
    }
};

const Pair& pair()
{
    static const Pair made;
    return made;
}

std::vector<double> ranks(const std::vector<double>& values)
{
    std::vector<size_t> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
    std::vector<double> out(values.size());
    for (size_t i = 0; i < order.size();) {
        size_t j = i;
        while (j < order.size() && values[order[j]] == values[order[i]])
            j++;
        for (size_t k = i; k < j; k++)
            out[order[k]] = double(i + j - 1) / 2;
        i = j;
    }
    return out;
}

double rank_correlation(const depth_map& map)
{
    std::vector<double> got, want;
    for (int y = 0; y < map.height; y++)
        for (int x = 0; x < map.width; x++) {
            got.push_back(depth_map_value(map, size_t(y) * size_t(map.width) + size_t(x)));
            want.push_back(truth(x * kWidth / map.width, y * kHeight / map.height));
        }
    const std::vector<double> a = ranks(got), b = ranks(want);
    const double mean = double(a.size() - 1) / 2;
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size(); i++) {
        ab += (a[i] - mean) * (b[i] - mean);
        aa += (a[i] - mean) * (a[i] - mean);
        bb += (b[i] - mean) * (b[i] - mean);
    }
    return ab / std::sqrt(aa * bb);
}

TEST(StereoPair, ShiftedPictureGivesItsDepthBack)
{
    depth_map map;
    std::string why;
    ASSERT_EQ(pairs::DepthFromViews(*pair().left, *pair().right, {}, &map, nullptr, &why), B_OK)
        << why;
    EXPECT_EQ(map.width, kWidth);
    EXPECT_EQ(map.height, kHeight);
    EXPECT_GE(rank_correlation(map), 0.95);
    // No holes: every pixel has a depth within the map's scale.
    for (float v : map.values)
        ASSERT_TRUE(v >= 0 && v <= 1);
}

// One picture holding both views, and where each layout puts them; a
// column or row of noise between odd halves is left out.
struct LayoutCase
{
    const char* name;
    bool across, leftFirst, odd;
};

class StereoLayouts : public testing::TestWithParam<LayoutCase>
{};

TEST_P(StereoLayouts, GiveTheDepthOfTheTwoViews)
{
    static const depth_map separate = [] {
        depth_map map;
        pairs::DepthFromViews(*pair().left, *pair().right, {}, &map);
        return map;
    }();
    const LayoutCase& c = GetParam();
    const int gap = c.odd ? 1 : 0;
    std::unique_ptr<BBitmap> whole = c.across ? blank(2 * kWidth + gap, kHeight)
                                              : blank(kWidth, 2 * kHeight + gap);
    const BBitmap& first = c.leftFirst ? *pair().left : *pair().right;
    const BBitmap& second = c.leftFirst ? *pair().right : *pair().left;
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++) {
            const uint32 a = row(const_cast<BBitmap&>(first), y)[x];
            const uint32 b = row(const_cast<BBitmap&>(second), y)[x];
            if (c.across) {
                row(*whole, y)[x] = a;
                row(*whole, y)[kWidth + gap + x] = b;
                if (gap)
                    row(*whole, y)[kWidth] = grey(uint8(y * 37));
            } else {
                row(*whole, y)[x] = a;
                row(*whole, kHeight + gap + y)[x] = b;
                if (gap)
                    row(*whole, kHeight)[x] = grey(uint8(x * 37));
            }
        }
    pairs::Layout layout;
    ASSERT_TRUE(pairs::ParseLayout(c.name, &layout));
    depth_map map;
    ASSERT_EQ(pairs::DepthFromLayout(*whole, layout, {}, &map), B_OK);
    ASSERT_EQ(map.width, separate.width);
    ASSERT_EQ(map.height, separate.height);
    EXPECT_EQ(map.values, separate.values);
}

INSTANTIATE_TEST_SUITE_P(All, StereoLayouts,
                         testing::Values(LayoutCase{"lr", true, true, false},
                                         LayoutCase{"rl", true, false, false},
                                         LayoutCase{"tb", false, true, false},
                                         LayoutCase{"bt", false, false, false},
                                         LayoutCase{"lr", true, true, true},
                                         LayoutCase{"bt", false, false, true}),
                         [](const auto& info) {
                             return std::string(info.param.name) + (info.param.odd ? "Odd" : "");
                         });

// MPO files made here: an MPF index in the first JPEG's APP2, as a 3D
// camera writes it, with whatever lies a test puts in it.
std::string jpeg_of(const BBitmap& view)
{
    fuse::OutputFormat format;
    EXPECT_EQ(fuse::FormatFromName("jpeg", &format), B_OK);
    BMallocIO encoded;
    EXPECT_EQ(fuse::EncodePicture(const_cast<BBitmap*>(&view), format, &encoded), B_OK);
    return std::string(static_cast<const char*>(encoded.Buffer()), encoded.BufferLength());
}

struct Forgery
{
    uint32 count = 2;
    uint32 secondOffsetExtra = 0;
    bool secondNotJpeg = false;
};

void put32(std::string* s, uint32 v)
{
    for (int i = 0; i < 4; i++)
        s->push_back(char(v >> (8 * i)));
}
void put16(std::string* s, uint16 v)
{
    s->push_back(char(v));
    s->push_back(char(v >> 8));
}

std::string mpo_of(const std::string& left, const std::string& right, const Forgery& lie = {})
{
    // The index: three tags, then the list of images.
    std::string index = "MPF";
    index.push_back('\0');
    index += "II*";
    index.push_back('\0');
    put32(&index, 8);
    put16(&index, 3);
    put16(&index, 0xB000), put16(&index, 7), put32(&index, 4), index += "0100";
    put16(&index, 0xB001), put16(&index, 4), put32(&index, 1), put32(&index, lie.count);
    put16(&index, 0xB002), put16(&index, 7), put32(&index, lie.count * 16), put32(&index, 50);
    put32(&index, 0);
    const size_t segment = 2 + index.size() + 2 * 16;
    const size_t firstSize = left.size() + 2 + segment;
    const size_t base = 2 + 4 + 4; // the TIFF header, from which offsets count
    put32(&index, 0x20020002), put32(&index, uint32(firstSize)), put32(&index, 0), put32(&index, 0);
    put32(&index, 0x00020002), put32(&index, uint32(right.size())),
        put32(&index, uint32(firstSize - base + lie.secondOffsetExtra)), put32(&index, 0);
    std::string file = left.substr(0, 2);
    file.push_back(char(0xFF));
    file.push_back(char(0xE2));
    file.push_back(char(segment >> 8));
    file.push_back(char(segment & 0xFF));
    file += index;
    file += left.substr(2);
    std::string second = right;
    if (lie.secondNotJpeg)
        second[0] = 'P';
    return file + second;
}

struct MpoCase
{
    const char* name;
    Forgery lie;
    const char* says; // empty: read
};

class MpoFiles : public testing::TestWithParam<MpoCase>
{};

TEST_P(MpoFiles, AreReadOrRefusedInOneLine)
{
    std::string folder = (fs::temp_directory_path() / "pellara-pairs-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const MpoCase& c = GetParam();
    static const std::string left = jpeg_of(*pair().left), right = jpeg_of(*pair().right);
    const std::string path = folder + "/pair.mpo", out = folder + "/depth.png";
    std::ofstream(path, std::ios::binary) << mpo_of(left, right, c.lie);
    const DepthToolRun run = run_depth_tool(folder, {path, out});
    if (*c.says == '\0') {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(fs::exists(out));
    } else {
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(fs::exists(out));
    }
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    All, MpoFiles,
    testing::Values(MpoCase{"Made", {}, ""},
                    MpoCase{"OffsetPastTheEnd", {2, 1u << 30, false}, "runs past the end"},
                    MpoCase{"ThousandImages", {1000, 0, false}, "more images"},
                    MpoCase{"ViewNotJpeg", {2, 0, true}, "is not a JPEG"}),
    [](const auto& info) { return std::string(info.param.name); });

// A Nintendo 3DS's own MPO: a depth picture of its first view's size.
// --rectify refuses its views, which lie too far apart to line up.
TEST(MpoFiles, FromACameraAreRead)
{
    std::string folder = (fs::temp_directory_path() / "pellara-pairs-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string in = PELLARA_TEST_DATA "/depth/camera-3ds.mpo", out = folder + "/d.png";
    DepthToolRun run = run_depth_tool(folder, {in, out});
    ASSERT_EQ(run.status, 0) << run.err;
    BBitmap* raw = BTranslationUtils::GetBitmapFile(out.c_str());
    std::unique_ptr<BBitmap> depth(raw);
    ASSERT_TRUE(depth);
    EXPECT_EQ(depth->PixelWidth(), 640);
    EXPECT_EQ(depth->PixelHeight(), 480);
    fs::remove(out);
    run = run_depth_tool(folder, {in, out, "--rectify"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot rectify"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(out));
    fs::remove_all(folder);
}

// A phone's spatial photo (2560x2560 views of a potted plant before a house
// wall) and copies whose stereo pair group lies: the count of views, or the
// items it names. The group ('ster': version and flags, group id, count,
// then the items) is found by its type in the file.
struct HeifCase
{
    const char* name;
    int64 count;     // < 0: as stored
    int64 secondId;  // < 0: as stored; otherwise the right view's item
    const char* says; // empty: read
};

class SpatialHeic : public testing::TestWithParam<HeifCase>
{};

TEST_P(SpatialHeic, GivesDepthOrIsRefusedInOneLine)
{
    const HeifCase& c = GetParam();
    std::ifstream in(PELLARA_TEST_DATA "/depth/stereo-pair-no-depth.heic", std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t ster = file.find("ster");
    ASSERT_NE(ster, std::string::npos);
    auto put = [&](size_t at, int64 value) {
        for (int i = 0; i < 4; i++)
            file[at + size_t(i)] = char(uint64(value) >> (24 - 8 * i));
    };
    const size_t body = ster + 4;
    if (c.count >= 0)
        put(body + 8, c.count);
    if (c.secondId >= 0)
        put(body + 16, c.secondId);
    std::string folder = (fs::temp_directory_path() / "pellara-pairs-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string path = folder + "/spatial.heic", out = folder + "/depth.png";
    std::ofstream(path, std::ios::binary) << file;
    const DepthToolRun run = run_depth_tool(folder, {path, out, "--width", "200"});
    if (*c.says == '\0') {
        ASSERT_EQ(run.status, 0) << run.err;
        // Left and right in their order: the plant before the wall.
        std::unique_ptr<BBitmap> depth(BTranslationUtils::GetBitmapFile(out.c_str()));
        ASSERT_TRUE(depth);
        auto mean = [&](int x0, int y0, int w, int h) {
            double sum = 0;
            for (int y = y0; y < y0 + h; y++)
                for (int x = x0; x < x0 + w; x++)
                    sum += double(row(*depth, y)[x] & 0xFF);
            return sum / (w * h);
        };
        EXPECT_GT(mean(105, 65, 20, 30), mean(60, 10, 20, 20) + 60);
    } else {
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_FALSE(fs::exists(out));
    }
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    All, SpatialHeic,
    testing::Values(HeifCase{"Read", -1, -1, ""},
                    HeifCase{"OneView", 1, -1, "fewer than two views"},
                    HeifCase{"CountPastItsBox", 1000, -1, "runs past its box"},
                    HeifCase{"ItemNotThere", -1, 999, "names an item that is not a picture"},
                    HeifCase{"OneViewTwice", -1, 26, "names one view twice"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
