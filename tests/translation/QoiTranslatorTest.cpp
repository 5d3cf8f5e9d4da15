// The QOI translator: FFmpeg's files against their source pictures, and
// streams written chunk by chunk, every kind of chunk, the end of the data
// and the header's limits.
#include "CodecTestSupport.h"

#include <QoiTranslator.h>

using BPrivate::qoi_translator;
using BPrivate::ReadBudget;

namespace {

#define FFMPEG(mode, pixfmt)                                                                      \
    "import subprocess\n"                                                                         \
    "src('" mode "').save(d + '/s.png')\n"                                                       \
    "subprocess.check_call(['ffmpeg', '-nostdin', '-v', 'error', '-i', d + '/s.png',"            \
    " '-pix_fmt', '" pixfmt "', d + '/in.qoi'])"

// Lossless: every pixel as the source picture holds it.
const ReadCase kQoiCases[] = {
    {"Rgb", FFMPEG("RGB", "rgb24"), "in.qoi", Decoder::kPillow, 0, "s.png"},
    {"Rgba", FFMPEG("RGBA", "rgba"), "in.qoi", Decoder::kPillow, 0, "s.png"},
};

class QoiRead : public testing::TestWithParam<ReadCase>
{
};

TEST_P(QoiRead, MatchesTheSourcePicture)
{
    if (!have_program("ffmpeg"))
        GTEST_SKIP() << "FFmpeg missing";
    expect_read_like_reference(qoi_translator(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Variants, QoiRead, testing::ValuesIn(kQoiCases), case_name);

std::vector<uint8> qoi(uint32 width, uint32 height, uint8 channels,
                       const std::vector<uint8>& chunks, bool end = true)
{
    std::vector<uint8> out = {'q', 'o', 'i', 'f'};
    for (uint32 v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(uint8(v >> shift));
    out.push_back(channels);
    out.push_back(0);
    out.insert(out.end(), chunks.begin(), chunks.end());
    if (end)
        out.insert(out.end(), {0, 0, 0, 0, 0, 0, 0, 1});
    return out;
}

struct QoiStream
{
    const char* label;
    std::vector<uint8> bytes;
    status_t status;
    std::vector<uint32> expected; // 0xAARRGGBB, row after row
};

TEST(QoiStreams, EveryChunkKindAndEveryLimit)
{
    // (10, 20, 30) is remembered at index (10*3 + 20*5 + 30*7 + 255*11) % 64 = 9.
    const std::vector<uint8> chunks = {
        0xFE, 10, 20, 30, // RGB
        0xC0,             // a run of one
        0x79,             // DIFF: red +1, green 0, blue -1
        0x09,             // INDEX 9
        0xA0, 0x88,       // LUMA: green +0, red and blue +0
        0xFF, 1, 2, 3, 0, // RGBA, transparent: its colour kept
    };
    const uint32 kPixels[] = {0xFF0A141E, 0xFF0A141E, 0xFF0B141D, 0xFF0A141E, 0xFF0A141E,
                              0x00010203};
    std::vector<uint32> six(std::begin(kPixels), std::end(kPixels));
    std::vector<uint8> cut = qoi(3, 2, 4, chunks);
    cut.resize(cut.size() - 9); // the last chunk lost: ends inside the padding
    std::vector<uint8> noEnd = qoi(3, 2, 4, chunks, false);
    std::vector<uint8> badMagic = qoi(3, 2, 4, chunks);
    badMagic[3] = 'g';

    const QoiStream cases[] = {
        {"EveryChunk", qoi(3, 2, 4, chunks), B_OK, six},
        {"OneRow", qoi(6, 1, 4, chunks), B_OK, six},
        // Three channels: alpha is opaque from the start and not kept.
        {"Rgb", qoi(2, 1, 3, {0xFE, 1, 2, 3, 0xC0}), B_OK, {0xFF010203, 0xFF010203}},
        // A run past the last pixel ends with the picture.
        {"RunPastTheEnd", qoi(2, 1, 3, {0xFE, 1, 2, 3, 0xFD}), B_OK, {0xFF010203, 0xFF010203}},
        {"Truncated", cut, B_ILLEGAL_DATA, {}},
        {"NoEndMarker", noEnd, B_ILLEGAL_DATA, {}},
        {"TooFewChunks", qoi(4, 2, 4, chunks), B_ILLEGAL_DATA, {}},
        {"ZeroWidth", qoi(0, 2, 4, chunks), B_ILLEGAL_DATA, {}},
        {"FiveChannels", qoi(3, 2, 5, chunks), B_ILLEGAL_DATA, {}},
        // Runs of 62 pixels at most a byte: a few bytes cannot hold more.
        {"MoreThanItsBytesHold", qoi(1000, 1000, 4, {0xFD, 0xFD}), B_ILLEGAL_DATA, {}},
        {"OverTheBudget", qoi(30000, 30000, 4, {}), B_NO_MEMORY, {}},
        {"NotQoi", badMagic, B_NO_TRANSLATOR, {}},
    };
    for (const QoiStream& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.status != B_OK) {
            expect_quiet_refusal(qoi_translator(), c.bytes, ReadBudget(), c.status, c.label);
            continue;
        }
        BBitmap* raw = nullptr;
        ASSERT_EQ(B_OK, qoi_translator()->Read(source_of(c.bytes), ReadBudget(), &raw));
        std::unique_ptr<BBitmap> bitmap(raw);
        const bool alpha = c.bytes[12] == 4;
        EXPECT_EQ(alpha ? B_RGBA32 : B_RGB32, bitmap->ColorSpace());
        const int32 width = bitmap->PixelWidth();
        ASSERT_EQ(c.expected.size(), size_t(width) * size_t(bitmap->PixelHeight()));
        for (size_t i = 0; i < c.expected.size(); i++) {
            uint32 word = row_of(bitmap.get(), int32(i / size_t(width)))[i % size_t(width)];
            EXPECT_EQ(c.expected[i], alpha ? word : (word | 0xFF000000u))
                << std::hex << "pixel " << i;
        }
    }
}

} // namespace
