// pellara-depth making clips: a cube turning, checked frame by frame against
// its equation under the bounding sphere's framing; animated depth pictures
// passing through with one range for the whole clip; and the refusals.
// Clips are read back with the project's own frame reader.
#include <Bitmap.h>
#include <Frames.h>
#include <Video.h>

#include "DepthToolRun.h"
#include "ModelFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Scratch
{
public:
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "pellara-clip-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(fPath); }
    std::string operator/(const std::string& name) const { return fPath + "/" + name; }
    const std::string& Path() const { return fPath; }
    // The files in it, the tool's captured output aside.
    size_t Files() const
    {
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator(fPath))
            n += entry.path().filename().string()[0] != '.';
        return n;
    }

private:
    std::string fPath;
};

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

struct GreyFrame
{
    int32 width = 0;
    int32 height = 0;
    std::vector<uint8> levels;
    uint32 milliseconds = 0;

    int At(int32 x, int32 y) const { return levels[size_t(y) * width + x]; }
};

// Every frame of a clip as grey levels (the blue of each pixel: the tool
// writes grey).
std::vector<GreyFrame> read_clip(const std::string& path)
{
    std::string why;
    std::unique_ptr<fuse::FrameReader> reader =
        fuse::OpenFrames(path.c_str(), fuse::ClipKindOf(path.c_str()), 100000, 25, &why);
    std::vector<GreyFrame> frames;
    if (!reader) {
        ADD_FAILURE() << path << ": " << why;
        return frames;
    }
    for (uint32 i = 0; i < reader->Count(); i++) {
        fuse::Frame frame;
        if (reader->Next(&frame, &why) != B_OK) {
            ADD_FAILURE() << path << " frame " << i << ": " << why;
            return frames;
        }
        GreyFrame grey;
        grey.width = frame.picture->PixelWidth();
        grey.height = frame.picture->PixelHeight();
        grey.milliseconds = frame.milliseconds;
        for (int32 y = 0; y < grey.height; y++) {
            const uint32* row = reinterpret_cast<const uint32*>(
                static_cast<const uint8*>(frame.picture->Bits()) +
                size_t(y) * frame.picture->BytesPerRow());
            for (int32 x = 0; x < grey.width; x++)
                grey.levels.push_back(uint8(row[x]));
        }
        frames.push_back(std::move(grey));
    }
    return frames;
}

// A clip written by the project's writer: frame k a left-to-right ramp from
// ramps[k][0] to ramps[k][1], lasting ramps[k][2] ms.
void write_ramps(const std::string& path, int32 width, int32 height,
                 const std::vector<std::array<uint32, 3>>& ramps)
{
    std::unique_ptr<fuse::FrameWriter> writer =
        fuse::CreateFrameWriter(fuse::ClipFormatFromPath(path), path);
    ASSERT_TRUE(writer);
    std::string why;
    for (const auto& ramp : ramps) {
        BBitmap bitmap(BRect(0, 0, float(width - 1), float(height - 1)), B_RGB32);
        for (int32 y = 0; y < height; y++) {
            uint32* row = reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap.Bits()) +
                                                    size_t(y) * bitmap.BytesPerRow());
            for (int32 x = 0; x < width; x++) {
                const uint32 level = ramp[0] + (ramp[1] - ramp[0]) * uint32(x) / uint32(width - 1);
                row[x] = 0xFF000000u | level * 0x010101u;
            }
        }
        ASSERT_EQ(B_OK, writer->Add(&bitmap, ramp[2], &why)) << why;
    }
    ASSERT_EQ(B_OK, writer->Finish(&why)) << why;
}

// The cube [-1, 1]^3 turned by theta about Y, seen down -Z: the nearest z
// at u across, or NaN off it.
double cube_front(double theta, double u)
{
    const double c = std::cos(theta), s = std::sin(theta);
    // The turned point (u, z) is in the cube when |c u - s z| <= 1 and
    // |s u + c z| <= 1: each bounds z both ways.
    double least = -INFINITY, most = INFINITY;
    for (const auto& [a, b] : {std::pair(c * u, -s), std::pair(s * u, c)}) {
        if (std::fabs(b) > 1e-12) {
            const double p = (1 - a) / b, q = (-1 - a) / b;
            least = std::max(least, std::min(p, q));
            most = std::min(most, std::max(p, q));
        } else if (std::fabs(a) > 1) {
            return NAN;
        }
    }
    return least <= most ? most : NAN;
}

