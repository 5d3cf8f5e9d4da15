// BC7 and BC6H block decoding. Both formats read a 128-bit little-endian
// bit stream from its lowest bit; the tables below are the formats' own.
#include "BptcBlocks.h"

#include <FloatLevels.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace pellara::bptc {

namespace {

// The block as two 64-bit halves, consumed from the low end.
struct Bits
{
    uint64_t lo = 0;
    uint64_t hi = 0;

    explicit Bits(const uint8_t* b)
    {
        for (int i = 7; i >= 0; i--) {
            lo = (lo << 8) | b[i];
            hi = (hi << 8) | b[i + 8];
        }
    }

    // n in 0..32.
    uint32_t Take(unsigned n)
    {
        if (n == 0)
            return 0;
        uint32_t v = uint32_t(lo & ((uint64_t(1) << n) - 1));
        lo = (lo >> n) | (hi << (64 - n));
        hi >>= n;
        return v;
    }
};

constexpr uint8_t kWeights2[4] = {0, 21, 43, 64};
constexpr uint8_t kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
constexpr uint8_t kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

constexpr const uint8_t* Weights(unsigned bits)
{
    return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4;
}

// Subset of each pixel, row by row, one digit a pixel; packed two bits a
// pixel at compile time.
constexpr const char* kPartitions2[64] = {
    "0011001100110011", "0001000100010001", "0111011101110111", "0001001100110111",
    "0000000100010011", "0011011101111111", "0001001101111111", "0000000100110111",
    "0000000000010011", "0011011111111111", "0000000101111111", "0000000000010111",
    "0001011111111111", "0000000011111111", "0000111111111111", "0000000000001111",
    "0000100011101111", "0111000100000000", "0000000010001110", "0111001100010000",
    "0011000100000000", "0000100011001110", "0000000010001100", "0111001100110001",
    "0011000100010000", "0000100010001100", "0110011001100110", "0011011001101100",
    "0001011111101000", "0000111111110000", "0111000110001110", "0011100110011100",
    "0101010101010101", "0000111100001111", "0101101001011010", "0011001111001100",
    "0011110000111100", "0101010110101010", "0110100101101001", "0101101010100101",
    "0111001111001110", "0001001111001000", "0011001001001100", "0011101111011100",
    "0110100110010110", "0011110011000011", "0110011010011001", "0000011001100000",
    "0100111001000000", "0010011100100000", "0000001001110010", "0000010011100100",
    "0110110010010011", "0011011011001001", "0110001110011100", "0011100111000110",
    "0110110011001001", "0110001100111001", "0111111010000001", "0001100011100111",
    "0000111100110011", "0011001111110000", "0010001011101110", "0100010001110111",
};

constexpr const char* kPartitions3[64] = {
    "0011001102212222", "0001001122112221", "0000200122112211", "0222002200110111",
    "0000000011221122", "0011001100220022", "0022002211111111", "0011001122112211",
    "0000000011112222", "0000111111112222", "0000111122222222", "0012001200120012",
    "0112011201120112", "0122012201220122", "0011011211221222", "0011200122002220",
    "0001001101121122", "0111001120012200", "0000112211221122", "0022002200221111",
    "0111011102220222", "0001000122212221", "0000001101220122", "0000110022102210",
    "0122012200110000", "0012001211222222", "0110122112210110", "0000011012211221",
    "0022110211020022", "0110011020022222", "0011012201220011", "0000200022112221",
    "0000000211221222", "0222002200120011", "0011001200220222", "0120012001200120",
    "0000111122220000", "0120120120120120", "0120201212010120", "0011220011220011",
    "0011112222000011", "0101010122222222", "0000000021212121", "0022112200221122",
    "0022001100220011", "0220122102201221", "0101222222220101", "0000212121212121",
    "0101010101012222", "0222011102220111", "0002111200021112", "0000211221122112",
    "0222011101110222", "0002111211120002", "0110011001102222", "0000000021122112",
    "0110011022222222", "0022001100110022", "0022112211220022", "0000000000002112",
    "0002000100020001", "0222122202221222", "0101222222222222", "0111201122012220",
};

struct PackedPartitions
{
    uint32_t rows[64] = {};
};

constexpr PackedPartitions Pack(const char* const (&rows)[64])
{
    PackedPartitions packed;
    for (int p = 0; p < 64; p++)
        for (int i = 0; i < 16; i++)
            packed.rows[p] |= uint32_t(rows[p][i] - '0') << (2 * i);
    return packed;
}

constexpr PackedPartitions kSubsets2 = Pack(kPartitions2);
constexpr PackedPartitions kSubsets3 = Pack(kPartitions3);

// The pixel of the second subset (and of the third) whose index is stored
// one bit short.
constexpr uint8_t kAnchor2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 2,  8,  2,  2,  8,  8,  15, 2,  8,  2,  2,  8,  8,  2,  2,
    15, 15, 6,  8,  2,  8,  15, 15, 2,  8,  2,  2,  2,  15, 15, 6,
    6,  2,  6,  8,  15, 15, 2,  2,  15, 15, 15, 15, 15, 2,  2,  15,
};
constexpr uint8_t kAnchor3Second[64] = {
    3,  3,  15, 15, 8,  3,  15, 15, 8,  8,  6,  6,  6,  5,  3,  3,
    3,  3,  8,  15, 3,  3,  6,  10, 5,  8,  8,  6,  8,  5,  15, 15,
    8,  15, 3,  5,  6,  10, 8,  15, 15, 3,  15, 5,  15, 15, 15, 15,
    3,  15, 5,  5,  5,  8,  5,  10, 5,  10, 8,  13, 15, 12, 3,  3,
};
constexpr uint8_t kAnchor3Third[64] = {
    15, 8,  8,  3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,
    15, 8,  15, 3,  15, 8,  15, 8,  3,  15, 6,  10, 15, 15, 10, 8,
    15, 3,  15, 10, 10, 8,  9,  10, 6,  15, 8,  15, 3,  6,  6,  8,
    15, 3,  15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8,
};

