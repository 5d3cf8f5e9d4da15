// Our lossless WebP encoder against libwebp's decoder: the input describes a
// small picture (mostly a few colours, so there are repeats to find), the
// bands it is cut into and whether alpha counts; the file must decode to
// exactly that picture.
#include <Bitmap.h>
#include <DataIO.h>
#include <ImageTranslator.h>
#include <WebpLosslessWriter.h>
#include <WebpTranslator.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kHeader = 3 + 8 * 4;

uint32* row_of(BBitmap* bitmap, int32 y)
{
    return reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                     size_t(y) * size_t(bitmap->BytesPerRow()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size <= kHeader)
        return 0;
    const int32 width = 1 + data[0] % 96, height = 1 + data[1] % 96;
    const uint8 flags = data[2];
    const color_space space = (flags & 1) != 0 ? B_RGBA32 : B_RGB32;
    uint32 palette[8];
    std::memcpy(palette, data + 3, sizeof(palette));
    const uint8* choices = data + kHeader;
    const size_t count = size - kHeader;

    BBitmap picture(BRect(0, 0, width - 1, height - 1), space);
    size_t next = 0;
    for (int32 y = 0; y < height; y++) {
        uint32* row = row_of(&picture, y);
        for (int32 x = 0; x < width; x++) {
            const uint8 choice = choices[next++ % count];
            // A palette colour, now and then changed in one channel.
            row[x] = palette[choice & 7] ^ ((choice & 0x80) != 0 ? uint32(choice) << (choice & 0x18) : 0);
        }
    }
    BPrivate::WebpLosslessOptions options;
    options.bandPixels = size_t(1) + ((flags >> 1) & 7) * size_t(width) * 3;
    options.threads = 1 + ((flags >> 4) & 3);
    BMallocIO file;
    if (BPrivate::write_webp_lossless(picture, &file, options) != B_OK)
        std::abort();

    BPrivate::ImageSource source;
    source.data = static_cast<const uint8*>(file.Buffer());
    source.size = file.BufferLength();
    BBitmap* decoded = nullptr;
    if (BPrivate::webp_translator()->Read(source, BPrivate::ReadBudget(), &decoded) != B_OK)
        std::abort();
    std::unique_ptr<BBitmap> owner(decoded);
    if (decoded->PixelWidth() != width || decoded->PixelHeight() != height)
        std::abort();
    const uint32 opaque = space == B_RGB32 ? 0xFF000000u : 0;
    const uint32 readOpaque = decoded->ColorSpace() == B_RGB32 ? 0xFF000000u : 0;
    for (int32 y = 0; y < height; y++) {
        const uint32* in = row_of(&picture, y);
        const uint32* back = row_of(decoded, y);
        for (int32 x = 0; x < width; x++) {
            if ((in[x] | opaque) != (back[x] | readOpaque))
                std::abort();
        }
    }
    return 0;
}
