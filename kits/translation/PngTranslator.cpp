#include <PngTranslator.h>
#include <PngRows.h>
#include <RowReaders.h>

#include <Bitmap.h>
#include <DataIO.h>
#include <PictureFormats.h>
#include <PictureMemory.h>
#include <TranslatorFormats.h>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <any>
#include <cmath>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

using namespace BPrivate;

const uint8 kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// Deflate never expands more than this (258-byte matches in 2-bit codes).
constexpr uint64 kMaxInflateRatio = 1032;

struct ContextFree
{
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

struct PictureFree
{
    void operator()(void* block) const { picture_free(block); }
};

status_t status_for(int error)
{
    switch (error) {
    case SPNG_EMEM:
    case SPNG_ECHUNK_LIMITS:
    case SPNG_EWIDTH:
    case SPNG_EHEIGHT:
    case SPNG_EUSER_WIDTH:
    case SPNG_EUSER_HEIGHT:
        return B_NO_MEMORY;
    default:
        return B_ILLEGAL_DATA;
    }
}

// libspng writes R, G, B, A bytes; a B_RGB32 word is 0xAARRGGBB in memory
// order B, G, R, A.
void swap_red_and_blue(uint32* row, size_t count)
{
    for (size_t x = 0; x < count; x++) {
        uint32 p = row[x];
        row[x] = (p & 0xFF00FF00u) | ((p >> 16) & 0xFFu) | ((p & 0xFFu) << 16);
    }
}

// 16 bits to 8 rounded to nearest (v / 257), as Qt converted them.
inline uint32 to8(uint32 v)
{
    return (v + 128 - ((v + 128) >> 8)) >> 8;
}

void words_from_rgba16(const uint16* from, uint32* to, size_t count)
{
    for (size_t x = 0; x < count; x++, from += 4)
        to[x] = (to8(from[3]) << 24) | (to8(from[0]) << 16) | (to8(from[1]) << 8) | to8(from[2]);
}

void words_from_grey8(const uint8* from, uint32* to, size_t count)
{
    for (size_t x = 0; x < count; x++)
        to[x] = 0xFF000000u | (uint32(from[x]) * 0x010101u);
}

// Whether the picture carries alpha as Qt decided: an alpha channel, a
// transparent colour, or a palette with a translucent entry. Also reads the
// chunks before the pixels, whose errors it returns.
int find_alpha(spng_ctx* ctx, const spng_ihdr& ihdr, bool* alpha, bool* transparentColour)
{
    *alpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
             ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    *transparentColour = false;
    spng_trns trns;
    int error = spng_get_trns(ctx, &trns);
    if (error == SPNG_ECHUNKAVAIL)
        return 0;
    if (error != 0)
        return error;
    if (ihdr.color_type != SPNG_COLOR_TYPE_INDEXED) {
        *alpha = *transparentColour = true;
        return 0;
    }
    for (uint32 i = 0; i < trns.n_type3_entries && i < 256; i++)
        *alpha = *alpha || trns.type3_alpha[i] != 255;
    return 0;
}

uint32 channels_of(uint8 colorType)
{
    switch (colorType) {
    case SPNG_COLOR_TYPE_TRUECOLOR: return 3;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA: return 4;
    default: return 1;
    }
}

// How rows are inflated and made into B_RGB32 words. Plain grey, the usual
// depth picture, is widened in one pass; RGBA8 is decoded in place; 16-bit
// samples go through a row of their own.
struct RowFormat
{
    int format = SPNG_FMT_RGBA8;
    int flags = SPNG_DECODE_TRNS;
    size_t sampleBytes = 4;

    RowFormat(const spng_ihdr& ihdr, bool rgb32)
    {
        if (ihdr.bit_depth == 16) {
            format = SPNG_FMT_RGBA16;
            sampleBytes = 8;
        } else if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE && ihdr.bit_depth == 8 && rgb32) {
            format = SPNG_FMT_G8;
            flags = 0;
            sampleBytes = 1;
        }
    }

    bool InPlace() const { return format == SPNG_FMT_RGBA8; }

    // decoded is the row libspng gave (to itself when in place).
    void Finish(const uint8* decoded, uint32* to, size_t width) const
    {
        if (format == SPNG_FMT_G8)
            words_from_grey8(decoded, to, width);
        else if (format == SPNG_FMT_RGBA16)
            words_from_rgba16(reinterpret_cast<const uint16*>(decoded), to, width);
        else
            swap_red_and_blue(to, width);
    }
};

// A truecolour picture's PLTE is only a palette suggested to displays of
// few colours. libspng refuses one that follows tRNS or bKGD, where libpng,
// Pillow and FFmpeg read the file; such a palette is hidden from libspng.
// Where it lies (chunk header to CRC), {0, 0} when nothing is hidden.
struct HiddenChunk
{
    uint64 at = 0;
    uint64 length = 0;
};

