#include <WebpTranslator.h>
#include <LayerFormats.h>

#include <CodecSupport.h>
#include <TranslatorFormats.h>

#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

namespace BPrivate {

namespace {

struct DemuxDeleter
{
    void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};

// Decodes one frame's bitstream into width x height pixels of the bitmap at
// (x, y), blue-green-red-alpha bytes as the bitmap's words hold them.
bool decode_into(const WebPData& bytes, BBitmap* bitmap, int64 x, int64 y, int64 width,
                 int64 height)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return false;
    const int64 stride = bitmap->BytesPerRow();
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = static_cast<uint8*>(bitmap->Bits()) + y * stride + x * 4;
    config.output.u.RGBA.stride = int(stride);
    config.output.u.RGBA.size = size_t((height - 1) * stride + width * 4);
    const bool ok = WebPDecode(bytes.bytes, bytes.size, &config) == VP8_STATUS_OK &&
                    config.output.width == width && config.output.height == height;
    WebPFreeDecBuffer(&config.output);
    return ok;
}

status_t decode(const ImageSource& source, const ReadBudget& budget, BBitmap** outBitmap)
{
    WebPData data = {source.data, source.size};
    // The whole file must be there: a partial one is refused.
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
    if (!demux)
        return B_ILLEGAL_DATA;
    const uint64 canvasWidth = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    const uint64 canvasHeight = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    const uint32 flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
    if (canvasWidth == 0 || canvasHeight == 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(canvasWidth, canvasHeight))
        return B_NO_MEMORY;

    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame))
        return B_ILLEGAL_DATA;
    const int64 x = frame.x_offset, y = frame.y_offset, w = frame.width, h = frame.height;
    const WebPData bytes = frame.fragment;
    const bool frameAlpha = frame.has_alpha != 0;
    WebPDemuxReleaseIterator(&frame);
    if (w <= 0 || h <= 0 || x + w > int64(canvasWidth) || y + h > int64(canvasHeight))
        return B_ILLEGAL_DATA;
    // An animation's first frame may cover part of its canvas; the rest is
    // transparent, as viewers show it.
    const bool covers = x == 0 && y == 0 && w == int64(canvasWidth) && h == int64(canvasHeight);
    const bool alpha = frameAlpha || (flags & ALPHA_FLAG) != 0 || !covers;

    BBitmap* bitmap = new_picture(canvasWidth, canvasHeight, alpha, budget);
    if (bitmap == nullptr)
        return B_NO_MEMORY;
    if (!covers)
        std::memset(bitmap->Bits(), 0, size_t(bitmap->BitsLength()));
    if (!decode_into(bytes, bitmap, x, y, w, h)) {
        delete bitmap;
        return B_ILLEGAL_DATA;
    }

    int32 orientation = 1;
    WebPChunkIterator exif;
    if ((flags & EXIF_FLAG) != 0 && WebPDemuxGetChunk(demux.get(), "EXIF", 1, &exif)) {
        if (exif.chunk.size <= budget.maxAncillaryBytes)
            orientation = exif_orientation(exif.chunk.bytes, exif.chunk.size);
        WebPDemuxReleaseChunkIterator(&exif);
    }
    bitmap = apply_orientation(bitmap, orientation);
    if (bitmap == nullptr)
        return B_NO_MEMORY;
    *outBitmap = bitmap;
    return B_OK;
}

int write_to_sink(const uint8_t* data, size_t size, const WebPPicture* picture)
{
    StreamSink* sink = static_cast<StreamSink*>(picture->custom_ptr);
    sink->Write(data, size);
    return sink->Status() == B_OK;
}

// Whether every alpha byte of a B_RGB32 bitmap already says opaque, so the
// words can go to the encoder as they are.
bool all_opaque(const BBitmap& bitmap)
{
    const int64 width = bitmap.PixelWidth(), height = bitmap.PixelHeight();
    for (int64 y = 0; y < height; y++) {
        const uint32* row = bitmap_row(bitmap, y);
        uint32 all = 0xFF000000u;
        for (int64 x = 0; x < width; x++)
            all &= row[x];
        if ((all & 0xFF000000u) != 0xFF000000u)
            return false;
    }
    return true;
}

