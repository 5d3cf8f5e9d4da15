// Float pictures (OpenEXR, PFM) are data, not light: values all within 0..1
// map linearly to 0..255; otherwise the picture is stretched from its own
// least value to its greatest, so a depth pass in scene units becomes a
// usable depth picture. NaN and infinities count as 0.
#ifndef _FLOAT_LEVELS_H
#define _FLOAT_LEVELS_H

#include <SupportDefs.h>

#include <algorithm>
#include <cmath>

namespace BPrivate {

// An IEEE half float's bits (DDS, BC6H) to its value, exactly.
inline float half_to_float(uint32 h)
{
    const uint32 sign = (h >> 15) & 1, exponent = (h >> 10) & 31, mantissa = h & 1023;
    float v;
    if (exponent == 0)
        v = std::ldexp(float(mantissa), -24);
    else if (exponent == 31)
        v = mantissa != 0 ? NAN : INFINITY;
    else
        v = std::ldexp(float(mantissa | 1024), int(exponent) - 25);
    return sign != 0 ? -v : v;
}

// Gathers the range of every value of a picture's colour channels, then
// turns each value into its level.
class FloatLevels
{
public:
    static float Clean(float v) { return std::isfinite(v) ? v : 0.0f; }

    void Add(float v)
    {
        v = Clean(v);
        fLeast = std::min(fLeast, v);
        fGreatest = std::max(fGreatest, v);
    }

    // Once every value was added.
    void Settle()
    {
        if (fLeast > fGreatest) // nothing added
            fLeast = fGreatest = 0;
        fStretch = fLeast < 0 || fGreatest > 1;
        fScale = fStretch && fGreatest > fLeast ? 255.0 / (double(fGreatest) - fLeast) : 255.0;
    }

    uint32 Level(float v) const
    {
        v = Clean(v);
        double level = fStretch ? (double(v) - fLeast) * fScale : double(v) * 255.0;
        if (fStretch && fGreatest == fLeast)
            level = 0;
        return uint32(std::lround(std::clamp(level, 0.0, 255.0)));
    }

    // Alpha is always a coverage: 0..1, clamped.
    static uint32 AlphaLevel(float v)
    {
        return uint32(std::lround(std::clamp(double(Clean(v)), 0.0, 1.0) * 255.0));
    }

private:
    float fLeast = INFINITY;
    float fGreatest = -INFINITY;
    bool fStretch = false;
    double fScale = 255.0;
};

} // namespace BPrivate

#endif // _FLOAT_LEVELS_H
