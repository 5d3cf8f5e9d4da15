#include <TiffTranslator.h>
#include <PictureFormats.h>

#include <CodecSupport.h>
#include <RowWriters.h>
#include <RowReaders.h>
#include <TranslatorFormats.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <unistd.h>

// libtiff's own uint8 ... typedefs are deprecated; ours are the same types.
#define TIFF_DISABLE_DEPRECATED
#include <tiffio.h>
#include <zlib.h>

namespace BPrivate {

namespace {

// Every message of libtiff goes nowhere: the status says what failed. The
// handlers are process-wide, and other code using libtiff may set its own,
// so they are set again before each use; the per-file ones catch the rest.
int silent_handler(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

void silence_libtiff()
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandlerExt(nullptr);
    TIFFSetWarningHandlerExt(nullptr);
}

struct OpenOptions
{
    explicit OpenOptions(uint64 maxAllocation)
        : options(TIFFOpenOptionsAlloc())
    {
        if (options == nullptr)
            return;
        TIFFOpenOptionsSetErrorHandlerExtR(options, silent_handler, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(options, silent_handler, nullptr);
        if (maxAllocation > 0)
            TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(maxAllocation));
    }
    ~OpenOptions()
    {
        if (options != nullptr)
            TIFFOpenOptionsFree(options);
    }
    TIFFOpenOptions* options;
};

// --- Reading from memory ----------------------------------------------------

struct MemoryFile
{
    const uint8* data;
    uint64 size;
    uint64 position;
};

tmsize_t memory_read(thandle_t handle, void* buffer, tmsize_t size)
{
    MemoryFile* file = static_cast<MemoryFile*>(handle);
    if (size <= 0 || file->position >= file->size)
        return 0;
    uint64 count = std::min<uint64>(uint64(size), file->size - file->position);
    std::memcpy(buffer, file->data + file->position, count);
    file->position += count;
    return tmsize_t(count);
}

tmsize_t refuse_write(thandle_t, void*, tmsize_t)
{
    return -1;
}

// Offsets come from the file: positions past its end are kept (reads
// there give nothing) but never wrap around.
template <class File>
toff_t seek_within(File* file, toff_t offset, int whence)
{
    uint64 base = whence == SEEK_CUR ? file->position : whence == SEEK_END ? file->size : 0;
    if (offset > UINT64_MAX / 2 || base > UINT64_MAX / 2)
        return toff_t(-1);
    file->position = base + offset;
    return file->position;
}

toff_t memory_seek(thandle_t handle, toff_t offset, int whence)
{
    return seek_within(static_cast<MemoryFile*>(handle), offset, whence);
}

int memory_close(thandle_t)
{
    return 0;
}

toff_t memory_size(thandle_t handle)
{
    return static_cast<MemoryFile*>(handle)->size;
}

// The file is in memory already: libtiff reads strips in place.
int memory_map(thandle_t handle, void** base, toff_t* size)
{
    MemoryFile* file = static_cast<MemoryFile*>(handle);
    *base = const_cast<uint8*>(file->data);
    *size = file->size;
    return 1;
}

void memory_unmap(thandle_t, void*, toff_t)
{
}

// How many times its compressed size a strip may grow when decoded, for
// the codecs that have such a bound; 0 where none holds (fax, JBIG, ...),
// which libtiff's own checks then guard.
uint64 expansion_bound(uint16 compression)
{
    switch (compression) {
    case COMPRESSION_NONE: return 1;
    case COMPRESSION_PACKBITS: return 128;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE: return 1032;
    case COMPRESSION_LZW: return 4096;
    case COMPRESSION_JPEG: return 1024;
    default: return 0;
    }
}

// Whether the strips or tiles the file declares could hold the picture:
// a few bytes claiming a huge picture are refused before anything is
// allocated for it.
bool plausible(TIFF* tif, uint64 fileSize)
{
    const bool tiled = TIFFIsTiled(tif) != 0;
    const uint64 pieces = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    const uint64 pieceSize = tiled ? uint64(TIFFTileSize64(tif)) : uint64(TIFFStripSize64(tif));
    if (pieces == 0 || pieceSize == 0)
        return false;
    uint64* offsets = nullptr;
    uint64* counts = nullptr;
    if (!TIFFGetField(tif, tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS, &offsets) ||
        !TIFFGetField(tif, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &counts) ||
        offsets == nullptr || counts == nullptr)
        return false;
    uint64 present = 0;
    for (uint64 i = 0; i < pieces; i++) {
        if (offsets[i] < fileSize)
            present += std::min(counts[i], fileSize - offsets[i]);
    }
    if (present == 0)
        return false;
    uint16 compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const uint64 bound = expansion_bound(compression);
    if (bound == 0)
        return true;
    // The last strip may be shorter than the others.
    const uint64 needed = (pieces - 1) * pieceSize;
    return present >= needed / bound;
}

// libtiff's RGBA interface premultiplies unassociated alpha; a picture's
// straight colours are kept instead (a transparent pixel keeps its colour,
// as other viewers show it), and 16-bit grey is rounded like 16-bit colour.
// Words are packed as the interface packs them (red in the low byte).
inline uint32 pack(uint32 r, uint32 g, uint32 b, uint32 a)
{
    return r | (g << 8) | (b << 16) | (a << 24);
}

// 16 bits to 8, rounded as libtiff's own colour paths round.
inline uint32 to8(uint32 v)
{
    return (v * 255 + 32767) / 65535;
}

// Associated alpha: the colours stored were multiplied by alpha, and are
// divided back (rounded, at most full) so that they come out straight as
// the unassociated ones do. Without alpha there is nothing to divide: a
// transparent pixel keeps the colour stored.
template <bool kAssociated>
inline uint32 pack8(uint32 r, uint32 g, uint32 b, uint32 a)
{
    if (kAssociated && a != 0 && a != 255) {
        r = std::min<uint32>(255, (r * 255 + a / 2) / a);
        g = std::min<uint32>(255, (g * 255 + a / 2) / a);
        b = std::min<uint32>(255, (b * 255 + a / 2) / a);
    }
    return pack(r, g, b, a);
}

template <bool kAssociated>
inline uint32 pack16(uint32 r, uint32 g, uint32 b, uint32 a)
{
    if (kAssociated && a != 0 && a != 65535) {
        return pack(std::min<uint32>(255, (r * 255 + a / 2) / a),
                    std::min<uint32>(255, (g * 255 + a / 2) / a),
                    std::min<uint32>(255, (b * 255 + a / 2) / a), to8(a));
    }
    return pack(to8(r), to8(g), to8(b), to8(a));
}

template <bool kAssociated>
void put_rgba8_contig(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                      int32_t fromskew, int32_t toskew, unsigned char* pp)
{
    const int spp = img->samplesperpixel;
    fromskew *= spp;
    for (; h > 0; --h) {
        for (uint32_t x = w; x > 0; --x) {
            *cp++ = pack8<kAssociated>(pp[0], pp[1], pp[2], pp[3]);
            pp += spp;
        }
        cp += toskew;
        pp += fromskew;
    }
}

template <bool kAssociated>
void put_rgba16_contig(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                       int32_t fromskew, int32_t toskew, unsigned char* pp)
{
    const int spp = img->samplesperpixel;
    const uint16* wp = reinterpret_cast<const uint16*>(pp);
    fromskew *= spp;
    for (; h > 0; --h) {
        for (uint32_t x = w; x > 0; --x) {
            *cp++ = pack16<kAssociated>(wp[0], wp[1], wp[2], wp[3]);
            wp += spp;
        }
        cp += toskew;
        wp += fromskew;
    }
}

template <bool kAssociated>
void put_rgba8_separate(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                        int32_t fromskew, int32_t toskew, unsigned char* r, unsigned char* g,
                        unsigned char* b, unsigned char* a)
{
    for (; h > 0; --h) {
        for (uint32_t x = w; x > 0; --x)
            *cp++ = pack8<kAssociated>(*r++, *g++, *b++, *a++);
        r += fromskew;
        g += fromskew;
        b += fromskew;
        a += fromskew;
        cp += toskew;
    }
}

template <bool kAssociated>
void put_rgba16_separate(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w,
                         uint32_t h, int32_t fromskew, int32_t toskew, unsigned char* r8,
                         unsigned char* g8, unsigned char* b8, unsigned char* a8)
{
    const uint16* r = reinterpret_cast<const uint16*>(r8);
    const uint16* g = reinterpret_cast<const uint16*>(g8);
    const uint16* b = reinterpret_cast<const uint16*>(b8);
    const uint16* a = reinterpret_cast<const uint16*>(a8);
    for (; h > 0; --h) {
        for (uint32_t x = w; x > 0; --x)
            *cp++ = pack16<kAssociated>(*r++, *g++, *b++, *a++);
        r += fromskew;
        g += fromskew;
        b += fromskew;
        a += fromskew;
        cp += toskew;
    }
}

// 16-bit grey, with or without alpha (contiguous samples).
void put_grey16_contig(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w,
                       uint32_t h, int32_t fromskew, int32_t toskew, unsigned char* pp)
{
    const int spp = img->samplesperpixel;
    const bool alpha = img->alpha != 0 && spp >= 2;
    const bool white = img->photometric == PHOTOMETRIC_MINISWHITE;
    const uint16* wp = reinterpret_cast<const uint16*>(pp);
    fromskew *= spp;
    for (; h > 0; --h) {
        for (uint32_t x = w; x > 0; --x) {
            uint32 v = to8(wp[0]);
            if (white)
                v = 255 - v;
            *cp++ = pack(v, v, v, alpha ? to8(wp[1]) : 255);
            wp += spp;
        }
        cp += toskew;
        wp += fromskew;
    }
}

// CIE L*a*b* (8-bit L, signed a and b) to sRGB through XYZ with a D65
// white, as ImageMagick and colour-managed viewers convert it; libtiff's own
// conversion models a display and shifts every colour.
uint8 srgb_level(double linear)
{
    double v = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
    return uint8(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

double lab_inverse(double t)
{
    constexpr double kEpsilon = 216.0 / 24389, kKappa = 24389.0 / 27;
    double cube = t * t * t;
    return cube > kEpsilon ? cube : (116 * t - 16) / kKappa;
}

void put_lab8_contig(TIFFRGBAImage* img, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
                     int32_t fromskew, int32_t toskew, unsigned char* pp)
{
    const int spp = img->samplesperpixel;
    fromskew *= spp;
    for (; h > 0; --h) {
        for (uint32_t x = w; x > 0; --x) {
            const double L = pp[0] * 100.0 / 255, a = int8(pp[1]), b = int8(pp[2]);
            const double fy = (L + 16) / 116, fx = fy + a / 500, fz = fy - b / 200;
            const double X = 0.95047 * lab_inverse(fx), Y = lab_inverse(fy),
                         Z = 1.08883 * lab_inverse(fz);
            const double r = 3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z;
            const double g = -0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z;
            const double bl = 0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z;
            *cp++ = pack(srgb_level(r), srgb_level(g), srgb_level(bl), 255);
            pp += spp;
        }
        cp += toskew;
        pp += fromskew;
    }
}

// Our routines in place of libtiff's where its own would lose colour.
void choose_put_routines(TIFFRGBAImage* img)
{
    const uint16 bits = img->bitspersample;
    if (img->photometric == PHOTOMETRIC_RGB && img->alpha == EXTRASAMPLE_UNASSALPHA &&
        img->samplesperpixel >= 4 && (bits == 8 || bits == 16)) {
        if (img->isContig)
            img->put.contig = bits == 8 ? put_rgba8_contig<false> : put_rgba16_contig<false>;
        else
            img->put.separate =
                bits == 8 ? put_rgba8_separate<false> : put_rgba16_separate<false>;
    } else if (img->photometric == PHOTOMETRIC_RGB && img->alpha == EXTRASAMPLE_ASSOCALPHA &&
               img->samplesperpixel >= 4 && (bits == 8 || bits == 16)) {
        if (img->isContig)
            img->put.contig = bits == 8 ? put_rgba8_contig<true> : put_rgba16_contig<true>;
        else
            img->put.separate = bits == 8 ? put_rgba8_separate<true> : put_rgba16_separate<true>;
    } else if ((img->photometric == PHOTOMETRIC_MINISBLACK ||
                img->photometric == PHOTOMETRIC_MINISWHITE) &&
               bits == 16 && img->isContig &&
               (img->alpha == 0 || img->alpha == EXTRASAMPLE_UNASSALPHA)) {
        img->put.contig = put_grey16_contig;
    } else if (img->photometric == PHOTOMETRIC_CIELAB && bits == 8 && img->isContig &&
               img->samplesperpixel >= 3) {
        img->put.contig = put_lab8_contig;
    }
}

// libtiff's RGBA interface takes separated (CMYK) pictures at 8 bits only;
// 16-bit ones, contiguous in strips, are read a row at a time here, lit as
// libtiff lights 8-bit CMYK (each ink's light times the black's) but at
// full precision, as ImageMagick does, and only then rounded to 8 bits.
// The light an ink leaves under a black that leaves kLight (both 16-bit).
inline uint32 light(uint32 ink, uint32 kLight)
{
    return to8(uint32((uint64(65535 - ink) * kLight + 32767) / 65535));
}

bool is_cmyk16(TIFF* tif)
{
    uint16 photometric = 0, bits = 0, samples = 0, planar = PLANARCONFIG_CONTIG;
    uint16 inkset = INKSET_CMYK, extraCount = 0;
    uint16* extraKinds = nullptr;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
    if (photometric != PHOTOMETRIC_SEPARATED || bits != 16 || inkset != INKSET_CMYK ||
        planar != PLANARCONFIG_CONTIG || TIFFIsTiled(tif) || samples != 4 + extraCount)
        return false;
    // Straight alpha or none: premultiplied inks have no agreed reading.
    return extraCount == 0 || extraKinds[0] == EXTRASAMPLE_UNASSALPHA ||
           extraKinds[0] == EXTRASAMPLE_UNSPECIFIED;
}

bool cmyk16_alpha(TIFF* tif)
{
    uint16 extraCount = 0;
    uint16* extraKinds = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
    return extraCount > 0 && extraKinds[0] == EXTRASAMPLE_UNASSALPHA;
}

status_t decode_cmyk16(TIFF* tif, uint32 width, uint32 height, BBitmap* bitmap)
{
    uint16 samples = 4;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const bool alpha = cmyk16_alpha(tif);
    const tmsize_t rowSize = TIFFScanlineSize(tif);
    if (rowSize < tmsize_t(uint64(width) * samples * 2))
        return B_ILLEGAL_DATA;
    std::unique_ptr<uint16[]> row(new (std::nothrow) uint16[size_t(rowSize) / 2 + 1]);
    if (!row)
        return B_NO_MEMORY;
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    const uint64 stride = uint64(bitmap->BytesPerRow());
    for (uint32 y = 0; y < height; y++) {
        if (TIFFReadScanline(tif, row.get(), y, 0) < 0)
            return B_ILLEGAL_DATA;
        uint32* out = reinterpret_cast<uint32*>(bits + y * stride);
        const uint16* in = row.get();
        for (uint32 x = 0; x < width; x++, in += samples) {
            const uint32 k = 65535 - in[3];
            const uint32 r = light(in[0], k);
            const uint32 g = light(in[1], k);
            const uint32 b = light(in[2], k);
            const uint32 a = alpha ? to8(in[4]) : 255;
            // The bitmap's words hold blue in the low byte.
            out[x] = b | (g << 8) | (r << 16) | (a << 24);
        }
    }
    return B_OK;
}

// Grey and RGB at sample widths libtiff's RGBA interface does not take (2,
// 4, 6, 10, 12 bits, 4-bit grey with alpha) and float samples of 16, 32 or
// 64 bits (0 to 1, as ImageMagick reads them): read a row, and a plane, at a time
// from strips, or a tile at a time, each sample widened or rounded to 8
// bits.
struct Samples
{
    uint16 photometric = 0;
    uint16 bits = 0;
    uint16 samples = 0;
    uint16 planar = PLANARCONFIG_CONTIG;
    uint16 format = SAMPLEFORMAT_UINT;
    uint16 colours = 0; // 1 (grey) or 3
    bool alpha = false;
    bool associated = false;
};

bool scanline_layout(TIFF* tif, Samples* layout)
{
    uint16 extraCount = 0;
    uint16* extraKinds = nullptr;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &layout->photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &layout->bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &layout->samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &layout->planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &layout->format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
    switch (layout->photometric) {
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_MINISWHITE:
            layout->colours = 1;
            break;
        case PHOTOMETRIC_RGB:
            layout->colours = 3;
            break;
        default:
            return false;
    }
    const bool integer = layout->format == SAMPLEFORMAT_UINT && layout->bits >= 1 &&
                         layout->bits <= 16;
    const bool real = layout->format == SAMPLEFORMAT_IEEEFP &&
                      (layout->bits == 16 || layout->bits == 32 || layout->bits == 64);
    if ((!integer && !real) || layout->samples < layout->colours ||
        layout->samples > layout->colours + extraCount || layout->samples > 8)
        return false;
    if (layout->planar != PLANARCONFIG_CONTIG && layout->planar != PLANARCONFIG_SEPARATE)
        return false;
    layout->alpha = layout->samples > layout->colours && extraKinds != nullptr &&
                    extraKinds[0] != EXTRASAMPLE_UNSPECIFIED;
    layout->associated = layout->alpha && extraKinds[0] == EXTRASAMPLE_ASSOCALPHA;
    return true;
}

// Bytes read past a row's end by sample_at, kept zero after each buffer.
constexpr size_t kSlack = 4;

// Integer sample i of a row, packed most significant bit first (libtiff
// has put the fill order right), as stored.
inline uint32 sample_at(const uint8* row, uint64 i, uint16 bits)
{
    const uint64 bit = i * bits;
    const uint8* p = row + (bit >> 3);
    const uint32 word = (uint32(p[0]) << 16) | (uint32(p[1]) << 8) | p[2];
    return (word >> (24 - (bit & 7) - bits)) & ((1u << bits) - 1);
}

// IEEE half precision, as 16-bit float TIFFs store it.
inline double from_half(uint16 h)
{
    const int exponent = (h >> 10) & 31, fraction = h & 1023;
    const double sign = h & 0x8000 ? -1 : 1;
    if (exponent == 31)
        return fraction != 0 ? std::nan("") : sign * HUGE_VAL;
    if (exponent == 0)
        return sign * std::ldexp(fraction, -24);
    return sign * std::ldexp(fraction | 1024, exponent - 25);
}

// Float sample i of a row, of 16, 32 or 64 bits.
inline double real_at(const uint8* row, uint64 i, uint16 bits)
{
    if (bits == 16) {
        uint16 h;
        std::memcpy(&h, row + i * 2, 2);
        return from_half(h);
    }
    if (bits == 64) {
        double d;
        std::memcpy(&d, row + i * 8, 8);
        return d;
    }
    float f;
    std::memcpy(&f, row + i * 4, 4);
    return f;
}

// Sample i of a row as 8 bits: floats clamped to 0..1 and rounded (NaN as
// 0), integers through levels (each stored value's 8-bit level, rounded).
inline uint32 sample8(const uint8* row, uint64 i, const Samples& layout, const uint8* levels)
{
    if (layout.format == SAMPLEFORMAT_IEEEFP) {
        const double v = real_at(row, i, layout.bits);
        if (!(v > 0))
            return 0;
        return v >= 1 ? 255 : uint32(v * 255 + 0.5);
    }
    return levels[sample_at(row, i, layout.bits)];
}

// count pixels' samples from one row of a strip or tile into out (the
// bitmap's blue, green, red, alpha): every sample of each pixel, or with
// plane >= 0 that sample alone (separate planes).
void put_samples(const uint8* row, uint32 count, int plane, const Samples& layout,
                 const uint8* levels, uint8* out)
{
    const bool white = layout.photometric == PHOTOMETRIC_MINISWHITE;
    if (plane >= 0) {
        const bool colour = plane < layout.colours;
        if (!colour && (!layout.alpha || plane > layout.colours))
            return; // a sample the picture does not show
        for (uint32 x = 0; x < count; x++, out += 4) {
            uint32 v = sample8(row, x, layout, levels);
            if (white && colour)
                v = 255 - v;
            if (!colour)
                out[3] = uint8(v);
            else if (layout.colours == 1)
                out[0] = out[1] = out[2] = uint8(v);
            else
                out[2 - plane] = uint8(v);
            if (!layout.alpha)
                out[3] = 255;
        }
        return;
    }
    for (uint32 x = 0; x < count; x++, out += 4) {
        const uint64 first = uint64(x) * layout.samples;
        uint32 c[3] = {0, 0, 0};
        for (uint16 k = 0; k < layout.colours; k++) {
            c[k] = sample8(row, first + k, layout, levels);
            if (white)
                c[k] = 255 - c[k];
        }
        if (layout.colours == 1)
            c[1] = c[2] = c[0];
        out[0] = uint8(c[2]);
        out[1] = uint8(c[1]);
        out[2] = uint8(c[0]);
        out[3] = uint8(layout.alpha ? sample8(row, first + layout.colours, layout, levels) : 255);
    }
}

// A buffer of size bytes and the zeroed slack sample_at reads past it.
std::unique_ptr<uint8[]> row_buffer(uint64 size)
{
    if (size > SIZE_MAX - kSlack)
        return nullptr;
    std::unique_ptr<uint8[]> buffer(new (std::nothrow) uint8[size_t(size) + kSlack]);
    if (buffer)
        std::memset(buffer.get() + size, 0, kSlack);
    return buffer;
}

// Separate planes are stored one after the other, each row by row: read in
// that order so that a strip is not decoded again.
status_t read_strips(TIFF* tif, const Samples& layout, uint32 width, uint32 height,
                     const uint8* levels, uint8* bits, uint64 stride)
{
    const bool planar = layout.planar == PLANARCONFIG_SEPARATE;
    const uint64 perRow = planar ? width : uint64(width) * layout.samples;
    const tmsize_t rowSize = TIFFScanlineSize(tif);
    if (rowSize <= 0 || uint64(rowSize) < (perRow * layout.bits + 7) / 8)
        return B_ILLEGAL_DATA;
    std::unique_ptr<uint8[]> row = row_buffer(uint64(rowSize));
    if (!row)
        return B_NO_MEMORY;
    const uint16 planes = planar ? layout.samples : 1;
    for (uint16 plane = 0; plane < planes; plane++) {
        for (uint32 y = 0; y < height; y++) {
            if (TIFFReadScanline(tif, row.get(), y, plane) < 0)
                return B_ILLEGAL_DATA;
            put_samples(row.get(), width, planar ? plane : -1, layout, levels, bits + y * stride);
        }
    }
    return B_OK;
}

status_t read_tiles(TIFF* tif, const Samples& layout, uint32 width, uint32 height,
                    const uint8* levels, uint8* bits, uint64 stride)
{
    uint32 tileWidth = 0, tileLength = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
    const bool planar = layout.planar == PLANARCONFIG_SEPARATE;
    const uint64 perRow = planar ? tileWidth : uint64(tileWidth) * layout.samples;
    const uint64 tileSize = uint64(TIFFTileSize64(tif));
    const uint64 rowSize = uint64(TIFFTileRowSize64(tif));
    // A tile far larger than the picture is refused before its buffer is
    // taken: the tiles are at most about as large as what they cover.
    if (tileWidth == 0 || tileLength == 0 || rowSize < (perRow * layout.bits + 7) / 8 ||
        tileSize < rowSize * tileLength ||
        uint64(tileWidth) * tileLength > 4 * uint64(width) * height + 65536)
        return B_ILLEGAL_DATA;
    std::unique_ptr<uint8[]> tile = row_buffer(tileSize);
    if (!tile)
        return B_NO_MEMORY;
    const uint16 planes = planar ? layout.samples : 1;
    for (uint16 plane = 0; plane < planes; plane++) {
        for (uint32 ty = 0; ty < height; ty += tileLength) {
            for (uint32 tx = 0; tx < width; tx += tileWidth) {
                if (TIFFReadTile(tif, tile.get(), tx, ty, 0, plane) < 0)
                    return B_ILLEGAL_DATA;
                const uint32 rows = std::min(tileLength, height - ty);
                const uint32 count = std::min(tileWidth, width - tx);
                for (uint32 r = 0; r < rows; r++)
                    put_samples(tile.get() + r * rowSize, count, planar ? plane : -1, layout,
                                levels, bits + (ty + r) * stride + uint64(tx) * 4);
            }
        }
    }
    return B_OK;
}

status_t decode_scanlines(TIFF* tif, const Samples& layout, uint32 width, uint32 height,
                          BBitmap* bitmap)
{
    // Each stored level's 8-bit one, rounded.
    std::vector<uint8> levels;
    if (layout.format != SAMPLEFORMAT_IEEEFP) {
        const uint32 most = (1u << layout.bits) - 1;
        levels.resize(most + 1);
        for (uint32 v = 0; v <= most; v++)
            levels[v] = uint8((v * 255 + most / 2) / most);
    }
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    const uint64 stride = uint64(bitmap->BytesPerRow());
    const uint8* table = levels.data();
    const status_t status = TIFFIsTiled(tif)
                                ? read_tiles(tif, layout, width, height, table, bits, stride)
                                : read_strips(tif, layout, width, height, table, bits, stride);
    if (status != B_OK || !layout.associated)
        return status;
    for (uint32 y = 0; y < height; y++) {
        uint8* px = bits + y * stride;
        for (uint32 x = 0; x < width; x++, px += 4) {
            const uint32 a = px[3];
            for (int k = 0; k < 3 && a > 0; k++)
                px[k] = uint8(std::min<uint32>(255, (px[k] * 255 + a / 2) / a));
        }
    }
    return B_OK;
}

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(TIFF* tif, const ImageSource& source, const ReadBudget& budget,
                PictureHeader* header, BBitmap* bitmap)
{
    uint32 width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(width, height))
        return B_NO_MEMORY;
    // The header of a layout read by our own routines, or whether the
    // bitmap is the size that header gave.
    const auto own_header = [&](bool alpha) -> status_t {
        if (!plausible(tif, source.size))
            return B_ILLEGAL_DATA;
        if (bitmap == nullptr) {
            uint16 orientation = ORIENTATION_TOPLEFT;
            TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
            header->width = width;
            header->height = height;
            header->alpha = alpha;
            header->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
            return B_OK;
        }
        return width == header->width && height == header->height ? B_OK : B_ILLEGAL_DATA;
    };
    if (is_cmyk16(tif)) {
        const status_t status = own_header(cmyk16_alpha(tif));
        if (status != B_OK || bitmap == nullptr)
            return status;
        return decode_cmyk16(tif, width, height, bitmap);
    }
    // Widths the RGBA interface has no routine for (it admits 4-bit RGB,
    // then fails) are read a row or a tile at a time; grey of 1, 2 or 4
    // bits and 8- and 16-bit samples stay with it.
    Samples layout;
    const bool byRows = scanline_layout(tif, &layout) &&
                        (layout.format == SAMPLEFORMAT_IEEEFP ||
                         (layout.bits != 8 && layout.bits != 16 &&
                          (layout.colours != 1 || layout.alpha || layout.bits > 4)));
    char message[1024];
    if (byRows) {
        const status_t status = own_header(layout.alpha);
        if (status != B_OK || bitmap == nullptr)
            return status;
        return decode_scanlines(tif, layout, width, height, bitmap);
    }
    // A layout no reader here takes: no translator.
    if (!TIFFRGBAImageOK(tif, message))
        return B_NO_TRANSLATOR;
    if (!plausible(tif, source.size))
        return B_ILLEGAL_DATA;
    TIFFRGBAImage img;
    if (!TIFFRGBAImageBegin(&img, tif, 1, message))
        return B_ILLEGAL_DATA;
    // Rows as stored; the orientation is applied afterwards like EXIF's
    // (its values mean the same), since the interface only flips and never
    // turns.
    img.req_orientation = img.orientation;
    if (bitmap == nullptr) {
        header->width = width;
        header->height = height;
        header->alpha = img.alpha != 0;
        header->orientation = img.orientation;
        TIFFRGBAImageEnd(&img);
        return B_OK;
    }
    if (width != header->width || height != header->height) {
        TIFFRGBAImageEnd(&img);
        return B_ILLEGAL_DATA;
    }
    choose_put_routines(&img);
    uint32* raster = static_cast<uint32*>(bitmap->Bits());
    const int ok = TIFFRGBAImageGet(&img, raster, width, height);
    TIFFRGBAImageEnd(&img);
    if (!ok)
        return B_ILLEGAL_DATA;
    // Red sits in the low byte; the bitmap's words hold blue there.
    const uint64 count = uint64(width) * height;
    for (uint64 i = 0; i < count; i++) {
        uint32 v = raster[i];
        raster[i] = (v & 0xFF00FF00u) | ((v & 0xFF) << 16) | ((v >> 16) & 0xFF);
    }
    return B_OK;
}

// --- Writing into a stream --------------------------------------------------

struct StreamFile
{
    BPositionIO* io;
    off_t base;
    uint64 position;
    uint64 size;
    status_t status;
};

tmsize_t stream_read(thandle_t handle, void* buffer, tmsize_t size)
{
    StreamFile* file = static_cast<StreamFile*>(handle);
    if (file->io == nullptr)
        return -1;
    ssize_t n = file->io->ReadAt(file->base + off_t(file->position), buffer, size_t(size));
    if (n < 0)
        return -1;
    file->position += uint64(n);
    return n;
}

tmsize_t stream_write(thandle_t handle, void* buffer, tmsize_t size)
{
    StreamFile* file = static_cast<StreamFile*>(handle);
    if (file->io == nullptr)
        return -1; // a writer abandoned
    const uint8* bytes = static_cast<const uint8*>(buffer);
    tmsize_t done = 0;
    while (done < size) {
        ssize_t n = file->io->WriteAt(file->base + off_t(file->position), bytes + done,
                                      size_t(size - done));
        if (n <= 0) {
            if (file->status == B_OK)
                file->status = n < 0 ? status_t(n) : B_IO_ERROR;
            return -1;
        }
        done += n;
        file->position += uint64(n);
    }
    file->size = std::max(file->size, file->position);
    return size;
}

toff_t stream_seek(thandle_t handle, toff_t offset, int whence)
{
    StreamFile* file = static_cast<StreamFile*>(handle);
    uint64 base = whence == SEEK_CUR ? file->position : whence == SEEK_END ? file->size : 0;
    file->position = base + offset;
    return file->position;
}

toff_t stream_size(thandle_t handle)
{
    return static_cast<StreamFile*>(handle)->size;
}

int no_map(thandle_t, void**, toff_t*)
{
    return 0;
}

// Deflate through libdeflate at a fast level: a stereogram repeats each
// pixel a separation further on, which deflate finds at any level.
constexpr int kDeflateLevel = 1;
// About this many bytes of rows per strip.
constexpr uint32 kStripBytes = 256 * 1024;

uint32 rows_per_strip(uint64 rowBytes)
{
    return uint32(std::max<uint64>(1, kStripBytes / rowBytes));
}

// The tags of every TIFF written: 8-bit RGB(A) rows in deflated strips.
void set_tags(TIFF* tif, uint32 width, uint32 height, bool alpha, uint32 dotsPerInch)
{
    const uint16 samples = alpha ? 4 : 3;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (dotsPerInch > 0) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(dotsPerInch));
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(dotsPerInch));
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    if (alpha) {
        uint16 extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_ZIPQUALITY, kDeflateLevel);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip(uint64(width) * samples));
}