HiddenChunk misplaced_palette(const uint8* data, uint64 size)
{
    HiddenChunk none;
    // Signature, then IHDR's 8-byte head and 13-byte body and CRC.
    if (size < 33 || std::memcmp(data + 12, "IHDR", 4) != 0)
        return none;
    const uint8 colourType = data[25];
    if (colourType != SPNG_COLOR_TYPE_TRUECOLOR && colourType != SPNG_COLOR_TYPE_TRUECOLOR_ALPHA)
        return none;
    bool after = false;
    for (uint64 at = 33; at + 12 <= size;) {
        const uint64 length = (uint64(data[at]) << 24) | (uint64(data[at + 1]) << 16) |
                              (uint64(data[at + 2]) << 8) | data[at + 3];
        const uint8* type = data + at + 4;
        if (std::memcmp(type, "IDAT", 4) == 0 || length > size - at - 12)
            return none;
        if (std::memcmp(type, "PLTE", 4) == 0)
            return after ? HiddenChunk{at, length + 12} : none;
        after = after || std::memcmp(type, "tRNS", 4) == 0 || std::memcmp(type, "bKGD", 4) == 0;
        at += length + 12;
    }
    return none;
}

// The file's bytes as libspng reads them: all of them, or all but a hidden
// chunk (read through a stream, which copies).
struct PngBytes
{
    const uint8* data = nullptr;
    uint64 size = 0;
    HiddenChunk hidden;
    uint64 at = 0; // in the file as libspng sees it

    static int Read(spng_ctx*, void* user, void* to, size_t length)
    {
        PngBytes& b = *static_cast<PngBytes*>(user);
        uint8* out = static_cast<uint8*>(to);
        while (length > 0) {
            const uint64 from = b.at < b.hidden.at ? b.at : b.at + b.hidden.length;
            const uint64 end = b.at < b.hidden.at ? b.hidden.at : b.size;
            if (from >= end)
                return SPNG_IO_EOF;
            const size_t n = size_t(std::min<uint64>(length, end - from));
            std::memcpy(out, b.data + from, n);
            out += n;
            length -= n;
            b.at += n;
        }
        return 0;
    }
};

struct PngContext
{
    std::unique_ptr<spng_ctx, ContextFree> ctx;
    PngBytes bytes;

    spng_ctx* get() const { return ctx.get(); }
};

// What the header stage opened, kept for the decoder, so that the chunks
// before the pixels are read once. Held by pointer: libspng's stream reads
// through the context's own bytes.
struct PngOpened
{
    PngContext context;
    spng_ihdr ihdr = {};
};

