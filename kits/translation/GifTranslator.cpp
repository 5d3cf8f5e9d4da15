#include <GifTranslator.h>

#include <Bitmap.h>

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace BPrivate {

namespace {

// LZW's longest string is 4096 pixels for one code of at least 12 bits: no
// GIF holds more pixels than this many per byte, whatever its screen claims.
constexpr uint64 kMaxPixelsPerByte = 4096;

struct MemoryReader
{
    const uint8* data;
    size_t size;
    size_t at;
};

int read_memory(GifFileType* gif, GifByteType* buffer, int wanted)
{
    MemoryReader* reader = static_cast<MemoryReader*>(gif->UserData);
    size_t count = std::min(size_t(wanted < 0 ? 0 : wanted), reader->size - reader->at);
    std::memcpy(buffer, reader->data + reader->at, count);
    reader->at += count;
    return int(count);
}

struct GifCloser
{
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};

bool plausible(uint64 width, uint64 height, size_t fileSize)
{
    return width * height <= uint64(fileSize) * kMaxPixelsPerByte;
}

class GifTranslator : public ImageTranslator
{
public:
    const char* Name() const override { return "gif"; }

    identify_result Identify(const ImageSource& source) const override
    {
        if (source.size >= 6 && (std::memcmp(source.data, "GIF87a", 6) == 0 ||
                                 std::memcmp(source.data, "GIF89a", 6) == 0))
            return kMine;
        return kNotMine;
    }

    status_t ReadHeader(const ImageSource& source, const ReadBudget& budget,
                        PictureHeader* header) const override
    {
        return _Run(source, budget, header, nullptr);
    }

    status_t Decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap) const override
    {
        return _Run(source, budget, header, bitmap);
    }

private:
    status_t _Run(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                  BBitmap* bitmap) const;
};

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t GifTranslator::_Run(const ImageSource& source, const ReadBudget& budget,
                             PictureHeader* header, BBitmap* bitmap) const
{
    if (Identify(source) != kMine)
        return B_NO_TRANSLATOR;
    MemoryReader reader{source.data, source.size, 0};
    int error = 0;
    std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&reader, read_memory, &error));
    if (gif == nullptr)
        return error == D_GIF_ERR_NOT_ENOUGH_MEM ? status_t(B_NO_MEMORY) : status_t(B_ILLEGAL_DATA);

    const uint64 width = uint64(std::max(0, gif->SWidth));
    const uint64 height = uint64(std::max(0, gif->SHeight));
    if (width == 0 || height == 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(width, height))
        return B_NO_MEMORY;
    if (!plausible(width, height, source.size))
        return B_ILLEGAL_DATA;

    int transparent = NO_TRANSPARENT_COLOR;
    while (true) {
        GifRecordType type;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR)
            return B_ILLEGAL_DATA;
        if (type == TERMINATE_RECORD_TYPE)
            return B_ILLEGAL_DATA; // no frame at all
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR)
                return B_ILLEGAL_DATA;
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
                GraphicsControlBlock control;
                if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
                    transparent = control.TransparentColor;
            }
            // Comments and application data are skipped, never kept.
            while (block != nullptr) {
                if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR)
                    return B_ILLEGAL_DATA;
            }
            continue;
        }
        if (type == IMAGE_DESC_RECORD_TYPE)
            break;
    }

    if (DGifGetImageDesc(gif.get()) == GIF_ERROR)
        return B_ILLEGAL_DATA;
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* colours = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    if (colours == nullptr || frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 ||
        frame.Top < 0)
        return B_ILLEGAL_DATA;
    if (!plausible(uint64(frame.Width), uint64(frame.Height), source.size))
        return B_ILLEGAL_DATA;

    // The screen around a smaller frame is left transparent (as the
    // bitmap comes), as browsers do.
    const bool covers = frame.Left == 0 && frame.Top == 0 && uint64(frame.Width) >= width &&
                        uint64(frame.Height) >= height;
    if (bitmap == nullptr) {
        header->width = width;
        header->height = height;
        header->alpha = transparent != NO_TRANSPARENT_COLOR || !covers;
        return B_OK;
    }
    if (width != header->width || height != header->height)
        return B_ILLEGAL_DATA;
    uint8* bits = static_cast<uint8*>(bitmap->Bits());
    const size_t rowBytes = size_t(bitmap->BytesPerRow());

    uint32 palette[256];
    for (int i = 0; i < 256; i++) {
        if (i < colours->ColorCount) {
            const GifColorType& c = colours->Colors[i];
            palette[i] = 0xFF000000u | (uint32(c.Red) << 16) | (uint32(c.Green) << 8) | c.Blue;
        } else {
            palette[i] = 0xFF000000u; // an index past the palette shows black
        }
    }
    // A transparent pixel keeps its colour.
    if (transparent >= 0 && transparent < 256)
        palette[transparent] &= 0x00FFFFFFu;

    std::vector<GifPixelType> line(size_t(frame.Width));
    const uint64 shownWidth = std::min<uint64>(uint64(frame.Width),
                                               width > uint64(frame.Left) ? width - frame.Left : 0);
    auto store = [&](uint64 row) {
        const uint64 y = uint64(frame.Top) + row;
        if (y >= height)
            return;
        uint32* out = reinterpret_cast<uint32*>(bits + y * rowBytes) + frame.Left;
        for (uint64 x = 0; x < shownWidth; x++)
            out[x] = palette[line[x]];
    };
    if (frame.Interlace) {
        static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; pass++) {
            for (int row = kStart[pass]; row < frame.Height; row += kStep[pass]) {
                if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR)
                    return B_ILLEGAL_DATA;
                store(uint64(row));
            }
        }
    } else {
        for (int row = 0; row < frame.Height; row++) {
            if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR)
                return B_ILLEGAL_DATA;
            store(uint64(row));
        }
    }
    return B_OK;
}

} // namespace

const ImageTranslator* gif_translator()
{
    static const GifTranslator translator;
    return &translator;
}

} // namespace BPrivate