status_t encode(const BBitmap& bitmap, BPositionIO* destination, const WriteSettings& settings)
{
    silence_libtiff();
    OpenOptions options(0);
    StreamFile file{destination, destination->Position(), 0, 0, B_OK};
    if (file.base < 0)
        return status_t(file.base);
    TIFF* tif = TIFFClientOpenExt("", "w", &file, stream_read, stream_write, stream_seek,
                                  memory_close, stream_size, no_map, memory_unmap, options.options);
    if (tif == nullptr)
        return file.status != B_OK ? file.status : B_ERROR;
    const uint32 width = uint32(bitmap.PixelWidth()), height = uint32(bitmap.PixelHeight());
    const bool alpha = bitmap.ColorSpace() == B_RGBA32;
    const uint16 samples = alpha ? 4 : 3;
    set_tags(tif, width, height, alpha, settings.dotsPerInch);
    const uint32 rowBytes = width * samples;

    std::unique_ptr<uint8[]> row(new (std::nothrow) uint8[rowBytes]);
    bool ok = row != nullptr;
    for (uint32 y = 0; ok && y < height; y++) {
        const uint32* words = bitmap_row(bitmap, y);
        uint8* out = row.get();
        for (uint32 x = 0; x < width; x++) {
            uint32 v = words[x];
            *out++ = uint8(v >> 16);
            *out++ = uint8(v >> 8);
            *out++ = uint8(v);
            if (alpha)
                *out++ = uint8(v >> 24);
        }
        ok = TIFFWriteScanline(tif, row.get(), y, 0) == 1;
    }
    // Closing writes the directory; a failure there is a failure too.
    if (ok)
        ok = TIFFFlush(tif) == 1;
    TIFFClose(tif);
    if (file.status != B_OK)
        return file.status;
    if (!ok)
        return row == nullptr ? B_NO_MEMORY : B_ERROR;
    // libtiff wrote its header at the start; leave the stream after the end.
    destination->Seek(file.base + off_t(file.size), SEEK_SET);
    return B_OK;
}

