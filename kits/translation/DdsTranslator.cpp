#include <DdsTranslator.h>

#include <BptcBlocks.h>
#include <FloatLevels.h>
#include <MagickTranslator.h>
#include <PictureHeaders.h>

#include <Bitmap.h>
#include <ByteReading.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace BPrivate {
namespace {

constexpr uint64 kHeaderBytes = 128;
constexpr uint64 kDx10Bytes = 20;
constexpr uint64 kPaletteBytes = 256 * 4;

// The pixel format's flags.
constexpr uint32 kAlphaPixels = 0x1;
constexpr uint32 kAlphaOnly = 0x2;
constexpr uint32 kFourCC = 0x4;
constexpr uint32 kPalette8 = 0x20;
constexpr uint32 kRgb = 0x40;
constexpr uint32 kLuminance = 0x20000;

enum class Layout
{
    kMagick, // ImageMagick's coder reads it
    kBc1,
    kBc2,
    kBc3,
    kBc4,
    kBc4Signed,
    kBc5,
    kBc5Signed,
    kBc6h,
    kBc6hSigned,
    kBc7,
    kMasked,  // up to 32 bits a pixel, each channel under its mask
    kPalette, // 8-bit indices into 256 entries
    kWide,    // 16- and 32-bit samples
};

enum class Sample
{
    kUnorm16,
    kSnorm16,
    kHalf,
    kFloat,
};

struct Surface
{
    Layout layout = Layout::kMagick;
    uint64 width = 0;
    uint64 height = 0;
    uint64 offset = kHeaderBytes; // of the first picture's data
    bool alpha = false;
    // DXT2 and DXT4: colours stored multiplied by alpha, divided back.
    bool premultiplied = false;
    // kMasked: bits a pixel and the red, green, blue and alpha masks; a
    // luminance picture's level is under the red mask.
    uint32 bits = 0;
    uint32 masks[4] = {};
    bool luminance = false;
    // kWide: channels a pixel (1 grey or 4) and their sample.
    uint32 channels = 0;
    Sample sample = Sample::kUnorm16;

    uint64 BlockBytes() const
    {
        switch (layout) {
        case Layout::kBc1:
        case Layout::kBc4:
        case Layout::kBc4Signed:
            return 8;
        case Layout::kBc2:
        case Layout::kBc3:
        case Layout::kBc5:
        case Layout::kBc5Signed:
        case Layout::kBc6h:
        case Layout::kBc6hSigned:
        case Layout::kBc7:
            return 16;
        default:
            return 0;
        }
    }

    uint64 SampleBytes() const { return sample == Sample::kFloat ? 4 : 2; }

