#include <WebpLosslessWriter.h>
#include <ResolutionExif.h>

#include <CodecSupport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace BPrivate {

namespace {

constexpr int64 kMaxSide = 16383;

// One group of five prefix codes for the whole picture, no colour cache:
// green with the length prefixes after it, red, blue, alpha, distance.
constexpr int kGreenAlphabet = 256 + 24;
constexpr int kColourAlphabet = 256;
constexpr int kDistanceAlphabet = 40;
constexpr int kMaxCodeLength = 15;
constexpr int kMaxLengthCodeLength = 7;
constexpr int kLengthCodes = 19;
// The order in which the code lengths of the code length code are sent.
constexpr uint8 kLengthCodeOrder[kLengthCodes] = {17, 18, 0, 1, 2,  3,  4,  5,  16, 6,
                                                   7,  8,  9, 10, 11, 12, 13, 14, 15};

constexpr uint32 kMaxMatch = 4096;
// Distance codes up to 120 name nearby pixels in two dimensions; a longer
// distance d is sent as d + 120, and the largest distance prefix reaches
// 1 << 20.
constexpr uint32 kPlaneCodes = 120;
constexpr uint32 kMaxDistance = (uint32(1) << 20) - kPlaneCodes;
// The hash of a band: as many slots as pixels, between these bounds.
constexpr int kFewestHashBits = 8;
constexpr int kMostHashBits = 16;
// The beginnings of the rows above a band that its hash holds when it
// starts: columns, and rows at most.
constexpr uint32 kPrimedColumns = 128;
constexpr uint64 kPrimedRows = 256;

constexpr uint32 kSubtractGreen = 2;

struct Histograms
{
    std::array<uint32, kGreenAlphabet> green{};
    std::array<uint32, kColourAlphabet> red{};
    std::array<uint32, kColourAlphabet> blue{};
    std::array<uint32, kColourAlphabet> alpha{};
    std::array<uint32, kDistanceAlphabet> distance{};

    void Add(const Histograms& other)
    {
        auto add = [](auto& to, const auto& from) {
            for (size_t i = 0; i < to.size(); i++)
                to[i] += from[i];
        };
        add(green, other.green);
        add(red, other.red);
        add(blue, other.blue);
        add(alpha, other.alpha);
        add(distance, other.distance);
    }
};

// A length or a distance code as a prefix symbol and extra bits.
struct Prefix
{
    uint32 symbol;
    uint32 extraBits;
    uint32 extra;
};

inline Prefix prefix_of(uint32 value)
{
    const uint32 d = value - 1;
    if (d < 4)
        return {d, 0, 0};
    const uint32 high = uint32(std::bit_width(d)) - 1;
    const uint32 second = (d >> (high - 1)) & 1;
    const uint32 bits = high - 1;
    return {2 * high + second, bits, d & ((uint32(1) << bits) - 1)};
}

inline uint32 distance_code(uint32 distance, uint32 width)
{
    if (distance == width)
        return 1; // the pixel above
    if (distance == 1)
        return 2; // the pixel before
    return distance + kPlaneCodes;
}

// Bits least significant first, in 32-bit words.
class BitBuffer
{
public:
    void Reserve(uint64 bits) { fWords.reserve(size_t(bits / 32 + 1)); }

    // At most 32 bits, nothing above them set.
    void Put(uint32 bits, uint32 count)
    {
        fPending |= uint64(bits) << fCount;
        fCount += count;
        if (fCount >= 32) {
            fWords.push_back(uint32(fPending));
            fPending >>= 32;
            fCount -= 32;
        }
    }

    uint64 BitCount() const { return uint64(fWords.size()) * 32 + fCount; }
    const std::vector<uint32>& Words() const { return fWords; }
    // The bits after the last whole word, and how many.
    uint32 Tail() const { return uint32(fPending); }
    uint32 TailCount() const { return fCount; }

