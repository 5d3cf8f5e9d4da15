#include <Jpeg2000Translator.h>

#include <CodecSupport.h>
#include <PictureHeaders.h>

#include <cmath>
#include <cstring>
#include <memory>

#include <openjpeg.h>

namespace BPrivate {

namespace {

const uint8 kJp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
const uint8 kCodestreamStart[4] = {0xFF, 0x4F, 0xFF, 0x51}; // SOC, then SIZ

struct MemoryStream
{
    const uint8* data;
    uint64 size;
    uint64 position;
};

OPJ_SIZE_T stream_read(void* buffer, OPJ_SIZE_T count, void* user)
{
    MemoryStream* stream = static_cast<MemoryStream*>(user);
    if (stream->position >= stream->size)
        return OPJ_SIZE_T(-1); // the end
    uint64 n = std::min<uint64>(count, stream->size - stream->position);
    std::memcpy(buffer, stream->data + stream->position, n);
    stream->position += n;
    return OPJ_SIZE_T(n);
}

OPJ_OFF_T stream_skip(OPJ_OFF_T count, void* user)
{
    MemoryStream* stream = static_cast<MemoryStream*>(user);
    if (count < 0 && uint64(-count) > stream->position)
        return -1;
    stream->position += count; // may go past the end; reads there give nothing
    return count;
}

OPJ_BOOL stream_seek(OPJ_OFF_T offset, void* user)
{
    MemoryStream* stream = static_cast<MemoryStream*>(user);
    if (offset < 0 || uint64(offset) > stream->size)
        return OPJ_FALSE;
    stream->position = uint64(offset);
    return OPJ_TRUE;
}

void quiet(const char*, void*)
{
}

struct CodecDeleter
{
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};

struct StreamDeleter
{
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};

struct ImageDeleter
{
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

// One component's sample at a picture position, as an 8-bit level.
struct Channel
{
    const opj_image_comp_t* comp = nullptr;
    int64 offset = 0; // added to signed samples
    uint32 maxValue = 255;