    // The first picture's bytes, width and height within the budget.
    uint64 DataBytes() const
    {
        if (uint64 block = BlockBytes(); block != 0)
            return ((width + 3) / 4) * ((height + 3) / 4) * block;
        switch (layout) {
        case Layout::kMasked:
            return width * height * (bits / 8);
        case Layout::kPalette:
            return kPaletteBytes + width * height;
        case Layout::kWide:
            return width * height * channels * SampleBytes();
        default:
            return 0;
        }
    }
};

void set_masks(Surface* s, uint32 bits, uint32 r, uint32 g, uint32 b, uint32 a)
{
    s->layout = Layout::kMasked;
    s->bits = bits;
    s->masks[0] = r;
    s->masks[1] = g;
    s->masks[2] = b;
    s->masks[3] = a;
    s->alpha = a != 0;
}

void set_wide(Surface* s, uint32 channels, Sample sample)
{
    s->layout = Layout::kWide;
    s->channels = channels;
    s->sample = sample;
    s->alpha = channels == 4;
}

// The layouts the DX10 header names; false for one we do not read (block
// formats of other families, video layouts, integers, depth and stencil).
bool dxgi_layout(uint32 format, Surface* s)
{
    switch (format) {
    case 2:
        set_wide(s, 4, Sample::kFloat);
        return true; // R32G32B32A32_FLOAT
    case 10:
        set_wide(s, 4, Sample::kHalf);
        return true; // R16G16B16A16_FLOAT
    case 11:
        set_wide(s, 4, Sample::kUnorm16);
        return true; // R16G16B16A16_UNORM
    case 13:
        set_wide(s, 4, Sample::kSnorm16);
        return true; // R16G16B16A16_SNORM
    case 24:
        set_masks(s, 32, 0x3FF, 0xFFC00, 0x3FF00000, 0xC0000000);
        return true;
    case 27: // R8G8B8A8: typeless, unorm, sRGB (values as stored)
    case 28:
    case 29:
        set_masks(s, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000);
        return true;
    case 41:
        set_wide(s, 1, Sample::kFloat);
        return true; // R32_FLOAT
    case 49:
        set_masks(s, 16, 0xFF, 0xFF00, 0, 0);
        return true; // R8G8_UNORM
    case 54:
        set_wide(s, 1, Sample::kHalf);
        return true; // R16_FLOAT
    case 56:
        set_wide(s, 1, Sample::kUnorm16);
        return true; // R16_UNORM
    case 61:         // R8_UNORM: one level, shown as grey
        set_masks(s, 8, 0xFF, 0, 0, 0);
        s->luminance = true;
        return true;
    case 65:
        set_masks(s, 8, 0, 0, 0, 0xFF);
        return true; // A8_UNORM
    case 70:
    case 71:
    case 72:
        s->layout = Layout::kBc1;
        s->alpha = true;
        return true;
    case 73:
    case 74:
    case 75:
        s->layout = Layout::kBc2;
        s->alpha = true;
        return true;
    case 76:
    case 77:
    case 78:
        s->layout = Layout::kBc3;
        s->alpha = true;
        return true;
    case 79:
    case 80:
        s->layout = Layout::kBc4;
        return true;
    case 81:
        s->layout = Layout::kBc4Signed;
        return true;
    case 82:
    case 83:
        s->layout = Layout::kBc5;
        return true;
    case 84:
        s->layout = Layout::kBc5Signed;
        return true;
    case 85:
        set_masks(s, 16, 0xF800, 0x07E0, 0x001F, 0);
        return true; // B5G6R5
    case 86:
        set_masks(s, 16, 0x7C00, 0x03E0, 0x001F, 0x8000);
        return true; // B5G5R5A1
    case 87:         // B8G8R8A8: unorm, typeless, sRGB
    case 90:
    case 91:
        set_masks(s, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000);
        return true;
    case 88: // B8G8R8X8: unorm, typeless, sRGB
    case 92:
    case 93:
        set_masks(s, 32, 0xFF0000, 0xFF00, 0xFF, 0);
        return true;
    case 94:
    case 95:
        s->layout = Layout::kBc6h;
        return true;
    case 96:
        s->layout = Layout::kBc6hSigned;
        return true;
    case 97:
    case 98:
    case 99:
        s->layout = Layout::kBc7;
        s->alpha = true;
        return true;
    case 115:
        set_masks(s, 16, 0x0F00, 0x00F0, 0x000F, 0xF000);
        return true; // B4G4R4A4
    default:
        return false;
    }
}

// The four-character codes, and Direct3D 9's numbered formats, of the
// layouts we read; false for the others. DXT1, DXT3 and DXT5 stay
// ImageMagick's; DXT2 and DXT4 are ours.
bool fourcc_layout(const uint8* code, Surface* s)
{
    const auto is = [code](const char* name) { return std::memcmp(code, name, 4) == 0; };
    if (is("DXT1")) {
        s->layout = Layout::kMagick;
        return true;
    }
    if (is("DXT3") || is("DXT5")) {
        s->layout = Layout::kMagick;
        s->alpha = true;
        return true;
    }
    // Premultiplied DXT3 and DXT5, which ImageMagick does not read.
    if (is("DXT2") || is("DXT4")) {
        s->layout = is("DXT2") ? Layout::kBc2 : Layout::kBc3;
        s->alpha = true;
        s->premultiplied = true;
        return true;
    }
    if (is("ATI1") || is("BC4U"))
        s->layout = Layout::kBc4;
    else if (is("BC4S"))
        s->layout = Layout::kBc4Signed;
    else if (is("ATI2") || is("BC5U"))
        s->layout = Layout::kBc5;
    else if (is("BC5S"))
        s->layout = Layout::kBc5Signed;
    else
        switch (little32(code)) {
        case 36:
            set_wide(s, 4, Sample::kUnorm16);
            break; // A16B16G16R16
        case 110:
            set_wide(s, 4, Sample::kSnorm16);
            break; // Q16W16V16U16
        case 111:
            set_wide(s, 1, Sample::kHalf);
            break; // R16F
        case 113:
            set_wide(s, 4, Sample::kHalf);
            break; // A16B16G16R16F
        case 114:
            set_wide(s, 1, Sample::kFloat);
            break; // R32F
        case 116:
            set_wide(s, 4, Sample::kFloat);
            break; // A32B32G32R32F
        default:
            return false;
        }
    return true;
}

// What the header says, or why the file is not read: B_NO_TRANSLATOR for a
// layout nobody here reads, B_ILLEGAL_DATA for a header no DDS has.
status_t parse(const uint8* data, uint64 size, Surface* s)
{
    if (size < kHeaderBytes || std::memcmp(data, "DDS ", 4) != 0 || little32(data + 4) != 124 ||
        little32(data + 76) != 32)
        return B_ILLEGAL_DATA;
    s->height = little32(data + 12);
    s->width = little32(data + 16);
    const uint32 flags = little32(data + 80);
    const uint32 bits = little32(data + 88);
    const uint8* fourcc = data + 84;
    if ((flags & kFourCC) != 0) {
        if (std::memcmp(fourcc, "DX10", 4) == 0) {
            if (size < kHeaderBytes + kDx10Bytes)
                return B_ILLEGAL_DATA;
            s->offset = kHeaderBytes + kDx10Bytes;
            return dxgi_layout(little32(data + kHeaderBytes), s) ? B_OK : B_NO_TRANSLATOR;
        }
        return fourcc_layout(fourcc, s) ? B_OK : B_NO_TRANSLATOR;
    }
    if ((flags & kPalette8) != 0) {
        if (bits != 8)
            return B_ILLEGAL_DATA;
        s->layout = Layout::kPalette;
        s->alpha = (flags & kAlphaPixels) != 0;
        return B_OK;
    }
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return B_ILLEGAL_DATA;
    if ((flags & kRgb) != 0) {
        s->layout = Layout::kMagick;
        s->alpha = (flags & kAlphaPixels) != 0;
        return B_OK;
    }
    if ((flags & (kLuminance | kAlphaOnly)) == 0)
        return B_NO_TRANSLATOR;
    const bool alpha = (flags & (kAlphaPixels | kAlphaOnly)) != 0;
    set_masks(s, bits, (flags & kLuminance) != 0 ? little32(data + 92) : 0, 0, 0,
              alpha ? little32(data + 104) : 0);
    s->luminance = (flags & kLuminance) != 0;
    // A mask wider than the pixel, or none at all, is no layout.
    const uint64 widest = bits == 32 ? ~uint32(0) : (uint32(1) << bits) - 1;
    if ((s->masks[0] | s->masks[3]) == 0 || ((s->masks[0] | s->masks[3]) & ~widest) != 0)
        return B_ILLEGAL_DATA;
    return B_OK;
}

// Bitmap words are 0xAARRGGBB.
inline void put(uint8* row, uint64 x, uint32 r, uint32 g, uint32 b, uint32 a)
{
    const uint32 word = (a << 24) | (r << 16) | (g << 8) | b;
    std::memcpy(row + x * 4, &word, 4);
}

inline uint8* row_of(BBitmap* bitmap, uint64 y)
{
    return static_cast<uint8*>(bitmap->Bits()) + y * uint64(bitmap->BytesPerRow());
}

// A channel under its mask, widened to 0..255; 255 for a mask absent when
// asked for alpha, 0 otherwise.
struct Channel
{
    uint32 mask = 0;
    uint32 shift = 0;
    uint32 greatest = 0;