inline uint32_t Lerp(uint32_t a, uint32_t b, uint32_t w)
{
    return (a * (64 - w) + b * w + 32) >> 6;
}

// ---- BC7

struct Bc7Mode
{
    uint8_t subsets, partitionBits, rotationBits, selectionBits, colorBits, alphaBits;
    uint8_t endpointPBits, sharedPBits, indexBits, index2Bits;
};

constexpr Bc7Mode kBc7Modes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0},
    {3, 6, 0, 0, 5, 0, 0, 0, 2, 0}, {2, 6, 0, 0, 7, 0, 1, 0, 2, 0},
    {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

// A stored endpoint value, with its p-bit below it, widened to 8 bits by
// repeating its top bits.
inline uint32_t Widen(uint32_t v, unsigned bits)
{
    v <<= 8 - bits;
    return v | (v >> bits);
}

// ---- BC6H

// Where a mode's endpoint bits lie: runs of stream bits, each into one
// field (endpoint * 3 + channel; 12 is the mode number) from bit `low` up,
// or, reversed, from the run's top bit down.
struct Run
{
    uint8_t field, low, count;
    bool reversed;
};

struct Layout
{
    Run runs[32] = {};
    uint8_t count = 0;
    uint8_t bits = 0;
    bool valid = true;
};

constexpr int Number(const char*& s)
{
    int n = 0;
    while (*s >= '0' && *s <= '9')
        n = n * 10 + (*s++ - '0');
    return n;
}

// Reads the usual notation of a layout: "m[1:0],g2[4],b2[4],r0[9:0],...",
// lowest stream bit first; v[a:b] with a < b stores the bits reversed.
constexpr Layout Parse(const char* s)
{
    Layout layout;
    while (*s) {
        if (*s == ',' || *s == ' ') {
            s++;
            continue;
        }
        int field = 12;
        char name = *s++;
        if (name != 'm') {
            int endpoint = Number(s);
            int channel = name == 'r' ? 0 : name == 'g' ? 1 : name == 'b' ? 2 : -1;
            if (channel < 0 || endpoint > 3)
                layout.valid = false;
            field = endpoint * 3 + channel;
        }
        if (*s++ != '[')
            layout.valid = false;
        int a = Number(s);
        int b = a;
        if (*s == ':') {
            s++;
            b = Number(s);
        }
        if (*s++ != ']' || layout.count == 32) {
            layout.valid = false;
            return layout;
        }
        Run run{uint8_t(field), uint8_t(a < b ? a : b), uint8_t((a < b ? b - a : a - b) + 1), a < b};
        layout.runs[layout.count++] = run;
        layout.bits += run.count;
    }
    return layout;
}

struct Bc6Mode
{
    bool transformed;
    bool partitioned;
    uint8_t endpointBits;
    uint8_t deltaBits[3];
    Layout layout;
};

constexpr Bc6Mode kBc6Modes[14] = {
    {true, true, 10, {5, 5, 5}, Parse("m[1:0],g2[4],b2[4],b3[4],r0[9:0],g0[9:0],b0[9:0],r1[4:0],g3[4],g2[3:0],"
        "g1[4:0],b3[0],g3[3:0],b1[4:0],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]")},
    {true, true, 7, {6, 6, 6}, Parse("m[1:0],g2[5],g3[4],g3[5],r0[6:0],b3[0],b3[1],b2[4],g0[6:0],b2[5],b3[2],"
        "g2[4],b0[6:0],b3[3],b3[5],b3[4],r1[5:0],g2[3:0],g1[5:0],g3[3:0],b1[5:0],"
        "b2[3:0],r2[5:0],r3[5:0]")},
    {true, true, 11, {5, 4, 4}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[4:0],r0[10],g2[3:0],g1[3:0],g0[10],"
        "b3[0],g3[3:0],b1[3:0],b0[10],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]")},
    {true, true, 11, {4, 5, 4}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[3:0],r0[10],g3[4],g2[3:0],g1[4:0],"
        "g0[10],g3[3:0],b1[3:0],b0[10],b3[1],b2[3:0],r2[3:0],b3[0],b3[2],r3[3:0],"
        "g2[4],b3[3]")},
    {true, true, 11, {4, 4, 5}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[3:0],r0[10],b2[4],g2[3:0],g1[3:0],"
        "g0[10],b3[0],g3[3:0],b1[4:0],b0[10],b2[3:0],r2[3:0],b3[1],b3[2],r3[3:0],"
        "b3[4],b3[3]")},
    {true, true, 9, {5, 5, 5}, Parse("m[4:0],r0[8:0],b2[4],g0[8:0],g2[4],b0[8:0],b3[4],r1[4:0],g3[4],g2[3:0],"
        "g1[4:0],b3[0],g3[3:0],b1[4:0],b3[1],b2[3:0],r2[4:0],b3[2],r3[4:0],b3[3]")},
    {true, true, 8, {6, 5, 5}, Parse("m[4:0],r0[7:0],g3[4],b2[4],g0[7:0],b3[2],g2[4],b0[7:0],b3[3],b3[4],"
        "r1[5:0],g2[3:0],g1[4:0],b3[0],g3[3:0],b1[4:0],b3[1],b2[3:0],r2[5:0],"
        "r3[5:0]")},
    {true, true, 8, {5, 6, 5}, Parse("m[4:0],r0[7:0],b3[0],b2[4],g0[7:0],g2[5],g2[4],b0[7:0],g3[5],b3[4],"
        "r1[4:0],g3[4],g2[3:0],g1[5:0],g3[3:0],b1[4:0],b3[1],b2[3:0],r2[4:0],"
        "b3[2],r3[4:0],b3[3]")},
    {true, true, 8, {5, 5, 6}, Parse("m[4:0],r0[7:0],b3[1],b2[4],g0[7:0],b2[5],g2[4],b0[7:0],b3[5],b3[4],"
        "r1[4:0],g3[4],g2[3:0],g1[4:0],b3[0],g3[3:0],b1[5:0],b2[3:0],r2[4:0],"
        "b3[2],r3[4:0],b3[3]")},
    {false, true, 6, {6, 6, 6}, Parse("m[4:0],r0[5:0],g3[4],b3[0],b3[1],b2[4],g0[5:0],g2[5],b2[5],b3[2],"
        "g2[4],b0[5:0],g3[5],b3[3],b3[5],b3[4],r1[5:0],g2[3:0],g1[5:0],g3[3:0],"
        "b1[5:0],b2[3:0],r2[5:0],r3[5:0]")},
    {false, false, 10, {10, 10, 10}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[9:0],g1[9:0],b1[9:0]")},
    {true, false, 11, {9, 9, 9}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[8:0],r0[10],g1[8:0],g0[10],b1[8:0],"
        "b0[10]")},
    {true, false, 12, {8, 8, 8}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[7:0],r0[10:11],g1[7:0],g0[10:11],"
        "b1[7:0],b0[10:11]")},
    {true, false, 16, {4, 4, 4}, Parse("m[4:0],r0[9:0],g0[9:0],b0[9:0],r1[3:0],r0[10:15],g1[3:0],g0[10:15],"
        "b1[3:0],b0[10:15]")},
};

