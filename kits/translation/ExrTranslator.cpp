#include <ExrTranslator.h>

#include <CodecSupport.h>
#include <FloatLevels.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <ByteReading.h>

namespace BPrivate {

namespace {

// OpenEXR's own ceiling on a side, which also bounds the offset tables it
// reads before the pixel budget can be asked.
constexpr int kMaxSide = 65536;
// Rows decoded at a time: the picture is read twice (range, then levels)
// through a buffer of this many rows rather than held whole in floats.
constexpr int kStripRows = 64;
// The display window beyond the data window is not stored: it is held to
// deflate's ratio, so a few bytes cannot ask for a huge blank frame.
constexpr uint64 kFramePixelsPerByte = 1032;

class MemoryStream : public Imf::IStream
{
public:
    explicit MemoryStream(const ImageSource& source)
        : Imf::IStream("memory"),
          fData(reinterpret_cast<const char*>(source.data)),
          fSize(source.size),
          fPosition(0)
    {
    }

    // Not offered as mapped: from a mapped stream OpenEXR 3.1 reads an
    // uncompressed line's pixels straight from the file's bytes, as many as
    // the pixels take whatever length the line declares, so a line that
    // declares less near the end was read past the file. Read into its own
    // buffers instead, which are sized for whole lines.
    bool isMemoryMapped() const override { return false; }

    bool read(char c[], int n) override
    {
        Check(n);
        std::memcpy(c, fData + fPosition, size_t(n));
        fPosition += uint64_t(n);
        return fPosition < fSize;
    }

    uint64_t tellg() override { return fPosition; }
    void seekg(uint64_t position) override { fPosition = position; }

private:
    void Check(int n) const
    {
        if (n < 0 || fPosition > fSize || uint64_t(n) > fSize - fPosition)
            throw std::runtime_error("past the end");
    }

