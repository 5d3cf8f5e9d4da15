#include <PfmTranslator.h>

#include <CodecSupport.h>
#include <FloatLevels.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace BPrivate {

namespace {

// The next whitespace-separated token of the header, or empty.
std::string next_token(const ImageSource& source, size_t* at)
{
    while (*at < source.size && std::isspace(source.data[*at]))
        (*at)++;
    size_t start = *at;
    while (*at < source.size && !std::isspace(source.data[*at]) && *at - start < 64)
        (*at)++;
    return std::string(reinterpret_cast<const char*>(source.data) + start, *at - start);
}

bool parse_size(const std::string& token, uint64* value)
{
    if (token.empty() || token.size() > 10 ||
        token.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::strtoull(token.c_str(), nullptr, 10);
    return true;
}

inline float float_at(const uint8* p, bool little)
{
    uint32 bits = little ? uint32(p[0]) | (uint32(p[1]) << 8) | (uint32(p[2]) << 16) |
                               (uint32(p[3]) << 24)
                         : (uint32(p[0]) << 24) | (uint32(p[1]) << 16) | (uint32(p[2]) << 8) |
                               uint32(p[3]);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                BBitmap* bitmap)
{
    const bool colour = source.data[1] == 'F';
    size_t at = 2;
    uint64 width = 0, height = 0;
    if (!parse_size(next_token(source, &at), &width) ||
        !parse_size(next_token(source, &at), &height))
        return B_ILLEGAL_DATA;
    std::string scaleText = next_token(source, &at);
    char* end = nullptr;
    const double scale = std::strtod(scaleText.c_str(), &end);
    if (scaleText.empty() || end != scaleText.c_str() + scaleText.size() || scale == 0 ||
        !std::isfinite(scale))
        return B_ILLEGAL_DATA;
    // One whitespace byte ends the header.
    if (at >= source.size || !std::isspace(source.data[at]))
        return B_ILLEGAL_DATA;
    at++;
    if (width == 0 || height == 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(width, height))
        return B_NO_MEMORY;
    const uint64 channels = colour ? 3 : 1;
    if (bitmap == nullptr) {
        header->width = width;
        header->height = height;
        // Raw floats: the file holds every one of them, or it is refused.
        header->leastBytes = at + width * height * channels * 4;
        return B_OK;
    }
    if (width != header->width || height != header->height ||
        source.size - at < width * height * channels * 4)
        return B_ILLEGAL_DATA;
    const bool little = scale < 0;
    const uint8* data = source.data + at;
    const size_t count = size_t(width * height * channels);

    FloatLevels levels;
    for (size_t i = 0; i < count; i++)
        levels.Add(float_at(data + i * 4, little));
    levels.Settle();

    for (uint64 y = 0; y < height; y++) {
        // The file's first row is the picture's bottom one.
        const uint8* in = data + (height - 1 - y) * width * channels * 4;
        uint32* out = bitmap_row(bitmap, int64(y));
        for (uint64 x = 0; x < width; x++) {
            uint32 r, g, b;
            if (colour) {
                r = levels.Level(float_at(in, little));
                g = levels.Level(float_at(in + 4, little));
                b = levels.Level(float_at(in + 8, little));
                in += 12;
            } else {
                r = g = b = levels.Level(float_at(in, little));
                in += 4;
            }
            out[x] = 0xFF000000u | (r << 16) | (g << 8) | b;
        }
    }
    return B_OK;
}

class PfmTranslator : public SingleRoutineTranslator<decode>
{
public:
    const char* Name() const override { return "pfm"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 3 && source.data[0] == 'P' &&
                       (source.data[1] == 'F' || source.data[1] == 'f') &&
                       std::isspace(source.data[2])
                   ? kMine
                   : kNotMine;
    }
};

} // namespace

const ImageTranslator* pfm_translator()
{
    static const PfmTranslator translator;
    return &translator;
}

} // namespace BPrivate