class TiffTranslator : public ImageTranslator
{
public:
    TiffTranslator() : ImageTranslator(B_TIFF_FORMAT) {}

    const char* Name() const override { return "tiff"; }

    identify_result Identify(const ImageSource& source) const override
    {
        if (source.size < 4)
            return kNotMine;
        const uint8* d = source.data;
        const bool little = d[0] == 'I' && d[1] == 'I' && (d[2] == 42 || d[2] == 43) && d[3] == 0;
        const bool big = d[0] == 'M' && d[1] == 'M' && d[2] == 0 && (d[3] == 42 || d[3] == 43);
        return little || big ? kMine : kNotMine;
    }

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override
    {
        return Open(source, budget, header, nullptr);
    }

    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override
    {
        return Open(source, budget, header, bitmap);
    }

    static status_t Open(const ImageSource& source, const ReadBudget& budget,
                         PictureHeader* header, BBitmap* bitmap)
    {
        silence_libtiff();
        // No single allocation of libtiff's beyond what the largest picture
        // the budget admits would need for a strip of 16-bit samples.
        OpenOptions options(std::max<uint64>(budget.maxPixels * 8, uint64(64) << 20));
        MemoryFile file{source.data, source.size, 0};
        // "m" is not given: strips are read in place from the mapping.
        TIFF* tif = TIFFClientOpenExt("", "r", &file, memory_read, refuse_write, memory_seek,
                                      memory_close, memory_size, memory_map, memory_unmap,
                                      options.options);
        if (tif == nullptr)
            return B_ILLEGAL_DATA;
        status_t status = decode(tif, source, budget, header, bitmap);
        TIFFClose(tif);
        return status;
    }

protected:
    status_t Encode(const BBitmap& bitmap, BPositionIO* destination,
                    const WriteSettings& settings) const override
    {
        return encode(bitmap, destination, settings);
    }
};

} // namespace

