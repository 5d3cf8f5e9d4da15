#include <DataIO.h>
#include <PictureMemory.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMiB = size_t(1) << 20;

void fill(void* block, size_t size, uint8_t seed)
{
    auto* bytes = static_cast<uint8_t*>(block);
    for (size_t i = 0; i < size; i += 4093) // a byte in every page, and some
        bytes[i] = uint8_t(seed + i / 4093);
    if (size > 0)
        bytes[size - 1] = uint8_t(seed ^ 0x5A);
}

// Whether the bytes fill() wrote below limit are all still there.
bool kept(const void* block, size_t size, uint8_t seed, size_t limit)
{
    const auto* bytes = static_cast<const uint8_t*>(block);
    for (size_t i = 0; i < size && i < limit; i += 4093)
        if (i != size - 1 && bytes[i] != uint8_t(seed + i / 4093))
            return false;
    return size > limit || bytes[size - 1] == uint8_t(seed ^ 0x5A);
}

struct Resize
{
    const char* label;
    size_t from;
    size_t to;
};

void PrintTo(const Resize& r, std::ostream* os)
{
    *os << r.label;
}

class PictureResize : public testing::TestWithParam<Resize>
{
};

// Every crossing between the heap and the mapped blocks keeps the contents up
// to the smaller size, as realloc does.
TEST_P(PictureResize, KeepsTheContents)
{
    const Resize& r = GetParam();
    void* block = picture_alloc(r.from);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(r.from >= kMiB, picture_block_is_mapped(block));
    fill(block, r.from, 17);
    // Something mapped right after the block makes growing in place fail.
    void* neighbour = picture_alloc(4 * kMiB);
    void* resized = picture_realloc(block, r.to);
    ASSERT_NE(nullptr, resized);
    EXPECT_EQ(r.to >= kMiB, picture_block_is_mapped(resized));
    if (picture_block_is_mapped(resized)) {
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(resized) % (2 * kMiB));
    }
    EXPECT_TRUE(kept(resized, r.from, 17, r.to));
    fill(resized, r.to, 99); // the whole new size is writable
    picture_free(resized);
    picture_free(neighbour);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PictureResize,
    testing::Values(Resize{"HeapGrows", 1000, 300000}, Resize{"HeapShrinks", 300000, 10},
                    Resize{"HeapToMapped", 500000, 3 * kMiB},
                    Resize{"MappedToHeap", 5 * kMiB, 12345},
                    Resize{"MappedGrows", 3 * kMiB + 5, 37 * kMiB + 3},
                    Resize{"MappedShrinks", 37 * kMiB, 3 * kMiB - 1},
                    Resize{"MappedSameHugePage", 2 * kMiB + 1, 4 * kMiB},
                    Resize{"AtTheThreshold", kMiB - 1, kMiB}),
    [](const testing::TestParamInfo<Resize>& info) { return std::string(info.param.label); });

TEST(PictureMemory, ReallocEdgesAndForeignBlocks)
{
    // Null allocates, 0 frees.
    void* block = picture_realloc(nullptr, 8 * kMiB);
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(picture_block_is_mapped(block));
    EXPECT_EQ(nullptr, picture_realloc(block, 0));
    EXPECT_FALSE(picture_block_is_mapped(block));

    // Blocks from malloc are accepted by realloc and free.
    void* foreign = std::malloc(100);
    ASSERT_NE(nullptr, foreign);
    std::memset(foreign, 7, 100);
    void* mapped = picture_realloc(foreign, 2 * kMiB);
    ASSERT_NE(nullptr, mapped);
    EXPECT_EQ(7, static_cast<uint8_t*>(mapped)[99]);
    picture_free(mapped);
    picture_free(std::malloc(10));
    picture_free(nullptr);

    // Cleared when asked, reused blocks too.
    for (size_t size : {size_t(64), 3 * kMiB, 3 * kMiB}) {
        auto* zeros = static_cast<uint8_t*>(picture_alloc(size, true));
        ASSERT_NE(nullptr, zeros);
        for (size_t i = 0; i < size; i += 4093)
            ASSERT_EQ(0, zeros[i]) << i;
        EXPECT_EQ(0, zeros[size - 1]);
        std::memset(zeros, 0xEE, size);
        picture_free(zeros);
    }
    EXPECT_EQ(nullptr, picture_alloc(SIZE_MAX - 100));
}

// A freed block serves the next allocation it can hold, cut to size, and
// the blocks kept stay within their limit.
TEST(PictureMemory, FreedBlocksAreReused)
{
    void* first = picture_alloc(9 * kMiB);
    ASSERT_NE(nullptr, first);
    picture_free(first);
    void* again = picture_alloc(5 * kMiB);
    EXPECT_EQ(first, again);
    EXPECT_TRUE(picture_block_is_mapped(again));
    static_cast<uint8_t*>(again)[5 * kMiB - 1] = 1; // still mapped to there
    // Many large blocks freed at once: only some are kept, all are usable.
    std::vector<void*> blocks;
    for (int i = 0; i < 8; i++)
        blocks.push_back(picture_alloc(100 * kMiB));
    for (void* block : blocks) {
        ASSERT_NE(nullptr, block);
        static_cast<uint8_t*>(block)[100 * kMiB - 1] = 2;
        picture_free(block);
    }
    void* big = picture_realloc(again, 120 * kMiB);
    ASSERT_NE(nullptr, big);
    static_cast<uint8_t*>(big)[120 * kMiB - 1] = 3;
    picture_free(big);
}

// A stream cut short and grown again reads zeros where its old bytes were.
TEST(MallocIO, GrowsOnPictureMemoryAndZeroesWhatItRegrows)
{
    BMallocIO io;
    std::vector<uint8_t> chunk(3 * kMiB, 0xAB);
    ASSERT_EQ(ssize_t(chunk.size()), io.Write(chunk.data(), chunk.size()));
    ASSERT_EQ(ssize_t(chunk.size()), io.Write(chunk.data(), chunk.size()));
    EXPECT_EQ(2 * chunk.size(), io.BufferLength());
    EXPECT_TRUE(picture_block_is_mapped(io.Buffer()));

    ASSERT_EQ(B_OK, io.SetSize(10));
    ASSERT_EQ(B_OK, io.SetSize(20));
    uint8_t tail[10];
    ASSERT_EQ(10, io.ReadAt(10, tail, 10));
    for (uint8_t b : tail)
        EXPECT_EQ(0, b);
    ASSERT_EQ(1, io.WriteAt(100, "x", 1));
    ASSERT_EQ(80, io.ReadAt(20, chunk.data(), 80));
    for (size_t i = 0; i < 80; i++)
        ASSERT_EQ(0, chunk[i]) << i;
    EXPECT_EQ(B_BAD_VALUE, io.SetSize(-1));
}

} // namespace
