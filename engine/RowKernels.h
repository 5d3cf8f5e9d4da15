// The engine's row kernels and its way of sharing rows among the cores,
// private to engine/: the window's Fusion and the other kinds of stereogram
// (StereogramKinds.cpp) run the very same code.
#ifndef ENGINE_ROW_KERNELS_H
#define ENGINE_ROW_KERNELS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace engine_rows {

// Pictures below this many pixels are not worth a second thread.
constexpr uint64_t kParallelPixels = uint64_t(1) << 19;

// With the constants the system uses the separation has an exact integer
// form, 80 - ceil(10 d / 16777215), and the division by 2^24 - 1 of a number
// below 2^29 is ((n + (n >> 24) + 1) >> 24): 32-bit arithmetic a whole row
// of which the compiler turns into vector code.
inline void fixed_separations(const uint32_t* form, uint8_t* separations, uint32_t width)
{
    for (uint32_t x = 0; x < width; x++) {
        uint32_t n = (form[x] & 0x00FFFFFFu) * 10u + 16777214u;
        separations[x] = uint8_t(80u - ((n + (n >> 24) + 1u) >> 24));
    }
}

// Other constants take the floating-point route, pixel by pixel.
struct GeneralSeparation
{
    const uint32_t* form;
    int32_t L;
    int32_t A;
    uint32_t operator()(uint32_t x) const
    {
        double d = double(form[x] & 0x00FFFFFFu);
        double s = double(L) - (d / double(16777215.0F)) * double(A);
        return static_cast<uint32_t>(static_cast<int32_t>(s));
    }
};

// Separations worked out beforehand, one a pixel: bytes for the window's
// constants, words where a separation may pass 255.
template <typename Word = uint8_t> struct PrecomputedSeparation
{
    const Word* separations;
    uint32_t operator()(uint32_t x) const { return separations[x]; }
};

// Right to left: each pixel takes the pattern pixel one separation to its
// right as it stands now, and the pattern is rewritten in place where
// x > s, so that the repetition carries leftward. Written without branches
// on the data; the pattern word is stored back unchanged where it is kept.
template <typename Separation>
inline void synthesise_row(uint32_t* motive, uint32_t* out, uint32_t width, Separation separationAt)
{
    for (uint32_t x = width; x-- > 0;) {
        uint32_t s = separationAt(x);
        uint32_t source = x + s; // wraps as a 32-bit sum
        bool inside = source < width;
        uint32_t value = motive[inside ? source : x];
        motive[x] = inside && x > s ? value : motive[x];
        out[x] = value;
    }
}

// Copies words that will not be read again soon past the caches, so that
// writing the result costs no read of the memory it overwrites.
inline void stream_words(uint32_t* to, const uint32_t* from, size_t count)
{
#if defined(__SSE2__)
    size_t i = 0;
    while (i < count && (reinterpret_cast<uintptr_t>(to + i) & 15) != 0) {
        to[i] = from[i];
        i++;
    }
    for (; i + 4 <= count; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), v);
    }
    for (; i < count; i++)
        to[i] = from[i];
#else
    std::memcpy(to, from, count * 4);
#endif
}

inline void fence_streams()
{
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// One row of the tiled pattern: every column c takes pattern[c mod wM].
inline void tile_row(uint32_t* row, uint32_t width, const uint32_t* patternRow, uint32_t patternWidth)
{
    size_t filled = std::min(width, patternWidth);
    std::memcpy(row, patternRow, filled * 4);
    // Doubling keeps each copied prefix a whole number of pattern widths.
    while (filled < width) {
        size_t n = std::min<size_t>(filled, width - filled);
        std::memcpy(row + filled, row, n * 4);
        filled += n;
    }
}

// Runs work(first, last) over [0, rows) in bands, one per core when the
// picture is large enough to pay for the threads.
template <typename Work> inline void for_row_bands(uint32_t rows, uint64_t pixels, Work work)
{
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    if (pixels < kParallelPixels || threads == 1 || rows < 2) {
        work(0u, rows);
        return;
    }
    threads = std::min<unsigned>(threads, rows);
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    uint32_t band = rows / threads, extra = rows % threads, first = 0;
    uint32_t mine = band + (extra > 0 ? 1 : 0);
    first = mine;
    for (unsigned t = 1; t < threads; t++) {
        uint32_t count = band + (t < extra ? 1 : 0);
        try {
            pool.emplace_back(work, first, first + count);
        } catch (...) {
            work(first, first + count); // no thread to be had: do the band here
        }
        first += count;
    }
    work(0u, mine);
    for (std::thread& thread : pool)
        thread.join();
}

} // namespace engine_rows

#endif // ENGINE_ROW_KERNELS_H