const ImageTranslator* tiff_translator()
{
    static const TiffTranslator translator;
    return &translator;
}

} // namespace BPrivate

// --- Written by rows ----------------------------------------------------------

using namespace BPrivate;

namespace {

// data deflated as one zlib stream, as libtiff deflates a strip, after
// what *out holds. False without memory.
bool deflate_strip(const uint8* data, size_t size, std::vector<uint8>* out)
{
    z_stream stream = {};
    if (deflateInit(&stream, kDeflateLevel) != Z_OK)
        return false;
    const size_t start = out->size();
    size_t used = start;
    int result = Z_OK;
    try {
        out->resize(start + size_t(deflateBound(&stream, uLong(size))));
        stream.next_in = const_cast<Bytef*>(data);
        size_t left = size;
        // zlib counts in 32 bits: a row can be longer.
        constexpr size_t kStep = size_t(1) << 30;
        while (result == Z_OK) {
            if (stream.avail_in == 0 && left > 0) {
                stream.avail_in = uInt(std::min(left, kStep));
                left -= stream.avail_in;
            }
            if (used == out->size())
                out->resize(out->size() + (size_t(64) << 10));
            stream.next_out = out->data() + used;
            stream.avail_out = uInt(std::min(out->size() - used, kStep));
            const uInt room = stream.avail_out;
            result = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            used += room - stream.avail_out;
            if (result == Z_BUF_ERROR)
                result = Z_OK; // no progress possible until more room
        }
    } catch (const std::bad_alloc&) {
        result = Z_MEM_ERROR;
    }
    deflateEnd(&stream);
    out->resize(result == Z_STREAM_END ? used : start);
    return result == Z_STREAM_END;
}

// Rows as the translator writes them: red, green, blue.
void pack_rgb(const uint32* rows, size_t stride, uint32 count, uint32 width, uint8* to)
{
    for (uint32 y = 0; y < count; y++, rows += stride) {
        for (uint32 x = 0; x < width; x++) {
            const uint32 v = rows[x];
            *to++ = uint8(v >> 16);
            *to++ = uint8(v >> 8);
            *to++ = uint8(v);
        }
    }
}

// Strips wholly inside a band are deflated on the caller's threads; the
// rows of a strip that bands share are gathered and deflated in order.
class TiffRowWriter : public RowWriter
{
public:
    TiffRowWriter(uint32 width, uint32 height, uint32 dotsPerInch)
        : fWidth(width), fHeight(height), fDotsPerInch(dotsPerInch), fRowBytes(uint64(width) * 3),
          fStripRows(rows_per_strip(fRowBytes)), fOptions(0)
    {
    }

