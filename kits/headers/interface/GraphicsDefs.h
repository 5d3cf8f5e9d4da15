#ifndef _GRAPHICS_DEFS_H
#define _GRAPHICS_DEFS_H

#include <SupportDefs.h>

struct pattern
{
    uint8 data[8];
};

inline constexpr pattern B_SOLID_HIGH = {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};
inline constexpr pattern B_MIXED_COLORS = {{0x55, 0xaa, 0x55, 0xaa, 0x55, 0xaa, 0x55, 0xaa}};
inline constexpr pattern B_SOLID_LOW = {{0, 0, 0, 0, 0, 0, 0, 0}};

struct rgb_color
{
    uint8 red;
    uint8 green;
    uint8 blue;
    uint8 alpha;

    bool operator==(const rgb_color& o) const
    {
        return red == o.red && green == o.green && blue == o.blue && alpha == o.alpha;
    }
    bool operator!=(const rgb_color& o) const { return !(*this == o); }
};

inline constexpr rgb_color B_TRANSPARENT_COLOR = {0x77, 0x74, 0x77, 0x00};

// Values as the platform numbers them. Only the spaces below are stored by
// BBitmap; B_RGB32 is the little-endian word 0xAARRGGBB.
enum color_space : uint32
{
    B_NO_COLOR_SPACE = 0x0000,
    B_GRAY1 = 0x0001,
    B_GRAY8 = 0x0002,
    B_RGB24 = 0x0003,
    B_CMAP8 = 0x0004,
    B_RGB16 = 0x0005,
    B_RGB32 = 0x0008,
    B_RGB15 = 0x0010,
    B_RGBA32 = 0x2008,
    B_RGBA15 = 0x2010,
};

enum drawing_mode
{
    B_OP_COPY,
    B_OP_OVER,
    B_OP_ERASE,
    B_OP_INVERT,
    B_OP_ADD,
    B_OP_SUBTRACT,
    B_OP_BLEND,
    B_OP_MIN,
    B_OP_MAX,
    B_OP_SELECT,
    B_OP_ALPHA,
};

// Bytes a pixel for the supported spaces (0 for none), and the row length
// padded to a multiple of 4 bytes as the platform pads it.
int32 bytes_per_pixel_of(color_space space);
int32 bits_per_pixel_of(color_space space);

#endif // _GRAPHICS_DEFS_H