    void Clear()
    {
        std::vector<uint32>().swap(fWords);
        fPending = 0;
        fCount = 0;
    }

    // The whole words are gone (written), the tail stays.
    void DropWords() { fWords.clear(); }

private:
    std::vector<uint32> fWords;
    uint64 fPending = 0;
    uint32 fCount = 0;
};

// Writes bit buffers one after the other into a stream, each shifted to
// where the last one ended, through a buffer of its own.
class BitStream
{
public:
    explicit BitStream(BPositionIO* destination)
        : fDestination(destination)
    {
        fStaging.Reserve(kStagingWords * 32);
    }

    void Append(const BitBuffer& bits)
    {
        for (uint32 word : bits.Words()) {
            fStaging.Put(word, 32);
            if (fStaging.Words().size() >= kStagingWords)
                _Flush();
        }
        fStaging.Put(bits.Tail(), bits.TailCount());
    }

    // The last bits, filled up to a whole byte.
    status_t Finish()
    {
        _Flush();
        if (fStatus == B_OK && fStaging.TailCount() > 0) {
            uint8 tail[4];
            for (uint32 i = 0; i < 4; i++)
                tail[i] = uint8(fStaging.Tail() >> (8 * i));
            fStatus = fDestination->WriteExactly(tail, (fStaging.TailCount() + 7) / 8);
        }
        return fStatus;
    }

private:
    static constexpr size_t kStagingWords = 64 * 1024;

    void _Flush()
    {
        static_assert(std::endian::native == std::endian::little,
                      "the words go out as little-endian bytes");
        const std::vector<uint32>& words = fStaging.Words();
        if (fStatus == B_OK && !words.empty())
            fStatus = fDestination->WriteExactly(words.data(), words.size() * 4);
        fStaging.DropWords();
    }

    BPositionIO* fDestination;
    BitBuffer fStaging;
    status_t fStatus = B_OK;
};

// A prefix code's lengths and its codes, bit-reversed as they are sent.
struct PrefixCode
{
    std::vector<uint8> lengths;
    std::vector<uint16> codes;

    void Put(BitBuffer& out, uint32 symbol) const { out.Put(codes[symbol], lengths[symbol]); }
};

// Huffman code lengths of at most `limit` bits for the symbols counted
// (two or more). Too deep a tree is flattened by raising the smallest
// counts until it fits.
std::vector<uint8> huffman_lengths(const uint32* counts, int size, int limit)
{
    std::vector<int> symbols;
    for (int s = 0; s < size; s++) {
        if (counts[s] > 0)
            symbols.push_back(s);
    }
    const size_t leaves = symbols.size();
    std::vector<uint8> lengths(size_t(size), 0);
    std::vector<uint64> weight(2 * leaves - 1);
    std::vector<size_t> parent(2 * leaves - 1);
    std::vector<uint32> depth(2 * leaves - 1);
    for (uint64 floor = 1;; floor *= 2) {
        auto weight_of = [&](int s) { return std::max<uint64>(counts[s], floor); };
        std::stable_sort(symbols.begin(), symbols.end(),
                         [&](int a, int b) { return weight_of(a) < weight_of(b); });
        for (size_t i = 0; i < leaves; i++)
            weight[i] = weight_of(symbols[i]);
        // Leaves and joined nodes each come in rising weight: two queues.
        size_t leaf = 0, joined = leaves, next = leaves;
        auto take = [&] {
            if (leaf < leaves && (joined == next || weight[leaf] <= weight[joined]))
                return leaf++;
            return joined++;
        };
        for (; next < 2 * leaves - 1; next++) {
            size_t a = take(), b = take();
            weight[next] = weight[a] + weight[b];
            parent[a] = parent[b] = next;
        }
        uint32 deepest = 0;
        depth[2 * leaves - 2] = 0;
        for (size_t i = 2 * leaves - 2; i-- > 0;) {
            depth[i] = depth[parent[i]] + 1;
            deepest = std::max(deepest, depth[i]);
        }
        if (deepest <= uint32(limit)) {
            for (size_t i = 0; i < leaves; i++)
                lengths[size_t(symbols[i])] = uint8(depth[i]);
            return lengths;
        }
    }
}

// Codes in canonical order: shorter first, then by symbol.
std::vector<uint16> canonical_codes(const std::vector<uint8>& lengths)
{
    uint32 count[kMaxCodeLength + 1] = {};
    for (uint8 length : lengths)
        count[length]++;
    count[0] = 0;
    uint32 next[kMaxCodeLength + 1] = {};
    uint32 code = 0;
    for (int bits = 1; bits <= kMaxCodeLength; bits++) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint16> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); s++) {
        const uint32 length = lengths[s];
        if (length == 0)
            continue;
        const uint32 value = next[length]++;
        uint32 reversed = 0;
        for (uint32 i = 0; i < length; i++)
            reversed |= ((value >> i) & 1) << (length - 1 - i);
        codes[s] = uint16(reversed);
    }
    return codes;
}

