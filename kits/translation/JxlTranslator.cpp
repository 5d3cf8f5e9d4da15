#include <JxlTranslator.h>
#include <ResolutionExif.h>

#include <CodecSupport.h>
#include <PictureFormats.h>

#include <memory>

#include <TranslatorFormats.h>

#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>

namespace BPrivate {

namespace {

struct DecoderDeleter
{
    void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};

struct EncoderDeleter
{
    void operator()(JxlEncoder* encoder) const { JxlEncoderDestroy(encoder); }
};

struct RunnerDeleter
{
    void operator()(void* runner) const { JxlThreadParallelRunnerDestroy(runner); }
};

// Two workers: the machines this runs on have few cores, shared.
constexpr size_t kWorkers = 2;

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave. The stored orientation is kept: the
// reading pipeline turns the picture.
status_t decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                BBitmap* bitmap)
{
    std::unique_ptr<JxlDecoder, DecoderDeleter> decoder(JxlDecoderCreate(nullptr));
    std::unique_ptr<void, RunnerDeleter> runner(
        bitmap != nullptr ? JxlThreadParallelRunnerCreate(nullptr, kWorkers) : nullptr);
    if (!decoder || (bitmap != nullptr && !runner))
        return B_NO_MEMORY;
    JxlDecoder* dec = decoder.get();
    const int events = JXL_DEC_BASIC_INFO | (bitmap != nullptr ? JXL_DEC_FULL_IMAGE : 0);
    if (JxlDecoderSubscribeEvents(dec, events) != JXL_DEC_SUCCESS ||
        (runner && JxlDecoderSetParallelRunner(dec, JxlThreadParallelRunner, runner.get()) !=
                       JXL_DEC_SUCCESS) ||
        JxlDecoderSetKeepOrientation(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec, source.data, source.size) != JXL_DEC_SUCCESS)
        return B_ERROR;
    JxlDecoderCloseInput(dec);

    // Red, green, blue, alpha bytes; turned into the bitmap's words after.
    const JxlPixelFormat format = {4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                break;
            if (bitmap == nullptr) {
                header->width = info.xsize;
                header->height = info.ysize;
                header->alpha = info.alpha_bits > 0;
                header->orientation = int32(info.orientation);
                return budget.Admits(info.xsize, info.ysize) ? B_OK : B_NO_MEMORY;
            }
            if (info.xsize != header->width || info.ysize != header->height)
                break;
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t size = 0;
            if (bitmap == nullptr ||
                JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS ||
                size != size_t(bitmap->BitsLength()) ||
                JxlDecoderSetImageOutBuffer(dec, &format, bitmap->Bits(), size) != JXL_DEC_SUCCESS)
                break;
        } else if (status == JXL_DEC_FULL_IMAGE && bitmap != nullptr) {
            // The first frame is the picture.
            uint8* bytes = static_cast<uint8*>(bitmap->Bits());
            const size_t count = size_t(bitmap->BitsLength()) / 4;
            for (size_t i = 0; i < count; i++, bytes += 4) {
                std::swap(bytes[0], bytes[2]);
                if (!header->alpha)
                    bytes[3] = 0xFF;
            }
            return B_OK;
        } else {
            // An error, input that ends too soon, or a file without pixels.
            break;
        }
    }
    return B_ILLEGAL_DATA;
}

// libjxl's fastest lossless effort ("lightning").
constexpr int64_t kLosslessEffort = 1;