constexpr bool LayoutsHold()
{
    for (const Bc6Mode& mode : kBc6Modes)
        if (!mode.layout.valid || mode.layout.bits != (mode.partitioned ? 77 : 65))
            return false;
    return true;
}
static_assert(LayoutsHold(), "every layout fills the bits before the partition and indices");

// The low five bits to a mode of kBc6Modes; -1 where reserved. Two-bit
// modes 0 and 1 take any upper bits.
constexpr int8_t kBc6ModeOf[32] = {
    0, 1, 2,  10, 0, 1, 3,  11, 0, 1, 4,  12, 0, 1, 5,  13,
    0, 1, 6,  -1, 0, 1, 7,  -1, 0, 1, 8,  -1, 0, 1, 9,  -1,
};

inline int32_t SignExtend(int32_t v, unsigned bits)
{
    uint32_t m = uint32_t(1) << (bits - 1);
    uint32_t x = uint32_t(v) & ((m << 1) - 1);
    return int32_t(x ^ m) - int32_t(m);
}

inline int32_t Unquantize(int32_t x, unsigned bits, bool is_signed)
{
    if (!is_signed) {
        if (bits >= 15 || x == 0)
            return x;
        if (x == (1 << bits) - 1)
            return 0xFFFF;
        return ((x << 15) + 0x4000) >> (bits - 1);
    }
    if (bits >= 16)
        return x;
    bool negative = x < 0;
    if (negative)
        x = -x;
    int32_t q;
    if (x == 0)
        q = 0;
    else if (x >= (1 << (bits - 1)) - 1)
        q = 0x7FFF;
    else
        q = ((x << 15) + 0x4000) >> (bits - 1);
    return negative ? -q : q;
}

