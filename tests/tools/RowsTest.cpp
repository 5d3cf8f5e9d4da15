// A picture made row by row holds the very pixels of the stereogram made
// whole, whatever the format, the kind, the depth's source and where the
// bands fall; reading, making and encoding overlap; a run that fails part
// way leaves nothing behind.
#include "Resample.h"
#include "RowPipeline.h"
#include "ToolRunner.h"

#include <Bitmap.h>
#include <DataIO.h>
#include <FuseJob.h>
#include <RowWriters.h>
#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kTool = PELLARA_FUSE_PATH;

enum class Source
{
    kHeld,   // the depth picture read whole
    kPng,    // a PNG read by rows
    kScaled, // a smaller one scaled by rows (--size)
    kFile,   // a file another program made from that PNG, read by rows
};

struct RowsCase
{
    const char* name;
    StereogramOptions options;
    Source source;
    uint32 bandRows;
    bool greyPattern = false;
    const char* format = "png";
    int32 width = 211;
    uint32 dotsPerInch = 0;
    // kFile: its name, and the commands that make it from depth.png.
    const char* file = nullptr;
    std::string make = {};
};

std::string python()
{
    return std::system("test -x /usr/bin/python3") == 0 ? "/usr/bin/python3" : "python3";
}

// A picture saved by Pillow from depth.png, converted to mode first.
std::string pillow(const char* mode, const char* file, const char* options = "")
{
    return python() + " -c \"from PIL import Image; Image.open('depth.png').convert('" + mode +
           "').save('" + file + "'" + options + ")\"";
}

StereogramOptions kind(void (*change)(StereogramOptions&))
{
    StereogramOptions o;
    change(o);
    return o;
}

// Steps and slopes, so that separations change along every row and across
// bands.
std::unique_ptr<BBitmap> depth_picture(int32 width, int32 height)
{
    auto picture =
        std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)), B_RGB32);
    for (int32 y = 0; y < height; y++) {
        auto* row = reinterpret_cast<uint32*>(static_cast<uint8*>(picture->Bits()) +
                                              size_t(y) * size_t(picture->BytesPerRow()));
        for (int32 x = 0; x < width; x++) {
            const uint32 level =
                (x - width / 2) * (x - width / 2) + (y - height / 2) * (y - height / 2) <
                        height * height / 8
                    ? 255
                    : uint32(x * 200 / width);
            row[x] = 0xFF000000u | level * 0x010101u;
        }
    }
    return picture;
}

std::unique_ptr<BBitmap> pattern_picture(bool grey)
{
    auto picture = std::make_unique<BBitmap>(BRect(0, 0, 22, 16), B_RGB32);
    auto* words = static_cast<uint32*>(picture->Bits());
    for (int32 i = 0; i < 23 * 17; i++) {
        const uint32 v = uint32(i * 2654435761u);
        words[i] = 0xFF000000u | (grey ? (v >> 24) * 0x010101u : v >> 8);
    }
    return picture;
}

class Rows : public testing::TestWithParam<RowsCase>
{
};

