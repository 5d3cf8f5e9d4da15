// Depth maps that phones embed in their photos, read out of the file: our
// own addition to the translation kit, which the platform does not have.
//
// HEIF, HEIC and AVIF carry the primary image's depth map as an auxiliary
// image; Google's cameras put theirs in a JPEG's XMP metadata (GDepth) or
// append it after the JPEG's end and list it in the XMP (Dynamic Depth).
// Whatever the file's own representation, the map comes out as numbers from
// 0 (far) to 1 (near), turned and mirrored as the photo is shown.
#ifndef _DEPTH_MAPS_H
#define _DEPTH_MAPS_H

#include <SupportDefs.h>

class BBitmap;

#include <cstddef>
#include <vector>

// The light of a pixel taken as depth, 0..1, from channels of 0..most: how
// every picture taken as depth is read (grey maps have r = g = b; a coloured
// one counts by its luma).
inline float depth_light(float r, float g, float b, float most)
{
    return (0.299f * r + 0.587f * g + 0.114f * b) / most;
}

// The same for a B_RGB32 pixel.
inline float depth_pixel_light(uint32 pixel)
{
    return depth_light(float((pixel >> 16) & 0xFF), float((pixel >> 8) & 0xFF), float(pixel & 0xFF),
                       255.0f);
}

// A row of B_RGB32 or B_RGBA32 words taken as depth: each pixel's light,
// 0..1, scaled by its opacity when opacity is set (transparent is far).
inline void depth_light_row(const uint32* row, int32 width, bool opacity, float* out)
{
    for (int32 x = 0; x < width; x++) {
        float light = depth_pixel_light(row[x]);
        if (opacity)
            light *= float(row[x] >> 24) / 255.0f;
        out[x] = light;
    }
}

// Where a depth map came from.
enum depth_map_source : int32
{
    DEPTH_MAP_NONE = 0,
    DEPTH_MAP_HEIF,          // the primary image's auxiliary depth image
    DEPTH_MAP_GDEPTH,        // GDepth XMP in a JPEG
    DEPTH_MAP_DYNAMIC_DEPTH, // an item after a JPEG's end, listed in its XMP
};

struct depth_map
{
    depth_map_source source = DEPTH_MAP_NONE;
    // The map, width x height values row after row: 1 is the nearest and 0
    // the farthest that the file's own scale can express (its near and far
    // distances, or its least and greatest disparity).
    int32 width = 0;
    int32 height = 0;
    std::vector<float> values;
    // A picture's light as it was read, where floats would take four bytes
    // a pixel: 8 bits a sample (0..255) in samples8 or 16 (0..65535) in
    // samples16, and values then empty. At most one of the three is filled.
    std::vector<uint8> samples8;
    std::vector<uint16> samples16;
    // The photo's size as viewers show it, after its orientation; the map
    // covers the same area, usually at a lower resolution.
    int32 photoWidth = 0;
    int32 photoHeight = 0;
};

// How many numbers the map holds, and the one at index i (0..1), from
// whichever store holds them.
inline size_t depth_map_count(const depth_map& map)
{
    return map.values.size() + map.samples8.size() + map.samples16.size();
}

inline float depth_map_value(const depth_map& map, size_t i)
{
    if (!map.samples8.empty())
        return float(map.samples8[i]) / 255.0f;
    if (!map.samples16.empty())
        return float(map.samples16[i]) / 65535.0f;
    return map.values[i];
}

// Reads the primary image's depth map (its first, when it has several) out
// of a whole file in memory. Embedded pictures are read as any picture is,
// within the same reading budget. Statuses:
//   B_OK              *outMap holds the map;
//   B_NAME_NOT_FOUND  a JPEG or HEIF file that carries no depth map;
//   B_NO_TRANSLATOR   neither JPEG nor HEIF: no format that carries one;
//   B_ILLEGAL_DATA    a depth map is declared but damaged or missing;
//   B_NO_MEMORY       over the reading budget, or out of memory;
//   B_BAD_VALUE       a null argument.
// On B_ILLEGAL_DATA, *why (when given) says in a few words what is wrong
// ("its item runs past the end of the file"); it is a constant string.
status_t read_depth_map_data(const void* data, size_t size, depth_map* outMap,
                             const char** why = nullptr);

// A PNG depth picture as a map of its light, 0..1, read straight into
// samples16 (16 bits a sample: all its precision, where a bitmap would keep
// 8 bits of it) or samples8 (grey of 8 bits or fewer: a byte a pixel, where
// a bitmap takes four); turned as its EXIF says, and transparency counting
// as far. Within the same reading budget. B_NAME_NOT_FOUND for any other
// picture, which a bitmap reads as well; otherwise as read_depth_map_data.
status_t read_wide_depth_picture_data(const void* data, size_t size, depth_map* outMap);

// A picture read as a bitmap (B_RGB32 or B_RGBA32) taken as depth, at its
// own size: its light, times its opacity where it has one, in samples16.
// B_BAD_VALUE for an invalid bitmap or another colour space; B_NO_MEMORY.
status_t depth_map_from_bitmap(const BBitmap& bitmap, depth_map* outMap);

#endif // _DEPTH_MAPS_H
