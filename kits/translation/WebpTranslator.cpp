#include <WebpTranslator.h>
#include <WebpLosslessWriter.h>
#include <LayerFormats.h>

#include <CodecSupport.h>
#include <PictureFormats.h>
#include <TranslatorFormats.h>

#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>

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

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                BBitmap* bitmap)
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
    if (bitmap != nullptr) {
        // An animation's first frame may cover part of its canvas; the rest
        // stays transparent, as the bitmap came.
        if (canvasWidth != header->width || canvasHeight != header->height)
            return B_ILLEGAL_DATA;
        return decode_into(bytes, bitmap, x, y, w, h) ? B_OK : B_ILLEGAL_DATA;
    }
    const bool covers = x == 0 && y == 0 && w == int64(canvasWidth) && h == int64(canvasHeight);
    header->width = canvasWidth;
    header->height = canvasHeight;
    header->alpha = frameAlpha || (flags & ALPHA_FLAG) != 0 || !covers;
    WebPChunkIterator exif;
    if ((flags & EXIF_FLAG) != 0 && WebPDemuxGetChunk(demux.get(), "EXIF", 1, &exif)) {
        if (exif.chunk.size <= budget.maxAncillaryBytes)
            header->orientation = exif_orientation(exif.chunk.bytes, exif.chunk.size);
        WebPDemuxReleaseChunkIterator(&exif);
    }
    return B_OK;
}

class WebpTranslator : public SingleRoutineTranslator<decode>
{
public:
    WebpTranslator() : SingleRoutineTranslator<decode>(kWebpFormat) {}

    const char* Name() const override { return "webp"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 12 && std::memcmp(source.data, "RIFF", 4) == 0 &&
                       std::memcmp(source.data + 8, "WEBP", 4) == 0
                   ? kMine
                   : kNotMine;
    }

    // The bitstream's sides are 14 bits.
    uint32 LargestSide(uint32) const override { return 16383; }

protected:
    status_t Encode(const BBitmap& bitmap, BPositionIO* destination,
                    const WriteSettings& settings) const override
    {
        WebpLosslessOptions options;
        options.dotsPerInch = settings.dotsPerInch;
        return write_webp_lossless(bitmap, destination, options);
    }
};

} // namespace

const ImageTranslator* webp_translator()
{
    static const WebpTranslator translator;
    return &translator;
}

} // namespace BPrivate