    const char* fData;
    uint64_t fSize;
    uint64_t fPosition;
};

// Which channels make the picture: three colours, or one grey, and alpha.
// The names point into the file's header. Luminance with chroma (Y, RY,
// BY, the chroma at half resolution) is read through the library's RGBA
// interface, which turns it into colour; colour then holds R, G, B.
struct Layout
{
    std::vector<const char*> colour; // 3 names, or 1 for grey
    const char* alpha = nullptr;
    bool chroma = false;
};

bool choose_layout(const Imf::ChannelList& channels, Layout* layout)
{
    auto has = [&](const char* name) { return channels.findChannel(name) != nullptr; };
    if (has("R") && has("G") && has("B"))
        layout->colour = {"R", "G", "B"};
    else if (has("Y")) {
        layout->colour = {"Y"};
        if (has("RY") || has("BY")) {
            layout->chroma = true;
            layout->colour = {"R", "G", "B"};
        }
    }
    else if (has("Z"))
        layout->colour = {"Z"};
    else {
        // A single pass of any name (R alone, depth.Z, ...).
        int count = 0;
        for (Imf::ChannelList::ConstIterator i = channels.begin(); i != channels.end(); ++i) {
            if (std::strcmp(i.name(), "A") != 0) {
                layout->colour = {i.name()};
                count++;
            }
        }
        if (count != 1)
            return false;
    }
    const bool luminance = layout->chroma || std::strcmp(layout->colour[0], "Y") == 0;
    if ((layout->colour.size() == 3 || luminance) && has("A"))
        layout->alpha = "A";
    for (const char* name : layout->chroma ? std::vector<const char*>{"Y"} : layout->colour) {
        const Imf::Channel* channel = channels.findChannel(name);
        if (channel->xSampling != 1 || channel->ySampling != 1)
            return false;
    }
    return true;
}

// The size OpenEXR reads for an attribute of a fixed-size type, whatever
// size the file declares; 0 for the types it reads by their declared size.
size_t fixed_size(const char* type)
{
    static const struct
    {
        const char* type;
        size_t size;
    } kFixed[] = {
        {"box2i", 16}, {"box2f", 16}, {"int", 4}, {"float", 4}, {"double", 8},
        {"v2i", 8}, {"v2f", 8}, {"v2d", 16}, {"v3i", 12}, {"v3f", 12}, {"v3d", 24},
        {"m33f", 36}, {"m33d", 72}, {"m44f", 64}, {"m44d", 128}, {"compression", 1},
        {"lineOrder", 1}, {"envmap", 1}, {"deepImageState", 1}, {"chromaticities", 32},
        {"keycode", 28}, {"timecode", 8}, {"rational", 8}, {"tiledesc", 9},
    };
    for (const auto& fixed : kFixed)
        if (std::strcmp(type, fixed.type) == 0)
            return fixed.size;
    return 0;
}

// Whether OpenEXR, reading a value of this type from its declared bytes,
// ends where they end: the channel list is read to its terminator and a
// preview to the size it states, not to the attribute's size.
bool value_fits(const char* type, const uint8* value, size_t size)
{
    if (std::strcmp(type, "chlist") == 0) {
        size_t at = 0;
        while (at < size) {
            const void* end = std::memchr(value + at, 0, std::min<size_t>(size - at, 256));
            if (end == nullptr)
                return false;
            const size_t nameLength = size_t(static_cast<const uint8*>(end) - (value + at));
            at += nameLength + 1;
            if (nameLength == 0)
                return at == size;
            // Pixel type, linearity and three reserved bytes, x and y sampling.
            if (size - at < 16)
                return false;
            at += 16;
        }
        return false;
    }
    if (std::strcmp(type, "preview") == 0)
        return size >= 8 &&
               uint64(little32(value)) * little32(value + 4) * 4 == uint64(size - 8);
    const size_t fixed = fixed_size(type);
    return fixed == 0 || fixed == size;
}

// Whether every header attribute lies within the file, and OpenEXR reads
// each exactly from its bytes. OpenEXR allocates an attribute's declared
// size before reading it, so a few bytes claiming a gigabyte-long attribute
// are refused here first; and it reads some types by their own measure,
// so a list or preview longer than declared would shift every attribute
// after it, out of reach of this check.
bool attributes_fit(const ImageSource& source)
{
    const uint8* data = source.data;
    const size_t size = source.size;
    const bool multiPart = (data[5] & 0x10) != 0; // version flags, bit 12
    size_t at = 8;
    auto text = [&](size_t* length) {
        const void* end = std::memchr(data + at, 0, std::min<size_t>(size - at, 256));
        if (end == nullptr)
            return false;
        *length = size_t(static_cast<const uint8*>(end) - (data + at));
        return true;
    };
    // OpenEXR allocates whole tiles, whatever part of them the data window
    // covers: a tile may outgrow a small picture, not a picture's worth of
    // gigabytes. A header without a data window gets OpenEXR's, 64 x 64.
    constexpr uint64 kDefaultWindow = 64 * 64, kAnyTile = 256 * 256;
    uint64 windowPixels = kDefaultWindow, tilePixels = 0;
    auto tiles_fit = [&] {
        const bool fits = tilePixels <= std::max(windowPixels, kAnyTile);
        windowPixels = kDefaultWindow;
        tilePixels = 0;
        return fits;
    };
    bool headerStarted = false;
    while (at < size) {
        size_t nameLength = 0;
        if (!text(&nameLength))
            return false;
        const char* name = reinterpret_cast<const char*>(data + at);
        at += nameLength + 1;
        if (nameLength == 0) {
            // The end of a header; a multi-part file ends its list with an
            // empty one.
            if (!multiPart || !headerStarted)
                return !headerStarted || tiles_fit();
            if (!tiles_fit())
                return false;
            headerStarted = false;
            continue;
        }
        headerStarted = true;
        size_t typeLength = 0;
        if (at >= size || !text(&typeLength))
            return false;
        const char* type = reinterpret_cast<const char*>(data + at);
        at += typeLength + 1;
        if (size - at < 4)
            return false;
        const int32 length = int32(little32(data + at));
        at += 4;
        if (length < 0 || size_t(length) > size - at || !value_fits(type, data + at, size_t(length)))
            return false;
        if (std::strcmp(name, "dataWindow") == 0 && std::strcmp(type, "box2i") == 0) {
            const int64 width = int64(int32(little32(data + at + 8))) - int32(little32(data + at)) + 1;
            const int64 height = int64(int32(little32(data + at + 12))) - int32(little32(data + at + 4)) + 1;
            windowPixels = width > 0 && height > 0 ? uint64(width) * uint64(height) : 0;
        } else if (std::strcmp(name, "tiles") == 0 && std::strcmp(type, "tiledesc") == 0) {
            tilePixels = uint64(little32(data + at)) * little32(data + at + 4);
        }
        at += size_t(length);
    }
    return false;
}

// How many times its stored size a picture's samples may take once
// decoded, for the codecs that have such a bound; 0 where none holds (PIZ
// and DWA flatten a plain picture to almost nothing).
uint64 expansion_bound(Imf::Compression compression)
{
    switch (compression) {
    case Imf::NO_COMPRESSION: return 1;
    case Imf::RLE_COMPRESSION: return 64;
    case Imf::ZIPS_COMPRESSION:
    case Imf::ZIP_COMPRESSION: return 1032;
    case Imf::PXR24_COMPRESSION: return 1400;
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION: return 16;
    default: return 0;
    }
}

// Whether the file could hold the samples its header declares (a channel
// sampled every n pixels holds 1 / n of them, as chroma does).
bool plausible(const Imf::Header& header, int64 width, int64 height, uint64 fileSize)
{
    uint64 bytes = 0;
    for (Imf::ChannelList::ConstIterator i = header.channels().begin();
         i != header.channels().end(); ++i) {
        const Imf::Channel& channel = i.channel();
        const uint64 columns = uint64(width) / uint64(std::max(channel.xSampling, 1));
        const uint64 rows = uint64(height) / uint64(std::max(channel.ySampling, 1));
        bytes += columns * rows * (channel.type == Imf::HALF ? 2 : 4);
    }
    const uint64 bound = expansion_bound(header.compression());
    return bound == 0 || bytes <= fileSize * bound;
}

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                BBitmap* bitmap)
{
    // Process-wide settings of the library, made once.
    static std::once_flag limitsSet;
    std::call_once(limitsSet, [] {
        Imf::Header::setMaxImageSize(kMaxSide, kMaxSide);
        Imf::Header::setMaxTileSize(kMaxSide, kMaxSide);
    });
    if (!attributes_fit(source))
        return B_ILLEGAL_DATA;
    MemoryStream stream(source);
    Imf::InputFile file(stream);
    if (!file.isComplete())
        return B_ILLEGAL_DATA;
    // The picture is the display window; the stored pixels (the data
    // window) lie within it, around it or beside it, as renderers crop.
    const Imath::Box2i window = file.header().dataWindow();
    const Imath::Box2i shown = file.header().displayWindow();
    const int64 dataWidth = int64(window.max.x) - window.min.x + 1;
    const int64 dataHeight = int64(window.max.y) - window.min.y + 1;
    const int64 width = int64(shown.max.x) - shown.min.x + 1;
    const int64 height = int64(shown.max.y) - shown.min.y + 1;
    if (dataWidth <= 0 || dataHeight <= 0 || width <= 0 || height <= 0)
        return B_ILLEGAL_DATA;
    if (!budget.Admits(uint64(width), uint64(height)) ||
        !budget.Admits(uint64(dataWidth), uint64(dataHeight)))
        return B_NO_MEMORY;
    if (!plausible(file.header(), dataWidth, dataHeight, source.size) ||
        uint64(width) * uint64(height) > uint64(source.size) * kFramePixelsPerByte)
        return B_ILLEGAL_DATA;
    Layout layout;
    if (!choose_layout(file.header().channels(), &layout))
        return B_NO_TRANSLATOR;
    if (bitmap == nullptr) {
        header->width = uint64(width);
        header->height = uint64(height);
        header->alpha = layout.alpha != nullptr;
        return B_OK;
    }
    if (uint64(width) != header->width || uint64(height) != header->height)
        return B_ILLEGAL_DATA;
    const bool alpha = layout.alpha != nullptr;
    // The stored rows and columns within the display window.
    const int64 x0 = std::max(window.min.x, shown.min.x), x1 = std::min(window.max.x, shown.max.x);
    const int64 y0 = std::max(window.min.y, shown.min.y), y1 = std::min(window.max.y, shown.max.y);
    // What the display window shows outside the data window: nothing. Only
    // then is the bitmap filled; the stored pixels cover it otherwise.
    if (x0 != shown.min.x || x1 != shown.max.x || y0 != shown.min.y || y1 != shown.max.y) {
        const uint32 blank = alpha ? 0 : 0xFF000000u;
        for (int64 y = 0; y < height; y++)
            std::fill_n(bitmap_row(bitmap, y), width, blank);
    }
    if (x0 > x1 || y0 > y1)
        return B_OK;

    const size_t planes = layout.colour.size() + (alpha ? 1 : 0);
    const int64 stripRows = std::min<int64>(kStripRows, y1 - y0 + 1);
    std::vector<float> strip(size_t(dataWidth * stripRows) * planes);
    std::unique_ptr<MemoryStream> rgbaStream;
    std::unique_ptr<Imf::RgbaInputFile> rgbaFile;
    std::vector<Imf::Rgba> rgbaStrip;
    if (layout.chroma) {
        rgbaStream = std::make_unique<MemoryStream>(source);
        rgbaFile = std::make_unique<Imf::RgbaInputFile>(*rgbaStream);
        rgbaStrip.resize(size_t(dataWidth * stripRows));
    }

    // Fills the strip with the data window's rows from y on; stored, the
    // luminance of a luminance-chroma picture alone, in its first plane.
    auto read_strip = [&](int64 y, int64 rows, bool stored) {
        if (layout.chroma && !stored) {
            // The library's frame buffer is addressed from the window's
            // origin: the base is moved back to where (0, 0) would be.
            const intptr_t origin = reinterpret_cast<intptr_t>(rgbaStrip.data()) -
                                    intptr_t((window.min.x + y * dataWidth) * sizeof(Imf::Rgba));
            rgbaFile->setFrameBuffer(reinterpret_cast<Imf::Rgba*>(origin), 1, size_t(dataWidth));
            rgbaFile->readPixels(int(y), int(y + rows - 1));
            for (int64 i = 0; i < dataWidth * rows; i++) {
                const Imf::Rgba& in = rgbaStrip[size_t(i)];
                float* out = strip.data() + size_t(i) * planes;
                out[0] = in.r;
                out[1] = in.g;
                out[2] = in.b;
                if (alpha)
                    out[3] = in.a;
            }
            return;
        }
        Imf::FrameBuffer buffer;
        const size_t xStride = planes * sizeof(float);
        for (size_t p = 0; p < (layout.chroma ? 1 : planes); p++) {
            const char* name = layout.chroma ? "Y"
                               : p < layout.colour.size() ? layout.colour[p]
                                                          : layout.alpha;
            buffer.insert(name, Imf::Slice::Make(Imf::FLOAT, strip.data() + p,
                                                 Imath::V2i(window.min.x, int(y)), dataWidth,
                                                 rows, xStride, xStride * size_t(dataWidth), 1, 1,
                                                 p < layout.colour.size() ? 0.0 : 1.0));
        }
        file.setFrameBuffer(buffer);
        file.readPixels(int(y), int(y + rows - 1));
    };

    // The range of what shows, then its levels. A luminance-chroma
    // picture's range is its luminance's: the colours rebuilt from it
    // overshoot 0..1 at sharp edges, which would stretch a plain picture.
    FloatLevels levels;
    const size_t ranged = layout.chroma ? 1 : layout.colour.size();
    for (int64 y = y0; y <= y1; y += stripRows) {
        const int64 rows = std::min(stripRows, y1 - y + 1);
        read_strip(y, rows, true);
        for (int64 r = 0; r < rows; r++)
            for (int64 x = x0; x <= x1; x++)
                for (size_t p = 0; p < ranged; p++)
                    levels.Add(strip[size_t(r * dataWidth + x - window.min.x) * planes + p]);
    }
    levels.Settle();

    for (int64 y = y0; y <= y1; y += stripRows) {
        const int64 rows = std::min(stripRows, y1 - y + 1);
        read_strip(y, rows, false);
        for (int64 r = 0; r < rows; r++) {
            uint32* out = bitmap_row(bitmap, y + r - shown.min.y) + (x0 - shown.min.x);
            const float* in = strip.data() + size_t(r * dataWidth + x0 - window.min.x) * planes;
            for (int64 x = x0; x <= x1; x++, in += planes) {
                uint32 red, green, blue, a = 255;
                if (layout.colour.size() == 3) {
                    red = levels.Level(in[0]);
                    green = levels.Level(in[1]);
                    blue = levels.Level(in[2]);
                } else {
                    red = green = blue = levels.Level(in[0]);
                }
                if (alpha)
                    a = FloatLevels::AlphaLevel(in[layout.colour.size()]);
                *out++ = (a << 24) | (red << 16) | (green << 8) | blue;
            }
        }
    }
    return B_OK;
}

// The library reports every fault by exception.
status_t read_exr(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                  BBitmap* bitmap)
{
    try {
        return decode(source, budget, header, bitmap);
    } catch (const std::bad_alloc&) {
        return B_NO_MEMORY;
    } catch (...) {
        return B_ILLEGAL_DATA;
    }
}

class ExrTranslator : public SingleRoutineTranslator<read_exr>
{
public:
    const char* Name() const override { return "exr"; }

    identify_result Identify(const ImageSource& source) const override
    {
        static const uint8 kMagic[4] = {0x76, 0x2F, 0x31, 0x01};
        return source.size >= 8 && std::memcmp(source.data, kMagic, 4) == 0 ? kMine : kNotMine;
    }
};

} // namespace

const ImageTranslator* exr_translator()
{
    static const ExrTranslator translator;
    return &translator;
}

} // namespace BPrivate