    explicit Channel(uint32 m) : mask(m)
    {
        if (mask != 0) {
            shift = uint32(std::countr_zero(mask));
            greatest = mask >> shift;
        }
    }
    uint32 Level(uint32 pixel, uint32 absent) const
    {
        if (mask == 0)
            return absent;
        const uint64 v = (pixel & mask) >> shift;
        return uint32((v * 255 + greatest / 2) / greatest);
    }
};

void decode_masked(const Surface& s, const uint8* data, BBitmap* bitmap)
{
    const Channel r(s.masks[0]), g(s.masks[1]), b(s.masks[2]), a(s.masks[3]);
    const uint32 bytes = s.bits / 8;
    for (uint64 y = 0; y < s.height; y++) {
        uint8* row = row_of(bitmap, y);
        const uint8* in = data + y * s.width * bytes;
        for (uint64 x = 0; x < s.width; x++, in += bytes) {
            uint32 pixel = 0;
            for (uint32 i = 0; i < bytes; i++)
                pixel |= uint32(in[i]) << (8 * i);
            const uint32 red = r.Level(pixel, 0), alpha = a.Level(pixel, 255);
            if (s.luminance)
                put(row, x, red, red, red, alpha);
            else
                put(row, x, red, g.Level(pixel, 0), b.Level(pixel, 0), alpha);
        }
    }
}

void decode_palette(const Surface& s, const uint8* data, BBitmap* bitmap)
{
    // Entries are red, green, blue and alpha (or flags, without alpha).
    const uint8* entries = data;
    const uint8* indices = data + kPaletteBytes;
    for (uint64 y = 0; y < s.height; y++) {
        uint8* row = row_of(bitmap, y);
        for (uint64 x = 0; x < s.width; x++) {
            const uint8* e = entries + 4 * indices[y * s.width + x];
            put(row, x, e[0], e[1], e[2], s.alpha ? e[3] : 255);
        }
    }
}

// A signed normalised value, -1 to 1, to a level: -1 is 0, 1 is 255.
inline uint32 snorm_level(double v)
{
    return uint32(std::lround((std::clamp(v, -1.0, 1.0) + 1.0) * 127.5));
}

void decode_wide(const Surface& s, const uint8* data, BBitmap* bitmap)
{
    const uint64 step = s.SampleBytes(), samples = s.width * s.height * s.channels;
    const auto value = [&](uint64 i) -> float {
        const uint8* p = data + i * step;
        if (s.sample == Sample::kHalf)
            return half_to_float(little16(p));
        float f;
        const uint32 word = little32(p);
        std::memcpy(&f, &word, 4);
        return f;
    };
    const auto level = [&](uint64 i, const FloatLevels& levels, bool alpha) -> uint32 {
        switch (s.sample) {
        case Sample::kUnorm16:
            return (little16(data + i * 2) * 255 + 32767) / 65535;
        case Sample::kSnorm16: {
            const int32 v = int16(little16(data + i * 2));
            return snorm_level(std::max(v, -32767) / 32767.0);
        }
        default:
            return alpha ? FloatLevels::AlphaLevel(value(i)) : levels.Level(value(i));
        }
    };
    // Floats are data: their range is the whole picture's colour channels'.
    FloatLevels levels;
    if (s.sample == Sample::kHalf || s.sample == Sample::kFloat) {
        for (uint64 i = 0; i < samples; i++) {
            if (s.channels == 1 || i % 4 != 3)
                levels.Add(value(i));
        }
    }
    levels.Settle();
    for (uint64 y = 0; y < s.height; y++) {
        uint8* row = row_of(bitmap, y);
        for (uint64 x = 0; x < s.width; x++) {
            const uint64 i = (y * s.width + x) * s.channels;
            if (s.channels == 1) {
                const uint32 grey = level(i, levels, false);
                put(row, x, grey, grey, grey, 255);
            } else {
                put(row, x, level(i, levels, false), level(i + 1, levels, false),
                    level(i + 2, levels, false), level(i + 3, levels, true));
            }
        }
    }
}

// Block decoders: 16 pixels, red, green, blue, alpha bytes each, rows top
// to bottom.

inline uint32 widen5(uint32 v)
{
    return (v << 3) | (v >> 2);
}
inline uint32 widen6(uint32 v)
{
    return (v << 2) | (v >> 4);
}

// The colour half of BC1 to BC3. BC1 alone has a three-colour mode whose
// fourth colour is transparent black; BC2 and BC3 always interpolate four.
// Mixed levels are cut, not rounded, as ImageMagick and Pillow cut them, so
// a DX10 file reads as its twin under the old code does.
void colour_block(const uint8* in, bool bc1, uint8 out[64])
{
    const uint32 c0 = little16(in), c1 = little16(in + 2), indices = little32(in + 4);
    uint32 palette[4][4];
    const uint32 e[2][3] = {
        {widen5(c0 >> 11), widen6((c0 >> 5) & 63), widen5(c0 & 31)},
        {widen5(c1 >> 11), widen6((c1 >> 5) & 63), widen5(c1 & 31)},
    };
    const bool four = !bc1 || c0 > c1;
    for (int c = 0; c < 3; c++) {
        palette[0][c] = e[0][c];
        palette[1][c] = e[1][c];
        if (four) {
            palette[2][c] = (2 * e[0][c] + e[1][c]) / 3;
            palette[3][c] = (e[0][c] + 2 * e[1][c]) / 3;
        } else {
            palette[2][c] = (e[0][c] + e[1][c]) / 2;
            palette[3][c] = 0;
        }
    }
    palette[0][3] = palette[1][3] = palette[2][3] = 255;
    palette[3][3] = four ? 255 : 0;
    for (int i = 0; i < 16; i++) {
        const uint32* p = palette[(indices >> (2 * i)) & 3];
        for (int c = 0; c < 4; c++)
            out[i * 4 + c] = uint8(p[c]);
    }
}

// One BC4 channel (also BC3's alpha and BC5's two channels) into channel
// `channel` of out, unsigned levels cut as the colours are; signed blocks
// give -127..127 as levels 0..255.
void channel_block(const uint8* in, bool is_signed, uint8 out[64], int channel)
{
    double v[8];
    double e0, e1;
    if (is_signed) {
        e0 = std::max<int>(int8(in[0]), -127);
        e1 = std::max<int>(int8(in[1]), -127);
    } else {
        e0 = in[0];
        e1 = in[1];
    }
    v[0] = e0;
    v[1] = e1;
    if (e0 > e1) {
        for (int k = 1; k <= 6; k++)
            v[k + 1] = ((7 - k) * e0 + k * e1) / 7;
    } else {
        for (int k = 1; k <= 4; k++)
            v[k + 1] = ((5 - k) * e0 + k * e1) / 5;
        v[6] = is_signed ? -127 : 0;
        v[7] = is_signed ? 127 : 255;
    }
    uint8 levels[8];
    for (int k = 0; k < 8; k++)
        levels[k] = uint8(is_signed ? snorm_level(v[k] / 127) : uint32(v[k]));
    uint64 indices = 0;
    for (int i = 0; i < 6; i++)
        indices |= uint64(in[2 + i]) << (8 * i);
    for (int i = 0; i < 16; i++)
        out[i * 4 + channel] = levels[(indices >> (3 * i)) & 7];
}

void decode_block(Layout layout, const uint8* in, uint8 out[64])
{
    switch (layout) {
    case Layout::kBc1:
        colour_block(in, true, out);
        break;
    case Layout::kBc2:
        colour_block(in + 8, false, out);
        for (int i = 0; i < 16; i++)
            out[i * 4 + 3] = uint8(((in[i / 2] >> (4 * (i & 1))) & 15) * 17);
        break;
    case Layout::kBc3:
        colour_block(in + 8, false, out);
        channel_block(in, false, out, 3);
        break;
    case Layout::kBc4:
    case Layout::kBc4Signed:
        channel_block(in, layout == Layout::kBc4Signed, out, 0);
        for (int i = 0; i < 16; i++) {
            out[i * 4 + 1] = out[i * 4 + 2] = out[i * 4];
            out[i * 4 + 3] = 255;
        }
        break;
    case Layout::kBc5:
    case Layout::kBc5Signed:
        channel_block(in, layout == Layout::kBc5Signed, out, 0);
        channel_block(in + 8, layout == Layout::kBc5Signed, out, 1);
        for (int i = 0; i < 16; i++) {
            out[i * 4 + 2] = 0;
            out[i * 4 + 3] = 255;
        }
        break;
    case Layout::kBc6h:
    case Layout::kBc6hSigned: {
        // A colour texture beyond 1.0 is light, not data: clamped.
        uint16_t half[48];
        pellara::bptc::decode_bc6h(in, layout == Layout::kBc6hSigned, half);
        for (int i = 0; i < 16; i++) {
            for (int c = 0; c < 3; c++)
                out[i * 4 + c] = pellara::bptc::half_to_level(half[i * 3 + c]);
            out[i * 4 + 3] = 255;
        }
        break;
    }
    case Layout::kBc7:
        pellara::bptc::decode_bc7(in, out);
        break;
    default:
        std::memset(out, 0, 64);
        break;
    }
}

void decode_blocks(const Surface& s, const uint8* data, BBitmap* bitmap)
{
    const uint64 across = (s.width + 3) / 4, down = (s.height + 3) / 4, size = s.BlockBytes();
    uint8 pixels[64];
    for (uint64 by = 0; by < down; by++) {
        for (uint64 bx = 0; bx < across; bx++) {
            decode_block(s.layout, data + (by * across + bx) * size, pixels);
            for (uint64 py = 0; py < 4 && by * 4 + py < s.height; py++) {
                uint8* row = row_of(bitmap, by * 4 + py);
                for (uint64 px = 0; px < 4 && bx * 4 + px < s.width; px++) {
                    uint8* p = pixels + (py * 4 + px) * 4;
                    if (s.premultiplied && p[3] != 0)
                        for (int c = 0; c < 3; c++)
                            p[c] = uint8(std::min<uint32>(255, (p[c] * 255u + p[3] / 2) / p[3]));
                    put(row, bx * 4 + px, p[0], p[1], p[2], p[3]);
                }
            }
        }
    }
}

// An uncompressed DDS whose masks put red in the lowest byte (ABGR, as
// Direct3D's R8G8B8A8 surfaces are written): ImageMagick reads every such
// file as blue first, whatever the masks say.
bool abgr_masks(const ImageSource& source)
{
    const uint32 flags = little32(source.data + 80);
    const uint32 bits = little32(source.data + 88);
    return (flags & 0x4) == 0 && (flags & 0x40) != 0 && (bits == 24 || bits == 32) &&
           little32(source.data + 92) == 0xFFu && little32(source.data + 96) == 0xFF00u &&
           little32(source.data + 100) == 0xFF0000u;
}

void swap_red_and_blue(PictureHeader*, BBitmap* bitmap)
{
    uint32* pixels = static_cast<uint32*>(bitmap->Bits());
    const size_t count = size_t(bitmap->BitsLength()) / 4;
    for (size_t i = 0; i < count; i++) {
        const uint32 p = pixels[i];
        pixels[i] = (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | (p >> 16 & 0xFFu);
    }
}

// The layouts ImageMagick's coder reads (DXT1, DXT3, DXT5 and raw masks).
const MagickCoding kMagickCoding{"DDS"};
const MagickCoding kAbgrMagickCoding{"DDS", false, false, nullptr, swap_red_and_blue};

class DdsTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "dds"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 4 && std::memcmp(source.data, "DDS ", 4) == 0 ? kMine : kNotMine;
    }

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override
    {
        Surface s;
        if (status_t status = parse(source.data, source.size, &s); status != B_OK)
            return status;
        header->width = s.width;
        header->height = s.height;
        header->alpha = s.alpha;
        if (s.width == 0 || s.height == 0)
            return B_ILLEGAL_DATA;
        if (!budget.Admits(s.width, s.height))
            return B_NO_MEMORY;
        if (s.layout == Layout::kMagick) {
            // DXT1 blocks are 8 bytes, DXT3 and DXT5 16; raw layouts whole rows.
            const uint32 flags = little32(source.data + 80);
            const uint64 blocks = ((s.width + 3) / 4) * ((s.height + 3) / 4);
            if ((flags & kFourCC) != 0)
                header->leastBytes =
                    kHeaderBytes +
                    blocks * (std::memcmp(source.data + 84, "DXT1", 4) == 0 ? 8 : 16);
            else
                header->leastBytes =
                    kHeaderBytes + s.width * s.height * (little32(source.data + 88) / 8);
            header->magick = abgr_masks(source) ? &kAbgrMagickCoding : &kMagickCoding;
        } else {
            header->leastBytes = s.offset + s.DataBytes();
        }
        header->state = s;
        return B_OK;
    }

    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override
    {
        const Surface* parsed = std::any_cast<Surface>(&header->state);
        if (parsed == nullptr)
            return B_ILLEGAL_DATA;
        const Surface& s = *parsed;
        if (s.layout == Layout::kMagick)
            return magick_translator()->Decode(source, budget, header, bitmap);
        if (s.width != header->width || s.height != header->height ||
            source.size < s.offset + s.DataBytes())
            return B_ILLEGAL_DATA;
        const uint8* data = source.data + s.offset;
        switch (s.layout) {
        case Layout::kMasked:
            decode_masked(s, data, bitmap);
            break;
        case Layout::kPalette:
            decode_palette(s, data, bitmap);
            break;
        case Layout::kWide:
            decode_wide(s, data, bitmap);
            break;
        default:
            decode_blocks(s, data, bitmap);
            break;
        }
        return B_OK;
    }
};

} // namespace

const ImageTranslator* dds_translator()
{
    static const DdsTranslator translator;
    return &translator;
}

} // namespace BPrivate