    ~TiffRowWriter() override
    {
        if (fTiff == nullptr)
            return;
        // Abandoned: the destination may be gone, and closing would write
        // the directory into it.
        fFile.io = nullptr;
        TIFFClose(fTiff);
    }

    uint32 BandRows() const override { return fStripRows; }

    status_t Head(BPositionIO* destination) override
    {
        if (destination == nullptr || fWidth == 0 || fHeight == 0 || fTiff != nullptr)
            return B_BAD_VALUE;
        silence_libtiff();
        fFile = StreamFile{destination, destination->Position(), 0, 0, B_OK};
        if (fFile.base < 0)
            return status_t(fFile.base);
        // Classic TIFF's offsets are 32 bits: past them only BigTIFF will do,
        // and how well the strips deflate is not known yet.
        const uint64 raw = fRowBytes * fHeight;
        const uint64 strips = (uint64(fHeight) + fStripRows - 1) / fStripRows;
        const uint64 most = raw + raw / 4096 + raw / 16384 + strips * 32 + 4096;
        fTiff = TIFFClientOpenExt("", most > UINT32_MAX ? "w8" : "w", &fFile, stream_read,
                                  stream_write, stream_seek, memory_close, stream_size, no_map,
                                  memory_unmap, fOptions.options);
        if (fTiff == nullptr)
            return fFile.status != B_OK ? fFile.status : B_ERROR;
        set_tags(fTiff, fWidth, fHeight, false, fDotsPerInch);
        return B_OK;
    }

