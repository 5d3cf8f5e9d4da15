// pellara-fuse over clips as a user meets it: every frame of a GIF, WebP,
// APNG or numbered output, read back by Pillow (and counted by ffprobe), is
// the engine's stereogram of that frame with the frame's duration; videos
// made by the ffmpeg CLI read so too, and the MP4 and WebM written, decoded
// by it, still give their depth back; steady motion keeps still what does
// not move; the refusals are one line that leaves nothing behind, and lying
// files cost no more than their bytes.
#include "ToolRunner.h"

#include <Bitmap.h>
#include <Frames.h>
#include <FuseJob.h>
#include <StereogramKinds.h>
#include <Video.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>

namespace {

const std::string kTool = PELLARA_FUSE_PATH;

std::string python()
{
    return std::system("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
}

bool has_pillow()
{
    return std::system((python() + " -c 'import PIL' 2>/dev/null").c_str()) == 0;
}

// A sphere of radius r crossing a far background, step pixels a frame, as
// numbered PNGs, an animated GIF, WebP and APNG, frame i lasting
// durations[i % 3] ms.
const char kMakeClips[] = R"(
import math, sys
from PIL import Image
folder, count, w, h, r, step = sys.argv[1], *map(int, sys.argv[2:7])
durations = [40, 60, 100]
frames = []
for i in range(count):
    im = Image.new('L', (w, h), 0)
    px = im.load()
    cx, cy = w // 2 - count * step // 2 + i * step, h // 2
    for y in range(max(0, cy - r), min(h, cy + r)):
        for x in range(max(0, cx - r), min(w, cx + r)):
            d = ((x + 0.5 - cx) / r) ** 2 + ((y + 0.5 - cy) / r) ** 2
            if d < 1:
                px[x, y] = round(255 * math.sqrt(1 - d))
    im.save('%s/depth-%04d.png' % (folder, i + 1))
    frames.append(im.convert('RGB'))
ms = [durations[i % 3] for i in range(count)]
grey = [f.convert('L') for f in frames]
grey[0].save(folder + '/clip.gif', save_all=True, append_images=grey[1:], duration=ms, loop=0)
frames[0].save(folder + '/clip.webp', save_all=True, append_images=frames[1:], duration=ms,
               loop=0, lossless=True)
frames[0].save(folder + '/clip.apng', format='PNG', save_all=True, append_images=frames[1:],
               duration=ms, loop=0)
)";

// Every frame of a clip (or numbered files) as: count, width, height, each
// duration, then the frames' RGB bytes.
const char kDumpFrames[] = R"(
import sys
from PIL import Image, ImageSequence
path, out = sys.argv[1], sys.argv[2]
if '%' in path:
    frames, i = [], 1
    while True:
        try:
            frames.append(Image.open(path % i)); i += 1
        except FileNotFoundError:
            break
else:
    frames = [f.copy() for f in ImageSequence.Iterator(Image.open(path))]
with open(out, 'wb') as f:
    f.write(('%d %d %d\n' % (len(frames), frames[0].width, frames[0].height)).encode())
    f.write((' '.join(str(int(fr.info.get('duration', 0))) for fr in frames) + '\n').encode())
    for fr in frames:
        f.write(fr.convert('RGB').tobytes())
)";

struct Clip
{
    int width = 0, height = 0;
    std::vector<int> durations;
    std::vector<std::string> frames; // RGB bytes
};

Clip read_back(const ScratchFolder& scratch, const std::string& path)
{
    Clip clip;
    const std::string dump = scratch / "dump.bin";
    std::ofstream(scratch / "dump.py") << kDumpFrames;
    if (std::system((python() + " '" + (scratch / "dump.py") + "' '" + path + "' '" + dump + "'")
                        .c_str()) != 0)
        return clip;
    std::ifstream in(dump, std::ios::binary);
    size_t count = 0;
    in >> count >> clip.width >> clip.height;
    for (size_t i = 0; i < count; i++) {
        int d = 0;
        in >> d;
        clip.durations.push_back(d);
    }
    in.get();
    for (size_t i = 0; i < count; i++) {
        std::string frame(size_t(clip.width) * clip.height * 3, '\0');
        in.read(frame.data(), std::streamsize(frame.size()));
        clip.frames.push_back(frame);
    }
    return clip;
}