inline uint16_t FinishHalf(int32_t v, bool is_signed)
{
    if (!is_signed)
        return uint16_t((v * 31) >> 6);
    if (v < 0)
        return uint16_t((((-v) * 31) >> 5) | 0x8000);
    return uint16_t((v * 31) >> 5);
}

} // namespace

void decode_bc7(const uint8_t block[16], uint8_t rgba[64])
{
    if (block[0] == 0) {
        std::memset(rgba, 0, 64);
        return;
    }
    unsigned modeNumber = unsigned(std::countr_zero(block[0]));
    const Bc7Mode& mode = kBc7Modes[modeNumber];
    Bits bits(block);
    bits.Take(modeNumber + 1);
    unsigned partition = bits.Take(mode.partitionBits);
    unsigned rotation = bits.Take(mode.rotationBits);
    unsigned selection = bits.Take(mode.selectionBits);

    uint32_t ends[3][2][4]; // subset, endpoint, channel
    const unsigned subsets = mode.subsets;
    for (unsigned c = 0; c < 3; c++)
        for (unsigned s = 0; s < subsets; s++)
            for (unsigned e = 0; e < 2; e++)
                ends[s][e][c] = bits.Take(mode.colorBits);
    for (unsigned s = 0; s < subsets; s++)
        for (unsigned e = 0; e < 2; e++)
            ends[s][e][3] = bits.Take(mode.alphaBits);

    uint32_t p[3][2] = {};
    if (mode.endpointPBits)
        for (unsigned s = 0; s < subsets; s++)
            for (unsigned e = 0; e < 2; e++)
                p[s][e] = bits.Take(1);
    if (mode.sharedPBits)
        for (unsigned s = 0; s < subsets; s++)
            p[s][0] = p[s][1] = bits.Take(1);
    const bool hasP = mode.endpointPBits || mode.sharedPBits;
    const unsigned colorBits = mode.colorBits + hasP;
    const unsigned alphaBits = mode.alphaBits + hasP;
    for (unsigned s = 0; s < subsets; s++)
        for (unsigned e = 0; e < 2; e++) {
            uint32_t pb = p[s][e];
            for (unsigned c = 0; c < 3; c++)
                ends[s][e][c] = Widen(hasP ? (ends[s][e][c] << 1) | pb : ends[s][e][c], colorBits);
            ends[s][e][3] = mode.alphaBits
                ? Widen(hasP ? (ends[s][e][3] << 1) | pb : ends[s][e][3], alphaBits)
                : 255;
        }

    uint32_t subsetOf = 0;
    uint32_t anchors = 1;
    if (subsets == 2) {
        subsetOf = kSubsets2.rows[partition];
        anchors |= 1u << kAnchor2[partition];
    } else if (subsets == 3) {
        subsetOf = kSubsets3.rows[partition];
        anchors |= (1u << kAnchor3Second[partition]) | (1u << kAnchor3Third[partition]);
    }

    uint8_t primary[16];
    for (unsigned i = 0; i < 16; i++)
        primary[i] = uint8_t(bits.Take(mode.indexBits - ((anchors >> i) & 1)));
    uint8_t secondary[16];
    if (mode.index2Bits)
        for (unsigned i = 0; i < 16; i++)
            secondary[i] = uint8_t(bits.Take(mode.index2Bits - (i == 0)));

    const uint8_t* colorIndex = primary;
    const uint8_t* alphaIndex = primary;
    const uint8_t* colorWeights = Weights(mode.indexBits);
    const uint8_t* alphaWeights = colorWeights;
    if (mode.index2Bits) {
        alphaIndex = secondary;
        alphaWeights = Weights(mode.index2Bits);
        if (selection) {
            std::swap(colorIndex, alphaIndex);
            std::swap(colorWeights, alphaWeights);
        }
    }

    for (unsigned i = 0; i < 16; i++) {
        const uint32_t(&e)[2][4] = ends[(subsetOf >> (2 * i)) & 3];
        uint32_t w = colorWeights[colorIndex[i]];
        uint32_t wa = alphaWeights[alphaIndex[i]];
        uint8_t px[4] = {uint8_t(Lerp(e[0][0], e[1][0], w)), uint8_t(Lerp(e[0][1], e[1][1], w)),
            uint8_t(Lerp(e[0][2], e[1][2], w)), uint8_t(Lerp(e[0][3], e[1][3], wa))};
        if (rotation)
            std::swap(px[3], px[rotation - 1]);
        std::memcpy(rgba + 4 * i, px, 4);
    }
}

