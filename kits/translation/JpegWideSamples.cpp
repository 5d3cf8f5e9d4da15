#include <JpegWideSamples.h>

#include <Bitmap.h>
#include <CodecSupport.h>
#include <JpegSegments.h>
#include <PictureHeaders.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <dlfcn.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace BPrivate {

namespace {

// FFmpeg's libraries are loaded when the first such file comes, not linked:
// they weigh about 100 MB with what they pull in, for files few people
// have, so the package only recommends them. The headers built against name
// the library versions whose layouts they describe.
#define PELLARA_SONAME(name, major) "lib" name ".so." AV_STRINGIFY(major)

struct Libav
{
    decltype(&avcodec_find_decoder) find_decoder = nullptr;
    decltype(&avcodec_alloc_context3) alloc_context = nullptr;
    decltype(&avcodec_open2) open = nullptr;
    decltype(&avcodec_send_packet) send_packet = nullptr;
    decltype(&avcodec_receive_frame) receive_frame = nullptr;
    decltype(&avcodec_free_context) free_context = nullptr;
    decltype(&av_packet_alloc) packet_alloc = nullptr;
    decltype(&av_packet_free) packet_free = nullptr;
    decltype(&av_frame_alloc) frame_alloc = nullptr;
    decltype(&av_frame_free) frame_free = nullptr;
    decltype(&av_malloc) malloc = nullptr;
    decltype(&av_free) free = nullptr;
    decltype(&av_log_set_level) log_set_level = nullptr;
    decltype(&sws_getContext) sws_context = nullptr;
    decltype(&sws_freeContext) sws_free = nullptr;
    decltype(&sws_getCoefficients) sws_coefficients = nullptr;
    decltype(&sws_setColorspaceDetails) sws_colorspace = nullptr;
    decltype(&sws_scale) scale = nullptr;
    bool loaded = false;
};

template <typename Function>
bool resolve(void* library, const char* name, Function* function)
{
    *function = reinterpret_cast<Function>(dlsym(library, name));
    return *function != nullptr;
}

// The libraries, loaded once and kept; null when one is missing.
const Libav* libav()
{
    static Libav lib;
    static std::once_flag once;
    std::call_once(once, [] {
        void* util = dlopen(PELLARA_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), RTLD_NOW);
        void* codec = dlopen(PELLARA_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR), RTLD_NOW);
        void* scale = dlopen(PELLARA_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR), RTLD_NOW);
        if (util == nullptr || codec == nullptr || scale == nullptr)
            return;
        lib.loaded = resolve(codec, "avcodec_find_decoder", &lib.find_decoder) &&
                     resolve(codec, "avcodec_alloc_context3", &lib.alloc_context) &&
                     resolve(codec, "avcodec_open2", &lib.open) &&
                     resolve(codec, "avcodec_send_packet", &lib.send_packet) &&
                     resolve(codec, "avcodec_receive_frame", &lib.receive_frame) &&
                     resolve(codec, "avcodec_free_context", &lib.free_context) &&
                     resolve(codec, "av_packet_alloc", &lib.packet_alloc) &&
                     resolve(codec, "av_packet_free", &lib.packet_free) &&
                     resolve(util, "av_frame_alloc", &lib.frame_alloc) &&
                     resolve(util, "av_frame_free", &lib.frame_free) &&
                     resolve(util, "av_malloc", &lib.malloc) &&
                     resolve(util, "av_free", &lib.free) &&
                     resolve(util, "av_log_set_level", &lib.log_set_level) &&
                     resolve(scale, "sws_getContext", &lib.sws_context) &&
                     resolve(scale, "sws_freeContext", &lib.sws_free) &&
                     resolve(scale, "sws_getCoefficients", &lib.sws_coefficients) &&
                     resolve(scale, "sws_setColorspaceDetails", &lib.sws_colorspace) &&
                     resolve(scale, "sws_scale", &lib.scale);
        // FFmpeg logs to standard error by default; a picture that fails
        // to decode is reported by the status alone.
        if (lib.loaded)
            lib.log_set_level(AV_LOG_QUIET);
    });
    return lib.loaded ? &lib : nullptr;
}

struct FrameHeader
{
    uint8 marker = 0; // the SOFn marker's second byte; 0 when none was found
    uint8 precision = 0;
    uint32 width = 0;
    uint32 height = 0;
    uint8 components = 0;
    uint8 maxSampling = 1;
    uint8 ids[3] = {0, 0, 0};
    int32 adobeTransform = -1; // from an APP14 "Adobe" segment; -1 without one
    size_t scanAt = 0; // where the first scan's header starts
};

