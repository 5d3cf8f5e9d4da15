// The BC7 and BC6H block decoders against Pillow's decoding of random blocks
// of every mode (scripts/make-bptc-fixtures.py), and a few blocks whose
// pixels follow from the format by hand.
#include <BptcBlocks.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> fixture(const char* name)
{
    std::ifstream in(std::string(PELLARA_TEST_DATA) + "/bptc/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(Bptc, Bc7MatchesPillowInEveryMode)
{
    const std::vector<uint8_t> records = fixture("bc7.bin");
    ASSERT_EQ(records.size(), 8u * 32 * 80);
    int wrong = 0;
    for (size_t at = 0; at < records.size(); at += 80) {
        uint8_t rgba[64];
        pellara::bptc::decode_bc7(&records[at], rgba);
        for (int i = 0; i < 64; i++) {
            if (rgba[i] != records[at + 16 + i]) {
                ADD_FAILURE() << "mode " << at / 80 / 32 << " block " << at / 80 % 32
                              << " byte " << i << ": " << int(rgba[i]) << " vs "
                              << int(records[at + 16 + i]);
                wrong++;
                break;
            }
        }
        if (wrong > 5)
            break;
    }
}

// Pillow cuts where we round: within one level. Only unsigned blocks:
// Pillow 9.4 shows negative signed samples as positive levels and differs
// on some small positive ones, and no other decoder here reads BC6H to
// settle it.
TEST(Bptc, Bc6hMatchesPillowInEveryMode)
{
    const std::vector<uint8_t> records = fixture("bc6h-unsigned.bin");
    ASSERT_EQ(records.size(), 14u * 32 * 64);
    int wrong = 0;
    for (size_t at = 0; at < records.size() && wrong <= 5; at += 64) {
        uint16_t half[48];
        pellara::bptc::decode_bc6h(&records[at], false, half);
        for (int i = 0; i < 48; i++) {
            const int ours = pellara::bptc::half_to_level(half[i]);
            if (std::abs(ours - int(records[at + 16 + i])) > 1) {
                ADD_FAILURE() << "mode " << at / 64 / 32 << " block " << at / 64 % 32
                              << " sample " << i << ": " << ours << " vs "
                              << int(records[at + 16 + i]);
                wrong++;
                break;
            }
        }
    }
}

TEST(Bptc, ReservedEncodingsGiveZeros)
{
    uint8_t block[16] = {};
    uint8_t rgba[64];
    std::fill(std::begin(rgba), std::end(rgba), 0xAA);
    pellara::bptc::decode_bc7(block, rgba);
    for (uint8_t v : rgba)
        EXPECT_EQ(v, 0);
    for (uint8_t mode : {19, 23, 27, 31}) {
        std::fill(std::begin(block), std::end(block), 0xFF);
        block[0] = uint8_t(0xE0 | mode);
        uint16_t half[48];
        pellara::bptc::decode_bc6h(block, false, half);
        for (uint16_t v : half)
            EXPECT_EQ(v, 0) << "mode " << int(mode);
    }
}

TEST(Bptc, HalfToLevel)
{
    const struct
    {
        uint16_t half;
        int level;
    } cases[] = {
        {0x0000, 0},   {0x8000, 0},   {0x3C00, 255}, {0x3800, 128}, // 0, -0, 1, 0.5
        {0x7C00, 255}, {0x7E00, 0},   {0xBC00, 0},   {0x4000, 255}, // inf, NaN, -1, 2
        {0x0001, 0},   {0x1C00, 1},                                 // tiny, 1/256
    };
    for (const auto& c : cases)
        EXPECT_EQ(pellara::bptc::half_to_level(c.half), c.level) << std::hex << c.half;
}

} // namespace