// The engine's picture of one depth file, as RGB bytes.
std::string engine_frame(const std::string& depthPath, const std::string& patternPath,
                         const StereogramOptions& options)
{
    BBitmap* depth = nullptr;
    if (fuse::ReadPicture(depthPath.c_str(), &depth) != B_OK)
        return "";
    std::unique_ptr<BBitmap> pattern;
    if (!patternPath.empty()) {
        BBitmap* p = nullptr;
        if (fuse::ReadPicture(patternPath.c_str(), &p) != B_OK)
            return "";
        pattern.reset(p);
    }
    testing::internal::CaptureStdout();
    std::unique_ptr<BBitmap> made(
        fuse::MakeStereogram(std::unique_ptr<BBitmap>(depth), pattern.get(), options));
    testing::internal::GetCapturedStdout();
    if (made == nullptr)
        return "";
    std::string rgb;
    const auto* bits = static_cast<const uint8*>(made->Bits());
    for (int32 y = 0; y < made->PixelHeight(); y++)
        for (int32 x = 0; x < made->PixelWidth(); x++) {
            const uint8* p = bits + size_t(y) * made->BytesPerRow() + size_t(x) * 4;
            rgb += char(p[2]);
            rgb += char(p[1]);
            rgb += char(p[0]);
        }
    return rgb;
}

class ClipTool : public testing::Test
{
protected:
    static constexpr int kFrames = 9, kWidth = 200, kHeight = 72;

    void SetUp() override
    {
        if (!has_pillow())
            GTEST_SKIP() << "needs Pillow (scripts/deps.sh --tests)";
        MakeClips(kFrames, kWidth, kHeight, 20, 4);
        // A small tile of few colours, so that a GIF holds it as it is.
        std::ofstream(scratch / "tile.py")
            << "from PIL import Image\nim = Image.new('RGB', (23, 17))\n"
               "im.putdata([((x * 37) % 256, (x * 91) % 256, (x * 13) % 256) for x in "
               "range(23 * 17)])\nim.quantize(64).convert('RGB').save('" +
                   (scratch / "tile.png") + "')\n";
        ASSERT_EQ(0, std::system((python() + " '" + (scratch / "tile.py") + "'").c_str()));
    }

    void MakeClips(int frames, int w, int h, int r, int step)
    {
        std::ofstream(scratch / "make.py") << kMakeClips;
        ASSERT_EQ(0, std::system((python() + " '" + (scratch / "make.py") + "' '" + scratch.Path() +
                                  "' " + std::to_string(frames) + " " + std::to_string(w) + " " +
                                  std::to_string(h) + " " + std::to_string(r) + " " +
                                  std::to_string(step))
                                     .c_str()));
    }

    // The numbered depth pictures as a video the ffmpeg CLI makes.
    void EncodeDepth(const std::string& name, int rate, const std::string& codec)
    {
        ASSERT_EQ(0, std::system(("ffmpeg -y -v error -framerate " + std::to_string(rate) +
                                  " -i '" + (scratch / "depth-%04d.png") + "' " + codec + " '" +
                                  (scratch / name) + "'")
                                     .c_str()));
    }

    std::string DepthFrame(int i) const
    {
        char name[32];
        std::snprintf(name, sizeof(name), "depth-%04d.png", i + 1);
        return scratch / name;
    }

    ScratchFolder scratch;
};

struct ClipCase
{
    const char* name;
    const char* input;  // in the scratch folder
    const char* output; // likewise
    std::vector<std::string> options;
    StereogramOptions expected; // for every frame; steady unless fresh
    bool pattern;
    bool fresh;
    bool timed; // the input carries durations (numbered files: --fps)
};

StereogramOptions kind(void (*change)(StereogramOptions&))
{
    StereogramOptions o;
    o.steady = true;
    change(o);
    return o;
}