// libwebp's fastest lossless setting: effort 0 of 100, method 0 of 6.
constexpr float kLosslessEffort = 0;
constexpr int kLosslessMethod = 0;

status_t encode(const BBitmap& bitmap, BPositionIO* destination)
{
    WebPConfig config;
    if (!WebPConfigInit(&config))
        return B_ERROR;
    config.lossless = 1;
    config.quality = kLosslessEffort;
    config.method = kLosslessMethod;
    // Colours under transparent pixels are kept too.
    config.exact = 1;
    config.thread_level = 1;
    if (!WebPValidateConfig(&config))
        return B_ERROR;

    const int64 width = bitmap.PixelWidth(), height = bitmap.PixelHeight();
    if (width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION)
        return B_NO_TRANSLATOR;
    WebPPicture picture;
    if (!WebPPictureInit(&picture))
        return B_ERROR;
    picture.use_argb = 1;
    picture.width = int(width);
    picture.height = int(height);
    // libwebp's ARGB words are the bitmap's own 0xAARRGGBB words; it reads
    // them in place and works on copies of its own.
    std::unique_ptr<uint32[]> opaque;
    if (bitmap.ColorSpace() == B_RGB32 && !all_opaque(bitmap)) {
        // The undefined alpha bytes of B_RGB32 must not reach the file.
        opaque.reset(new (std::nothrow) uint32[size_t(width * height)]);
        if (!opaque)
            return B_NO_MEMORY;
        for (int64 y = 0; y < height; y++) {
            const uint32* row = bitmap_row(bitmap, y);
            uint32* out = opaque.get() + y * width;
            for (int64 x = 0; x < width; x++)
                out[x] = row[x] | 0xFF000000u;
        }
        picture.argb = opaque.get();
        picture.argb_stride = int(width);
    } else {
        picture.argb = const_cast<uint32_t*>(bitmap_row(bitmap, 0));
        picture.argb_stride = bitmap.BytesPerRow() / 4;
    }
    StreamSink sink(destination);
    if (sink.Status() != B_OK)
        return sink.Status();
    picture.writer = write_to_sink;
    picture.custom_ptr = &sink;
    const int ok = WebPEncode(&config, &picture);
    const WebPEncodingError error = picture.error_code;
    WebPPictureFree(&picture);
    sink.Flush();
    if (sink.Status() != B_OK)
        return sink.Status();
    if (!ok)
        return error == VP8_ENC_ERROR_OUT_OF_MEMORY ? B_NO_MEMORY : B_ERROR;
    return B_OK;
}

class WebpTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "webp"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 12 && std::memcmp(source.data, "RIFF", 4) == 0 &&
                       std::memcmp(source.data + 8, "WEBP", 4) == 0
                   ? kMine
                   : kNotMine;
    }

    status_t Read(const ImageSource& source, const ReadBudget& budget,
                  BBitmap** outBitmap) const override
    {
        *outBitmap = nullptr;
        if (Identify(source) != kMine)
            return B_NO_TRANSLATOR;
        return decode(source, budget, outBitmap);
    }

    std::vector<WriteFormat> OutputFormats() const override
    {
        return {{kWebpFormat, "webp", "webp", "image/webp", "WebP image", true, 0.7f, 0.5f}};
    }

    status_t Write(const BBitmap& bitmap, uint32 type, BPositionIO* destination) const override
    {
        if (type != kWebpFormat || !encodable(bitmap))
            return B_NO_TRANSLATOR;
        if (destination == nullptr)
            return B_BAD_VALUE;
        return encode(bitmap, destination);
    }
};

} // namespace

const ImageTranslator* webp_translator()
{
    static const WebpTranslator translator;
    return &translator;
}

} // namespace BPrivate
