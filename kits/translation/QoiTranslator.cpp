#include <QoiTranslator.h>

#include <Bitmap.h>
#include <ByteReading.h>

#include <cstdlib>
#include <cstring>

namespace BPrivate {
namespace {

// qoi.h allocates the picture it decodes; it is given the bitmap's own
// words instead, so the picture is held once. Set around one decode, on the
// decoding thread only; any other allocation is the heap's.
thread_local void* tTarget = nullptr;
thread_local size_t tTargetSize = 0;

void* qoi_allocate(size_t size)
{
    if (tTarget != nullptr && size == tTargetSize) {
        void* target = tTarget;
        tTarget = nullptr;
        return target;
    }
    return std::malloc(size);
}

} // namespace
} // namespace BPrivate

#define QOI_NO_STDIO
#define QOI_MALLOC(size) BPrivate::qoi_allocate(size)
#define QOI_FREE(p) std::free(p)
#define QOI_IMPLEMENTATION
#include <qoi.h>

namespace BPrivate {
namespace {

constexpr uint64 kHeaderBytes = 14;
// What follows the last chunk: seven zeros and a one.
constexpr uint64 kEndBytes = 8;
// A run chunk gives at most 62 pixels for its byte.
constexpr uint64 kMostPixelsAByte = 62;

// The pixels the chunks before the end give, counted as the library reads
// them: a chunk starting before the last eight bytes is read whole.
uint64 pixels_present(const uint8* data, uint64 size, uint64 wanted)
{
    const uint64 end = size - kEndBytes;
    uint64 at = kHeaderBytes, pixels = 0;
    while (pixels < wanted && at < end) {
        const uint32 op = data[at];
        if (op == 0xFE) { // QOI_OP_RGB
            at += 4;
            pixels++;
        } else if (op == 0xFF) { // QOI_OP_RGBA
            at += 5;
            pixels++;
        } else if ((op & 0xC0) == 0xC0) { // QOI_OP_RUN
            at++;
            pixels += (op & 0x3F) + 1;
        } else if ((op & 0xC0) == 0x80) { // QOI_OP_LUMA
            at += 2;
            pixels++;
        } else { // QOI_OP_INDEX, QOI_OP_DIFF
            at++;
            pixels++;
        }
    }
    return pixels;
}

class QoiTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "qoi"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 4 && std::memcmp(source.data, "qoif", 4) == 0 ? kMine : kNotMine;
    }

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override
    {
        if (source.size < kHeaderBytes + kEndBytes)
            return B_ILLEGAL_DATA;
        const uint8* data = source.data;
        header->width = big32(data + 4);
        header->height = big32(data + 8);
        const uint32 channels = data[12], colourSpace = data[13];
        if (header->width == 0 || header->height == 0 || (channels != 3 && channels != 4) ||
            colourSpace > 1)
            return B_ILLEGAL_DATA;
        if (!budget.Admits(header->width, header->height))
            return B_NO_MEMORY;
        const uint64 pixels = header->width * header->height;
        header->alpha = channels == 4;
        header->leastBytes =
            kHeaderBytes + (pixels + kMostPixelsAByte - 1) / kMostPixelsAByte + kEndBytes;
        if (header->leastBytes > source.size)
            return B_ILLEGAL_DATA;
        // One pass over the chunks, without decoding: the data must give
        // every pixel.
        if (pixels_present(data, source.size, pixels) < pixels)
            return B_ILLEGAL_DATA;
        return B_OK;
    }

    status_t Decode(const ImageSource& source, const ReadBudget&, PictureHeader* header,
                    BBitmap* bitmap) const override
    {
        const size_t width = size_t(header->width), height = size_t(header->height);
        const bool direct = size_t(bitmap->BytesPerRow()) == width * 4;
        if (source.size > size_t(INT32_MAX))
            return B_NO_MEMORY;
        // The library's own ceiling is lower than the budget's largest.
        if (height >= 400000000 / width)
            return B_NO_MEMORY;
        qoi_desc desc;
        tTarget = direct ? bitmap->Bits() : nullptr;
        tTargetSize = width * height * 4;
        uint8* pixels =
            static_cast<uint8*>(qoi_decode(source.data, int(source.size), &desc, 4));
        tTarget = nullptr;
        if (pixels == nullptr)
            return B_ILLEGAL_DATA;
        // Red, green, blue, alpha bytes to the bitmap's little-endian
        // 0xAARRGGBB words; without alpha the library wrote 255.
        for (size_t y = 0; y < height; y++) {
            uint8* row = static_cast<uint8*>(bitmap->Bits()) + y * size_t(bitmap->BytesPerRow());
            const uint8* in = pixels + y * width * 4;
            for (size_t x = 0; x < width; x++, in += 4) {
                const uint32 word = (uint32(in[3]) << 24) | (uint32(in[0]) << 16) |
                                    (uint32(in[1]) << 8) | in[2];
                std::memcpy(row + x * 4, &word, 4);
            }
        }
        if (pixels != bitmap->Bits())
            std::free(pixels);
        return B_OK;
    }
};

} // namespace

const ImageTranslator* qoi_translator()
{
    static const QoiTranslator translator;
    return &translator;
}

} // namespace BPrivate