    bool Encode(const uint32* rows, size_t stride, uint32 first, uint32 last,
                RowBand* band) const override
    {
        try {
            std::vector<uint8> raw;
            for (uint32 y = first; y < last;) {
                const uint32 end = _StripEnd(y);
                if (y % fStripRows == 0 && end <= last) {
                    raw.resize(size_t(fRowBytes) * (end - y));
                    pack_rgb(rows + size_t(y - first) * stride, stride, end - y, fWidth,
                             raw.data());
                    const size_t before = band->bytes.size();
                    if (!deflate_strip(raw.data(), raw.size(), &band->bytes))
                        return false;
                    band->parts.push_back(band->bytes.size() - before);
                }
                y = end;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    status_t Write(const uint32* rows, size_t stride, uint32 first, uint32 last,
                   RowBand& band) override
    {
        if (fTiff == nullptr)
            return B_NO_INIT;
        size_t offset = 0, part = 0;
        for (uint32 y = first; y < last;) {
            const uint32 end = _StripEnd(y);
            if (y % fStripRows == 0 && end <= last) {
                if (part >= band.parts.size())
                    return B_BAD_VALUE;
                if (status_t status = _WriteStrip(y, band.bytes.data() + offset, band.parts[part]);
                    status != B_OK)
                    return status;
                offset += band.parts[part++];
                y = end;
                continue;
            }
            const uint32 upto = std::min(end, last);
            try {
                const size_t at = fShared.size();
                fShared.resize(at + size_t(fRowBytes) * (upto - y));
                pack_rgb(rows + size_t(y - first) * stride, stride, upto - y, fWidth,
                         fShared.data() + at);
                if (upto == end) {
                    std::vector<uint8> deflated;
                    if (!deflate_strip(fShared.data(), fShared.size(), &deflated))
                        return B_NO_MEMORY;
                    std::vector<uint8>().swap(fShared);
                    if (status_t status = _WriteStrip(end - 1, deflated.data(), deflated.size());
                        status != B_OK)
                        return status;
                }
            } catch (const std::bad_alloc&) {
                return B_NO_MEMORY;
            }
            y = upto;
        }
        return B_OK;
    }

    status_t Finish() override
    {
        if (fTiff == nullptr)
            return B_NO_INIT;
        // Closing writes the directory; a failure there is a failure too.
        const bool ok = TIFFFlush(fTiff) == 1;
        TIFFClose(fTiff);
        fTiff = nullptr;
        if (fFile.status != B_OK)
            return fFile.status;
        if (!ok)
            return B_ERROR;
        fFile.io->Seek(fFile.base + off_t(fFile.size), SEEK_SET);
        return B_OK;
    }

private:
    uint32 _StripEnd(uint32 y) const
    {
        return uint32(std::min<uint64>(fHeight, (uint64(y) / fStripRows + 1) * fStripRows));
    }

    // The strip that holds row y, deflated.
    status_t _WriteStrip(uint32 y, const uint8* data, size_t size)
    {
        if (TIFFWriteRawStrip(fTiff, y / fStripRows, const_cast<uint8*>(data), tmsize_t(size)) ==
            tmsize_t(size))
            return B_OK;
        return fFile.status != B_OK ? fFile.status : B_ERROR;
    }

    uint32 fWidth, fHeight, fDotsPerInch;
    uint64 fRowBytes;
    uint32 fStripRows;
    OpenOptions fOptions;
    StreamFile fFile = {};
    TIFF* fTiff = nullptr;
    std::vector<uint8> fShared; // rows of the strip bands share, so far
};

} // namespace

std::unique_ptr<RowWriter> MakeTiffRowWriter(uint32 width, uint32 height, uint32 dotsPerInch)
{
    return std::make_unique<TiffRowWriter>(width, height, dotsPerInch);
}

// --- Read a row at a time ----------------------------------------------------

namespace BPrivate {

namespace {

// Read from the descriptor rather than mapped, as the whole reading reads:
// a file cut short by another program must not end the process.
struct DescriptorFile
{
    int fd;
    uint64 size;
    uint64 position;
};

tmsize_t descriptor_read(thandle_t handle, void* buffer, tmsize_t size)
{
    DescriptorFile* file = static_cast<DescriptorFile*>(handle);
    uint8* to = static_cast<uint8*>(buffer);
    tmsize_t done = 0;
    while (done < size && file->position < file->size) {
        const ssize_t n = pread(file->fd, to + done, size_t(size - done), off_t(file->position));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
        file->position += uint64(n);
    }
    return done;
}

toff_t descriptor_seek(thandle_t handle, toff_t offset, int whence)
{
    return BPrivate::seek_within(static_cast<DescriptorFile*>(handle), offset, whence);
}

toff_t descriptor_size(thandle_t handle)
{
    return static_cast<DescriptorFile*>(handle)->size;
}

// Decoded strips up to this size are read whole; larger ones (a picture
// in one compressed strip) a row at a time. Tiles are read a row of them
// at a time, up to this much.
constexpr uint64 kMostPieceBytes = uint64(64) << 20;
constexpr uint64 kMostTileRowBytes = uint64(256) << 20;

} // namespace

} // namespace BPrivate

struct TiffRowReader::Data
{
    BPrivate::DescriptorFile file{-1, 0, 0};
    TIFF* tif = nullptr;
    uint32 width = 0, height = 0;
    uint16 bits = 8, samples = 1;
    bool white = false;
    bool tiled = false;
    bool byScanline = false;
    uint16 compression = COMPRESSION_NONE;
    uint32 pieceRows = 0;  // rows a strip or a row of tiles holds
    uint32 stripRows = 0;
    uint32 tileWidth = 0;
    uint64 rowBytes = 0;
    std::vector<uint8> band; // decoded rows bandFirst on
    std::vector<uint8> tile;
    uint32 bandFirst = 0, bandRows = 0;
    uint32 row = 0;
    bool failed = false;

    ~Data()
    {
        if (tif != nullptr)
            TIFFClose(tif);
    }

    status_t Load(uint32 first);
    bool Present(uint32 piece, uint64 needed) const;
    void Convert(const uint8* from, uint32* to) const;
};

TiffRowReader::TiffRowReader() : fData(std::make_unique<Data>()) {}

TiffRowReader::~TiffRowReader() = default;

uint32 TiffRowReader::Width() const
{
    return fData->width;
}

uint32 TiffRowReader::Height() const
{
    return fData->height;
}

status_t TiffRowReader::Open(FILE* file, uint64 fileSize, uint64 maxPixels)
{
    using namespace BPrivate;
    Data& d = *fData;
    uint8 magic[4];
    if (file == nullptr || d.tif != nullptr || fread(magic, 1, 4, file) != 4 ||
        !((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
          (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42) ||
          (magic[0] == 'I' && magic[1] == 'I' && magic[2] == 43 && magic[3] == 0) ||
          (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 43)))
        return B_NO_TRANSLATOR;
    silence_libtiff();
    OpenOptions options(std::max<uint64>(default_read_budget().maxPixels * 8, uint64(64) << 20));
    d.file = DescriptorFile{fileno(file), fileSize, 0};
    d.tif = TIFFClientOpenExt("", "r", &d.file, descriptor_read, refuse_write, descriptor_seek,
                              memory_close, descriptor_size, no_map, memory_unmap,
                              options.options);
    if (d.tif == nullptr)
        return B_ILLEGAL_DATA;
    TIFF* tif = d.tif;
    uint32 width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0)
        return B_ILLEGAL_DATA;
    if (uint64(width) * height > maxPixels)
        return B_NO_MEMORY;

    // Only the layouts whose stored samples the whole reading takes as they
    // are (libtiff's RGBA interface, or our 16-bit grey) are read here.
    uint16 photometric = 0, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
    uint16& compression = d.compression;
    uint16 extraCount = 0;
    uint16* extraKinds = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &d.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &d.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
    if ((d.bits != 8 && d.bits != 16) || format != SAMPLEFORMAT_UINT ||
        planar != PLANARCONFIG_CONTIG || extraCount != 0 || compression == COMPRESSION_OJPEG ||
        (d.samples != 1 && d.samples != 3))
        return B_NO_TRANSLATOR;
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message))
        return B_NO_TRANSLATOR;
    if (!plausible(tif, fileSize))
        return B_ILLEGAL_DATA;
    {
        // The interpretation the RGBA interface settles on (it guesses one
        // the file does not give).
        TIFFRGBAImage img;
        if (!TIFFRGBAImageBegin(&img, tif, 1, message))
            return B_ILLEGAL_DATA;
        photometric = img.photometric;
        const bool upright = img.orientation == ORIENTATION_TOPLEFT && img.alpha == 0;
        TIFFRGBAImageEnd(&img);
        const bool grey =
            photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
        const bool colour = photometric == PHOTOMETRIC_RGB;
        if (!upright || !((grey && d.samples == 1) || (colour && d.samples == 3)))
            return B_NO_TRANSLATOR;
    }
    d.white = photometric == PHOTOMETRIC_MINISWHITE;