void decode_bc6h(const uint8_t block[16], bool is_signed, uint16_t rgb_half[48])
{
    int index = kBc6ModeOf[block[0] & 31];
    if (index < 0) {
        std::memset(rgb_half, 0, 48 * sizeof(uint16_t));
        return;
    }
    const Bc6Mode& mode = kBc6Modes[index];
    Bits bits(block);
    int32_t fields[13] = {};
    for (unsigned r = 0; r < mode.layout.count; r++) {
        const Run& run = mode.layout.runs[r];
        uint32_t v = bits.Take(run.count);
        if (run.reversed) {
            uint32_t reversed = 0;
            for (unsigned b = 0; b < run.count; b++)
                reversed |= ((v >> b) & 1) << (run.count - 1 - b);
            v = reversed;
        }
        fields[run.field] |= int32_t(v << run.low);
    }
    unsigned partition = mode.partitioned ? bits.Take(5) : 0;
    const unsigned ends = mode.partitioned ? 4 : 2;
    const unsigned epb = mode.endpointBits;
    const int32_t mask = (1 << epb) - 1;

    int32_t q[4][3];
    for (unsigned c = 0; c < 3; c++) {
        int32_t base = fields[c];
        q[0][c] = is_signed ? SignExtend(base, epb) : base;
        for (unsigned e = 1; e < ends; e++) {
            int32_t v = fields[e * 3 + c];
            if (mode.transformed) {
                v = (base + SignExtend(v, mode.deltaBits[c])) & mask;
                if (is_signed)
                    v = SignExtend(v, epb);
            } else if (is_signed) {
                v = SignExtend(v, epb);
            }
            q[e][c] = v;
        }
        for (unsigned e = 0; e < ends; e++)
            q[e][c] = Unquantize(q[e][c], epb, is_signed);
    }

    const uint32_t subsetOf = mode.partitioned ? kSubsets2.rows[partition] : 0;
    const uint32_t anchors = mode.partitioned ? 1u | (1u << kAnchor2[partition]) : 1u;
    const unsigned indexBits = mode.partitioned ? 3 : 4;
    const uint8_t* weights = Weights(indexBits);
    for (unsigned i = 0; i < 16; i++) {
        uint32_t w = weights[bits.Take(indexBits - ((anchors >> i) & 1))];
        const int32_t* a = q[2 * ((subsetOf >> (2 * i)) & 3)];
        const int32_t* b = a + 3;
        for (unsigned c = 0; c < 3; c++) {
            int32_t v = (a[c] * int32_t(64 - w) + b[c] * int32_t(w) + 32) >> 6;
            rgb_half[3 * i + c] = FinishHalf(v, is_signed);
        }
    }
}

uint8_t half_to_level(uint16_t half)
{
    const float v = BPrivate::half_to_float(half);
    if (!(v > 0))
        return 0; // negative, zero or NaN
    if (v >= 1)
        return 255;
    return uint8_t(std::lround(double(v) * 255.0));
}

} // namespace pellara::bptc