TEST_P(Rows, GiveTheWholePicturesPixels)
{
    const RowsCase& c = GetParam();
    const int32 kWidth = c.width, kHeight = 97;
    ScratchFolder scratch;
    std::unique_ptr<BBitmap> depth =
        c.source == Source::kScaled ? depth_picture(70, 40) : depth_picture(kWidth, kHeight);
    std::unique_ptr<BBitmap> pattern = pattern_picture(c.greyPattern);

    // A file's depth is what the whole reading makes of it.
    std::unique_ptr<fuse::DepthRows> rows;
    const std::string depthPath = scratch / (c.file != nullptr ? c.file : "depth.png");
    if (c.source == Source::kPng || c.source == Source::kFile) {
        fuse::OutputFormat png;
        ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
        ASSERT_EQ(B_OK, fuse::WritePicture(depth.get(), (scratch / "depth.png").c_str(), png));
        if (!c.make.empty() &&
            std::system(
                ("cd '" + scratch / "" + "' && (" + c.make + ") >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP()
                << "needs Pillow, ImageMagick and libtiff's tools (scripts/deps.sh --tests)";
        BBitmap* read = nullptr;
        ASSERT_EQ(B_OK, fuse::ReadPicture(depthPath.c_str(), &read));
        depth.reset(read);
        ASSERT_EQ(kWidth, depth->PixelWidth());
        // Row for row as read whole: a level off by one may not show in
        // the stereogram.
        rows = fuse::OpenDepthRows(depthPath.c_str(), fuse::kMostStreamedPixels);
        ASSERT_TRUE(rows);
        std::vector<uint32> byRows(size_t(kWidth) * kHeight);
        std::string why;
        ASSERT_TRUE(rows->Read(kHeight, byRows.data(), &why)) << why;
        bool again = true;
        ASSERT_TRUE(rows->Finish(&again, &why)) << why;
        EXPECT_FALSE(again);
        int differing = 0;
        for (int32 y = 0; y < kHeight; y++) {
            const auto* row =
                reinterpret_cast<const uint32*>(static_cast<const uint8*>(depth->Bits()) +
                                                size_t(y) * size_t(depth->BytesPerRow()));
            for (int32 x = 0; x < kWidth; x++)
                differing += ((row[x] ^ byRows[size_t(y) * kWidth + x]) & 0x00FFFFFFu) != 0;
        }
        EXPECT_EQ(0, differing) << "depth levels";
        rows = fuse::OpenDepthRows(depthPath.c_str(), fuse::kMostStreamedPixels);
    }

    // The whole picture, as the tool makes and writes it when it cannot
    // stream.
    std::unique_ptr<BBitmap> sized =
        c.source == Source::kScaled ? fuse::ScalePicture(depth.get(), kWidth, kHeight) : nullptr;
    VPellaraObject whole;
    whole.GetFrom(sized ? sized.get() : depth.get());
    whole.GetMotive(pattern.get());
    std::unique_ptr<BBitmap> expected(
        c.options == StereogramOptions() ? whole.Fusion() : whole.Synthesise(c.options));
    ASSERT_TRUE(expected);
    fuse::OutputFormat format;
    ASSERT_EQ(B_OK, fuse::FormatFromName(c.format, &format));
    format.dotsPerInch = c.dotsPerInch;
    const std::string wholePath = scratch / (std::string("whole.") + c.format);
    ASSERT_EQ(B_OK, fuse::WritePicture(expected.get(), wholePath.c_str(), format));

    if (c.source == Source::kHeld)
        rows = fuse::CapturedDepthRows(whole);
    else if (c.source == Source::kScaled)
        rows = fuse::ScaledDepthRows(std::move(depth), kWidth, kHeight);
    ASSERT_TRUE(rows);
    const StereogramRows stereogram(c.options, kWidth, kHeight, whole.motive, whole.wM, whole.hM);
    std::unique_ptr<RowWriter> writer =
        fuse::RowWriterFor(format.type, uint32(kWidth), kHeight + stereogram.GuideRows(),
                           stereogram.Grey(), c.dotsPerInch);
    ASSERT_TRUE(writer);
    const std::string out = scratch / (std::string("out.") + c.format);
    std::string why;
    ASSERT_EQ(fuse::StreamFailure::kNone,
              fuse::StreamRows(*rows, stereogram, *writer, out.c_str(), &why, c.bandRows))
        << why;

    // PNG's bands deflate apart; the others are the whole writer's bytes.
    if (std::string(c.format) != "png") {
        EXPECT_EQ(file_bytes(wholePath), file_bytes(out));
    }
    BBitmap* read = nullptr;
    ASSERT_EQ(B_OK, fuse::ReadPicture(wholePath.c_str(), &read));
    expected.reset(read);
    ASSERT_EQ(B_OK, fuse::ReadPicture(out.c_str(), &read));
    std::unique_ptr<BBitmap> made(read);
    ASSERT_EQ(expected->PixelWidth(), made->PixelWidth());
    ASSERT_EQ(expected->PixelHeight(), made->PixelHeight());
    int differing = 0;
    for (int32 y = 0; y < made->PixelHeight(); y++) {
        const auto* a =
            reinterpret_cast<const uint32*>(static_cast<const uint8*>(expected->Bits()) +
                                            size_t(y) * size_t(expected->BytesPerRow()));
        const auto* b = reinterpret_cast<const uint32*>(static_cast<const uint8*>(made->Bits()) +
                                                        size_t(y) * size_t(made->BytesPerRow()));
        for (int32 x = 0; x < made->PixelWidth(); x++)
            differing += ((a[x] ^ b[x]) & 0x00FFFFFFu) != 0;
    }
    EXPECT_EQ(0, differing);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Rows,
    testing::Values(
        RowsCase{"Window", {}, Source::kPng, 7}, RowsCase{"WindowGrey", {}, Source::kPng, 1, true},
        RowsCase{"WindowHeld", {}, Source::kHeld, 40},
        RowsCase{"WindowScaled", {}, Source::kScaled, 7},
        RowsCase{"Symmetric", kind([](StereogramOptions& o) {
                     o.method = StereogramOptions::Method::kSymmetric;
                 }),
                 Source::kPng, 7},
        RowsCase{"SymmetricSteadyOversampled", kind([](StereogramOptions& o) {
                     o.method = StereogramOptions::Method::kSymmetric;
                     o.steady = true;
                     o.oversample = 3;
                 }),
                 Source::kScaled, 5},
        RowsCase{"PrintWithGuideDots", kind([](StereogramOptions& o) {
                     o.dpi = 60;
                     o.guideDots = true;
                 }),
                 Source::kPng, 6},
        RowsCase{"CrossEyedOwnSeparations", kind([](StereogramOptions& o) {
                     o.crossEyed = true;
                     o.separation = 50;
                     o.amplitude = 20;
                     o.oversample = 2;
                 }),
                 Source::kHeld, 9},
        RowsCase{"RandomColours", kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.colors = 7;
                     o.guideDots = true;
                 }),
                 Source::kScaled, 4},
        RowsCase{"RandomDotsOversampled", kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.oversample = 4;
                     o.method = StereogramOptions::Method::kSymmetric;
                     o.hiddenSurface = false;
                 }),
                 Source::kPng, 11},
        // 9 rows a strip: bands of 20 hold whole strips and share others.
        RowsCase{"TiffStripsAcrossBands", kind([](StereogramOptions& o) {
                     o.dpi = 60;
                     o.guideDots = true;
                 }),
                 Source::kPng, 20, false, "tif", 9000, 60},
        RowsCase{"TiffOneStrip", {}, Source::kHeld, 7, false, "tif"},
        RowsCase{"Jpeg", kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.colors = 7;
                     o.guideDots = true;
                 }),
                 Source::kScaled, 5, false, "jpg", 211, 300},
        RowsCase{"JpegSymmetric", kind([](StereogramOptions& o) {
                     o.method = StereogramOptions::Method::kSymmetric;
                 }),
                 Source::kPng, 16, false, "jpg"},
        RowsCase{"Ppm", {}, Source::kPng, 7, false, "ppm"},
        RowsCase{"PgmOfColours", kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.colors = 5;
                 }),
                 Source::kHeld, 9, false, "pgm"},
        RowsCase{"FromJpeg",
                 {},
                 Source::kFile,
                 7,
                 false,
                 "png",
                 211,
                 0,
                 "depth.jpg",
                 pillow("RGB", "depth.jpg", ", quality=70")},
        RowsCase{"FromJpegGreyProgressive", kind([](StereogramOptions& o) {
                     o.method = StereogramOptions::Method::kSymmetric;
                 }),
                 Source::kFile, 5, false, "png", 211, 0, "depth.jpeg",
                 pillow("L", "depth.jpeg", ", progressive=True")},
        RowsCase{"FromJpegCmyk",
                 {},
                 Source::kFile,
                 9,
                 true,
                 "png",
                 211,
                 0,
                 "depth.jpg",
                 pillow("CMYK", "depth.jpg")},
        RowsCase{"FromTiffStripsPredicted",
                 {},
                 Source::kFile,
                 7,
                 false,
                 "png",
                 211,
                 0,
                 "depth.tif",
                 pillow("L", "a.tif") + " && tiffcp -c lzw:2 -r 5 a.tif depth.tif"},
        RowsCase{"FromTiffTiles", kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.guideDots = true;
                 }),
                 Source::kFile, 6, false, "png", 211, 0, "depth.tif",
                 pillow("RGB", "a.tif") + " && tiffcp -t -w 64 -l 32 -c zip a.tif depth.tif"},
        RowsCase{
            "TiffColour16",
            {},
            Source::kFile,
            8,
            false,
            "png",
            211,
            0,
            "depth.tiff",
            "convert depth.png -blur 0x0.7 -type TrueColor -depth 16 -compress lzw depth.tiff"},
        RowsCase{"FromTiffGrey16White",
                 {},
                 Source::kFile,
                 8,
                 false,
                 "png",
                 211,
                 0,
                 "depth.tif",
                 "convert depth.png -blur 0x0.7 -depth 16 -define quantum:polarity=min-is-white "
                 "depth.tif"},
        RowsCase{"FromPgm",
                 {},
                 Source::kFile,
                 7,
                 false,
                 "png",
                 211,
                 0,
                 "depth.pgm",
                 pillow("L", "depth.pgm")},
        RowsCase{"FromPgm16",
                 {},
                 Source::kFile,
                 10,
                 false,
                 "png",
                 211,
                 0,
                 "depth.pgm",
                 "convert depth.png -blur 0x0.7 -depth 16 depth.pgm"},
        RowsCase{"FromPpm16",
                 {},
                 Source::kFile,
                 3,
                 false,
                 "png",
                 211,
                 0,
                 "depth.ppm",
                 "convert depth.png -blur 0x0.7 -type TrueColor -depth 16 depth.ppm"},
        RowsCase{"FromPbm",
                 {},
                 Source::kFile,
                 7,
                 false,
                 "png",
                 211,
                 0,
                 "depth.pbm",
                 pillow("1", "depth.pbm")}),
    [](const testing::TestParamInfo<RowsCase>& info) { return std::string(info.param.name); });