    void Init(const opj_image_comp_t* c)
    {
        comp = c;
        offset = c->sgnd ? int64(1) << (c->prec - 1) : 0;
        maxValue = c->prec >= 32 ? UINT32_MAX : (1u << c->prec) - 1;
    }
    // Wider than a sample: a corrupt one may lie outside its precision.
    int64 Raw(uint32 x, uint32 y) const
    {
        // Subsampled components: the nearest sample.
        uint32 cx = std::min<uint32>(x / comp->dx, comp->w - 1);
        uint32 cy = std::min<uint32>(y / comp->dy, comp->h - 1);
        return int64(comp->data[size_t(cy) * comp->w + cx]) + offset;
    }
    uint32 Level(int64 v) const
    {
        v = std::clamp<int64>(v, 0, int64(maxValue));
        return maxValue == 255 ? uint32(v) : uint32((uint64(v) * 255 + maxValue / 2) / maxValue);
    }
    uint32 At(uint32 x, uint32 y) const { return Level(Raw(x, y)); }
    // The sample within 0..1 of its precision.
    double Fraction(uint32 x, uint32 y) const
    {
        return double(std::clamp<int64>(Raw(x, y), 0, int64(maxValue))) / double(maxValue);
    }
};

// The level of light an ink leaves with the black ink over it.
uint32 light(double ink, double black)
{
    return uint32(std::lround(255.0 * (1.0 - ink) * (1.0 - black)));
}

status_t convert(const opj_image_t* image, PictureHeader* header, BBitmap* bitmap)
{
    const uint32 width = image->x1 - image->x0, height = image->y1 - image->y0;
    if (width != uint32(bitmap->PixelWidth()) || height != uint32(bitmap->PixelHeight()))
        return B_ILLEGAL_DATA;
    const uint32 count = image->numcomps;
    if (count == 0 || count > 4)
        return B_NO_TRANSLATOR;
    for (uint32 i = 0; i < count; i++) {
        const opj_image_comp_t& c = image->comps[i];
        if (c.data == nullptr || c.prec == 0 || c.prec > 31 || c.dx == 0 || c.dy == 0 ||
            c.w == 0 || c.h == 0 || uint64(c.w) * c.dx < width || uint64(c.h) * c.dy < height)
            return B_ILLEGAL_DATA;
    }
    const bool grey = count <= 2;
    bool alpha = bitmap->ColorSpace() == B_RGBA32;
    const bool ycc = !grey && (image->color_space == OPJ_CLRSPC_SYCC ||
                               image->color_space == OPJ_CLRSPC_EYCC);
    // OpenJPEG tells CMYK only once decoded: the header stage took the
    // fourth component for alpha.
    const bool cmyk = image->color_space == OPJ_CLRSPC_CMYK;
    if (cmyk) {
        if (count != 4)
            return B_NO_TRANSLATOR;
        header->alpha = alpha = false;
    }
    Channel channels[4];
    for (uint32 i = 0; i < count; i++)
        channels[i].Init(&image->comps[i]);
    for (uint32 y = 0; y < height; y++) {
        uint32* row = bitmap_row(bitmap, y);
        for (uint32 x = 0; x < width; x++) {
            uint32 r, g, b, a = 255;
            if (grey) {
                r = g = b = channels[0].At(x, y);
                if (alpha)
                    a = channels[1].At(x, y);
            } else if (cmyk) {
                // Inks (0 is none) to the light they leave, as opj_decompress
                // shows them; Pillow, ImageMagick and FFmpeg show the inks as
                // red, green, blue and alpha.
                const double k = channels[3].Fraction(x, y);
                r = light(channels[0].Fraction(x, y), k);
                g = light(channels[1].Fraction(x, y), k);
                b = light(channels[2].Fraction(x, y), k);
            } else if (ycc) {
                // As OpenJPEG's own tools turn YCC into RGB, in sample units.
                const int64 half = int64(channels[1].maxValue / 2 + 1);
                const int64 Y = channels[0].Raw(x, y), cb = channels[1].Raw(x, y) - half,
                            cr = channels[2].Raw(x, y) - half;
                r = channels[0].Level(Y + int64(1.402f * float(cr)));
                g = channels[0].Level(Y - int64(0.344f * float(cb) + 0.714f * float(cr)));
                b = channels[0].Level(Y + int64(1.772f * float(cb)));
                if (alpha)
                    a = channels[3].At(x, y);
            } else {
                r = channels[0].At(x, y);
                g = channels[1].At(x, y);
                b = channels[2].At(x, y);
                if (alpha)
                    a = channels[3].At(x, y);
            }
            row[x] = (a << 24) | (r << 16) | (g << 8) | b;
        }
    }
    return B_OK;
}

uint64 be(const uint8* p, int bytes)
{
    uint64 value = 0;
    for (int i = 0; i < bytes; i++)
        value = value << 8 | p[i];
    return value;
}

// The codestream's size marker, read here before OpenJPEG sees it: the
// library allocates for every tile the grid declares as it reads the main
// header, so a few bytes could cost gigabytes before any check of ours.
// Every tile needs a tile-part header of 12 bytes at least.
status_t check_size_marker(const ImageSource& source, const ReadBudget& budget)
{
    const uint8* data = source.data;
    uint64 size = source.size, at = 0;
    if (size >= sizeof kJp2Signature && std::memcmp(data, kJp2Signature, 12) == 0) {
        // The boxes of a JP2 file, to the contiguous codestream.
        at = 12;
        while (true) {
            if (size - at < 8)
                return B_ILLEGAL_DATA;
            uint64 length = be(data + at, 4), header = 8;
            if (length == 1) {
                if (size - at < 16)
                    return B_ILLEGAL_DATA;
                length = be(data + at + 8, 8);
                header = 16;
            } else if (length == 0) {
                length = size - at;
            }
            if (length < header || length > size - at)
                return B_ILLEGAL_DATA;
            if (std::memcmp(data + at + 4, "jp2c", 4) == 0) {
                size = at + length;
                at += header;
                break;
            }
            at += length;
        }
    }
    // SOC, then SIZ: length, capabilities, the grid, the tiles, components.
    if (size - at < 4 + 38 || std::memcmp(data + at, kCodestreamStart, 4) != 0)
        return B_ILLEGAL_DATA;
    const uint8* siz = data + at + 6;
    const uint64 xEnd = be(siz + 2, 4), yEnd = be(siz + 6, 4), x0 = be(siz + 10, 4),
                 y0 = be(siz + 14, 4), tileWidth = be(siz + 18, 4), tileHeight = be(siz + 22, 4),
                 tileX0 = be(siz + 26, 4), tileY0 = be(siz + 30, 4);
    if (xEnd <= x0 || yEnd <= y0 || tileWidth == 0 || tileHeight == 0 || tileX0 > x0 ||
        tileY0 > y0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(xEnd - x0, yEnd - y0))
        return B_NO_MEMORY;
    const uint64 tiles = ((xEnd - tileX0 + tileWidth - 1) / tileWidth) *
                         ((yEnd - tileY0 + tileHeight - 1) / tileHeight);
    if (tiles > (size - at) / 12 ||
        least_compressed_bytes(0, (xEnd - x0) * (yEnd - y0)) > size - at)
        return B_ILLEGAL_DATA;
    return B_OK;
}

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(const ImageSource& source, OPJ_CODEC_FORMAT format, const ReadBudget& budget,
                PictureHeader* header, BBitmap* bitmap)
{
    MemoryStream memory{source.data, source.size, 0};
    std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(64 * 1024, OPJ_TRUE));
    std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_decompress(format));
    if (!stream || !codec)
        return B_NO_MEMORY;
    opj_stream_set_user_data(stream.get(), &memory, nullptr);
    opj_stream_set_user_data_length(stream.get(), source.size);
    opj_stream_set_read_function(stream.get(), stream_read);
    opj_stream_set_skip_function(stream.get(), stream_skip);
    opj_stream_set_seek_function(stream.get(), stream_seek);
    opj_set_info_handler(codec.get(), quiet, nullptr);
    opj_set_warning_handler(codec.get(), quiet, nullptr);
    opj_set_error_handler(codec.get(), quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters) ||
        // A codestream cut short is an error, not a picture missing its end.
        !opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE))
        return B_ERROR;
    opj_codec_set_threads(codec.get(), 2);
    opj_image_t* rawImage = nullptr;
    if (!opj_read_header(stream.get(), codec.get(), &rawImage)) {
        opj_image_destroy(rawImage);
        return B_ILLEGAL_DATA;
    }
    std::unique_ptr<opj_image_t, ImageDeleter> image(rawImage);
    if (image->x1 <= image->x0 || image->y1 <= image->y0)
        return B_ILLEGAL_DATA;
    const uint64 width = image->x1 - image->x0, height = image->y1 - image->y0;
    if (!budget.Admits(width, height))
        return B_NO_MEMORY;
    // Every component is decoded into 32-bit samples: at most 4 of them
    // per pixel within the budget.
    if (image->numcomps == 0 || image->numcomps > 4)
        return B_NO_TRANSLATOR;
    if (bitmap == nullptr) {
        header->width = width;
        header->height = height;
        header->alpha = image->numcomps == 2 || image->numcomps == 4;
        // The decoder allocates every component before it finds the data
        // missing: a picture is held to the bytes present, as any
        // compressed layout is.
        header->leastBytes = least_compressed_bytes(0, width * height);
        return B_OK;
    }
    if (width != header->width || height != header->height)
        return B_ILLEGAL_DATA;
    if (!opj_decode(codec.get(), stream.get(), image.get()) ||
        !opj_end_decompress(codec.get(), stream.get()))
        return B_ILLEGAL_DATA;
    return convert(image.get(), header, bitmap);
}