// The frame header and the first scan's offset, walking the segments
// before the entropy-coded data.
FrameHeader frame_header(const uint8* data, size_t size)
{
    FrameHeader frame;
    size_t scanAt = 0;
    const jpeg_walk walked = walk_jpeg_segments(data, size, &scanAt, [&](const JpegSegment& segment) {
        const uint8* s = segment.payload;
        if (segment.marker == 0xEE && segment.size >= 12 && std::memcmp(s, "Adobe", 5) == 0)
            frame.adobeTransform = s[11];
        if (is_jpeg_frame_marker(segment.marker) && frame.marker == 0 && segment.size >= 6) {
            frame.marker = segment.marker;
            frame.precision = s[0];
            frame.height = big16(s + 1);
            frame.width = big16(s + 3);
            frame.components = s[5];
            for (size_t c = 0; c < frame.components && c * 3 + 8 < segment.size; c++) {
                if (c < 3)
                    frame.ids[c] = s[6 + c * 3];
                const uint8 sampling = s[6 + c * 3 + 1];
                frame.maxSampling = std::max<uint8>(
                    frame.maxSampling, std::max<uint8>(sampling >> 4, sampling & 15));
            }
        }
        return true;
    });
    if (walked == jpeg_walk::kScan)
        frame.scanAt = scanAt;
    return frame;
}

bool is_lossless(uint8 marker)
{
    return marker == 0xC3 || marker == 0xC7 || marker == 0xCB || marker == 0xCF;
}

// Whether a 12-bit picture is grey or YCbCr, the layouts libavcodec reads
// right: not RGB-coded (no colour transform, as Adobe's marker or the
// components' names say, the way libavcodec decides it), not CMYK.
bool ycc_or_grey(const FrameHeader& frame)
{
    if (frame.components == 1)
        return true;
    if (frame.components != 3 || frame.adobeTransform == 0)
        return false;
    return !(frame.ids[0] == 'R' && frame.ids[1] == 'G' && frame.ids[2] == 'B');
}

// The layouts libavcodec 5.1 decodes as dcmtk's JPEG codec does: grey and
// YCbCr at 12 bits, grey and RGB lossless at 8. Its 12-bit RGB-coded
// pictures (no colour transform) come out wrongly scaled, and are refused.
bool read_right(AVPixelFormat format)
{
    switch (format) {
    case AV_PIX_FMT_GRAY16LE:
    case AV_PIX_FMT_GRAY16BE:
    case AV_PIX_FMT_YUV420P16LE:
    case AV_PIX_FMT_YUV420P16BE:
    case AV_PIX_FMT_YUV422P16LE:
    case AV_PIX_FMT_YUV422P16BE:
    case AV_PIX_FMT_YUV444P16LE:
    case AV_PIX_FMT_YUV444P16BE:
    case AV_PIX_FMT_GRAY8:
    case AV_PIX_FMT_BGR24:
        return true;
    default:
        return false;
    }
}

struct Decoder
{
    explicit Decoder(const Libav* lib) : av(lib) {}

    const Libav* av;
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    uint8* padded = nullptr;
    SwsContext* scaler = nullptr;

    ~Decoder()
    {
        av->sws_free(scaler);
        av->free(padded);
        av->frame_free(&frame);
        av->packet_free(&packet);
        av->free_context(&context);
    }
};

// The whole picture in straight BGRA rows of bitmap: libswscale converts
// whatever layout the decoder gives (grey, YCbCr at any subsampling, RGB;
// 16-bit samples) to 8 bits, as FFmpeg's own tools show such files.
status_t convert(const AVFrame* frame, BBitmap* bitmap, Decoder* decoder)
{
    const AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
    const Libav* av = decoder->av;
    decoder->scaler = av->sws_context(frame->width, frame->height, format, frame->width,
                                     frame->height, AV_PIX_FMT_BGRA,
                                     SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                     nullptr, nullptr, nullptr);
    if (decoder->scaler == nullptr)
        return B_NO_TRANSLATOR;
    // JPEG's YCbCr spans the full range unless the decoder says otherwise.
    const int fullRange = frame->color_range == AVCOL_RANGE_MPEG ? 0 : 1;
    const int* coefficients = av->sws_coefficients(SWS_CS_ITU601);
    av->sws_colorspace(decoder->scaler, coefficients, fullRange, coefficients, 1, 0,
                             1 << 16, 1 << 16);
    uint8* rows[4] = {static_cast<uint8*>(bitmap->Bits()), nullptr, nullptr, nullptr};
    int strides[4] = {int(bitmap->BytesPerRow()), 0, 0, 0};
    if (av->scale(decoder->scaler, frame->data, frame->linesize, 0, frame->height, rows,
                  strides) != frame->height)
        return B_ILLEGAL_DATA;
    // The layouts read here carry no alpha.
    const int64 count = int64(bitmap->PixelWidth()) * bitmap->PixelHeight();
    uint32* words = static_cast<uint32*>(bitmap->Bits());
    for (int64 i = 0; i < count; i++)
        words[i] |= 0xFF000000u;
    return B_OK;
}

} // namespace