// Sends the code for these counts and returns it. One symbol or none: a
// code of no bits, which the format writes in a few bits of its own.
PrefixCode write_code(BitBuffer& out, const uint32* counts, int size)
{
    int used = 0, only = 0;
    for (int s = 0; s < size; s++) {
        if (counts[s] > 0) {
            used++;
            only = s;
        }
    }
    PrefixCode code;
    if (used <= 1 && only < 256) {
        code.lengths.assign(size_t(size), 0);
        code.codes.assign(size_t(size), 0);
        out.Put(1, 1); // simple
        out.Put(0, 1); // one symbol
        if (only < 2) {
            out.Put(0, 1);
            out.Put(uint32(only), 1);
        } else {
            out.Put(1, 1);
            out.Put(uint32(only), 8);
        }
        return code;
    }
    std::vector<uint32> padded;
    if (used == 1) {
        // A lone symbol the simple code can't name: give it a partner.
        padded.assign(counts, counts + size);
        padded[only == 0 ? 1 : 0] = 1;
        counts = padded.data();
    }
    code.lengths = huffman_lengths(counts, size, kMaxCodeLength);
    code.codes = canonical_codes(code.lengths);

    // The lengths, run-length coded with the code length code's repeats.
    struct Step
    {
        uint8 symbol;
        uint8 extra;
    };
    std::vector<Step> steps;
    for (size_t i = 0; i < code.lengths.size();) {
        const uint8 value = code.lengths[i];
        size_t run = 1;
        while (i + run < code.lengths.size() && code.lengths[i + run] == value)
            run++;
        i += run;
        if (value == 0) {
            while (run >= 11) {
                size_t part = std::min<size_t>(run, 138);
                steps.push_back({18, uint8(part - 11)});
                run -= part;
            }
            if (run >= 3) {
                steps.push_back({17, uint8(run - 3)});
                run = 0;
            }
        } else {
            steps.push_back({value, 0});
            run--;
            while (run >= 3) {
                size_t part = std::min<size_t>(run, 6);
                steps.push_back({16, uint8(part - 3)});
                run -= part;
            }
        }
        for (; run > 0; run--)
            steps.push_back({value, 0});
    }
    uint32 stepCounts[kLengthCodes] = {};
    int stepSymbols = 0;
    for (const Step& step : steps) {
        if (stepCounts[step.symbol]++ == 0)
            stepSymbols++;
    }
    if (stepSymbols == 1)
        stepCounts[steps[0].symbol == 0 ? 1 : 0] = 1;
    const std::vector<uint8> stepLengths =
        huffman_lengths(stepCounts, kLengthCodes, kMaxLengthCodeLength);
    const std::vector<uint16> stepCodes = canonical_codes(stepLengths);

    int sent = kLengthCodes;
    while (sent > 4 && stepLengths[kLengthCodeOrder[sent - 1]] == 0)
        sent--;
    out.Put(0, 1); // not simple
    out.Put(uint32(sent - 4), 4);
    for (int i = 0; i < sent; i++)
        out.Put(stepLengths[kLengthCodeOrder[i]], 3);
    out.Put(0, 1); // every symbol's length follows
    for (const Step& step : steps) {
        out.Put(stepCodes[step.symbol], stepLengths[step.symbol]);
        if (step.symbol == 16)
            out.Put(step.extra, 2);
        else if (step.symbol == 17)
            out.Put(step.extra, 3);
        else if (step.symbol == 18)
            out.Put(step.extra, 7);
    }
    return code;
}