struct TurnCase
{
    const char* name;
    const char* output; // the clip's name in the scratch folder
    std::vector<std::string> extra;
    bool inverted;
};

void PrintTo(const TurnCase& c, std::ostream* out)
{
    *out << c.name;
}

class CubeTurn : public testing::TestWithParam<TurnCase>
{
};

TEST_P(CubeTurn, EachFrameIsTheCubeTurnedByItsShareUnderOneFraming)
{
    const TurnCase& c = GetParam();
    Scratch scratch;
    write_file(scratch / "cube.stl", binary_stl(cube_mesh()));
    constexpr int32 kWidth = 160, kHeight = 120;
    constexpr uint32 kFrames = 60;
    std::vector<std::string> args = {scratch / "cube.stl", scratch / c.output, "--frames",
                                     std::to_string(kFrames), "--turn", "0,360,0", "--size",
                                     "160x120"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const DepthToolRun run = run_depth_tool(scratch.Path(), args);
    ASSERT_EQ(0, run.status) << run.err;

    const std::vector<GreyFrame> frames = read_clip(scratch / c.output);
    ASSERT_EQ(kFrames, frames.size());
    // The sphere about the cube, of radius sqrt(3), fills the height less
    // its margins and spans the nearness: it alone sets size and range.
    const double radius = std::sqrt(3.0), scale = 0.9 * kHeight / (2 * radius);
    for (uint32 i = 0; i < kFrames; i++) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const GreyFrame& f = frames[i];
        ASSERT_EQ(kWidth, f.width);
        ASSERT_EQ(kHeight, f.height);
        const double theta = 2 * M_PI * i / kFrames;
        const double halfWidth = std::fabs(std::cos(theta)) + std::fabs(std::sin(theta));
        int mismatches = 0;
        for (int32 y : {5, 40, 60, 75}) {
            const double v = (kHeight / 2.0 - (y + 0.5)) / scale;
            for (int32 x = 0; x < kWidth; x++) {
                const double u = (x + 0.5 - kWidth / 2.0) / scale;
                // Pixels next to the silhouette are partly either.
                if (std::fabs(std::fabs(u) - halfWidth) * scale < 1.5 ||
                    std::fabs(std::fabs(v) - 1) * scale < 1.5)
                    continue;
                const double z = std::fabs(v) < 1 ? cube_front(theta, u) : NAN;
                double nearness = std::isfinite(z) ? (z + radius) / (2 * radius) : 0.0;
                if (c.inverted)
                    nearness = 1 - nearness;
                const int expected = int(std::lround(nearness * 255));
                if (std::abs(f.At(x, y) - expected) > 2 && mismatches++ < 3)
                    ADD_FAILURE() << "at " << x << "," << y << ": " << f.At(x, y) << ", not "
                                  << expected;
            }
        }
        EXPECT_EQ(0, mismatches);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CubeTurn,
    testing::Values(TurnCase{"Apng", "turn.apng", {}, false},
                    TurnCase{"Gif", "turn.gif", {"--fps", "10"}, false},
                    TurnCase{"Webp", "turn.webp", {"--invert"}, true},
                    // --rotate comes first: a quarter turn about Y shows the
                    // cube as it was.
                    TurnCase{"Sequence", "turn-%03d.png", {"--rotate", "0,90,0"}, false}),
    [](const testing::TestParamInfo<TurnCase>& info) { return std::string(info.param.name); });

TEST(DepthClip, TurnsLastTheirFramesAtTheGivenRate)
{
    Scratch scratch;
    write_file(scratch / "cube.stl", binary_stl(cube_mesh()));
    const DepthToolRun run =
        run_depth_tool(scratch.Path(), {scratch / "cube.stl", scratch / "t.apng", "--frames", "3",
                                        "--turn", "0,90,0", "--fps", "30", "--size", "16x12"});
    ASSERT_EQ(0, run.status) << run.err;
    std::vector<uint32> durations;
    for (const GreyFrame& f : read_clip(scratch / "t.apng"))
        durations.push_back(f.milliseconds);
    // Whole milliseconds adding up to the clip's 100.
    EXPECT_EQ((std::vector<uint32>{33, 34, 33}), durations);
}

// A video out and back in: a turn written as MP4 passes through as a clip
// of the same frames, size and rate.
TEST(DepthClip, VideosOutAndIn)
{
    if (fuse::VideoUnavailable() != nullptr)
        GTEST_SKIP() << "needs FFmpeg's libraries";
    Scratch scratch;
    write_file(scratch / "cube.stl", binary_stl(cube_mesh()));
    DepthToolRun run =
        run_depth_tool(scratch.Path(), {scratch / "cube.stl", scratch / "t.mp4", "--frames", "3",
                                        "--turn", "0,90,0", "--size", "64x48"});
    ASSERT_EQ(0, run.status) << run.err;
    run = run_depth_tool(scratch.Path(), {scratch / "t.mp4", scratch / "back.apng"});
    ASSERT_EQ(0, run.status) << run.err;
    const std::vector<GreyFrame> frames = read_clip(scratch / "back.apng");
    ASSERT_EQ(3u, frames.size());
    for (const GreyFrame& f : frames) {
        EXPECT_EQ(64, f.width);
        EXPECT_EQ(48, f.height);
        EXPECT_EQ(40u, f.milliseconds);
    }
}

struct PassCase
{
    const char* name;
    const char* input;
    const char* output;
    bool invert;
};

void PrintTo(const PassCase& c, std::ostream* out)
{
    *out << c.name;
}

class DepthClipPassing : public testing::TestWithParam<PassCase>
{
};

TEST_P(DepthClipPassing, KeepsFramesAndDurationsUnderOneRange)
{
    const PassCase& c = GetParam();
    Scratch scratch;
    // Frames of different ranges, one flat: stretched each on its own, all
    // would reach black and white.
    const std::vector<std::array<uint32, 3>> ramps = {
        {64, 128, 70}, {32, 192, 130}, {96, 96, 200}};
    write_ramps(scratch / c.input, 33, 8, ramps);
    std::vector<std::string> args = {scratch / c.input, scratch / c.output};
    if (c.invert)
        args.push_back("--invert");
    const DepthToolRun run = run_depth_tool(scratch.Path(), args);
    ASSERT_EQ(0, run.status) << run.err;
    const std::vector<GreyFrame> frames = read_clip(scratch / c.output);
    ASSERT_EQ(ramps.size(), frames.size());
    for (size_t k = 0; k < frames.size(); k++) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_EQ(ramps[k][2], frames[k].milliseconds);
        ASSERT_EQ(33, frames[k].width);
        for (int32 x = 0; x < 33; x += 8) {
            const double level = ramps[k][0] + double(ramps[k][1] - ramps[k][0]) * x / 32;
            double stretched = (level - 32) / (192 - 32);
            if (c.invert)
                stretched = 1 - stretched;
            EXPECT_NEAR(stretched * 255, frames[k].At(x, 4), 1.5) << "at " << x;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, DepthClipPassing,
                         testing::Values(PassCase{"GifToApng", "in.gif", "out.apng", false},
                                         PassCase{"ApngToGif", "in.apng", "out.gif", true},
                                         PassCase{"GifToWebp", "in.gif", "out.webp", false}),
                         [](const testing::TestParamInfo<PassCase>& info) {
                             return std::string(info.param.name);
                         });

struct Refusal
{
    std::vector<std::string> args; // "@" stands for the scratch folder
    int status;
    const char* says;
};

TEST(DepthClip, RefusalsSayOneLineAndLeaveNothing)
{
    const Refusal kRefusals[] = {
        {{"@/cube.stl", "@/o.gif", "--frames", "3"}, 2, "--frames needs --turn"},
        {{"@/cube.stl", "@/o.gif", "--turn", "0,360,0"}, 2, "--turn needs --frames"},
        {{"@/cube.stl", "@/o.gif", "--frames", "3", "--turn", "0,360"}, 2, "three angles"},
        {{"@/cube.stl", "@/o.gif", "--frames", "0", "--turn", "0,9,0"}, 2, "from 1 to 10000"},
        {{"@/cube.stl", "@/o.gif", "--frames", "10001", "--turn", "0,9,0"}, 2, "from 1 to 10000"},
        {{"@/cube.stl", "@/o.gif", "--frames", "5", "--turn", "0,9,0", "--max-frames", "4"},
         2,
         "from 1 to 4"},
        {{"@/cube.stl", "@/o.png", "--frames", "3", "--turn", "0,9,0"}, 2, "(.apng)"},
        {{"@/cube.stl", "-", "--frames", "3", "--turn", "0,9,0"}, 2, "standard output"},
        {{"@/cube.stl", "@/o.gif", "--frames", "3", "--turn", "0,9,0", "--fps", "0"}, 2, "--fps"},
        {{"@/cube.stl", "@/o.png", "--fps", "30"}, 2, "--fps goes with clips"},
        {{"--text", "hi", "@/o.gif", "--frames", "3", "--turn", "0,9,0"}, 2, "not text"},
        {{"@/flat.png", "@/o.gif", "--frames", "3", "--turn", "0,9,0"}, 2, "is not one"},
        {{"@/in.gif", "@/o.gif", "--frames", "3", "--turn", "0,9,0"}, 2, "animated picture"},
        {{"@/in.gif", "@/o.gif", "--rotate", "0,9,0"}, 2, "animated picture"},
        {{"@/in.gif", "@/o.png"}, 2, "names a still picture"},
        {{"@/in.gif", "@/o.gif", "--pair", "lr"}, 2, "read from still pictures"},
        {{"@/in.gif", "@/in.gif", "@/o.gif"}, 2, "read from still pictures"},
        {{"@/cube.stl", "@/cube.stl", "@/o.gif", "--frames", "3", "--turn", "0,9,0"},
         2,
         "not stereo pairs"},
        {{"@/flat.png", "@/o.gif"}, 2, "is read but not written (see --list-formats)\n"},
        {{"@/broken.stl", "@/o.gif", "--frames", "3", "--turn", "0,9,0"}, 1, "cannot read the model"},
        {{"@/cube.stl", "@/none/o.gif", "--frames", "3", "--turn", "0,9,0"}, 1, "cannot write"},
        {{"@/cube.stl", "@/o-%d.png", "--frames", "3", "--turn", "0,9,0", "--size", "9000x9000"},
         1,
         "pixels a drawn picture may have"},
    };
    Scratch scratch;
    write_file(scratch / "cube.stl", binary_stl(cube_mesh()));
    write_file(scratch / "broken.stl", "solid x\nfacet normal 0 0 1\nendsolid\n");
    write_ramps(scratch / "in.gif", 4, 4, {{0, 9, 50}, {9, 0, 50}});
    write_ramps(scratch / "flat-%d.png", 4, 4, {{5, 5, 50}});
    fs::rename(scratch / "flat-1.png", scratch / "flat.png");
    const size_t before = scratch.Files();
    for (const Refusal& r : kRefusals) {
        std::vector<std::string> args;
        std::string shown;
        for (std::string a : r.args) {
            shown += a + " ";
            if (a[0] == '@')
                a = scratch.Path() + a.substr(1);
            args.push_back(a);
        }
        SCOPED_TRACE(shown);
        const DepthToolRun run = run_depth_tool(scratch.Path(), args);
        EXPECT_EQ(r.status, run.status);
        EXPECT_NE(std::string::npos, run.err.find(r.says)) << run.err;
        EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
        EXPECT_TRUE(run.out.empty());
        EXPECT_EQ(before, scratch.Files());
    }
}

} // namespace