bool jpeg_needs_wide_decoder(const uint8* data, size_t size)
{
    const FrameHeader frame = frame_header(data, size);
    return frame.marker != 0 && (frame.precision != 8 || is_lossless(frame.marker));
}

status_t read_wide_jpeg(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header, BBitmap* bitmap)
{
    const FrameHeader frame = frame_header(source.data, source.size);
    // Arithmetic coding (SOF9 and up) and hierarchical frames are beyond
    // libavcodec's decoder; precisions other than JPEG's own are forgeries.
    const bool huffman = frame.marker == 0xC0 || frame.marker == 0xC1 ||
                         frame.marker == 0xC2 || frame.marker == 0xC3;
    if (!huffman)
        return B_NO_TRANSLATOR;
    if (frame.scanAt == 0 || frame.width == 0 || frame.height == 0 ||
        frame.components == 0)
        return B_ILLEGAL_DATA;
    // libavcodec 5.1 misreads lossless JPEG deeper than 8 bits (dcmtk's
    // 12- and 16-bit files come out as noise), so only 8-bit is taken.
    if (frame.precision != (is_lossless(frame.marker) ? 8 : 12))
        return B_NO_TRANSLATOR;
    if (!is_lossless(frame.marker) && !ycc_or_grey(frame))
        return B_NO_TRANSLATOR;
    if (bitmap == nullptr) {
        header->width = frame.width;
        header->height = frame.height;
        if (!budget.Admits(frame.width, frame.height))
            return B_NO_MEMORY;
        // Huffman coding spends a bit at least on every block (every
        // sample, lossless); the component with the fewest blocks has at
        // least those of the picture cut by the largest sampling factor.
        const uint64 unit = is_lossless(frame.marker) ? 1 : 8 * uint64(frame.maxSampling);
        const uint64 fewest = ((frame.width + unit - 1) / unit) * ((frame.height + unit - 1) / unit);
        header->leastBytes = frame.scanAt + (fewest + 7) / 8;
        return B_OK;
    }
    if (frame.width != header->width || frame.height != header->height)
        return B_ILLEGAL_DATA;
    // libavcodec pads a cut scan with grey; a file that ends before its end
    // of image is refused instead, as every other JPEG is. Markers cannot
    // occur inside entropy-coded data (0xFF is stuffed there), so the end
    // marker's presence after the first scan is the test.
    bool ended = false;
    for (size_t i = frame.scanAt; i + 1 < source.size; i++) {
        if (source.data[i] == 0xFF && source.data[i + 1] == 0xD9) {
            ended = true;
            break;
        }
    }
    if (!ended)
        return B_ILLEGAL_DATA;

    const Libav* av = libav();
    const AVCodec* codec = av != nullptr ? av->find_decoder(AV_CODEC_ID_MJPEG) : nullptr;
    if (codec == nullptr)
        return B_NO_TRANSLATOR;
    Decoder decoder(av);
    decoder.context = av->alloc_context(codec);
    decoder.packet = av->packet_alloc();
    decoder.frame = av->frame_alloc();
    decoder.padded = static_cast<uint8*>(av->malloc(source.size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (decoder.context == nullptr || decoder.packet == nullptr || decoder.frame == nullptr ||
        decoder.padded == nullptr)
        return B_NO_MEMORY;
    std::memcpy(decoder.padded, source.data, source.size);
    std::memset(decoder.padded + source.size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    decoder.context->thread_count = 1;
    decoder.context->max_pixels = int64(std::min<uint64>(budget.maxPixels, INT64_MAX));
    decoder.context->err_recognition = AV_EF_EXPLODE;
    if (av->open(decoder.context, codec, nullptr) < 0)
        return B_NO_TRANSLATOR;
    decoder.packet->data = decoder.padded;
    decoder.packet->size = int(std::min<size_t>(source.size, INT32_MAX));
    if (av->send_packet(decoder.context, decoder.packet) < 0 ||
        av->receive_frame(decoder.context, decoder.frame) < 0)
        return B_ILLEGAL_DATA;
    if (decoder.frame->width != int(frame.width) || decoder.frame->height != int(frame.height) ||
        (decoder.frame->decode_error_flags != 0))
        return B_ILLEGAL_DATA;
    if (!read_right(AVPixelFormat(decoder.frame->format)))
        return B_NO_TRANSLATOR;
    return convert(decoder.frame, bitmap, &decoder);
}

} // namespace BPrivate