// Literal pixels, then a copy of `length` pixels from `distance` back
// (none when length is 0); never across the end of a row.
struct Token
{
    uint32 literals;
    uint32 length;
    uint32 distanceCode;
};

struct Band
{
    uint32 first = 0;
    uint32 last = 0;
    std::vector<Token> tokens;
    Histograms histograms;
    // Extra bits of the band's lengths and distances.
    uint64 extraBits = 0;
    BitBuffer bits;
};

class Picture
{
public:
    explicit Picture(const BBitmap& bitmap)
        : fBits(static_cast<const uint8*>(bitmap.Bits())),
          fStride(size_t(bitmap.BytesPerRow())),
          fWidth(uint32(bitmap.PixelWidth())),
          fHeight(uint32(bitmap.PixelHeight())),
          // B_RGB32's alpha bytes mean nothing: opaque in the file, and
          // left out when looking for repeats.
          fOpaque(bitmap.ColorSpace() == B_RGB32 ? 0xFF000000u : 0),
          fCompared(~fOpaque)
    {
    }

    uint32 Width() const { return fWidth; }
    uint32 Height() const { return fHeight; }
    const uint32* Row(uint64 y) const
    {
        return reinterpret_cast<const uint32*>(fBits + y * fStride);
    }
    uint32 Pixel(const uint32* row, uint32 x) const { return row[x] | fOpaque; }

    // How many pixels from `to` equal those from `from`, up to `limit`.
    uint32 Match(const uint32* from, const uint32* to, uint32 limit) const
    {
        const uint64 mask = uint64(fCompared) << 32 | fCompared;
        uint32 n = 0;
        for (; n + 2 <= limit; n += 2) {
            uint64 a, b;
            std::memcpy(&a, from + n, 8);
            std::memcpy(&b, to + n, 8);
            const uint64 differ = (a ^ b) & mask;
            if (differ != 0)
                return n + (std::countr_zero(differ) >= 32 ? 1 : 0);
        }
        if (n < limit && ((from[n] ^ to[n]) & fCompared) == 0)
            n++;
        return n;
    }

