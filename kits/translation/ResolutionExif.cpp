#include <ResolutionExif.h>

namespace BPrivate {

namespace {

void put16(std::vector<uint8>& out, uint32 value)
{
    out.push_back(uint8(value));
    out.push_back(uint8(value >> 8));
}

void put32(std::vector<uint8>& out, uint32 value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void entry(std::vector<uint8>& out, uint16 tag, uint16 type, uint32 value)
{
    put16(out, tag);
    put16(out, type);
    put32(out, 1);
    put32(out, value);
}

constexpr uint16 kShort = 3, kRational = 5;

} // namespace

std::vector<uint8> resolution_exif(uint32 dotsPerInch)
{
    // Header (8), a directory of three entries (2 + 36 + 4), two rationals.
    constexpr uint32 kRationals = 8 + 2 + 3 * 12 + 4;
    std::vector<uint8> out = {'I', 'I', 42, 0};
    put32(out, 8);
    put16(out, 3);
    entry(out, 282, kRational, kRationals);      // XResolution
    entry(out, 283, kRational, kRationals + 8);  // YResolution
    entry(out, 296, kShort, 2);                  // ResolutionUnit: inches
    put32(out, 0);                               // no further directory
    for (int axis = 0; axis < 2; axis++) {
        put32(out, dotsPerInch);
        put32(out, 1);
    }
    return out;
}

} // namespace BPrivate