// Failing part way: one line, the old output kept, no temporary left.
struct FailureCase
{
    const char* name;
    bool cutDepth;
    rlim_t fileSizeLimit;
    const char* line; // after "pellara-fuse: "
    const char* output = "out.png";
    const char* depthFile = "depth.png"; // a PNG, or a JPEG Pillow makes from it
};

class RowsFailure : public testing::TestWithParam<FailureCase>
{
};

TEST_P(RowsFailure, LeavesNothingBehind)
{
    const FailureCase& c = GetParam();
    ScratchFolder scratch;
    // Noise: a PNG that deflates little, so that half of it is many rows.
    auto noise = std::make_unique<BBitmap>(BRect(0, 0, 1499, 799), B_RGB32);
    auto* words = static_cast<uint32*>(noise->Bits());
    for (uint32 i = 0; i < 1500 * 800; i++)
        words[i] = 0xFF000000u | ((i * 2654435761u) >> 24) * 0x010101u;
    const std::string depth = scratch / c.depthFile, out = scratch / c.output;
    fuse::OutputFormat png;
    ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
    ASSERT_EQ(B_OK, fuse::WritePicture(noise.get(), (scratch / "depth.png").c_str(), png));
    if (depth != scratch / "depth.png") {
        const std::string make = "cd '" + scratch / "" + "' && " +
                                 pillow("L", c.depthFile, ", quality=95") + " && rm depth.png";
        if (std::system(make.c_str()) != 0)
            GTEST_SKIP() << "needs Pillow (scripts/deps.sh --tests)";
    }
    if (c.cutDepth)
        std::filesystem::resize_file(depth, std::filesystem::file_size(depth) / 2);
    {
        std::ofstream(out) << "precious";
    }
    const auto before = scratch.Names();
    ChildOutcome run = run_program(kTool, scratch, {depth, out, "--random-dot", "--quiet"}, "", "",
                                   c.fileSizeLimit);
    EXPECT_EQ(1, run.status);
    std::string line = std::string("pellara-fuse: ") + c.line;
    for (const auto& [name, path] : {std::pair("$D", depth), std::pair("$O", out)})
        if (size_t at = line.find(name); at != std::string::npos)
            line.replace(at, 2, path);
    EXPECT_EQ(line, run.err.substr(0, line.size()));
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    EXPECT_EQ("precious", file_bytes(out));
    EXPECT_EQ(before, scratch.Names());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RowsFailure,
    testing::Values(FailureCase{"DepthCutShort", true, RLIM_INFINITY,
                                "cannot read '$D': corrupt or truncated image"},
                    FailureCase{"DiskFull", false, 64 << 10, "cannot write '$O': "},
                    FailureCase{"DiskFullTiff", false, 64 << 10, "cannot write '$O': ", "out.tif"},
                    FailureCase{"JpegCutShort", true, RLIM_INFINITY,
                                "cannot read '$D': corrupt or truncated image", "out.png",
                                "depth.jpg"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// Depth rows that come when the test lets them: the last band only once the
// encoder has taken an earlier one, or none past a row.
class HeldBackRows : public fuse::DepthRows
{
public:
    HeldBackRows(uint32 height, uint32 failAt) : fHeight(height), fFailAt(failAt) {}

    uint32 Width() const override { return kWidth; }
    uint32 Height() const override { return fHeight; }

    bool Read(uint32 count, uint32* to, std::string* why) override
    {
        if (fRow + count > fFailAt) {
            *why = "cut short";
            return false;
        }
        if (fRow + count == fHeight) {
            std::unique_lock<std::mutex> guard(fLock);
            // Generous: a pipeline that reads everything before it encodes
            // fails here instead of hanging.
            if (!fChanged.wait_for(guard, std::chrono::seconds(60), [this] { return fTaken; })) {
                *why = "the encoder never had a band before the last was read";
                return false;
            }
        }
        std::fill(to, to + size_t(count) * kWidth, 0xFF000000u | (fRow % 200) * 0x010101u);
        fRow += count;
        return true;
    }

    bool Finish(bool* again, std::string*) override
    {
        *again = false;
        return true;
    }

    // What the encoder calls when it takes a band.
    void Took()
    {
        std::lock_guard<std::mutex> guard(fLock);
        fTaken = true;
        fChanged.notify_all();
    }

    static constexpr uint32 kWidth = 300;

private:
    uint32 fHeight, fFailAt;
    uint32 fRow = 0;
    std::mutex fLock;
    std::condition_variable fChanged;
    bool fTaken = false;
};

// An encoder that tells the depth when it takes a band, and writes the rows.
class TellingWriter : public RowWriter
{
public:
    explicit TellingWriter(HeldBackRows& depth) : fDepth(depth) {}

    status_t Head(BPositionIO* destination) override
    {
        fDestination = destination;
        return B_OK;
    }
    bool Encode(const uint32*, size_t, uint32, uint32, RowBand*) const override
    {
        fDepth.Took();
        return true;
    }
    status_t Write(const uint32* rows, size_t stride, uint32 first, uint32 last, RowBand&) override
    {
        return fDestination->WriteExactly(rows, size_t(last - first) * stride * 4);
    }
    status_t Finish() override { return B_OK; }

private:
    HeldBackRows& fDepth;
    BPositionIO* fDestination = nullptr;
};

StereogramOptions random_dots()
{
    StereogramOptions options;
    options.randomDot = true;
    return options;
}

TEST(RowsOverlap, EncodingStartsBeforeTheLastRowIsRead)
{
    ScratchFolder scratch;
    constexpr uint32 kHeight = 40;
    HeldBackRows depth(kHeight, kHeight);
    TellingWriter writer(depth);
    const StereogramRows rows(random_dots(), HeldBackRows::kWidth, kHeight, nullptr, 0, 0);
    const std::string out = scratch / "out.raw";
    std::string why;
    ASSERT_EQ(fuse::StreamFailure::kNone,
              fuse::StreamRows(depth, rows, writer, out.c_str(), &why, 4))
        << why;
    EXPECT_EQ(uint64(HeldBackRows::kWidth) * kHeight * 4, std::filesystem::file_size(out));
}

class RowsReadFailure : public testing::TestWithParam<const char*>
{
};

TEST_P(RowsReadFailure, LeavesNothingBehind)
{
    ScratchFolder scratch;
    constexpr uint32 kHeight = 60;
    HeldBackRows depth(kHeight, 30);
    const StereogramRows rows(random_dots(), HeldBackRows::kWidth, kHeight, nullptr, 0, 0);
    fuse::OutputFormat format;
    ASSERT_EQ(B_OK, fuse::FormatFromName(GetParam(), &format));
    std::unique_ptr<RowWriter> writer =
        fuse::RowWriterFor(format.type, HeldBackRows::kWidth, kHeight, rows.Grey(), 0);
    ASSERT_TRUE(writer);
    const std::string out = scratch / "out";
    std::string why;
    EXPECT_EQ(fuse::StreamFailure::kRead,
              fuse::StreamRows(depth, rows, *writer, out.c_str(), &why, 4));
    EXPECT_EQ("cut short", why);
    EXPECT_TRUE(scratch.Names().empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, RowsReadFailure, testing::Values("png", "tif", "jpg", "ppm"));

// Killed while it writes: the output is built in a file with no name, so
// nothing is left under OUTPUT or beside it, and the old picture stays.
TEST(RowsKilled, LeavesTheOldOutput)
{
    ScratchFolder scratch;
    const std::string depth = scratch / "depth.png", out = scratch / "out.png";
    fuse::OutputFormat png;
    ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
    ASSERT_EQ(B_OK, fuse::WritePicture(depth_picture(400, 300).get(), depth.c_str(), png));
    {
        std::ofstream(out) << "precious";
    }
    const auto before = scratch.Names();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(kTool.c_str(), kTool.c_str(), depth.c_str(), out.c_str(), "--random-dot", "--size",
              "30000x30000", "--quiet", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until the tool holds its unnamed file (or ends, which it should not
    // in the time a poster this large takes).
    const std::string fds = "/proc/" + std::to_string(child) + "/fd";
    bool writing = false;
    for (int status = 0; !writing && waitpid(child, &status, WNOHANG) == 0;) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
            const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            writing = writing || (target.find("(deleted)") != std::string::npos &&
                                  target.find("memfd:") == std::string::npos);
        }
    }
    ASSERT_TRUE(writing) << "the tool ended before it wrote";
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ("precious", file_bytes(out));
    EXPECT_EQ(before, scratch.Names());
}

} // namespace