    uint32 Hash(const uint32* at, int bits) const
    {
        const uint64 key = uint64(at[0] & fCompared) << 32 | (at[1] & fCompared);
        return uint32((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    }

private:
    const uint8* fBits;
    size_t fStride;
    uint32 fWidth;
    uint32 fHeight;
    uint32 fOpaque;
    uint32 fCompared;
};

inline void count_literal(Histograms& histograms, uint32 pixel)
{
    const uint32 green = (pixel >> 8) & 0xFF;
    histograms.green[green]++;
    histograms.red[((pixel >> 16) - green) & 0xFF]++;
    histograms.blue[(pixel - green) & 0xFF]++;
    histograms.alpha[pixel >> 24]++;
}

// Greedy: at each pixel the longest of a few candidates. A stereogram
// repeats at a separation that changes a little at a time, so the last
// distance and its neighbours find most copies; the row above and a hash
// of the pixels seen find the rest. Where a row begins there is nothing to
// its left to copy, but the beginnings of the rows above often repeat
// (a pattern tile's height up, shifted): a new band puts them in its hash
// before it starts.
void parse_band(const Picture& picture, Band& band, std::vector<uint32>& hash)
{
    const uint32 width = picture.Width();
    const uint32 primedRows =
        uint32(std::min<uint64>({band.first, kMaxDistance / width, kPrimedRows}));
    const uint32 primed = std::min(width - 1, kPrimedColumns);
    const uint64 pixels = uint64(band.last - band.first) * width + uint64(primedRows) * primed;
    const int hashBits = std::clamp(int(std::bit_width(pixels)), kFewestHashBits, kMostHashBits);
    hash.assign(size_t(1) << hashBits, 0);
    for (uint32 y = band.first - primedRows; y < band.first; y++) {
        const uint32* row = picture.Row(y);
        for (uint32 x = 0; x < primed; x++)
            hash[picture.Hash(row + x, hashBits)] = uint32(uint64(y) * width + x + 1);
    }
    uint32 lastDistance = 0;
    Histograms& histograms = band.histograms;
    for (uint32 y = band.first; y < band.last; y++) {
        const uint32* row = picture.Row(y);
        const uint64 rowStart = uint64(y) * width;
        uint32 x = 0, literalStart = 0;
        while (x < width) {
            uint32 bestLength = 0, bestDistance = 0;
            if (x + 1 < width) {
                const uint64 position = rowStart + x;
                const uint32 rest = std::min(width - x, kMaxMatch);
                auto consider = [&](uint32 distance, uint32 shortest) {
                    if (distance == 0 || distance > position || distance > kMaxDistance)
                        return;
                    const uint32* from;
                    uint32 fromX;
                    if (distance <= x) {
                        fromX = x - distance;
                        from = row + fromX;
                    } else if (distance == width) {
                        fromX = x;
                        from = picture.Row(y - 1) + x;
                    } else {
                        const uint64 source = position - distance;
                        const uint64 fromY = source / width;
                        fromX = uint32(source - fromY * width);
                        from = picture.Row(fromY) + fromX;
                    }
                    const uint32 length =
                        picture.Match(from, row + x, std::min(rest, width - fromX));
                    if (length >= shortest && length > bestLength) {
                        bestLength = length;
                        bestDistance = distance;
                    }
                };
                if (lastDistance != 0) {
                    consider(lastDistance, 2);
                    if (bestLength < rest) {
                        consider(lastDistance - 1, 3);
                        consider(lastDistance + 1, 3);
                    }
                }
                if (bestLength < rest)
                    consider(width, 3);
                uint32& slot = hash[picture.Hash(row + x, hashBits)];
                if (bestLength < rest && slot != 0)
                    consider(uint32(position + 1 - slot), 3);
                slot = uint32(position + 1);
            }
            if (bestLength == 0) {
                count_literal(histograms, picture.Pixel(row, x));
                x++;
                continue;
            }
            const uint32 code = distance_code(bestDistance, width);
            band.tokens.push_back({x - literalStart, bestLength, code});
            const Prefix length = prefix_of(bestLength), distance = prefix_of(code);
            histograms.green[256 + length.symbol]++;
            histograms.distance[distance.symbol]++;
            band.extraBits += length.extraBits + distance.extraBits;
            x += bestLength;
            literalStart = x;
            lastDistance = bestDistance;
        }
        if (x > literalStart)
            band.tokens.push_back({x - literalStart, 0, 0});
    }
}

struct Codes
{
    PrefixCode green, red, blue, alpha, distance;
};

// The bits a band's counts take with these codes.
uint64 band_bits(const Band& band, const Codes& codes)
{
    auto sum = [](const auto& counts, const PrefixCode& code) {
        uint64 bits = 0;
        for (size_t i = 0; i < counts.size(); i++)
            bits += uint64(counts[i]) * code.lengths[i];
        return bits;
    };
    const Histograms& h = band.histograms;
    return band.extraBits + sum(h.green, codes.green) + sum(h.red, codes.red) +
           sum(h.blue, codes.blue) + sum(h.alpha, codes.alpha) + sum(h.distance, codes.distance);
}

// False when the band's bits are not those its counts promised: a symbol
// sent without a code would make a file no decoder reads.
bool emit_band(const Picture& picture, Band& band, const Codes& codes)
{
    BitBuffer& out = band.bits;
    const uint64 promised = band_bits(band, codes);
    out.Reserve(promised);
    const uint32 width = picture.Width();
    uint32 y = band.first, x = 0;
    const uint32* row = picture.Row(y);
    for (const Token& token : band.tokens) {
        for (uint32 end = x + token.literals; x < end; x++) {
            const uint32 pixel = picture.Pixel(row, x);
            const uint32 green = (pixel >> 8) & 0xFF;
            codes.green.Put(out, green);
            codes.red.Put(out, ((pixel >> 16) - green) & 0xFF);
            codes.blue.Put(out, (pixel - green) & 0xFF);
            codes.alpha.Put(out, pixel >> 24);
        }
        if (token.length > 0) {
            const Prefix length = prefix_of(token.length);
            codes.green.Put(out, 256 + length.symbol);
            out.Put(length.extra, length.extraBits);
            const Prefix distance = prefix_of(token.distanceCode);
            codes.distance.Put(out, distance.symbol);
            out.Put(distance.extra, distance.extraBits);
            x += token.length;
        }
        if (x == width && ++y < band.last) {
            x = 0;
            row = picture.Row(y);
        }
    }
    std::vector<Token>().swap(band.tokens);
    return out.BitCount() == promised;
}

// Runs work(i) for every band, on up to `threads` threads; false when one
// ran out of memory.
template <typename Work>
bool for_each_band(size_t count, int32 threads, Work work)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto loop = [&] {
        try {
            while (!failed.load()) {
                const size_t i = next.fetch_add(1);
                if (i >= count)
                    return;
                work(i);
            }
        } catch (const std::bad_alloc&) {
            // On a helper thread an exception would end the process.
            failed = true;
        }
    };
    size_t wanted = threads > 0 ? size_t(threads)
                                : std::max(1u, std::thread::hardware_concurrency());
    wanted = std::min(wanted, count);
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < wanted; i++) {
        try {
            helpers.emplace_back(loop);
        } catch (const std::system_error&) {
            break; // the bands left are done here
        }
    }
    loop();
    for (std::thread& helper : helpers)
        helper.join();
    return !failed.load();
}

