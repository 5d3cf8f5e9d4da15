#include <JxlTranslator.h>

#include <CodecSupport.h>

#include <memory>

#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

namespace BPrivate {

namespace {

struct DecoderDeleter
{
    void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};

struct RunnerDeleter
{
    void operator()(void* runner) const { JxlThreadParallelRunnerDestroy(runner); }
};

// Two workers: the machines this runs on have few cores, shared.
constexpr size_t kWorkers = 2;

status_t decode(const ImageSource& source, const ReadBudget& budget, BBitmap** outBitmap)
{
    std::unique_ptr<JxlDecoder, DecoderDeleter> decoder(JxlDecoderCreate(nullptr));
    std::unique_ptr<void, RunnerDeleter> runner(JxlThreadParallelRunnerCreate(nullptr, kWorkers));
    if (!decoder || !runner)
        return B_NO_MEMORY;
    JxlDecoder* dec = decoder.get();
    if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetParallelRunner(dec, JxlThreadParallelRunner, runner.get()) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(dec, JXL_FALSE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec, source.data, source.size) != JXL_DEC_SUCCESS)
        return B_ERROR;
    JxlDecoderCloseInput(dec);

    // Red, green, blue, alpha bytes; turned into the bitmap's words after.
    const JxlPixelFormat format = {4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    BBitmap* bitmap = nullptr;
    bool alpha = false;
    for (;;) {
        JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        if (status == JXL_DEC_BASIC_INFO) {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
                break;
            // The stored size; orientations 5 to 8 swap it.
            uint64 width = info.xsize, height = info.ysize;
            if (info.orientation >= JXL_ORIENT_TRANSPOSE)
                std::swap(width, height);
            if (!budget.Admits(width, height))
                return B_NO_MEMORY;
            alpha = info.alpha_bits > 0;
            bitmap = new_picture(width, height, alpha, budget);
            if (bitmap == nullptr)
                return B_NO_MEMORY;
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t size = 0;
            if (bitmap == nullptr ||
                JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS ||
                size != size_t(bitmap->BitsLength()) ||
                JxlDecoderSetImageOutBuffer(dec, &format, bitmap->Bits(), size) != JXL_DEC_SUCCESS)
                break;
        } else if (status == JXL_DEC_FULL_IMAGE) {
            // The first frame is the picture.
            uint8* bytes = static_cast<uint8*>(bitmap->Bits());
            const size_t count = size_t(bitmap->BitsLength()) / 4;
            for (size_t i = 0; i < count; i++, bytes += 4) {
                std::swap(bytes[0], bytes[2]);
                if (!alpha)
                    bytes[3] = 0xFF;
            }
            *outBitmap = bitmap;
            return B_OK;
        } else {
            // An error, input that ends too soon, or a file without pixels.
            break;
        }
    }
    delete bitmap;
    return B_ILLEGAL_DATA;
}

class JxlTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "jxl"; }

    identify_result Identify(const ImageSource& source) const override
    {
        JxlSignature signature = JxlSignatureCheck(source.data, source.size);
        return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER ? kMine : kNotMine;
    }

    status_t Read(const ImageSource& source, const ReadBudget& budget,
                  BBitmap** outBitmap) const override
    {
        *outBitmap = nullptr;
        if (Identify(source) != kMine)
            return B_NO_TRANSLATOR;
        // Debian's libjxl prints a line for every failure it meets.
        QuietStderr quiet;
        return decode(source, budget, outBitmap);
    }
};

} // namespace

const ImageTranslator* jxl_translator()
{
    static const JxlTranslator translator;
    return &translator;
}

} // namespace BPrivate