// splitmix64 of the seed and frame, as the tool draws fresh dots.
uint64 fresh_seed(uint64 seed, uint64 frame)
{
    uint64 z = seed + (frame + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class EveryFrame : public ClipTool, public testing::WithParamInterface<ClipCase>
{
};

TEST_P(EveryFrame, IsTheEnginesStereogramWithItsDuration)
{
    const ClipCase& c = GetParam();
    std::vector<std::string> args = {scratch / c.input};
    if (c.pattern)
        args.push_back(scratch / "tile.png");
    args.push_back(scratch / c.output);
    args.insert(args.end(), c.options.begin(), c.options.end());
    ChildOutcome run = run_program(kTool, scratch, args);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err);
    EXPECT_EQ("", run.out); // the engine's trace lines say nothing of a clip

    Clip clip = read_back(scratch, scratch / c.output);
    ASSERT_EQ(size_t(kFrames), clip.frames.size());
    const int expectedDurations[3] = {40, 60, 100};
    StereogramOptions o = c.expected;
    for (int i = 0; i < kFrames; i++) {
        if (c.fresh)
            o.seed = fresh_seed(o.seed, uint64(i));
        const std::string expected =
            engine_frame(DepthFrame(i), c.pattern ? scratch / "tile.png" : "", o);
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(expected == clip.frames[size_t(i)]) << "frame " << i + 1;
        // Numbered files have no durations; PNG sequences read back none.
        if (std::strchr(c.output, '%') == nullptr) {
            EXPECT_EQ(c.timed ? expectedDurations[i % 3] : 40, clip.durations[size_t(i)])
                << "frame " << i + 1;
        }
    }
    // Another program counts as many frames (ffmpeg reads no animated WebP).
    const std::string out = c.output;
    if (std::system("ffprobe -version >/dev/null 2>&1") == 0 &&
        out.find(".webp") == std::string::npos) {
        const std::string counted = command_output(
            "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=nb_read_frames -of csv=p=0 '" +
            std::string(out.find('%') != std::string::npos ? "-start_number' '1' -i '" : "") +
            (scratch / c.output) + "'");
        EXPECT_EQ(std::to_string(kFrames) + "\n", counted) << c.output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, EveryFrame,
    testing::Values(ClipCase{"gif_to_gif",
                             "clip.gif",
                             "out.gif",
                             {"--random-dot"},
                             kind([](StereogramOptions& o) { o.randomDot = true; }),
                             false,
                             false,
                             true},
                    ClipCase{"webp_to_webp_symmetric",
                             "clip.webp",
                             "out.webp",
                             {"--random-dot", "--method", "symmetric", "--colors", "12"},
                             kind([](StereogramOptions& o) {
                                 o.randomDot = true;
                                 o.method = StereogramOptions::Method::kSymmetric;
                                 o.colors = 12;
                             }),
                             false,
                             false,
                             true},
                    ClipCase{"apng_to_apng_pattern",
                             "clip.apng",
                             "out.apng",
                             {"--guide-dots"},
                             kind([](StereogramOptions& o) { o.guideDots = true; }),
                             true,
                             false,
                             true},
                    ClipCase{"sequence_to_sequence_oversampled",
                             "depth-%04d.png",
                             "out-%04d.png",
                             {"--random-dot", "--oversample", "3", "--cross-eyed"},
                             kind([](StereogramOptions& o) {
                                 o.randomDot = true;
                                 o.oversample = 3;
                                 o.crossEyed = true;
                             }),
                             false,
                             false,
                             false},
                    ClipCase{"sequence_to_gif_pattern_print",
                             "depth-%04d.png",
                             "out.gif",
                             {"--dpi", "40", "--fps", "25"},
                             kind([](StereogramOptions& o) { o.dpi = 40; }),
                             true,
                             false,
                             false},
                    ClipCase{"gif_to_webp_fresh",
                             "clip.gif",
                             "out.webp",
                             {"--random-dot", "--motion", "fresh", "--seed", "7"},
                             kind([](StereogramOptions& o) {
                                 o.randomDot = true;
                                 o.steady = false;
                                 o.seed = 7;
                             }),
                             false,
                             true,
                             true},
                    ClipCase{"webp_to_apng_symmetric_pattern",
                             "clip.webp",
                             "out.apng",
                             {"--method", "symmetric", "--format", "apng"},
                             kind([](StereogramOptions& o) {
                                 o.method = StereogramOptions::Method::kSymmetric;
                             }),
                             true,
                             false,
                             true}),
    [](const testing::TestParamInfo<ClipCase>& info) { return std::string(info.param.name); });

// One frame picked is the still tool's picture of that frame.
TEST_F(ClipTool, FramePicksOneAsAStillPicture)
{
    ChildOutcome run =
        run_program(kTool, scratch,
                    {scratch / "clip.apng", scratch / "one.png", "--random-dot", "--frame", "4"});
    ASSERT_EQ(0, run.status) << run.err;
    StereogramOptions still;
    still.randomDot = true;
    Clip clip = read_back(scratch, scratch / "one.png");
    ASSERT_EQ(1u, clip.frames.size());
    EXPECT_TRUE(engine_frame(DepthFrame(3), "", still) == clip.frames[0]);
}

// A tile of more colours than a GIF holds is reduced once, and every frame
// is the stereogram of the reduced tile.
TEST_F(ClipTool, GifReducesARichPatternBeforeAnyFrame)
{
    std::ofstream(scratch / "rich.py")
        << "from PIL import Image\nim = Image.new('RGB', (40, 30))\n"
           "im.putdata([(x * 7 % 256, x * 3 % 256, x % 256) for x in range(1200)])\n"
           "im.save('" +
               (scratch / "rich.png") + "')\n";
    ASSERT_EQ(0, std::system((python() + " '" + (scratch / "rich.py") + "'").c_str()));
    ChildOutcome run = run_program(
        kTool, scratch, {scratch / "clip.webp", scratch / "rich.png", scratch / "rich.gif"});
    ASSERT_EQ(0, run.status) << run.err;
    BBitmap* tile = nullptr;
    ASSERT_EQ(B_OK, fuse::ReadPicture((scratch / "rich.png").c_str(), &tile));
    std::unique_ptr<BBitmap> owned(tile);
    ASSERT_TRUE(fuse::ReduceColours(tile, 256));
    fuse::OutputFormat png;
    ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
    ASSERT_EQ(B_OK, fuse::WritePicture(tile, (scratch / "reduced.png").c_str(), png));
    Clip clip = read_back(scratch, scratch / "rich.gif");
    ASSERT_EQ(size_t(kFrames), clip.frames.size());
    StereogramOptions steady;
    steady.steady = true;
    for (int i = 0; i < kFrames; i++)
        EXPECT_TRUE(engine_frame(DepthFrame(i), scratch / "reduced.png", steady) ==
                    clip.frames[size_t(i)])
            << "frame " << i + 1;
}

// The steady road on the sphere of the work's own check: 48 frames of
// 640x360, 4 px a frame.
TEST_F(ClipTool, SteadyChangesOnlyNearTheMovingShape)
{
    MakeClips(48, 640, 360, 60, 4);
    struct Share
    {
        const char* motion;
        double low, high;
    };
    for (const Share& s : {Share{"steady", 0, 0.08}, Share{"fresh", 0.4, 0.6}}) {
        ChildOutcome run = run_program(
            kTool, scratch,
            {scratch / "clip.gif", scratch / "moving.webp", "--random-dot", "--motion", s.motion});
        ASSERT_EQ(0, run.status) << run.err;
        Clip clip = read_back(scratch, scratch / "moving.webp");
        ASSERT_EQ(48u, clip.frames.size());
        const size_t row = 640 * 3, top = 120 * row, bottom = 240 * row;
        double changed = 0;
        for (size_t i = 1; i < clip.frames.size(); i++) {
            const std::string &a = clip.frames[i - 1], &b = clip.frames[i];
            size_t count = 0;
            for (size_t k = 0; k < a.size(); k += 3)
                count += a.compare(k, 3, b, k, 3) != 0;
            changed += double(count) / (640 * 360);
            if (std::string(s.motion) == "steady") {
                EXPECT_EQ(0, a.compare(0, top, b, 0, top)) << "frame " << i + 1;
                EXPECT_EQ(0, a.compare(bottom, a.size() - bottom, b, bottom, a.size() - bottom))
                    << "frame " << i + 1;
            }
        }
        changed /= 47;
        EXPECT_GE(changed, s.low) << s.motion;
        EXPECT_LE(changed, s.high) << s.motion;
    }
}

bool has_ffmpeg()
{
    return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

// What ffmpeg's CLI makes of the depth pictures, in lossless codecs, read
// by the tool: each frame is the engine's stereogram of its depth, lasting
// what the video's rate gives.
struct VideoIn
{
    const char* name;
    const char* file;
    int rate;
    const char* codec;
    const char* output;
};

class FromVideo : public ClipTool, public testing::WithParamInterface<VideoIn>
{
};

TEST_P(FromVideo, EveryFrameIsTheEnginesAtTheVideosRate)
{
    if (!has_ffmpeg())
        GTEST_SKIP() << "needs ffmpeg (scripts/deps.sh --tests)";
    const VideoIn& c = GetParam();
    EncodeDepth(c.file, c.rate, c.codec);
    ChildOutcome run =
        run_program(kTool, scratch, {scratch / c.file, scratch / c.output, "--random-dot"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err);
    Clip clip = read_back(scratch, scratch / c.output);
    ASSERT_EQ(size_t(kFrames), clip.frames.size());
    StereogramOptions o;
    o.randomDot = true;
    o.steady = true;
    for (int i = 0; i < kFrames; i++) {
        EXPECT_TRUE(engine_frame(DepthFrame(i), "", o) == clip.frames[size_t(i)])
            << "frame " << i + 1;
        if (std::strchr(c.output, '%') != nullptr)
            continue;
        const long ms = std::lround((i + 1) * 1000.0 / c.rate) - std::lround(i * 1000.0 / c.rate);
        // The last frame's length is the container's rounding of it.
        EXPECT_NEAR(ms, clip.durations[size_t(i)], i + 1 == kFrames ? 1 : 0) << "frame " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, FromVideo,
    testing::Values(VideoIn{"mkv_ffv1", "depth.mkv", 25, "-c:v ffv1 -pix_fmt gray", "out.apng"},
                    VideoIn{"mov_png", "depth.mov", 30, "-c:v png -pix_fmt rgb24", "out.apng"},
                    VideoIn{"mp4_h264_lossless", "depth.mp4", 30,
                            "-c:v libx264rgb -qp 0 -pix_fmt bgr0", "out-%04d.png"},
                    VideoIn{"webm_vp9_lossless", "depth.webm", 24,
                            "-c:v libvpx-vp9 -lossless 1 -pix_fmt gbrp", "out.apng"},
                    VideoIn{"avi_ffv1", "depth.avi", 10, "-c:v ffv1 -pix_fmt gray", "out.apng"}),
    [](const testing::TestParamInfo<VideoIn>& info) { return std::string(info.param.name); });

// The separations the engine's default constants give a grey depth byte.
int separation_of(uint8 depth)
{
    return 80 - (depth * 10 + 254) / 255;
}

// Each row's 16-pixel blocks matched against the pixels one separation on
// (70 to 80 with the default constants): the separation that matches best,
// against the engine's at the block, over every frame. Only blocks of one
// separation (give or take one) are asked: across an edge no one shift
// holds for the whole block.
double depth_correlation(const std::vector<std::string>& grey, int stride, int width, int height,
                         const std::vector<std::string>& depthPaths)
{
    constexpr int kBlock = 16, kLeast = 70, kMost = 80;
    std::vector<double> found, expected;
    for (size_t f = 0; f < grey.size() && f < depthPaths.size(); f++) {
        BBitmap* depth = nullptr;
        if (fuse::ReadPicture(depthPaths[f].c_str(), &depth) != B_OK)
            return 0;
        std::unique_ptr<BBitmap> owned(depth);
        const auto* d = static_cast<const uint8*>(depth->Bits());
        const auto* g = reinterpret_cast<const uint8*>(grey[f].data());
        for (int y = 0; y < height; y++)
            for (int x = 0; x + kMost + kBlock <= width; x += kBlock / 2) {
                const uint8* row = d + size_t(y) * depth->BytesPerRow();
                int least = kMost, most = kLeast;
                for (int k = 0; k < kBlock; k++) {
                    least = std::min(least, separation_of(row[size_t(x + k) * 4]));
                    most = std::max(most, separation_of(row[size_t(x + k) * 4]));
                }
                if (most - least > 1)
                    continue;
                long best = -1;
                int shift = 0;
                for (int s = kLeast; s <= kMost; s++) {
                    long error = 0;
                    for (int k = 0; k < kBlock; k++)
                        error += std::abs(int(g[y * stride + x + k]) - g[y * stride + x + s + k]);
                    if (best < 0 || error < best) {
                        best = error;
                        shift = s;
                    }
                }
                found.push_back(shift);
                expected.push_back(separation_of(row[size_t(x + kBlock / 2) * 4]));
            }
    }
    const double n = double(found.size());
    double mf = 0, me = 0;
    for (size_t i = 0; i < found.size(); i++) {
        mf += found[i] / n;
        me += expected[i] / n;
    }
    double sfe = 0, sff = 0, see = 0;
    for (size_t i = 0; i < found.size(); i++) {
        sfe += (found[i] - mf) * (expected[i] - me);
        sff += (found[i] - mf) * (found[i] - mf);
        see += (expected[i] - me) * (expected[i] - me);
    }
    return sff > 0 && see > 0 ? sfe / std::sqrt(sff * see) : 0;
}

// Videos written, decoded by the ffmpeg CLI: as many frames at the input's
// rate, an odd side padded to even, and the depth read back from the dots.
struct VideoOut
{
    const char* name;
    int width, height;
    const char* input; // numbered pictures at --fps 25, or a video at 30
    const char* output;
    const char* rate;
};

class ToVideo : public ClipTool, public testing::WithParamInterface<VideoOut>
{
};

TEST_P(ToVideo, KeepsTheRateAndTheDepth)
{
    if (!has_ffmpeg())
        GTEST_SKIP() << "needs ffmpeg (scripts/deps.sh --tests)";
    const VideoOut& c = GetParam();
    MakeClips(kFrames, c.width, c.height, c.height / 3, 4);
    std::vector<std::string> args = {scratch / c.input, scratch / c.output, "--random-dot"};
    if (std::strchr(c.input, '%') != nullptr) {
        args.push_back("--fps");
        args.push_back("25");
    } else {
        EncodeDepth(c.input, 30, "-c:v ffv1 -pix_fmt gray");
    }
    ChildOutcome run = run_program(kTool, scratch, args);
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("", run.err); // neither FFmpeg nor its encoders say anything
    const std::string out = scratch / c.output;
    const int width = c.width + (c.width & 1), height = c.height + (c.height & 1);
    EXPECT_EQ(std::to_string(width) + "," + std::to_string(height) + "," + c.rate + "," +
                  std::to_string(kFrames) + "\n",
              command_output("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                             "stream=width,height,avg_frame_rate,nb_read_frames -of csv=p=0 '" +
                             out + "'"));
    const std::string grey =
        command_output("ffmpeg -v error -i '" + out + "' -f rawvideo -pix_fmt gray -");
    const size_t frameBytes = size_t(width) * height;
    ASSERT_EQ(frameBytes * kFrames, grey.size());
    std::vector<std::string> frames, depths;
    for (int i = 0; i < kFrames; i++) {
        frames.push_back(grey.substr(size_t(i) * frameBytes, frameBytes));
        depths.push_back(DepthFrame(i));
    }
    EXPECT_GE(depth_correlation(frames, width, c.width, c.height, depths), 0.98);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, ToVideo,
    testing::Values(VideoOut{"sequence_to_mp4_odd", 241, 97, "depth-%04d.png", "out.mp4", "25/1"},
                    VideoOut{"mkv_to_webm", 240, 96, "depth.mkv", "out.webm", "30/1"}),
    [](const testing::TestParamInfo<VideoOut>& info) { return std::string(info.param.name); });

struct Refusal
{
    const char* name;
    std::vector<std::string> args; // "@" is the scratch folder
    int status;
    const char* words;
    void (*prepare)(const ScratchFolder&);
    bool video = false;                  // needs ffmpeg's CLI to prepare
    const char* missingFfmpeg = nullptr; // set: run as if FFmpeg were not installed
};

// The numbered depth pictures as a 25-a-second FFV1 video.
void depth_video(const ScratchFolder& s)
{
    if (std::system(("ffmpeg -y -v error -framerate 25 -i '" + (s / "depth-%04d.png") +
                     "' -c:v ffv1 -pix_fmt gray '" + (s / "depth.mkv") + "'")
                        .c_str()) != 0)
        ADD_FAILURE() << "ffmpeg made no video";
}

// An MP4 with its index first (as for streaming), a Matroska and an AVI
// video, each cut in the middle of its frames' data.
void cut_videos(const ScratchFolder& s)
{
    for (const char* name : {"cut.mp4", "cut.mkv", "cut.avi"}) {
        if (std::system(("ffmpeg -y -v error -framerate 25 -i '" + (s / "depth-%04d.png") +
                         "' -pix_fmt yuv420p -movflags +faststart '" + (s / name) + "'")
                            .c_str()) != 0)
            ADD_FAILURE() << "ffmpeg made no " << name;
        const std::string bytes = file_bytes(s / name);
        std::ofstream(s / name, std::ios::binary) << bytes.substr(0, bytes.size() * 2 / 3);
    }
}

class Refused : public ClipTool, public testing::WithParamInterface<Refusal>
{
};

TEST_P(Refused, InOneLineLeavingNothing)
{
    const Refusal& c = GetParam();
    if (c.video && !has_ffmpeg())
        GTEST_SKIP() << "needs ffmpeg (scripts/deps.sh --tests)";
    if (c.prepare != nullptr)
        c.prepare(scratch);
    const std::vector<std::string> before = scratch.Names();
    if (c.missingFfmpeg != nullptr)
        setenv(fuse::kNoVideoLibrariesVariable, "1", 1);
    std::vector<std::string> args;
    for (std::string a : c.args) {
        if (a[0] == '@')
            a = scratch.Path() + a.substr(1);
        args.push_back(a);
    }
    ChildOutcome run = run_program(kTool, scratch, args);
    unsetenv(fuse::kNoVideoLibrariesVariable);
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_EQ(0u, run.err.rfind("pellara-fuse: ", 0)) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.words)) << run.err;
    EXPECT_EQ(before, scratch.Names());
}

INSTANTIATE_TEST_SUITE_P(
    Clips, Refused,
    testing::Values(
        Refusal{"still_output",
                {"@/clip.gif", "@/out.png", "--random-dot"},
                2,
                "is animated: write an animated GIF (.gif), WebP (.webp) or PNG (.apng), a "
                "video (.mp4, .webm), or numbered PNGs (out-%04d.png), or pick one frame with "
                "--frame K",
                nullptr},
        Refusal{"frame_past_the_end",
                {"@/clip.webp", "@/out.png", "--random-dot", "--frame", "10"},
                2,
                "--frame 10 is past the end",
                nullptr},
        Refusal{"missing_number",
                {"@/depth-%04d.png", "@/out.gif", "--random-dot"},
                1,
                "depth-0004.png' is missing between",
                [](const ScratchFolder& s) { std::remove((s / "depth-0004.png").c_str()); }},
        Refusal{"max_frames_gif",
                {"@/clip.gif", "@/out.gif", "--random-dot", "--max-frames", "8"},
                1,
                "--max-frames (8)",
                nullptr},
        Refusal{"max_frames_sequence",
                {"@/depth-%04d.png", "@/out-%04d.png", "--random-dot", "--max-frames", "3"},
                1,
                "--max-frames (3)",
                nullptr},
        Refusal{"video_of_no_frames",
                {"@/film.mp4", "@/out.gif", "--random-dot"},
                1,
                "corrupt or truncated video",
                [](const ScratchFolder& s) {
                    std::ofstream(s / "film.mp4", std::ios::binary)
                        << std::string("\0\0\0\x18"
                                       "ftypisom\0\0\0\0isomiso2",
                                       24);
                },
                true},
        Refusal{"video_in_without_ffmpeg",
                {"@/depth.mkv", "@/out.apng", "--random-dot"},
                1,
                "install the Debian packages libavformat",
                depth_video,
                true,
                "1"},
        Refusal{"video_out_without_ffmpeg",
                {"@/clip.gif", "@/out.mp4", "--random-dot"},
                1,
                "install the Debian packages libavformat",
                nullptr,
                false,
                "1"},
        Refusal{"max_frames_video",
                {"@/depth.mkv", "@/out.webm", "--random-dot", "--max-frames", "8"},
                1,
                "--max-frames (8)",
                depth_video,
                true},
        Refusal{"cut_mp4",
                {"@/cut.mp4", "@/out.mp4", "--random-dot"},
                1,
                "corrupt or truncated video",
                cut_videos,
                true},
        Refusal{"cut_matroska",
                {"@/cut.mkv", "@/out.webm", "--random-dot"},
                1,
                "corrupt or truncated video",
                cut_videos,
                true},
        Refusal{"cut_avi",
                {"@/cut.avi", "@/out.apng", "--random-dot"},
                1,
                "corrupt or truncated video",
                cut_videos,
                true},
        Refusal{"gif_oversampled",
                {"@/clip.gif", "@/out.gif", "--random-dot", "--oversample", "2"},
                2,
                "GIF cannot hold",
                nullptr},
        Refusal{"clip_to_standard_output",
                {"@/clip.gif", "-", "--random-dot", "--format", "webp"},
                2,
                "standard output",
                nullptr}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// Files that lie about their frames, written byte by byte.
std::string le16(uint32 v)
{
    return {char(v & 0xFF), char(v >> 8)};
}

// A GIF whose screen is width x height and whose frames are each one pixel.
std::string gif_of_tiny_frames(uint32 width, uint32 height, uint32 frames, uint32 frameSide)
{
    std::string b = "GIF89a" + le16(width) + le16(height) + std::string("\0\0\0", 3);
    for (uint32 i = 0; i < frames; i++) {
        b += ',' + le16(0) + le16(0) + le16(frameSide) + le16(frameSide);
        b += '\x80'; // a local table of two colours
        b += std::string("\0\0\0\xff\xff\xff", 6);
        b += std::string("\x02\x02\x44\x01\0", 5); // clear, pixel 0, end
    }
    return b + ';';
}

struct Lie
{
    const char* name;
    std::string bytes;
    const char* file;
    int status;
};

class LyingClip : public testing::TestWithParam<Lie>
{
};

// The tool on DEPTH to a WebP with random dots, with what it cost.
ChildOutcome run_costed(const ScratchFolder& scratch, const std::string& depth)
{
    return run_program(kTool, scratch, {depth, scratch / "out.webp", "--random-dot"});
}

void expect_cheap(const ChildOutcome& run, int status)
{
    EXPECT_EQ(status, run.status) << run.err;
    EXPECT_EQ(status == 0 ? 0 : 1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
#if !defined(__SANITIZE_ADDRESS__) // its shadow memory and slower code are not the tool's
    EXPECT_LT(run.cpuSeconds, 5.0);
    EXPECT_LT(run.maxResidentKiB, 500L * 1024);
#endif
}

TEST_P(LyingClip, CostsNoMoreThanItsBytes)
{
    ScratchFolder scratch;
    const Lie& c = GetParam();
    std::ofstream(scratch / c.file, std::ios::binary) << c.bytes;
    expect_cheap(run_costed(scratch, scratch / c.file), c.status);
}

// APNGs whose control chunks lie: a count of a million frames over three is
// read as its three; a frame larger than the canvas is refused.
TEST_F(ClipTool, ApngControlChunksThatLie)
{
    std::ofstream(scratch / "lie.py") << R"(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
def chunks(b):
    at = 8
    while at < len(b):
        n = struct.unpack('>I', b[at:at + 4])[0]
        yield b[at + 4:at + 8], b[at + 8:at + 8 + n]
        at += n + 12
def write(name, edit):
    out = bytearray(data[:8])
    for kind, body in chunks(data):
        body = edit(kind, bytearray(body))
        out += struct.pack('>I', len(body)) + kind + body
        out += struct.pack('>I', zlib.crc32(kind + body) & 0xffffffff)
    open(name, 'wb').write(out)
def count(kind, body):
    if kind == b'acTL':
        body[0:4] = struct.pack('>I', 1000000)
    return body
first = [True]
def size(kind, body):
    if kind == b'fcTL' and first[0]:
        body[4:8] = struct.pack('>I', 60000)
        first[0] = False
    return body
write(sys.argv[2], count)
write(sys.argv[3], size)
)";
    ASSERT_EQ(
        0, std::system((python() + " '" + (scratch / "lie.py") + "' '" + (scratch / "clip.apng") +
                        "' '" + (scratch / "count.apng") + "' '" + (scratch / "size.apng") + "'")
                           .c_str()));
    expect_cheap(run_costed(scratch, scratch / "count.apng"), 0);
    EXPECT_EQ(size_t(kFrames), read_back(scratch, scratch / "out.webp").frames.size());
    expect_cheap(run_costed(scratch, scratch / "size.apng"), 1);
}

// Videos that lie: twenty thousand frames of 2x2 (refused by the default
// --max-frames as they are counted), an AVI whose headers claim a million
// frames (read as the nine it holds), a Matroska video that claims frames
// of 65535x65535.
TEST_F(ClipTool, VideosThatLie)
{
    if (!has_ffmpeg())
        GTEST_SKIP() << "needs ffmpeg (scripts/deps.sh --tests)";
    ASSERT_EQ(0,
              std::system(("ffmpeg -y -v error -f lavfi -i color=s=2x2:r=1000 -t 20 -c:v ffv1 '" +
                           (scratch / "many.mkv") + "'")
                              .c_str()));
    expect_cheap(run_costed(scratch, scratch / "many.mkv"), 1);

    EncodeDepth("lie.avi", 25, "-c:v ffv1 -pix_fmt gray");
    std::string avi = file_bytes(scratch / "lie.avi");
    auto put32 = [&](size_t at, uint32 v) {
        for (int i = 0; i < 4; i++)
            avi[at + size_t(i)] = char(v >> (8 * i));
    };
    const size_t header = avi.find("avih"), stream = avi.find("strh");
    ASSERT_NE(std::string::npos, header);
    ASSERT_NE(std::string::npos, stream);
    put32(header + 8 + 16, 1000000); // dwTotalFrames
    put32(stream + 8 + 32, 1000000); // dwLength
    std::ofstream(scratch / "lie.avi", std::ios::binary) << avi;
    expect_cheap(run_costed(scratch, scratch / "lie.avi"), 0);
    EXPECT_EQ(size_t(kFrames), read_back(scratch, scratch / "out.webp").frames.size());

    for (int i = 0; i < kFrames; i++)
        std::remove(DepthFrame(i).c_str());
    MakeClips(3, 256, 256, 40, 4);
    EncodeDepth("huge.mkv", 25, "-c:v ffv1 -pix_fmt gray");
    std::string mkv = file_bytes(scratch / "huge.mkv");
    for (const char* side : {"\xB0\x82\x01\x00", "\xBA\x82\x01\x00"}) {
        const size_t at = mkv.find(std::string(side, 4));
        ASSERT_NE(std::string::npos, at);
        mkv[at + 2] = mkv[at + 3] = '\xFF';
    }
    std::ofstream(scratch / "huge.mkv", std::ios::binary) << mkv;
    expect_cheap(run_costed(scratch, scratch / "huge.mkv"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, LyingClip,
    testing::Values(
        // A screen past the pixel budget.
        Lie{"gif_huge_screen", gif_of_tiny_frames(65535, 65535, 3, 1), "a.gif", 1},
        // Nine thousand frames of a 4000 x 4000 screen in 200 kB.
        Lie{"gif_many_frames", gif_of_tiny_frames(4000, 4000, 9000, 1), "b.gif", 1},
        // Frames that claim to be far larger than their data and screen.
        Lie{"gif_frames_larger_than_the_screen", gif_of_tiny_frames(64, 64, 4, 60000), "c.gif", 1}),
    [](const testing::TestParamInfo<Lie>& info) { return std::string(info.param.name); });

} // namespace
