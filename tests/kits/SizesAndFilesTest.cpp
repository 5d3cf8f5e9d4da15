// The layer's own helpers that the bitmaps, the engine, the board view and
// the reader all rely on.
#include <Errors.h>
#include <PictureSize.h>
#include <RegularFile.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <ostream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SizeCase
{
    const char* name;
    int64_t width;
    int64_t height;
    int32_t bitsPerPixel;
    int64_t bytes;
};

void PrintTo(const SizeCase& c, std::ostream* os)
{
    *os << c.name;
}

class PictureBytes : public testing::TestWithParam<SizeCase>
{
};

TEST_P(PictureBytes, FitAnInt32OrAreRefused)
{
    const SizeCase& c = GetParam();
    EXPECT_EQ(picture_bytes(c.width, c.height, c.bitsPerPixel), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PictureBytes,
    testing::Values(SizeCase{"OnePixel", 1, 1, 32, 4}, SizeCase{"Typical", 640, 400, 32, 1024000},
                    // Rows of narrower pixels are padded to 4 bytes.
                    SizeCase{"Gray8Padded", 5, 3, 8, 24}, SizeCase{"Gray1Padded", 33, 2, 1, 16},
                    SizeCase{"Rgb24Padded", 3, 1, 24, 12},
                    // 2^31 - 4 bytes is the largest multiple of 4 an int32 holds.
                    SizeCase{"LargestThatFits", 536870911, 1, 32, 2147483644},
                    SizeCase{"OneRowTooLong", 536870912, 1, 32, 0},
                    SizeCase{"WholeTooLarge", 46341, 46341, 32, 0},
                    SizeCase{"ProductWouldWrapInt64", int64_t(1) << 40, int64_t(1) << 40, 32, 0},
                    SizeCase{"EmptyWidth", 0, 10, 32, 0}, SizeCase{"NegativeHeight", 10, -1, 32, 0},
                    SizeCase{"NoBits", 10, 10, 0, 0}),
    [](const testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

struct ExtentCase
{
    const char* name;
    float low;
    float high;
    int32_t pixels;
};

void PrintTo(const ExtentCase& c, std::ostream* os)
{
    *os << c.name;
}

class PixelExtent : public testing::TestWithParam<ExtentCase>
{
};

TEST_P(PixelExtent, IsTheInclusiveSpanTruncated)
{
    EXPECT_EQ(pixel_extent(GetParam().low, GetParam().high), GetParam().pixels);
}

constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, PixelExtent,
    testing::Values(ExtentCase{"Inclusive", 10, 120, 111}, ExtentCase{"Single", 0, 0, 1},
                    ExtentCase{"Truncated", 0.4F, 5.3F, 5}, ExtentCase{"Negative", -3, 1, 5},
                    ExtentCase{"Reversed", 5, 4.5F, 0}, ExtentCase{"NaN", 0, std::nanf(""), 0},
                    ExtentCase{"Infinite", 0, kInf, 0}, ExtentCase{"OverInt32", 0, 3e9F, 0}),
    [](const testing::TestParamInfo<ExtentCase>& info) { return std::string(info.param.name); });

// Every count a bitmap may have comes back exactly, past the 2^24 where a
// float stops holding each whole number.
TEST(PixelSpan, CountsComeBackExactly)
{
    for (int32_t count : {1, 2, 4095, 16777215, 16777216, 16777217, 16777219, 20000000,
                          33554433, 134217728, 134217729, 268435455, 536870911}) {
        float low = 0, high = 0;
        pixel_span(count, &low, &high);
        EXPECT_EQ(count, pixel_extent(low, high)) << count;
        EXPECT_LE(low, 0.0F) << count;
    }
}

class RegularFileCheck : public testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/pellara-regular-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fFolder = pattern;
        std::ofstream(fFolder / "picture.png") << "content";
        ASSERT_EQ(mkfifo((fFolder / "pipe").c_str(), 0600), 0);
        std::filesystem::create_symlink(fFolder / "picture.png", fFolder / "link");
    }
    void TearDown() override { std::filesystem::remove_all(fFolder); }

    std::string Path(const char* leaf) const { return (fFolder / leaf).string(); }

    std::filesystem::path fFolder;
};

TEST_F(RegularFileCheck, ByPath)
{
    EXPECT_EQ(check_regular_file(Path("picture.png").c_str()), B_OK);
    EXPECT_EQ(check_regular_file(Path("link").c_str()), B_OK);
    EXPECT_EQ(check_regular_file(fFolder.c_str()), B_IS_A_DIRECTORY);
    EXPECT_EQ(check_regular_file(Path("pipe").c_str()), B_BAD_TYPE);
    EXPECT_EQ(check_regular_file("/dev/null"), B_BAD_TYPE);
    EXPECT_EQ(check_regular_file(Path("missing").c_str()), B_ENTRY_NOT_FOUND);
    EXPECT_EQ(check_regular_file(""), B_BAD_VALUE);
    EXPECT_EQ(check_regular_file(nullptr), B_BAD_VALUE);
}

TEST_F(RegularFileCheck, ByOpenFileWithItsSize)
{
    int fd = open(Path("picture.png").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    off_t size = -1;
    EXPECT_EQ(check_regular_file(fd, &size), B_OK);
    EXPECT_EQ(size, 7);
    close(fd);

    // Opened without blocking, as the reader opens: a pipe must not hang it.
    fd = open(Path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(check_regular_file(fd), B_BAD_TYPE);
    close(fd);

    EXPECT_NE(check_regular_file(-1), B_OK);
}

} // namespace
