// What the modules of the long tail share: a bounded reader of a file's bytes
// and the checks every header stage makes. Private to the translation kit.
#ifndef _FORMAT_STAGES_H
#define _FORMAT_STAGES_H

#include <PictureHeaders.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace BPrivate {

// Bounds-checked little and big endian reads over the source. size is the
// whole file's length; only the first present bytes are held (all of them
// in a header stage, the first ones in a sniff): reads past them give 0.
struct HeaderBytes
{
    const uint8* data;
    uint64 size;
    uint64 present;

    HeaderBytes(const uint8* bytes, uint64 length) : data(bytes), size(length), present(length) {}
    explicit HeaderBytes(const ImageSource& source)
        : data(source.data), size(source.data != nullptr ? source.WholeSize() : 0),
          present(source.data != nullptr ? std::min<uint64>(source.size, size) : 0)
    {
    }

    bool Has(uint64 at, uint64 count) const { return at <= size && count <= size - at; }
    bool Holds(uint64 at, uint64 count) const { return at <= present && count <= present - at; }
    uint32 U8(uint64 at) const { return at < present ? data[at] : 0; }
    uint32 Le16(uint64 at) const { return U8(at) | (U8(at + 1) << 8); }
    uint32 Le32(uint64 at) const { return Le16(at) | (Le16(at + 2) << 16); }
    uint32 Be16(uint64 at) const { return (U8(at) << 8) | U8(at + 1); }
    uint32 Be32(uint64 at) const { return (Be16(at) << 16) | Be16(at + 2); }
    uint64 Be64(uint64 at) const { return (uint64(Be32(at)) << 32) | Be32(at + 4); }
};

// The size must fit the budget before the layout is checked: the layout's
// arithmetic relies on a bounded pixel count.
inline status_t admit(const PictureHeader& header, const ReadBudget& budget)
{
    if (header.width == 0 || header.height == 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(header.width, header.height))
        return B_NO_MEMORY;
    return B_OK;
}

inline bool starts_with(const HeaderBytes& b, const char* text)
{
    const size_t length = std::strlen(text);
    return b.Holds(0, length) && std::memcmp(b.data, text, length) == 0;
}

inline bool extension_is(const ImageSource& source, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (source.extension == name)
            return true;
    }
    return false;
}

inline constexpr uint8 kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

inline bool is_space(uint32 c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The next decimal number of a text header (PNM's, XPM's), skipping blanks
// and comments.
inline bool pnm_number(const HeaderBytes& b, uint64* at, uint64* value)
{
    while (b.Holds(*at, 1)) {
        uint32 c = b.U8(*at);
        if (c == '#') {
            while (b.Holds(*at, 1) && b.U8(*at) != '\n' && b.U8(*at) != '\r')
                (*at)++;
        } else if (is_space(c)) {
            (*at)++;
        } else {
            break;
        }
    }
    uint64 number = 0, digits = 0;
    while (b.Holds(*at, 1) && b.U8(*at) >= '0' && b.U8(*at) <= '9' && digits < 10) {
        number = number * 10 + (b.U8(*at) - '0');
        (*at)++;
        digits++;
    }
    *value = number;
    return digits > 0 && digits < 10;
}

} // namespace BPrivate

#endif // _FORMAT_STAGES_H