    d.width = width;
    d.height = height;
    d.rowBytes = uint64(width) * d.samples * (d.bits / 8);
    d.tiled = TIFFIsTiled(tif) != 0;
    try {
        if (d.tiled) {
            uint32 tileLength = 0;
            TIFFGetField(tif, TIFFTAG_TILEWIDTH, &d.tileWidth);
            TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
            const uint64 tileSize = uint64(TIFFTileSize64(tif));
            if (d.tileWidth == 0 || tileLength == 0 || tileSize == 0 ||
                uint64(TIFFTileRowSize64(tif)) < uint64(d.tileWidth) * d.samples * (d.bits / 8))
                return B_ILLEGAL_DATA;
            if (tileSize > kMostPieceBytes || d.rowBytes * tileLength > kMostTileRowBytes)
                return B_NO_TRANSLATOR;
            d.pieceRows = tileLength;
            d.tile.resize(size_t(tileSize));
            d.band.resize(size_t(d.rowBytes * std::min(tileLength, height)));
        } else {
            uint32 rowsPerStrip = height;
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
            rowsPerStrip = std::clamp<uint32>(rowsPerStrip, 1, height);
            if (uint64(TIFFScanlineSize64(tif)) != d.rowBytes)
                return B_ILLEGAL_DATA;
            d.stripRows = rowsPerStrip;
            d.byScanline = d.rowBytes * rowsPerStrip > kMostPieceBytes;
            d.pieceRows = d.byScanline ? 1 : rowsPerStrip;
            d.band.resize(size_t(d.rowBytes * d.pieceRows));
        }
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    return B_OK;
}

// The whole reading's libtiff reads a mapped file, which refuses a piece
// that runs past the file's end, or (uncompressed) holds fewer bytes than
// asked for; read from a descriptor, libtiff takes uncompressed pieces
// whatever their byte counts say, and reads others only as far as needed.
bool TiffRowReader::Data::Present(uint32 piece, uint64 needed) const
{
    const uint64 offset = TIFFGetStrileOffset(tif, piece);
    const uint64 count = TIFFGetStrileByteCount(tif, piece);
    if (count == 0 || offset > file.size || count > file.size - offset)
        return false;
    return compression != COMPRESSION_NONE || count >= needed;
}

status_t TiffRowReader::Data::Load(uint32 first)
{
    TIFF* t = tif;
    const uint32 rows = std::min(pieceRows, height - first);
    if (byScanline) {
        const uint32 strip = TIFFComputeStrip(t, first, 0);
        if (first % stripRows == 0 &&
            !Present(strip, rowBytes * std::min(stripRows, height - first)))
            return B_ILLEGAL_DATA;
        if (TIFFReadScanline(t, band.data(), first, 0) < 0)
            return B_ILLEGAL_DATA;
    } else if (!tiled) {
        const uint32 strip = TIFFComputeStrip(t, first, 0);
        if (!Present(strip, rowBytes * rows) ||
            TIFFReadEncodedStrip(t, strip, band.data(), tmsize_t(rowBytes * rows)) < 0)
            return B_ILLEGAL_DATA;
    } else {
        const uint64 pixelBytes = uint64(samples) * (bits / 8);
        const uint64 tileRowBytes = uint64(TIFFTileRowSize64(t));
        for (uint32 x = 0; x < width; x += tileWidth) {
            const uint32 piece = TIFFComputeTile(t, x, first, 0, 0);
            if (!Present(piece, tile.size()) ||
                TIFFReadEncodedTile(t, piece, tile.data(), tmsize_t(tile.size())) < 0)
                return B_ILLEGAL_DATA;
            const size_t across = size_t(std::min(tileWidth, width - x) * pixelBytes);
            for (uint32 r = 0; r < rows; r++)
                std::memcpy(band.data() + r * rowBytes + x * pixelBytes,
                            tile.data() + r * tileRowBytes, across);
        }
    }
    bandFirst = first;
    bandRows = rows;
    return B_OK;
}

void TiffRowReader::Data::Convert(const uint8* from, uint32* to) const
{
    // 16-bit samples are in the machine's order by now, rounded to 8 bits
    // as the whole reading rounds them: grey by our own routine, colour by
    // libtiff's table.
    const auto level = [this](const uint8* at) -> uint32 {
        if (bits == 8)
            return *at;
        uint16 v;
        std::memcpy(&v, at, 2);
        return samples == 1 ? BPrivate::to8(v) : (uint32(v) + 128) / 257;
    };
    const size_t step = bits / 8;
    for (uint32 x = 0; x < width; x++) {
        if (samples == 1) {
            uint32 v = level(from);
            if (white)
                v = 255 - v;
            to[x] = 0xFF000000u | v * 0x010101u;
            from += step;
        } else {
            to[x] = 0xFF000000u | level(from) << 16 | level(from + step) << 8 |
                    level(from + 2 * step);
            from += 3 * step;
        }
    }
}

status_t TiffRowReader::ReadRow(uint32* to)
{
    Data& d = *fData;
    if (d.failed)
        return B_ILLEGAL_DATA;
    if (d.tif == nullptr || d.width == 0 || d.row >= d.height)
        return B_BAD_VALUE;
    if (d.row >= d.bandFirst + d.bandRows || d.bandRows == 0) {
        BPrivate::silence_libtiff();
        if (status_t status = d.Load(d.row); status != B_OK) {
            d.failed = true;
            return status;
        }
    }
    d.Convert(d.band.data() + (d.row - d.bandFirst) * d.rowBytes, to);
    d.row++;
    return B_OK;
}

status_t TiffRowReader::Finish(bool* turned)
{
    Data& d = *fData;
    *turned = false;
    if (d.failed)
        return B_ILLEGAL_DATA;
    return d.row == d.height && d.height > 0 ? B_OK : B_BAD_VALUE;
}