// A context over the whole file, its header read; B_OK or why not.
status_t open_png(const ImageSource& source, const ReadBudget& budget, PngContext* context,
                  spng_ihdr* ihdr)
{
    // The pixels' zlib checksum is only compared once the stream is read to
    // its very end, which the image never needs: not computing it saves a
    // pass. Every chunk's CRC is still checked.
    context->ctx.reset(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
    spng_ctx* ctx = context->get();
    if (ctx == nullptr)
        return B_NO_MEMORY;
    size_t ancillary = size_t(std::min<uint64>(budget.maxAncillaryBytes,
                                               std::numeric_limits<uint32>::max() >> 1));
    spng_set_chunk_limits(ctx, ancillary, ancillary);
    spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    PngBytes& bytes = context->bytes;
    bytes = PngBytes{source.data, source.size, misplaced_palette(source.data, source.size), 0};
    const int error = bytes.hidden.length == 0
                          ? spng_set_png_buffer(ctx, source.data, source.size)
                          : spng_set_png_stream(ctx, &PngBytes::Read, &bytes);
    if (error != 0)
        return B_ILLEGAL_DATA;
    if (int error = spng_get_ihdr(ctx, ihdr); error != 0)
        return status_for(error);
    return B_OK;
}

class PngTranslator : public ImageTranslator
{
public:
    PngTranslator() : ImageTranslator(B_PNG_FORMAT) {}

    const char* Name() const override { return "png"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 8 && std::memcmp(source.data, kSignature, 8) == 0 ? kMine
                                                                                  : kNotMine;
    }

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override;
    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override;

protected:
    // write_png takes grey and 15- to 32-bit colour too, and says so itself.
    bool Takes(const BBitmap&) const override { return true; }

    status_t Encode(const BBitmap& bitmap, BPositionIO* destination,
                    const WriteSettings& settings) const override
    {
        PngWriteOptions options;
        options.dotsPerInch = settings.dotsPerInch;
        return write_png(bitmap, destination, options);
    }

private:
    static status_t _Decode(spng_ctx* ctx, const spng_ihdr& ihdr, BBitmap* bitmap);
};

status_t PngTranslator::ReadHeader(const ImageSource& source, const ReadBudget& budget,
                                   PictureHeader* header) const
{
    std::shared_ptr<PngOpened> opened;
    try {
        opened = std::make_shared<PngOpened>();
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    PngContext& ctx = opened->context;
    const spng_ihdr& ihdr = opened->ihdr;
    if (status_t status = open_png(source, budget, &ctx, &opened->ihdr); status != B_OK)
        return status;
    header->width = ihdr.width;
    header->height = ihdr.height;
    if (!budget.Admits(ihdr.width, ihdr.height))
        return B_NO_MEMORY;
    // Filtered rows (and Adam7's extra ones) that the file could possibly
    // inflate to; a header announcing more lies.
    const uint64 rowBytes =
        (uint64(ihdr.width) * channels_of(ihdr.color_type) * ihdr.bit_depth + 7) / 8;
    const uint64 raw = (rowBytes + 1) * uint64(ihdr.height), slack = 15 * uint64(ihdr.height);
    header->leastBytes = raw > slack ? (raw - slack + kMaxInflateRatio - 1) / kMaxInflateRatio - 1
                                     : 0;
    bool transparentColour = false;
    if (int error = find_alpha(ctx.get(), ihdr, &header->alpha, &transparentColour); error != 0)
        return status_for(error);
    header->state = std::move(opened);
    return B_OK;
}

status_t PngTranslator::Decode(const ImageSource& source, const ReadBudget& budget,
                               PictureHeader* header, BBitmap* bitmap) const
{
    std::shared_ptr<PngOpened> opened;
    if (auto* kept = std::any_cast<std::shared_ptr<PngOpened>>(&header->state)) {
        opened = std::move(*kept);
        header->state.reset();
    } else {
        try {
            opened = std::make_shared<PngOpened>();
        } catch (const std::bad_alloc&) {
            return B_NO_MEMORY;
        }
        if (status_t status = open_png(source, budget, &opened->context, &opened->ihdr);
            status != B_OK)
            return status;
    }
    const PngContext& ctx = opened->context;
    const spng_ihdr& ihdr = opened->ihdr;
    if (ihdr.width != header->width || ihdr.height != header->height)
        return B_ILLEGAL_DATA;
    status_t status = B_NO_MEMORY;
    try {
        status = _Decode(ctx.get(), ihdr, bitmap);
    } catch (const std::bad_alloc&) {
        // the scratch row could not be had
    }
    // The rest of the file, to IEND, must be sound too.
    if (status == B_OK) {
        if (int error = spng_decode_chunks(ctx.get()); error != 0)
            status = status_for(error);
    }
    if (status != B_OK)
        return status;
    // eXIf may follow the pixels: known only now.
    spng_exif exif;
    if (spng_get_exif(ctx.get(), &exif) == 0)
        header->orientation =
            exif_orientation(reinterpret_cast<const uint8*>(exif.data), exif.length);
    return B_OK;
}

// Every pixel of the bitmap written, rows expanded to B_RGB32 words as they
// are inflated.
status_t PngTranslator::_Decode(spng_ctx* ctx, const spng_ihdr& ihdr, BBitmap* bitmap)
{
    const size_t width = ihdr.width, height = ihdr.height;
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    const size_t rowBytes = size_t(bitmap->BytesPerRow());
    const RowFormat row(ihdr, bitmap->ColorSpace() == B_RGB32);
    const int format = row.format, flags = row.flags;
    const size_t sampleBytes = row.sampleBytes;
    const bool inPlace = row.InPlace();
    auto finish_row = [&](const uint8* decoded, size_t y) {
        row.Finish(decoded, reinterpret_cast<uint32*>(bits + y * rowBytes), width);
    };

    if (ihdr.interlace_method != SPNG_INTERLACE_NONE) {
        // Adam7 fills each row over several passes: decode the whole picture
        // first, then convert.
        if (inPlace) {
            if (int error = spng_decode_image(ctx, bits, rowBytes * height, format, flags))
                return status_for(error);
            for (size_t y = 0; y < height; y++)
                finish_row(nullptr, y);
            return B_OK;
        }
        size_t length = 0;
        if (spng_decoded_image_size(ctx, format, &length) != 0 ||
            length != width * height * sampleBytes)
            return B_NO_MEMORY;
        std::unique_ptr<uint8, PictureFree> whole(static_cast<uint8*>(picture_alloc(length)));
        if (whole == nullptr)
            return B_NO_MEMORY;
        if (int error = spng_decode_image(ctx, whole.get(), length, format, flags))
            return status_for(error);
        for (size_t y = 0; y < height; y++)
            finish_row(whole.get() + y * width * sampleBytes, y);
        return B_OK;
    }

    if (int error = spng_decode_image(ctx, nullptr, 0, format, flags | SPNG_DECODE_PROGRESSIVE))
        return status_for(error);
    std::vector<uint8> scratch(inPlace ? 0 : width * sampleBytes);
    for (size_t y = 0; y < height; y++) {
        uint8* target = inPlace ? bits + y * rowBytes : scratch.data();
        int error = spng_decode_row(ctx, target, width * sampleBytes);
        // The last row reports the end of the image.
        if (error != 0 && !(error == SPNG_EOI && y == height - 1))
            return status_for(error);
        finish_row(target, y);
    }
    return B_OK;
}

// --- Writing ------------------------------------------------------------------

void put_be32(uint8* to, uint32 value)
{
    to[0] = uint8(value >> 24);
    to[1] = uint8(value >> 16);
    to[2] = uint8(value >> 8);
    to[3] = uint8(value);
}

uint32 chunk_crc(const uint8* typeAndData, size_t length)
{
    return crc32_gzip_refl(0, typeAndData, length);
}

// The bytes of one PNG row (before filtering) from one bitmap row.
void pack_row(const uint8* from, uint8* to, size_t width, color_space space)
{
    switch (space) {
    case B_RGB32:
        for (size_t x = 0; x < width; x++, from += 4, to += 3) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
        break;
    case B_RGBA32:
        for (size_t x = 0; x < width; x++, from += 4, to += 4) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
            to[3] = from[3];
        }
        break;
    case B_RGB24:
        for (size_t x = 0; x < width; x++, from += 3, to += 3) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
        break;
    case B_RGB16:
    case B_RGB15: {
        // Bits replicated into the low ones, as Qt widens them.
        const bool six = space == B_RGB16;
        for (size_t x = 0; x < width; x++, from += 2, to += 3) {
            uint32 p = uint32(from[0]) | (uint32(from[1]) << 8);
            uint32 r = six ? (p >> 11) & 31 : (p >> 10) & 31;
            uint32 g = six ? (p >> 5) & 63 : (p >> 5) & 31;
            uint32 b = p & 31;
            to[0] = uint8((r << 3) | (r >> 2));
            to[1] = uint8(six ? (g << 2) | (g >> 4) : (g << 3) | (g >> 2));
            to[2] = uint8((b << 3) | (b >> 2));
        }
        break;
    }
    default: // B_GRAY8
        std::memcpy(to, from, width);
        break;
    }
}

// Whether every pixel of a B_RGB32 picture is grey (its alpha byte is not
// written): such a picture is written as grey, the same pixels for every
// reader from a third of the bytes, which deflate faster and into far less
// (a random-dot stereogram: a quarter of the file in a third of the time).
// A coloured picture stops the look at its first coloured pixel.
bool all_grey(const BBitmap& bitmap)
{
    if (bitmap.ColorSpace() != B_RGB32)
        return false;
    const size_t width = size_t(bitmap.PixelWidth());
    const size_t bitmapRow = size_t(bitmap.BytesPerRow());
    const auto* bits = static_cast<const uint8*>(bitmap.Bits());
    for (int32 y = 0; y < bitmap.PixelHeight(); y++) {
        const auto* row = reinterpret_cast<const uint32*>(bits + size_t(y) * bitmapRow);
        uint32 colour = 0;
        for (size_t x = 0; x < width; x++)
            colour |= (row[x] ^ (row[x] >> 8)) & 0xFFFFu; // blue against green, green against red
        if (colour != 0)
            return false;
    }
    return true;
}

// One grey PNG row from a grey B_RGB32 row: the blue byte of each word.
void pack_grey_row(const uint8* from, uint8* to, size_t width)
{
    for (size_t x = 0; x < width; x++, from += 4)
        to[x] = from[0];
}

uint32 png_channels(color_space space)
{
    switch (space) {
    case B_RGB32:
    case B_RGB24:
    case B_RGB16:
    case B_RGB15: return 3;
    case B_RGBA32: return 4;
    case B_GRAY8: return 1;
    default: return 0;
    }
}

inline uint8 paeth(uint8 a, uint8 b, uint8 c)
{
    int p = int(a) + int(b) - int(c);
    int pa = std::abs(p - int(a)), pb = std::abs(p - int(b)), pc = std::abs(p - int(c));
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// One row filtered into to (filter byte first); previous is null on the
// first row of the picture.
void filter_row(int32 filter, const uint8* row, const uint8* previous, uint8* to, size_t length,
                size_t pixelBytes)
{
    to[0] = uint8(filter);
    uint8* out = to + 1;
    switch (filter) {
    case 1:
        for (size_t i = 0; i < length; i++)
            out[i] = uint8(row[i] - (i >= pixelBytes ? row[i - pixelBytes] : 0));
        break;
    case 2:
        for (size_t i = 0; i < length; i++)
            out[i] = uint8(row[i] - (previous != nullptr ? previous[i] : 0));
        break;
    case 3:
        for (size_t i = 0; i < length; i++) {
            uint32 left = i >= pixelBytes ? row[i - pixelBytes] : 0;
            uint32 up = previous != nullptr ? previous[i] : 0;
            out[i] = uint8(row[i] - uint8((left + up) >> 1));
        }
        break;
    case 4:
        for (size_t i = 0; i < length; i++) {
            uint8 left = i >= pixelBytes ? row[i - pixelBytes] : 0;
            uint8 up = previous != nullptr ? previous[i] : 0;
            uint8 corner = i >= pixelBytes && previous != nullptr ? previous[i - pixelBytes] : 0;
            out[i] = uint8(row[i] - paeth(left, up, corner));
        }
        break;
    default:
        std::memcpy(out, row, length);
        break;
    }
}

// One deflate stream over a band: ends byte-aligned for the next band to
// follow, or with the final block.
class BandDeflater
{
public:
    BandDeflater(const PngWriteOptions& options, std::vector<uint8>* out)
        : fEngine(options.engine), fOut(out)
    {
        if (fEngine == png_deflate::kIsal) {
            isal_deflate_init(&fIsal);
            fIsal.gzip_flag = IGZIP_DEFLATE;
            fIsal.level = uint32(std::clamp(options.level, 0, 3));
            static const size_t kLevelBuffer[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT,
                                                  ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT};
            fLevelBuffer.resize(kLevelBuffer[fIsal.level]);
            fIsal.level_buf = fLevelBuffer.data();
            fIsal.level_buf_size = uint32(fLevelBuffer.size());
            fReady = true;
        } else {
            std::memset(&fZlib, 0, sizeof(fZlib));
            fReady = deflateInit2(&fZlib, std::clamp(options.level, 0, 9), Z_DEFLATED, -15, 8,
                                  Z_DEFAULT_STRATEGY) == Z_OK;
        }
    }

    ~BandDeflater()
    {
        if (fEngine == png_deflate::kZlib && fReady)
            deflateEnd(&fZlib);
    }

    // end: 0 more follows, 1 the band ends, 2 the stream ends.
    bool Deflate(uint8* data, size_t length, int end)
    {
        if (!fReady)
            return false;
        return fEngine == png_deflate::kIsal ? _Isal(data, length, end)
                                             : _Zlib(data, length, end);
    }

private:
    // Room for at least bytes more at the end of the output; where it starts.
    uint8* _Room(size_t bytes, size_t* used)
    {
        *used = fOut->size();
        fOut->resize(*used + bytes);
        return fOut->data() + *used;
    }

    bool _Isal(uint8* data, size_t length, int end)
    {
        fIsal.next_in = data;
        fIsal.avail_in = uint32(length);
        fIsal.end_of_stream = end == 2;
        fIsal.flush = end == 1 ? SYNC_FLUSH : NO_FLUSH;
        while (true) {
            size_t used = 0, room = length / 2 + 65536;
            fIsal.next_out = _Room(room, &used);
            fIsal.avail_out = uint32(room);
            int result = isal_deflate(&fIsal);
            fOut->resize(used + room - fIsal.avail_out);
            if (result != COMP_OK)
                return false;
            if (fIsal.avail_in > 0 || fIsal.avail_out == 0)
                continue;
            if (end == 2 && fIsal.internal_state.state != ZSTATE_END)
                continue;
            return true;
        }
    }

    bool _Zlib(uint8* data, size_t length, int end)
    {
        fZlib.next_in = data;
        fZlib.avail_in = uInt(length);
        int flush = end == 2 ? Z_FINISH : end == 1 ? Z_SYNC_FLUSH : Z_NO_FLUSH;
        while (true) {
            size_t used = 0, room = length / 2 + 65536;
            fZlib.next_out = _Room(room, &used);
            fZlib.avail_out = uInt(room);
            int result = deflate(&fZlib, flush);
            fOut->resize(used + room - fZlib.avail_out);
            if (result == Z_STREAM_ERROR)
                return false;
            if (flush == Z_FINISH ? result == Z_STREAM_END
                                  : fZlib.avail_in == 0 && fZlib.avail_out != 0)
                return true;
        }
    }

    png_deflate fEngine;
    std::vector<uint8>* fOut;
    bool fReady = false;
    isal_zstream fIsal;
    std::vector<uint8> fLevelBuffer;
    z_stream fZlib;
};

struct Band
{
    uint32 first = 0, last = 0;
    std::vector<uint8> chunk; // a whole IDAT chunk
    uint32 adler = 1;
    uint64 rawLength = 0;
    bool done = false;
    bool ok = false;
    // Set when the band's work is no longer wanted.
    const std::atomic<bool>* stop = nullptr;
};

class PngWriter
{
public:
    PngWriter(const BBitmap& bitmap, BPositionIO* destination, const PngWriteOptions& options)
        : fBitmap(bitmap), fDestination(destination), fOptions(options),
          fWidth(size_t(bitmap.PixelWidth())), fGrey(all_grey(bitmap)),
          fChannels(fGrey ? 1 : png_channels(bitmap.ColorSpace()))
    {
    }

    status_t Write();

private:
    void _Work();
    bool _DeflateBand(Band& band);

    const BBitmap& fBitmap;
    BPositionIO* fDestination;
    PngWriteOptions fOptions;
    size_t fWidth;
    bool fGrey; // B_RGB32 written as grey
    uint32 fChannels;
    std::vector<Band> fBands;
    std::atomic<size_t> fNextBand{0};
    std::atomic<bool> fFailed{false};
    std::mutex fLock;
    size_t fNextWrite = 0;
    status_t fStatus = B_OK;
};

// One band's rows packed, filtered and deflated into a whole IDAT chunk of
// its own (the zlib header on the first band, the final block on the last):
// bands are made on any thread in any order and written in order.
// rowAt(y) gives bitmap row y in space, also row first - 1 when the filter
// looks at the row above.
template <typename RowAt>
bool deflate_band(RowAt rowAt, size_t width, uint32 channels, bool grey, color_space space,
                  const PngWriteOptions& options, uint32 height, Band& band)
{
    const size_t packed = width * channels;
    const size_t raw = packed + 1;
    const size_t rowsPerStep = std::max<size_t>(1, (size_t(256) << 10) / raw);
    const bool needsPrevious = options.filter >= 2;
    auto pack = [=](const uint8* from, uint8* to) {
        if (grey)
            pack_grey_row(from, to, width);
        else
            pack_row(from, to, width, space);
    };

    std::vector<uint8> stage(rowsPerStep * raw);
    std::vector<uint8> rows[2] = {std::vector<uint8>(packed), std::vector<uint8>(packed)};
    int current = 0;
    bool havePrevious = false;
    if (needsPrevious && band.first > 0) {
        pack(rowAt(band.first - 1), rows[1].data());
        havePrevious = true;
    }

    band.chunk.reserve(size_t(64) << 10);
    band.chunk.resize(8);
    std::memcpy(band.chunk.data() + 4, "IDAT", 4);
    if (band.first == 0) {
        band.chunk.push_back(0x78); // zlib header: deflate, 32 KiB window
        band.chunk.push_back(0x01);
    }
    const bool lastBand = band.last == height;
    BandDeflater deflater(options, &band.chunk);
    for (uint32 y = band.first; y < band.last;) {
        if (band.stop != nullptr && band.stop->load(std::memory_order_relaxed))
            return false;
        size_t count = std::min<size_t>(rowsPerStep, band.last - y);
        uint8* to = stage.data();
        for (size_t i = 0; i < count; i++, y++, to += raw) {
            const uint8* from = rowAt(y);
            if (options.filter == 0) {
                to[0] = 0;
                pack(from, to + 1);
                continue;
            }
            pack(from, rows[current].data());
            filter_row(options.filter, rows[current].data(),
                       havePrevious ? rows[1 - current].data() : nullptr, to, packed, channels);
            havePrevious = needsPrevious;
            current = 1 - current;
        }
        size_t length = count * raw;
        band.adler = isal_adler32(band.adler, stage.data(), length);
        band.rawLength += length;
        int end = y < band.last ? 0 : lastBand ? 2 : 1;
        if (!deflater.Deflate(stage.data(), length, end))
            return false;
    }
    size_t payload = band.chunk.size() - 8;
    if (payload > 0x7FFFFFFFu)
        return false;
    put_be32(band.chunk.data(), uint32(payload));
    uint32 crc = chunk_crc(band.chunk.data() + 4, payload + 4);
    band.chunk.resize(band.chunk.size() + 4);
    put_be32(band.chunk.data() + band.chunk.size() - 4, crc);
    return true;
}

// Signature, IHDR and pHYs.
std::vector<uint8> png_head(uint32 width, uint32 height, uint32 channels, uint32 dotsPerInch)
{
    uint8 header[13];
    put_be32(header, width);
    put_be32(header + 4, height);
    header[8] = 8;
    header[9] = channels == 4 ? 6 : channels == 3 ? 2 : 0;
    header[10] = header[11] = header[12] = 0;
    std::vector<uint8> bytes(kSignature, kSignature + sizeof(kSignature));
    auto chunk = [&bytes](const char type[4], const uint8* data, size_t length) {
        const size_t at = bytes.size();
        bytes.resize(at + 12 + length);
        put_be32(bytes.data() + at, uint32(length));
        std::memcpy(bytes.data() + at + 4, type, 4);
        if (length > 0)
            std::memcpy(bytes.data() + at + 8, data, length);
        put_be32(bytes.data() + at + 8 + length, chunk_crc(bytes.data() + at + 4, 4 + length));
    };
    chunk("IHDR", header, sizeof(header));
    if (dotsPerInch > 0) {
        // pHYs counts pixels a metre: 300 dpi is 11811.
        uint8 physical[9];
        const uint32 perMetre = uint32(std::lround(dotsPerInch / 0.0254));
        put_be32(physical, perMetre);
        put_be32(physical + 4, perMetre);
        physical[8] = 1; // the unit is the metre
        chunk("pHYs", physical, sizeof(physical));
    }
    return bytes;
}

// The pixels' checksum after the last band, and IEND.
std::vector<uint8> png_tail(uint32 adler)
{
    std::vector<uint8> bytes(12 + 4 + 12);
    put_be32(bytes.data(), 4);
    std::memcpy(bytes.data() + 4, "IDAT", 4);
    put_be32(bytes.data() + 8, adler);
    put_be32(bytes.data() + 12, chunk_crc(bytes.data() + 4, 8));
    std::memcpy(bytes.data() + 20, "IEND", 4);
    put_be32(bytes.data() + 24, chunk_crc(bytes.data() + 20, 4));
    return bytes;
}

bool PngWriter::_DeflateBand(Band& band)
{
    const uint8* bits = static_cast<const uint8*>(fBitmap.Bits());
    const size_t bitmapRow = size_t(fBitmap.BytesPerRow());
    band.stop = &fFailed;
    return deflate_band([=](uint32 y) { return bits + size_t(y) * bitmapRow; }, fWidth, fChannels,
                        fGrey, fBitmap.ColorSpace(), fOptions, uint32(fBitmap.PixelHeight()),
                        band);
}

void PngWriter::_Work()
{
    while (true) {
        size_t index = fNextBand.fetch_add(1);
        if (index >= fBands.size())
            return;
        Band& band = fBands[index];
        bool ok = false;
        status_t failure = B_ERROR;
        try {
            ok = !fFailed.load() && _DeflateBand(band);
        } catch (const std::bad_alloc&) {
            // On a helper thread an exception would end the process.
            failure = B_NO_MEMORY;
        }
        std::lock_guard<std::mutex> guard(fLock);
        band.done = true;
        band.ok = ok;
        if (!ok) {
            fFailed = true;
            if (fStatus == B_OK)
                fStatus = failure;
        }
        // Bands go out in order as soon as those before them are done.
        while (fNextWrite < fBands.size() && fBands[fNextWrite].done) {
            Band& next = fBands[fNextWrite++];
            if (fStatus == B_OK && next.ok) {
                fStatus = fDestination->WriteExactly(next.chunk.data(), next.chunk.size());
                if (fStatus != B_OK)
                    fFailed = true;
            }
            std::vector<uint8>().swap(next.chunk);
        }
    }
}

status_t PngWriter::Write()
{
    const uint32 height = uint32(fBitmap.PixelHeight());
    const std::vector<uint8> head = png_head(uint32(fWidth), height, fChannels, fOptions.dotsPerInch);
    status_t status = fDestination->WriteExactly(head.data(), head.size());
    if (status != B_OK)
        return status;

    const size_t raw = fWidth * fChannels + 1;
    const size_t rowsPerBand = std::max<size_t>(1, fOptions.bandBytes / raw);
    for (uint32 first = 0; first < height;) {
        Band band;
        band.first = first;
        band.last = uint32(std::min<size_t>(height, first + rowsPerBand));
        first = band.last;
        fBands.push_back(std::move(band));
    }
    size_t threads = fOptions.threads > 0 ? size_t(fOptions.threads)
                                          : std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, fBands.size());
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; i++) {
        try {
            helpers.emplace_back([this] { _Work(); });
        } catch (...) {
            break; // the bands left are done here
        }
    }
    _Work();
    for (std::thread& helper : helpers)
        helper.join();
    if (fStatus != B_OK)
        return fStatus;

    uint32 adler = 1;
    for (const Band& band : fBands)
        adler = uint32(adler32_combine64(adler, band.adler, z_off64_t(band.rawLength)));
    const std::vector<uint8> tail = png_tail(adler);
    return fDestination->WriteExactly(tail.data(), tail.size());
}

} // namespace

