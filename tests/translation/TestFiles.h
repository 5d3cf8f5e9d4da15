// Scratch folders and synthetic pictures for the translation tests.
#ifndef TEST_FILES_H
#define TEST_FILES_H

#include <Bitmap.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchFolder
{
public:
    ScratchFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "pellara-XXXXXX").string();
        fPath = mkdtemp(pattern.data());
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(fPath, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string operator/(const std::string& name) const { return fPath + "/" + name; }
    const std::string& Path() const { return fPath; }

private:
    std::string fPath;
};

inline std::vector<uint8> read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8>(std::istreambuf_iterator<char>(in), {});
}

inline void write_all(const std::string& path, const std::vector<uint8>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline uint32* row_of(BBitmap* bitmap, int32 y)
{
    return reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                     size_t(y) * size_t(bitmap->BytesPerRow()));
}

// Every pixel different in all three channels, with a junk alpha byte: an
// encoder that trusts B_RGB32's alpha or swaps channels shows it.
inline BBitmap* make_colour_bitmap(int32 width, int32 height, color_space space = B_RGB32,
                                   uint32 alpha = 0x12)
{
    BBitmap* bitmap = new BBitmap(BRect(0, 0, float(width - 1), float(height - 1)), space);
    for (int32 y = 0; y < height; y++) {
        uint32* row = row_of(bitmap, y);
        for (int32 x = 0; x < width; x++) {
            uint32 r = uint32(x * 7 + y * 3) & 0xFF, g = uint32(x * 13 + 40) & 0xFF,
                   b = uint32(y * 11 + x + 90) & 0xFF;
            row[x] = (alpha << 24) | (r << 16) | (g << 8) | b;
        }
    }
    return bitmap;
}

// Slowly varying colours, which lossy codecs keep close.
inline BBitmap* make_smooth_bitmap(int32 width, int32 height)
{
    BBitmap* bitmap = new BBitmap(BRect(0, 0, float(width - 1), float(height - 1)), B_RGB32);
    for (int32 y = 0; y < height; y++) {
        uint32* row = row_of(bitmap, y);
        for (int32 x = 0; x < width; x++) {
            uint32 r = uint32(x * 255 / width), g = uint32(y * 255 / height), b = 128;
            row[x] = 0xFF000000u | (r << 16) | (g << 8) | b;
        }
    }
    return bitmap;
}

#endif // TEST_FILES_H
