// The kinds of stereogram beyond the window's, an addition of our own (the
// engine the window uses has one geometry only): VPellaraObject::Synthesise
// makes them from the pictures GetFrom and GetMotive captured. The default
// options give the window's stereogram, bit for bit.
#ifndef STEREOGRAM_KINDS_H
#define STEREOGRAM_KINDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct StereogramOptions
{
    enum class Method : int32_t
    {
        // The window's: each row right to left, every pixel repeating the
        // pixel one separation to its right.
        kWindow,
        // Thimbleby, Inglis and Witten (1994): each pixel's two projections
        // centred on it and linked along the row, hidden points left free.
        kSymmetric,
    };

    Method method = Method::kWindow;

    // Without a print resolution the window's rule: a pixel of depth z
    // (0 far, 1 near) repeats L - z A pixels away, truncated.
    int32_t separation = 80; // L
    int32_t amplitude = 10;  // A

    // With one (dots per inch, above 0): round((1 - mu z) E / (2 - mu z)),
    // E the distance between the eyes in pixels, mu the depth of field. The
    // far plane then lies at E / 2.
    double dpi = 0;
    double eyeMillimetres = 63.5;
    double depthOfField = 1.0 / 3; // mu

    // Made N times as wide with separations in 1/N pixels, then every N
    // pixels averaged into one: depth moves in finer steps.
    uint32_t oversample = 1;

    // The symmetric method links no point that one eye cannot see.
    bool hiddenSurface = true;
    // Two dark dots one far-plane separation apart on a light band added
    // above the picture: the eyes converge on them first.
    bool guideDots = false;
    // Depth inverted, so that crossed eyes see the shape raised.
    bool crossEyed = false;

    // No pattern: free pixels take random colours, black and white when
    // colors is 0, else one of that many random colours. The same seed gives
    // the same picture.
    bool randomDot = false;
    uint64_t seed = 1;
    uint32_t colors = 0;

    // For frames of a clip: colours carried from the centre outwards (left
    // of it each pixel repeats its partner on the right, right of it the one
    // on the left), each free pixel's colour a function of the seed, its row
    // and its place alone. A row whose depth stays put stays as it was, and a
    // change of depth re-colours only what lies beyond it, away from the
    // centre. Of several pairs ending on one pixel, the nearest point's is
    // kept: the others lie behind it on that eye's line of sight.
    bool steady = false;

    bool operator==(const StereogramOptions&) const = default;
};

constexpr uint32_t kMostOversample = 8;
constexpr int32_t kMostSeparation = 65535;
constexpr uint32_t kMostRandomColors = 256;

// Whether Synthesise can work with these options: separation above amplitude
// above or at 0 (at most kMostSeparation), a positive eye distance, a depth of field in (0, 1),
// oversample within 1 to kMostOversample, colors 0 or 2 to kMostRandomColors.
bool stereogram_options_valid(const StereogramOptions& options);

// The far plane's separation, the largest of all, in picture pixels (a
// fraction with a print resolution or oversampling).
double far_separation(const StereogramOptions& options);

// How tall the guide dots' band is above a picture of this height: a
// twentieth of it, and at least 16 pixels.
uint32_t guide_band_height(uint32_t pictureHeight);

// The rows of one stereogram, a band at a time: every kind is row-local (a
// row needs only its depth row and one row of the pattern), so a caller that
// reads depth rows and writes stereogram rows as they come holds a band, not
// the picture. Synthesise makes its whole picture through it.
class StereogramRows
{
public:
    // width x height is the depth picture's size (the guide band comes on
    // top). The pattern, patternWidth x patternHeight B_RGB32 words, is
    // ignored with random dots and otherwise must outlive this.
    StereogramRows(const StereogramOptions& options, uint32_t width, uint32_t height,
                   const uint32_t* pattern, uint32_t patternWidth, uint32_t patternHeight);

    // False for options Synthesise refuses, an empty size, no pattern, or a
    // row too wide to work with.
    bool IsValid() const { return fValid; }
    uint32_t Width() const { return fWidth; }
    uint32_t Height() const { return fHeight; }
    // Rows of the guide band above the picture (0 without guide dots).
    uint32_t GuideRows() const { return fGuideRows; }
    // Whether every pixel made is grey (red = green = blue): what the
    // pattern or the dots' colours are made of.
    bool Grey() const;

    // Picture rows first to last - 1 into out (outStride words apart) from
    // their depth rows (depth holds row first, depthStride words apart).
    // May run on several threads at once. False when no scratch row could
    // be had.
    bool MakeRows(uint32_t first, uint32_t last, const uint32_t* depth, size_t depthStride,
                  uint32_t* out, size_t outStride) const;
    // Rows first to last - 1 of the guide band, Width() words each, packed.
    void MakeGuideRows(uint32_t first, uint32_t last, uint32_t* out) const;

private:
    StereogramOptions fOptions;
    uint32_t fWidth = 0, fHeight = 0;
    const uint32_t* fPattern = nullptr;
    uint32_t fPatternWidth = 0, fPatternHeight = 0;
    uint32_t fGuideRows = 0;
    bool fValid = false;
    std::vector<uint32_t> fPalette;
};

#endif // STEREOGRAM_KINDS_H