namespace BPrivate {

status_t write_png(const BBitmap& bitmap, BPositionIO* destination, const PngWriteOptions& options)
{
    if (destination == nullptr || !bitmap.IsValid() || bitmap.Bits() == nullptr)
        return B_BAD_VALUE;
    if (png_channels(bitmap.ColorSpace()) == 0)
        return B_BAD_VALUE;
    try {
        PngWriter writer(bitmap, destination, options);
        return writer.Write();
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
}

const ImageTranslator* png_translator()
{
    static const PngTranslator translator;
    return &translator;
}

} // namespace BPrivate

using namespace BPrivate;

PngRowWriter::PngRowWriter(uint32 width, uint32 height, bool grey, uint32 dotsPerInch)
    : fWidth(width), fHeight(height), fGrey(grey), fDotsPerInch(dotsPerInch)
{
}

std::vector<uint8> PngRowWriter::Head() const
{
    return png_head(fWidth, fHeight, fGrey ? 1 : 3, fDotsPerInch);
}

bool PngRowWriter::Deflate(const uint32* rows, size_t stride, uint32 first, uint32 last,
                           PngRowBand* out) const
{
    if (first >= last || last > fHeight)
        return false;
    Band band;
    band.first = first;
    band.last = last;
    // The caller's buffer again, its pages already touched: a fresh one for
    // every band costs more in faults and zeroing than the deflate itself.
    band.chunk = std::move(out->chunk);
    band.chunk.clear();
    const uint8* bits = reinterpret_cast<const uint8*>(rows);
    try {
        if (!deflate_band([=](uint32 y) { return bits + size_t(y - first) * stride * 4; }, fWidth,
                          fGrey ? 1 : 3, fGrey, B_RGB32, PngWriteOptions(), fHeight, band))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    out->chunk = std::move(band.chunk);
    out->adler = band.adler;
    out->rawLength = band.rawLength;
    return true;
}

void PngRowWriter::Add(const PngRowBand& band)
{
    fAdler = uint32(adler32_combine64(fAdler, band.adler, z_off64_t(band.rawLength)));
}

std::vector<uint8> PngRowWriter::Tail() const
{
    return png_tail(fAdler);
}

struct PngRowReader::Data
{
    std::unique_ptr<spng_ctx, ContextFree> ctx;
    spng_ihdr ihdr = {};
    std::unique_ptr<RowFormat> format;
    std::vector<uint8> scratch;
    uint32 row = 0;
};

PngRowReader::PngRowReader() : fData(std::make_unique<Data>()) {}

PngRowReader::~PngRowReader() = default;

uint32 PngRowReader::Width() const
{
    return fData->ihdr.width;
}

uint32 PngRowReader::Height() const
{
    return fData->ihdr.height;
}

status_t PngRowReader::Open(FILE* file, uint64 fileSize, uint64 maxPixels)
{
    uint8 signature[8];
    if (file == nullptr || fread(signature, 1, 8, file) != 8 ||
        std::memcmp(signature, kSignature, 8) != 0 || fseek(file, 0, SEEK_SET) != 0)
        return B_NO_TRANSLATOR;
    Data& d = *fData;
    d.ctx.reset(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
    spng_ctx* ctx = d.ctx.get();
    if (ctx == nullptr)
        return B_NO_MEMORY;
    const size_t ancillary = size_t(8) << 20;
    spng_set_chunk_limits(ctx, ancillary, ancillary);
    spng_set_crc_action(ctx, SPNG_CRC_ERROR, SPNG_CRC_ERROR);
    if (spng_set_png_file(ctx, file) != 0)
        return B_ILLEGAL_DATA;
    if (int error = spng_get_ihdr(ctx, &d.ihdr); error != 0)
        return status_for(error);
    const spng_ihdr& ihdr = d.ihdr;
    if (uint64(ihdr.width) * ihdr.height > maxPixels)
        return B_NO_MEMORY;
    // Pixel data far shorter than its rows could ever inflate from is a
    // lie, told before any row is made.
    const uint64 rowBytes =
        (uint64(ihdr.width) * channels_of(ihdr.color_type) * ihdr.bit_depth + 7) / 8;
    if ((rowBytes + 1) * ihdr.height / kMaxInflateRatio > fileSize)
        return B_ILLEGAL_DATA;
    bool alpha = false, transparentColour = false;
    if (int error = find_alpha(ctx, ihdr, &alpha, &transparentColour); error != 0)
        return status_for(error);
    // Such pictures are read whole, as the reading pipeline reads them.
    if (alpha || ihdr.interlace_method != SPNG_INTERLACE_NONE)
        return B_NO_TRANSLATOR;
    d.format = std::make_unique<RowFormat>(ihdr, true);
    if (int error = spng_decode_image(ctx, nullptr, 0, d.format->format,
                                      d.format->flags | SPNG_DECODE_PROGRESSIVE))
        return status_for(error);
    spng_exif exif;
    if (spng_get_exif(ctx, &exif) == 0 &&
        exif_orientation(reinterpret_cast<const uint8*>(exif.data), exif.length) != 1)
        return B_NO_TRANSLATOR;
    try {
        d.scratch.resize(size_t(ihdr.width) * d.format->sampleBytes);
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    }
    return B_OK;
}

status_t PngRowReader::ReadRow(uint32* to)
{
    Data& d = *fData;
    if (d.format == nullptr || d.row >= d.ihdr.height)
        return B_BAD_VALUE;
    const size_t width = d.ihdr.width;
    uint8* target = d.format->InPlace() ? reinterpret_cast<uint8*>(to) : d.scratch.data();
    int error = spng_decode_row(d.ctx.get(), target, width * d.format->sampleBytes);
    // The last row reports the end of the image.
    if (error != 0 && !(error == SPNG_EOI && d.row == d.ihdr.height - 1))
        return status_for(error);
    d.format->Finish(target, to, width);
    d.row++;
    return B_OK;
}

status_t PngRowReader::Finish(bool* turned)
{
    Data& d = *fData;
    *turned = false;
    if (d.format == nullptr || d.row != d.ihdr.height)
        return B_BAD_VALUE;
    if (int error = spng_decode_chunks(d.ctx.get()); error != 0)
        return status_for(error);
    spng_exif exif;
    *turned = spng_get_exif(d.ctx.get(), &exif) == 0 &&
              exif_orientation(reinterpret_cast<const uint8*>(exif.data), exif.length) != 1;
    return B_OK;
}