status_t encode(const BBitmap& bitmap, BPositionIO* destination, const WriteSettings& write)
{
    const uint32 width = uint32(bitmap.PixelWidth()), height = uint32(bitmap.PixelHeight());
    const bool alpha = bitmap.ColorSpace() == B_RGBA32;
    const uint32 channels = alpha ? 4 : 3;
    // libjxl 0.7 takes the whole picture at once, in red-green-blue(-alpha)
    // byte order: the one copy this writer makes.
    const size_t size = size_t(width) * height * channels;
    std::unique_ptr<uint8[]> pixels(new (std::nothrow) uint8[size]);
    std::unique_ptr<JxlEncoder, EncoderDeleter> encoder(JxlEncoderCreate(nullptr));
    std::unique_ptr<void, RunnerDeleter> runner(JxlThreadParallelRunnerCreate(nullptr, kWorkers));
    if (!pixels || !encoder || !runner)
        return B_NO_MEMORY;
    uint8* out = pixels.get();
    for (uint32 y = 0; y < height; y++) {
        const uint32* row = bitmap_row(bitmap, y);
        for (uint32 x = 0; x < width; x++) {
            const uint32 v = row[x];
            *out++ = uint8(v >> 16);
            *out++ = uint8(v >> 8);
            *out++ = uint8(v);
            if (alpha)
                *out++ = uint8(v >> 24);
        }
    }
    JxlEncoder* enc = encoder.get();
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = width;
    info.ysize = height;
    info.bits_per_sample = 8;
    info.exponent_bits_per_sample = 0;
    // Lossless needs the samples kept as they are, not turned into XYB.
    info.uses_original_profile = JXL_TRUE;
    info.num_color_channels = 3;
    if (alpha) {
        info.alpha_bits = 8;
        info.num_extra_channels = 1;
    }
    JxlColorEncoding colour;
    JxlColorEncodingSetToSRGB(&colour, JXL_FALSE);
    JxlEncoderFrameSettings* settings = nullptr;
    const JxlPixelFormat format = {channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    // Boxes (and so the container) must be asked for before anything else.
    if ((write.dotsPerInch > 0 && JxlEncoderUseBoxes(enc) != JXL_ENC_SUCCESS) ||
        JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()) !=
            JXL_ENC_SUCCESS ||
        JxlEncoderSetBasicInfo(enc, &info) != JXL_ENC_SUCCESS ||
        JxlEncoderSetColorEncoding(enc, &colour) != JXL_ENC_SUCCESS ||
        (settings = JxlEncoderFrameSettingsCreate(enc, nullptr)) == nullptr ||
        JxlEncoderSetFrameLossless(settings, JXL_TRUE) != JXL_ENC_SUCCESS ||
        JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT,
                                         kLosslessEffort) != JXL_ENC_SUCCESS ||
        JxlEncoderAddImageFrame(settings, &format, pixels.get(), size) != JXL_ENC_SUCCESS)
        return B_ERROR;
    if (write.dotsPerInch > 0) {
        // The codestream has no place for a resolution: an Exif box, which
        // starts with the offset of its TIFF header.
        std::vector<uint8> exif = {0, 0, 0, 0};
        const std::vector<uint8> block = resolution_exif(write.dotsPerInch);
        exif.insert(exif.end(), block.begin(), block.end());
        if (JxlEncoderAddBox(enc, "Exif", exif.data(), exif.size(), JXL_FALSE) != JXL_ENC_SUCCESS)
            return B_ERROR;
    }
    JxlEncoderCloseInput(enc);
    StreamSink sink(destination);
    if (sink.Status() != B_OK)
        return sink.Status();
    for (;;) {
        uint8_t* next = sink.Buffer();
        size_t room = StreamSink::kBufferSize;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &room);
        sink.Commit(StreamSink::kBufferSize - room);
        if (sink.Status() != B_OK)
            return sink.Status();
        if (status == JXL_ENC_SUCCESS)
            return B_OK;
        if (status != JXL_ENC_NEED_MORE_OUTPUT)
            return B_ERROR;
    }
}

// Debian's libjxl prints a line for every failure it meets.
status_t quiet_decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                      BBitmap* bitmap)
{
    QuietStderr quiet;
    return decode(source, budget, header, bitmap);
}

class JxlTranslator : public SingleRoutineTranslator<quiet_decode>
{
public:
    JxlTranslator() : SingleRoutineTranslator<quiet_decode>(kJxlFormat) {}

    const char* Name() const override { return "jxl"; }

    identify_result Identify(const ImageSource& source) const override
    {
        JxlSignature signature = JxlSignatureCheck(source.data, source.size);
        return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER ? kMine : kNotMine;
    }


protected:
    status_t Encode(const BBitmap& bitmap, BPositionIO* destination,
                    const WriteSettings& settings) const override
    {
        QuietStderr quiet;
        return encode(bitmap, destination, settings);
    }
};

} // namespace

const ImageTranslator* jxl_translator()
{
    static const JxlTranslator translator;
    return &translator;
}

} // namespace BPrivate
