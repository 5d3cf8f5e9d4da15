// A PNG made row by row holds the very pixels of the stereogram made whole,
// whatever the kind, the depth's source and where the bands fall; a run that
// fails part way leaves nothing behind.
#include "Resample.h"
#include "RowPipeline.h"
#include "ToolRunner.h"

#include <Bitmap.h>
#include <FuseJob.h>
#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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
            const uint32 level = (x - width / 2) * (x - width / 2) + (y - height / 2) * (y - height / 2) <
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
    constexpr int32 kWidth = 211, kHeight = 97;
    ScratchFolder scratch;
    std::unique_ptr<BBitmap> depth = c.source == Source::kScaled ? depth_picture(70, 40)
                                                                 : depth_picture(kWidth, kHeight);
    std::unique_ptr<BBitmap> pattern = pattern_picture(c.greyPattern);

    // A file's depth is what the whole reading makes of it.
    std::unique_ptr<fuse::DepthRows> rows;
    const std::string depthPath = scratch / (c.file != nullptr ? c.file : "depth.png");
    if (c.source == Source::kPng || c.source == Source::kFile) {
        fuse::OutputFormat png;
        ASSERT_EQ(B_OK, fuse::FormatFromName("png", &png));
        ASSERT_EQ(B_OK, fuse::WritePicture(depth.get(), (scratch / "depth.png").c_str(), png));
        if (!c.make.empty() &&
            std::system(("cd '" + scratch / "" + "' && (" + c.make + ") >/dev/null 2>&1").c_str()) != 0)
            GTEST_SKIP() << "needs Pillow, ImageMagick and libtiff's tools (scripts/deps.sh --tests)";
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
            const auto* row = reinterpret_cast<const uint32*>(
                static_cast<const uint8*>(depth->Bits()) + size_t(y) * size_t(depth->BytesPerRow()));
            for (int32 x = 0; x < kWidth; x++)
                differing += ((row[x] ^ byRows[size_t(y) * kWidth + x]) & 0x00FFFFFFu) != 0;
        }
        EXPECT_EQ(0, differing) << "depth levels";
        rows = fuse::OpenDepthRows(depthPath.c_str(), fuse::kMostStreamedPixels);
    }

    // The whole picture, as the tool makes it when it cannot stream.
    std::unique_ptr<BBitmap> sized =
        c.source == Source::kScaled ? fuse::ScalePicture(depth.get(), kWidth, kHeight) : nullptr;
    VPellaraObject whole;
    whole.GetFrom(sized ? sized.get() : depth.get());
    whole.GetMotive(pattern.get());
    std::unique_ptr<BBitmap> expected(c.options == StereogramOptions() ? whole.Fusion()
                                                                       : whole.Synthesise(c.options));
    ASSERT_TRUE(expected);

    if (c.source == Source::kHeld)
        rows = fuse::CapturedDepthRows(whole);
    else if (c.source == Source::kScaled)
        rows = fuse::ScaledDepthRows(std::move(depth), kWidth, kHeight);
    ASSERT_TRUE(rows);
    const StereogramRows stereogram(c.options, kWidth, kHeight, whole.motive, whole.wM, whole.hM);
    const std::string out = scratch / "out.png";
    std::string why;
    ASSERT_EQ(fuse::StreamFailure::kNone,
              fuse::StreamPng(*rows, stereogram, 0, out.c_str(), &why, c.bandRows))
        << why;

    BBitmap* read = nullptr;
    ASSERT_EQ(B_OK, fuse::ReadPicture(out.c_str(), &read));
    std::unique_ptr<BBitmap> made(read);
    ASSERT_EQ(expected->PixelWidth(), made->PixelWidth());
    ASSERT_EQ(expected->PixelHeight(), made->PixelHeight());
    int differing = 0;
    for (int32 y = 0; y < made->PixelHeight(); y++) {
        const auto* a = reinterpret_cast<const uint32*>(static_cast<const uint8*>(expected->Bits()) +
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
        RowsCase{"Window", {}, Source::kPng, 7},
        RowsCase{"WindowGrey", {}, Source::kPng, 1, true},
        RowsCase{"WindowHeld", {}, Source::kHeld, 40},
        RowsCase{"WindowScaled", {}, Source::kScaled, 7},
        RowsCase{"Symmetric",
                 kind([](StereogramOptions& o) { o.method = StereogramOptions::Method::kSymmetric; }),
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
        RowsCase{"Jpeg", {}, Source::kFile, 7, false, "depth.jpg",
                 pillow("RGB", "depth.jpg", ", quality=70")},
        RowsCase{"JpegGreyProgressive",
                 kind([](StereogramOptions& o) { o.method = StereogramOptions::Method::kSymmetric; }),
                 Source::kFile, 5, false, "depth.jpeg", pillow("L", "depth.jpeg", ", progressive=True")},
        RowsCase{"JpegCmyk", {}, Source::kFile, 9, true, "depth.jpg", pillow("CMYK", "depth.jpg")},
        RowsCase{"TiffStripsPredicted", {}, Source::kFile, 7, false, "depth.tif",
                 pillow("L", "a.tif") + " && tiffcp -c lzw:2 -r 5 a.tif depth.tif"},
        RowsCase{"TiffTiles", kind([](StereogramOptions& o) {
                     o.randomDot = true;
                     o.guideDots = true;
                 }),
                 Source::kFile, 6, false, "depth.tif",
                 pillow("RGB", "a.tif") + " && tiffcp -t -w 64 -l 32 -c zip a.tif depth.tif"},
        RowsCase{"TiffColour16", {}, Source::kFile, 8, false, "depth.tiff",
                 "convert depth.png -blur 0x0.7 -type TrueColor -depth 16 -compress lzw depth.tiff"},
        RowsCase{"TiffGrey16White", {}, Source::kFile, 8, false, "depth.tif",
                 "convert depth.png -blur 0x0.7 -depth 16 -define quantum:polarity=min-is-white depth.tif"},
        RowsCase{"Pgm", {}, Source::kFile, 7, false, "depth.pgm", pillow("L", "depth.pgm")},
        RowsCase{"Pgm16", {}, Source::kFile, 10, false, "depth.pgm",
                 "convert depth.png -blur 0x0.7 -depth 16 depth.pgm"},
        RowsCase{"Ppm16", {}, Source::kFile, 3, false, "depth.ppm",
                 "convert depth.png -blur 0x0.7 -type TrueColor -depth 16 depth.ppm"},
        RowsCase{"Pbm", {}, Source::kFile, 7, false, "depth.pbm", pillow("1", "depth.pbm")}),
    [](const testing::TestParamInfo<RowsCase>& info) { return std::string(info.param.name); });

// Failing part way: one line, the old output kept, no temporary left.
struct FailureCase
{
    const char* name;
    const char* depthFile; // a PNG, or a JPEG Pillow makes from it
    bool cutDepth;
    rlim_t fileSizeLimit;
    const char* line; // after "pellara-fuse: "
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
    const std::string depth = scratch / c.depthFile, out = scratch / "out.png";
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
    ChildOutcome run =
        run_program(kTool, scratch, {depth, out, "--random-dot", "--quiet"}, "", "", c.fileSizeLimit);
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
    testing::Values(FailureCase{"DepthCutShort", "depth.png", true, RLIM_INFINITY,
                                "cannot read '$D': corrupt or truncated image"},
                    FailureCase{"JpegCutShort", "depth.jpg", true, RLIM_INFINITY,
                                "cannot read '$D': corrupt or truncated image"},
                    FailureCase{"DiskFull", "depth.png", false, 64 << 10, "cannot write '$O': "}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

} // namespace