void put_le32(uint8* at, uint32 value)
{
    for (int i = 0; i < 4; i++)
        at[i] = uint8(value >> (8 * i));
}

status_t write_picture(const BBitmap& bitmap, BPositionIO* destination,
                       const WebpLosslessOptions& options)
{
    const Picture picture(bitmap);
    const uint32 width = picture.Width(), height = picture.Height();
    const uint32 rowsPerBand =
        uint32(std::clamp<size_t>(options.bandPixels / width, 1, height));
    std::vector<Band> bands((height + rowsPerBand - 1) / rowsPerBand);
    for (size_t i = 0; i < bands.size(); i++) {
        bands[i].first = uint32(i * rowsPerBand);
        bands[i].last = std::min(height, uint32((i + 1) * rowsPerBand));
    }

    const bool parsed = for_each_band(bands.size(), options.threads, [&](size_t i) {
        thread_local std::vector<uint32> hash;
        parse_band(picture, bands[i], hash);
    });
    if (!parsed)
        return B_NO_MEMORY;

    Histograms total;
    for (const Band& band : bands)
        total.Add(band.histograms);
    bool translucent = false;
    for (int a = 0; a < 255; a++)
        translucent |= total.alpha[size_t(a)] > 0;

    BitBuffer head;
    head.Put(0x2F, 8); // signature
    head.Put(width - 1, 14);
    head.Put(height - 1, 14);
    head.Put(translucent ? 1 : 0, 1);
    head.Put(0, 3); // version
    head.Put(1, 1); // a transform:
    head.Put(kSubtractGreen, 2);
    head.Put(0, 1); // no more
    head.Put(0, 1); // no colour cache
    head.Put(0, 1); // one group of codes for the whole picture
    Codes codes;
    codes.green = write_code(head, total.green.data(), kGreenAlphabet);
    codes.red = write_code(head, total.red.data(), kColourAlphabet);
    codes.blue = write_code(head, total.blue.data(), kColourAlphabet);
    codes.alpha = write_code(head, total.alpha.data(), kColourAlphabet);
    codes.distance = write_code(head, total.distance.data(), kDistanceAlphabet);

    std::atomic<bool> kept{true};
    const bool emitted = for_each_band(bands.size(), options.threads, [&](size_t i) {
        if (!emit_band(picture, bands[i], codes))
            kept = false;
    });
    if (!emitted)
        return B_NO_MEMORY;
    if (!kept)
        return B_ERROR;
    uint64 bits = head.BitCount();
    for (const Band& band : bands)
        bits += band.bits.BitCount();

    const uint64 payload = (bits + 7) / 8;
    const uint64 padded = payload + (payload & 1);
    // The extended form: a VP8X chunk first, saying an EXIF chunk follows
    // the picture (an even size, so it needs no padding).
    const std::vector<uint8> exif =
        options.dotsPerInch > 0 ? resolution_exif(options.dotsPerInch) : std::vector<uint8>();
    const uint64 extended = exif.empty() ? 0 : 8 + 10 + 8 + exif.size();
    if (12 + padded + extended > 0xFFFFFFFEu)
        return B_NO_TRANSLATOR; // beyond what a RIFF size can say
    uint8 header[20];
    std::memcpy(header, "RIFF", 4);
    put_le32(header + 4, uint32(4 + 8 + padded + extended));
    std::memcpy(header + 8, "WEBP", 4);
    status_t status = destination->WriteExactly(header, 12);
    if (status == B_OK && !exif.empty()) {
        uint8 vp8x[18] = {'V', 'P', '8', 'X', 10, 0, 0, 0};
        vp8x[8] = uint8(0x08 | (translucent ? 0x10 : 0)); // EXIF, alpha
        const uint32 w = uint32(width - 1), h = uint32(height - 1);
        const uint8 canvas[6] = {uint8(w), uint8(w >> 8), uint8(w >> 16),
                                 uint8(h), uint8(h >> 8), uint8(h >> 16)};
        std::memcpy(vp8x + 12, canvas, 6);
        status = destination->WriteExactly(vp8x, sizeof(vp8x));
    }
    std::memcpy(header + 12, "VP8L", 4);
    put_le32(header + 16, uint32(payload));
    if (status == B_OK)
        status = destination->WriteExactly(header + 12, 8);
    if (status != B_OK)
        return status;
    BitStream stream(destination);
    stream.Append(head);
    for (Band& band : bands) {
        stream.Append(band.bits);
        band.bits.Clear();
    }
    status = stream.Finish();
    if (status == B_OK && padded != payload) {
        const uint8 zero = 0;
        status = destination->WriteExactly(&zero, 1);
    }
    if (status == B_OK && !exif.empty()) {
        uint8 chunk[8] = {'E', 'X', 'I', 'F'};
        put_le32(chunk + 4, uint32(exif.size()));
        status = destination->WriteExactly(chunk, sizeof(chunk));
        if (status == B_OK)
            status = destination->WriteExactly(exif.data(), exif.size());
    }
    return status;
}

} // namespace

status_t write_webp_lossless(const BBitmap& bitmap, BPositionIO* destination,
                             const WebpLosslessOptions& options)
{
    if (destination == nullptr)
        return B_BAD_VALUE;
    if (!encodable(bitmap))
        return B_NO_TRANSLATOR;
    if (bitmap.PixelWidth() > kMaxSide || bitmap.PixelHeight() > kMaxSide)
        return B_NO_TRANSLATOR;
    try {
        return write_picture(bitmap, destination, options);
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
}

} // namespace BPrivate