class Jpeg2000Translator : public ImageTranslator
{
public:
    const char* Name() const override { return "jpeg2000"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return Format(source) != OPJ_CODEC_UNKNOWN ? kMine : kNotMine;
    }

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override
    {
        OPJ_CODEC_FORMAT format = Format(source);
        if (format == OPJ_CODEC_UNKNOWN)
            return B_NO_TRANSLATOR;
        if (status_t status = check_size_marker(source, budget); status != B_OK)
            return status;
        return decode(source, format, budget, header, nullptr);
    }

    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override
    {
        OPJ_CODEC_FORMAT format = Format(source);
        if (format == OPJ_CODEC_UNKNOWN)
            return B_NO_TRANSLATOR;
        return decode(source, format, budget, header, bitmap);
    }

private:
    static OPJ_CODEC_FORMAT Format(const ImageSource& source)
    {
        if (source.size >= sizeof kJp2Signature &&
            std::memcmp(source.data, kJp2Signature, sizeof kJp2Signature) == 0)
            return OPJ_CODEC_JP2;
        if (source.size >= sizeof kCodestreamStart &&
            std::memcmp(source.data, kCodestreamStart, sizeof kCodestreamStart) == 0)
            return OPJ_CODEC_J2K;
        return OPJ_CODEC_UNKNOWN;
    }
};

} // namespace

const ImageTranslator* jpeg2000_translator()
{
    static const Jpeg2000Translator translator;
    return &translator;
}

} // namespace BPrivate
