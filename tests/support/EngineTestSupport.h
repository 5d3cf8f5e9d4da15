// Bitmaps for engine tests: made from a pixel function, read back as words.
#ifndef ENGINE_TEST_SUPPORT_H
#define ENGINE_TEST_SUPPORT_H

#include <Bitmap.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

inline std::unique_ptr<BBitmap> make_bitmap(uint32_t w, uint32_t h,
                                            const std::function<uint32_t(uint32_t, uint32_t)>& px)
{
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, float(w - 1), float(h - 1)), B_RGB32);
    auto* bits = static_cast<uint8_t*>(bitmap->Bits());
    for (uint32_t y = 0; y < h; y++)
        for (uint32_t x = 0; x < w; x++) {
            uint32_t v = px(x, y);
            std::memcpy(bits + size_t(y) * bitmap->BytesPerRow() + size_t(x) * 4, &v, 4);
        }
    return bitmap;
}

inline std::vector<uint32_t> words_of(const BBitmap* bitmap)
{
    std::vector<uint32_t> out(size_t(bitmap->PixelWidth()) * bitmap->PixelHeight());
    auto* bits = static_cast<const uint8_t*>(bitmap->Bits());
    for (int32_t y = 0; y < bitmap->PixelHeight(); y++)
        std::memcpy(out.data() + size_t(y) * bitmap->PixelWidth(),
                    bits + size_t(y) * bitmap->BytesPerRow(), size_t(bitmap->PixelWidth()) * 4);
    return out;
}

inline uint32_t grey(uint32_t v)
{
    return 0xff000000u | (v << 16) | (v << 8) | v;
}

#endif // ENGINE_TEST_SUPPORT_H
