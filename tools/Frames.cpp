#include "Frames.h"
#include "ToolOutput.h"
#include "Video.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <DataIO.h>
#include <SafeFileWriter.h>

#include <gif_lib.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace fuse {

namespace {

// LZW's longest string is 4096 pixels for one code: a GIF's frames together
// never hold more pixels than this many per byte of the file, whatever its
// frames claim.
constexpr uint64 kMaxPixelsPerByte = 4096;

uint32* words(const BBitmap* picture)
{
    return static_cast<uint32*>(picture->Bits());
}

bool admitted(uint64 width, uint64 height)
{
    return width > 0 && height > 0 && width <= 0xFFFFFFFFull && height <= 0xFFFFFFFFull &&
           width * height <= max_picture_pixels();
}

// As the still reader words a picture over the ceiling.
std::string size_words(uint64 width, uint64 height)
{
    std::string words = std::to_string(width) + "x" + std::to_string(height);
    if (width <= 0xFFFFFFFFull && height <= 0xFFFFFFFFull)
        words += " (" + std::to_string(width * height) + " pixels)";
    return words + " is over the limit of " + std::to_string(max_picture_pixels()) +
           " pixels (--max-pixels)";
}

std::string too_many_frames(uint64 count, uint32 maxFrames)
{
    return std::to_string(count) + " frames, more than --max-frames (" + std::to_string(maxFrames) +
           ")";
}

bool read_head(const char* path, uint8* head, size_t size, size_t* got)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, head, size);
    close(fd);
    *got = n > 0 ? size_t(n) : 0;
    return n > 0;
}

// A whole regular file, within the longest a picture may take.
status_t read_whole(const char* path, std::vector<uint8>* data)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? B_ENTRY_NOT_FOUND : B_PERMISSION_DENIED;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return B_BAD_TYPE;
    }
    if (uint64(st.st_size) > max_picture_file_bytes()) {
        close(fd);
        return B_NO_MEMORY;
    }
    data->resize(size_t(st.st_size));
    size_t done = 0;
    while (done < data->size()) {
        ssize_t n = read(fd, data->data() + done, data->size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    data->resize(done);
    return B_OK;
}

// Whether a PNG declares an animation (acTL) before its first image data.
bool png_animated(const uint8* data, size_t size)
{
    size_t at = 8;
    while (at + 8 <= size) {
        const uint32 length = uint32(data[at]) << 24 | uint32(data[at + 1]) << 16 |
                              uint32(data[at + 2]) << 8 | data[at + 3];
        const uint8* type = data + at + 4;
        if (std::memcmp(type, "acTL", 4) == 0)
            return true;
        if (std::memcmp(type, "IDAT", 4) == 0)
            return false;
        if (length > size)
            return false;
        at += size_t(length) + 12;
    }
    return false;
}

// --- GIF -------------------------------------------------------------------

struct GifCloser
{
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using Gif = std::unique_ptr<GifFileType, GifCloser>;

Gif open_gif(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int error = 0;
    GifFileType* gif = DGifOpenFileHandle(fd, &error); // owns fd from here
    return Gif(gif);
}

// One frame's graphic control, or none.
struct GifControl
{
    int transparent = NO_TRANSPARENT_COLOR;
    int disposal = DISPOSAL_UNSPECIFIED;
    int delay = 0; // 1/100 s
};

// Reads records up to the next image's descriptor; false at the end or on
// damage (*damaged says which).
bool next_image(GifFileType* gif, GifControl* control, bool* damaged)
{
    *damaged = true;
    *control = GifControl();
    while (true) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            return false;
        if (type == TERMINATE_RECORD_TYPE) {
            *damaged = false;
            return false;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
                return false;
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
                GraphicsControlBlock gcb;
                if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) {
                    control->transparent = gcb.TransparentColor;
                    control->disposal = gcb.DisposalMode;
                    control->delay = gcb.DelayTime;
                }
            }
            while (block != nullptr)
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
                    return false;
            continue;
        }
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(gif) == GIF_ERROR)
                return false;
            *damaged = false;
            return true;
        }
    }
}

class GifFrames : public FrameReader
{
public:
    static std::unique_ptr<FrameReader> Open(const char* path, uint32 maxFrames, std::string* why)
    {
        struct stat st;
        if (stat(path, &st) != 0) {
            *why = "read error";
            return nullptr;
        }
        // A first pass counts the frames without decoding them: the count,
        // and the pixels they make together, are bounded before any work.
        Gif scan = open_gif(path);
        if (scan == nullptr) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        const uint64 width = uint64(std::max(0, scan->SWidth));
        const uint64 height = uint64(std::max(0, scan->SHeight));
        if (width == 0 || height == 0) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        if (!admitted(width, height)) {
            *why = "picture too large: " + size_words(width, height);
            return nullptr;
        }
        uint64 count = 0;
        GifControl control;
        bool damaged = false;
        while (next_image(scan.get(), &control, &damaged)) {
            if (++count > maxFrames) {
                *why = "more than --max-frames (" + std::to_string(maxFrames) + ") frames";
                return nullptr;
            }
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetCode(scan.get(), &code, &block) == GIF_ERROR) {
                damaged = true;
                break;
            }
            while (block != nullptr)
                if (DGifGetCodeNext(scan.get(), &block) == GIF_ERROR) {
                    damaged = true;
                    break;
                }
            if (damaged)
                break;
        }
        if (damaged || count == 0) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        if (count * width * height > uint64(st.st_size) * kMaxPixelsPerByte) {
            *why = "corrupt image: " + std::to_string(count) + " frames of " +
                   std::to_string(width) + "x" + std::to_string(height) +
                   " are more than the file can hold";
            return nullptr;
        }
        auto frames = std::unique_ptr<GifFrames>(new GifFrames());
        frames->fGif = open_gif(path);
        frames->fCount = uint32(count);
        frames->fCanvas = NewFramePicture(uint32(width), uint32(height));
        if (frames->fGif == nullptr || frames->fCanvas == nullptr) {
            *why = "read error";
            return nullptr;
        }
        // The screen starts as the global table's background colour, as the
        // still reader shows it around a smaller first frame.
        uint32 fill = 0xFF000000u;
        const ColorMapObject* screen = frames->fGif->SColorMap;
        if (screen != nullptr && frames->fGif->SBackGroundColor >= 0 &&
            frames->fGif->SBackGroundColor < screen->ColorCount) {
            const GifColorType& c = screen->Colors[frames->fGif->SBackGroundColor];
            fill = 0xFF000000u | uint32(c.Red) << 16 | uint32(c.Green) << 8 | c.Blue;
        }
        frames->fBackground = fill;
        std::fill_n(words(frames->fCanvas.get()), size_t(width) * height, fill);
        return frames;
    }

    uint32 Count() const override { return fCount; }

    status_t Next(Frame* frame, std::string* why) override
    {
        const uint32 width = uint32(fCanvas->PixelWidth()), height = uint32(fCanvas->PixelHeight());
        uint32* canvas = words(fCanvas.get());
        _Dispose(canvas, width, height);
        GifControl control;
        bool damaged = false;
        if (!next_image(fGif.get(), &control, &damaged))
            return _Damaged(why);
        const GifImageDesc& image = fGif->Image;
        const ColorMapObject* colours =
            image.ColorMap != nullptr ? image.ColorMap : fGif->SColorMap;
        if (colours == nullptr || image.Width <= 0 || image.Height <= 0 || image.Left < 0 ||
            image.Top < 0)
            return _Damaged(why);
        uint32 palette[256];
        for (int i = 0; i < 256; i++) {
            if (i < colours->ColorCount) {
                const GifColorType& c = colours->Colors[i];
                palette[i] = 0xFF000000u | uint32(c.Red) << 16 | uint32(c.Green) << 8 | c.Blue;
            } else {
                palette[i] = 0xFF000000u;
            }
        }
        // The part of the frame on the screen; a frame that claims to reach
        // past it is drawn clipped.
        const uint32 left = uint32(image.Left), top = uint32(image.Top);
        const uint32 shown = left < width ? std::min<uint32>(uint32(image.Width), width - left) : 0;
        fDisposal = control.disposal;
        fLeft = left;
        fTop = top;
        fWidth = shown;
        fHeight = top < height ? std::min<uint32>(uint32(image.Height), height - top) : 0;
        if (fDisposal == DISPOSE_PREVIOUS) {
            fSaved.resize(size_t(fWidth) * fHeight);
            for (uint32 y = 0; y < fHeight; y++)
                std::memcpy(fSaved.data() + size_t(y) * fWidth,
                            canvas + size_t(top + y) * width + left, size_t(fWidth) * 4);
        }
        std::vector<GifPixelType> line(size_t(image.Width));
        auto store = [&](uint32 row) {
            const uint64 y = uint64(top) + row;
            if (y >= height)
                return;
            uint32* out = canvas + size_t(y) * width + left;
            for (uint32 x = 0; x < shown; x++)
                if (int(line[x]) != control.transparent)
                    out[x] = palette[line[x]];
        };
        if (image.Interlace) {
            static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; pass++)
                for (int row = kStart[pass]; row < image.Height; row += kStep[pass]) {
                    if (DGifGetLine(fGif.get(), line.data(), image.Width) == GIF_ERROR)
                        return _Damaged(why);
                    store(uint32(row));
                }
        } else {
            for (int row = 0; row < image.Height; row++) {
                if (DGifGetLine(fGif.get(), line.data(), image.Width) == GIF_ERROR)
                    return _Damaged(why);
                store(uint32(row));
            }
        }
        frame->picture = NewFramePicture(width, height);
        if (frame->picture == nullptr) {
            *why = "picture too large";
            return B_NO_MEMORY;
        }
        std::memcpy(words(frame->picture.get()), canvas, size_t(width) * height * 4);
        frame->milliseconds = uint32(control.delay) * 10;
        return B_OK;
    }

private:
    GifFrames() = default;

    status_t _Damaged(std::string* why)
    {
        *why = "corrupt or truncated image";
        return B_ILLEGAL_DATA;
    }

    // What the last frame asked be done with its place before the next.
    void _Dispose(uint32* canvas, uint32 width, uint32)
    {
        if (fDisposal == DISPOSE_BACKGROUND) {
            for (uint32 y = 0; y < fHeight; y++)
                std::fill_n(canvas + size_t(fTop + y) * width + fLeft, fWidth, fBackground);
        } else if (fDisposal == DISPOSE_PREVIOUS) {
            for (uint32 y = 0; y < fHeight; y++)
                std::memcpy(canvas + size_t(fTop + y) * width + fLeft,
                            fSaved.data() + size_t(y) * fWidth, size_t(fWidth) * 4);
        }
        fDisposal = DISPOSAL_UNSPECIFIED;
    }

    Gif fGif;
    uint32 fCount = 0;
    std::unique_ptr<BBitmap> fCanvas;
    uint32 fBackground = 0;
    int fDisposal = DISPOSAL_UNSPECIFIED;
    uint32 fLeft = 0, fTop = 0, fWidth = 0, fHeight = 0;
    std::vector<uint32> fSaved;
};

// --- WebP ------------------------------------------------------------------

class WebpFrames : public FrameReader
{
public:
    static std::unique_ptr<FrameReader> Open(const char* path, uint32 maxFrames, std::string* why)
    {
        auto frames = std::unique_ptr<WebpFrames>(new WebpFrames());
        status_t status = read_whole(path, &frames->fData);
        if (status != B_OK) {
            *why = ReadFailure(status);
            return nullptr;
        }
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options)) {
            *why = "read error";
            return nullptr;
        }
        // Bytes B, G, R, A: the bitmap's own words.
        options.color_mode = MODE_BGRA;
        options.use_threads = 0;
        // The demuxer checks the frames' sizes and places against the canvas
        // and the file's length before the decoder is made.
        WebPData data = {frames->fData.data(), frames->fData.size()};
        WebPDemuxer* demux = WebPDemux(&data);
        if (demux == nullptr) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        const uint64 width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
        const uint64 height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
        const uint64 count = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
        WebPDemuxDelete(demux);
        if (!admitted(width, height)) {
            *why = "picture too large: " + size_words(width, height);
            return nullptr;
        }
        if (count > maxFrames) {
            *why = too_many_frames(count, maxFrames);
            return nullptr;
        }
        frames->fDecoder = WebPAnimDecoderNew(&data, &options);
        WebPAnimInfo info;
        if (frames->fDecoder == nullptr || !WebPAnimDecoderGetInfo(frames->fDecoder, &info) ||
            info.frame_count == 0) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        frames->fWidth = info.canvas_width;
        frames->fHeight = info.canvas_height;
        frames->fCount = info.frame_count;
        return frames;
    }

    ~WebpFrames() override { WebPAnimDecoderDelete(fDecoder); }

    uint32 Count() const override { return fCount; }

    status_t Next(Frame* frame, std::string* why) override
    {
        uint8_t* buffer = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderHasMoreFrames(fDecoder) ||
            !WebPAnimDecoderGetNext(fDecoder, &buffer, &timestamp)) {
            *why = "corrupt or truncated image";
            return B_ILLEGAL_DATA;
        }
        frame->picture = NewFramePicture(fWidth, fHeight);
        if (frame->picture == nullptr) {
            *why = "picture too large";
            return B_NO_MEMORY;
        }
        std::memcpy(words(frame->picture.get()), buffer, size_t(fWidth) * fHeight * 4);
        frame->milliseconds = uint32(std::max(0, timestamp - fLastTimestamp));
        fLastTimestamp = timestamp;
        return B_OK;
    }

private:
    WebpFrames() = default;

    std::vector<uint8> fData;
    WebPAnimDecoder* fDecoder = nullptr;
    uint32 fWidth = 0, fHeight = 0, fCount = 0;
    int fLastTimestamp = 0;
};

// --- APNG ------------------------------------------------------------------

uint32 be32(const uint8* p)
{
    return uint32(p[0]) << 24 | uint32(p[1]) << 16 | uint32(p[2]) << 8 | p[3];
}

uint16 be16(const uint8* p)
{
    return uint16(uint32(p[0]) << 8 | p[1]);
}

void put32(std::vector<uint8>* out, uint32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(uint8(v >> shift));
}

void put_chunk(std::vector<uint8>* out, const char* type, const uint8* data, size_t size)
{
    put32(out, uint32(size));
    const size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    if (size > 0)
        out->insert(out->end(), data, data + size);
    put32(out, uint32(crc32(0, out->data() + start, uInt(size + 4))));
}

const uint8 kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Deflate gives at most 1032 bytes for one, and a pixel takes at least one
// bit: no APNG's frames hold more pixels than this many per byte.
constexpr uint64 kMaxPngPixelsPerByte = 1032 * 8;

struct Chunk
{
    const uint8* type;
    const uint8* data;
    uint32 size;
};

// Chunks with their lengths inside the file; CRCs are the PNG reader's to
// check, frame by frame.
bool png_chunks(const std::vector<uint8>& file, std::vector<Chunk>* chunks)
{
    if (file.size() < 8 || std::memcmp(file.data(), kPngSignature, 8) != 0)
        return false;
    size_t at = 8;
    while (at + 12 <= file.size()) {
        const uint32 size = be32(file.data() + at);
        if (size > file.size() - at - 12)
            return false;
        chunks->push_back({file.data() + at + 4, file.data() + at + 8, size});
        at += size_t(size) + 12;
        if (std::memcmp(chunks->back().type, "IEND", 4) == 0)
            return true;
    }
    return false;
}

class ApngFrames : public FrameReader
{
public:
    static std::unique_ptr<FrameReader> Open(const char* path, uint32 maxFrames, std::string* why)
    {
        auto frames = std::unique_ptr<ApngFrames>(new ApngFrames());
        status_t status = read_whole(path, &frames->fFile);
        if (status != B_OK) {
            *why = ReadFailure(status);
            return nullptr;
        }
        std::vector<Chunk>& chunks = frames->fChunks;
        if (!png_chunks(frames->fFile, &chunks) || chunks.empty() ||
            std::memcmp(chunks[0].type, "IHDR", 4) != 0 || chunks[0].size != 13) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        const uint64 width = be32(chunks[0].data), height = be32(chunks[0].data + 4);
        if (!admitted(width, height)) {
            *why = "picture too large: " + size_words(width, height);
            return nullptr;
        }
        // The frames are counted as they are, not as acTL says.
        uint64 count = 0;
        for (const Chunk& chunk : chunks) {
            if (std::memcmp(chunk.type, "fcTL", 4) == 0)
                count++;
            else if (count == 0 && std::memcmp(chunk.type, "IDAT", 4) != 0 &&
                     std::memcmp(chunk.type, "acTL", 4) != 0 &&
                     std::memcmp(chunk.type, "IHDR", 4) != 0 &&
                     std::memcmp(chunk.type, "IEND", 4) != 0)
                frames->fShared.push_back(chunk); // PLTE, tRNS and the like
            if (count > maxFrames) {
                *why = "more than --max-frames (" + std::to_string(maxFrames) + ") frames";
                return nullptr;
            }
        }
        if (count == 0 ||
            count * width * height > uint64(frames->fFile.size()) * kMaxPngPixelsPerByte) {
            *why = "corrupt or truncated image";
            return nullptr;
        }
        frames->fCount = uint32(count);
        frames->fCanvas = NewFramePicture(uint32(width), uint32(height));
        if (frames->fCanvas == nullptr) {
            *why = "picture too large";
            return nullptr;
        }
        std::fill_n(words(frames->fCanvas.get()), size_t(width) * height, 0u);
        return frames;
    }

    uint32 Count() const override { return fCount; }

    status_t Next(Frame* frame, std::string* why) override
    {
        const uint32 width = uint32(fCanvas->PixelWidth()), height = uint32(fCanvas->PixelHeight());
        uint32* canvas = words(fCanvas.get());
        _Dispose(canvas, width);
        while (fAt < fChunks.size() && std::memcmp(fChunks[fAt].type, "fcTL", 4) != 0)
            fAt++;
        if (fAt == fChunks.size() || fChunks[fAt].size != 26)
            return _Damaged(why);
        const uint8* control = fChunks[fAt++].data;
        const uint32 w = be32(control + 4), h = be32(control + 8), left = be32(control + 12),
                     top = be32(control + 16);
        const uint32 numerator = be16(control + 20), denominator = be16(control + 22);
        const uint8 dispose = control[24], blend = control[25];
        if (w == 0 || h == 0 || left > width || top > height || w > width - left ||
            h > height - top)
            return _Damaged(why);
        // The frame alone as a PNG of its own, for the PNG reader.
        std::vector<uint8> png(kPngSignature, kPngSignature + 8);
        uint8 header[13];
        std::memcpy(header, fChunks[0].data, 13);
        for (int i = 0; i < 4; i++) {
            header[i] = uint8(w >> (24 - 8 * i));
            header[4 + i] = uint8(h >> (24 - 8 * i));
        }
        put_chunk(&png, "IHDR", header, 13);
        for (const Chunk& chunk : fShared)
            put_chunk(&png, reinterpret_cast<const char*>(chunk.type), chunk.data, chunk.size);
        bool any = false;
        for (; fAt < fChunks.size() && std::memcmp(fChunks[fAt].type, "fcTL", 4) != 0; fAt++) {
            const Chunk& chunk = fChunks[fAt];
            if (std::memcmp(chunk.type, "IDAT", 4) == 0) {
                put_chunk(&png, "IDAT", chunk.data, chunk.size);
                any = true;
            } else if (std::memcmp(chunk.type, "fdAT", 4) == 0 && chunk.size >= 4) {
                put_chunk(&png, "IDAT", chunk.data + 4, chunk.size - 4);
                any = true;
            }
        }
        if (!any)
            return _Damaged(why);
        put_chunk(&png, "IEND", nullptr, 0);
        BBitmap* decoded = nullptr;
        status_t status = read_bitmap_data(png.data(), png.size(), nullptr, &decoded);
        if (status != B_OK) {
            *why = ReadFailure(status);
            return status;
        }
        std::unique_ptr<BBitmap> part(decoded);
        if (uint32(part->PixelWidth()) != w || uint32(part->PixelHeight()) != h ||
            (part->ColorSpace() != B_RGB32 && part->ColorSpace() != B_RGBA32))
            return _Damaged(why);
        fDispose = dispose;
        fLeft = left;
        fTop = top;
        fWidth = w;
        fHeight = h;
        if (dispose == 2) {
            fSaved.resize(size_t(w) * h);
            for (uint32 y = 0; y < h; y++)
                std::memcpy(fSaved.data() + size_t(y) * w, canvas + size_t(top + y) * width + left,
                            size_t(w) * 4);
        }
        const bool alpha = part->ColorSpace() == B_RGBA32;
        for (uint32 y = 0; y < h; y++) {
            const uint32* from = reinterpret_cast<const uint32*>(
                static_cast<const uint8*>(part->Bits()) + size_t(y) * part->BytesPerRow());
            uint32* to = canvas + size_t(top + y) * width + left;
            for (uint32 x = 0; x < w; x++)
                to[x] = blend == 1 && alpha ? over(from[x], to[x])
                                            : (alpha ? from[x] : from[x] | 0xFF000000u);
        }
        frame->picture = NewFramePicture(width, height);
        if (frame->picture == nullptr) {
            *why = "picture too large";
            return B_NO_MEMORY;
        }
        std::memcpy(words(frame->picture.get()), canvas, size_t(width) * height * 4);
        // A denominator of 0 means hundredths.
        frame->milliseconds =
            uint32(uint64(numerator) * 1000 / (denominator == 0 ? 100 : denominator));
        return B_OK;
    }

private:
    ApngFrames() = default;

    static uint32 over(uint32 top, uint32 under)
    {
        const uint32 a = top >> 24;
        if (a == 255)
            return top;
        if (a == 0)
            return under;
        const uint32 b = under >> 24;
        const uint32 outA = a * 255 + b * (255 - a); // in 255ths of 255ths
        uint32 result = (outA + 127) / 255 << 24;
        for (int shift = 0; shift < 24; shift += 8) {
            const uint32 c = (top >> shift) & 0xFF, d = (under >> shift) & 0xFF;
            const uint32 mixed = (c * a * 255 + d * b * (255 - a) + outA / 2) / outA;
            result |= std::min<uint32>(255, mixed) << shift;
        }
        return result;
    }

    status_t _Damaged(std::string* why)
    {
        *why = "corrupt or truncated image";
        return B_ILLEGAL_DATA;
    }

    void _Dispose(uint32* canvas, uint32 width)
    {
        if (fDispose == 1) {
            for (uint32 y = 0; y < fHeight; y++)
                std::fill_n(canvas + size_t(fTop + y) * width + fLeft, fWidth, 0u);
        } else if (fDispose == 2) {
            for (uint32 y = 0; y < fHeight; y++)
                std::memcpy(canvas + size_t(fTop + y) * width + fLeft,
                            fSaved.data() + size_t(y) * fWidth, size_t(fWidth) * 4);
        }
        fDispose = 0;
    }

    std::vector<uint8> fFile;
    std::vector<Chunk> fChunks, fShared;
    uint32 fCount = 0;
    size_t fAt = 1;
    std::unique_ptr<BBitmap> fCanvas;
    uint8 fDispose = 0;
    uint32 fLeft = 0, fTop = 0, fWidth = 0, fHeight = 0;
    std::vector<uint32> fSaved;
};

// --- Numbered pictures -----------------------------------------------------

// The printf form's parts: text before, the width of the number (0 for
// none), text after, each "%%" already made '%'.
struct SequenceName
{
    std::string before, after;
    int width = 0;
    bool zeros = false;
};

bool parse_sequence(const std::string& name, SequenceName* parts)
{
    bool found = false;
    std::string* side = &parts->before;
    for (size_t i = 0; i < name.size(); i++) {
        if (name[i] != '%') {
            *side += name[i];
            continue;
        }
        if (i + 1 < name.size() && name[i + 1] == '%') {
            *side += '%';
            i++;
            continue;
        }
        if (found)
            return false;
        size_t j = i + 1;
        if (j < name.size() && name[j] == '0') {
            parts->zeros = true;
            j++;
        }
        int width = 0;
        while (j < name.size() && name[j] >= '0' && name[j] <= '9' && width < 100)
            width = width * 10 + (name[j++] - '0');
        if (j >= name.size() || name[j] != 'd' || width >= 100)
            return false;
        parts->width = width;
        found = true;
        side = &parts->after;
        i = j;
    }
    return found;
}

std::string number_text(const SequenceName& parts, uint64 number)
{
    std::string digits = std::to_string(number);
    if (int(digits.size()) < parts.width)
        digits.insert(0, size_t(parts.width) - digits.size(), parts.zeros ? '0' : ' ');
    return parts.before + digits + parts.after;
}

class SequenceFrames : public FrameReader
{
public:
    static std::unique_ptr<FrameReader> Open(const std::string& name, uint32 maxFrames,
                                             uint32 framesPerSecond, std::string* why)
    {
        SequenceName parts;
        if (!parse_sequence(name, &parts)) {
            *why = "not a sequence name";
            return nullptr;
        }
        // The numbers present in the folder: names that are the form's
        // text around digits that print back the same.
        const size_t slash = parts.before.find_last_of('/');
        const std::string folder =
            slash == std::string::npos ? "." : parts.before.substr(0, slash == 0 ? 1 : slash);
        const std::string prefix =
            slash == std::string::npos ? parts.before : parts.before.substr(slash + 1);
        if (parts.after.find('/') != std::string::npos) {
            *why = "the number must be in the file's name, not a folder's";
            return nullptr;
        }
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr) {
            *why = SafeFileWriter::MessageFor(errno);
            return nullptr;
        }
        std::vector<uint64> numbers;
        bool tooMany = false;
        while (dirent* entry = readdir(dir)) {
            const std::string leaf = entry->d_name;
            if (leaf.size() <= prefix.size() + parts.after.size() ||
                leaf.compare(0, prefix.size(), prefix) != 0 ||
                leaf.compare(leaf.size() - parts.after.size(), parts.after.size(), parts.after) !=
                    0)
                continue;
            std::string middle =
                leaf.substr(prefix.size(), leaf.size() - prefix.size() - parts.after.size());
            if (middle.size() > 18)
                continue;
            size_t start = 0;
            while (!parts.zeros && start < middle.size() && middle[start] == ' ')
                start++;
            if (start == middle.size() ||
                middle.find_first_not_of("0123456789", start) != std::string::npos)
                continue;
            const uint64 number = std::stoull(middle.substr(start));
            SequenceName leafParts = parts;
            leafParts.before = prefix;
            if (number_text(leafParts, number) != leaf)
                continue;
            numbers.push_back(number);
            if (numbers.size() > maxFrames) {
                tooMany = true;
                break;
            }
        }
        closedir(dir);
        if (tooMany) {
            *why = "more than --max-frames (" + std::to_string(maxFrames) + ") frames";
            return nullptr;
        }
        if (numbers.empty()) {
            *why = "no file is named so";
            return nullptr;
        }
        std::sort(numbers.begin(), numbers.end());
        for (size_t i = 1; i < numbers.size(); i++)
            if (numbers[i] != numbers[i - 1] + 1) {
                why->assign(1, '\'');
                why->append(number_text(parts, numbers[i - 1] + 1));
                why->append("' is missing between '");
                why->append(number_text(parts, numbers[i - 1]));
                why->append("' and '");
                why->append(number_text(parts, numbers[i]));
                why->append(1, '\'');
                return nullptr;
            }
        auto frames = std::unique_ptr<SequenceFrames>(new SequenceFrames());
        frames->fParts = parts;
        frames->fFirst = numbers.front();
        frames->fCount = uint32(numbers.size());
        frames->fMilliseconds = 1000 / std::max<uint32>(1, framesPerSecond);
        frames->fRemainder = 1000 % std::max<uint32>(1, framesPerSecond);
        frames->fRate = std::max<uint32>(1, framesPerSecond);
        return frames;
    }

    uint32 Count() const override { return fCount; }

    status_t Next(Frame* frame, std::string* why) override
    {
        const std::string path = number_text(fParts, fFirst + fAt);
        BBitmap* picture = nullptr;
        forget_refused_picture_size();
        status_t status = ReadPicture(path.c_str(), &picture);
        if (status != B_OK) {
            *why = "'" + path + "': " + ReadFailure(status);
            return status;
        }
        frame->picture.reset(picture);
        // Whole milliseconds that add up to the second: 25 a second is 40
        // each, 30 a second 33 or 34.
        fCarry += fRemainder;
        frame->milliseconds = fMilliseconds + (fCarry >= fRate ? 1 : 0);
        if (fCarry >= fRate)
            fCarry -= fRate;
        fAt++;
        return B_OK;
    }

private:
    SequenceFrames() = default;

    SequenceName fParts;
    uint64 fFirst = 0;
    uint32 fCount = 0, fAt = 0;
    uint32 fMilliseconds = 40, fRemainder = 0, fRate = 25, fCarry = 0;
};

// --- Writers ---------------------------------------------------------------

status_t save(const std::string& path, const void* data, size_t size, std::string* why)
{
    SafeFileWriter writer;
    status_t status = writer.WriteFile(path.c_str(), data, size);
    if (status != B_OK)
        *why = writer.ErrorMessage();
    return status;
}

int write_memory(GifFileType* gif, const GifByteType* data, int size)
{
    auto* out = static_cast<std::vector<uint8>*>(gif->UserData);
    out->insert(out->end(), data, data + size);
    return size;
}

class GifWriter : public FrameWriter
{
public:
    explicit GifWriter(const std::string& path) : fPath(path) {}
    ~GifWriter() override { _Close(); }

    status_t Add(const BBitmap* frame, uint32 milliseconds, std::string* why) override
    {
        const uint32 width = uint32(frame->PixelWidth()), height = uint32(frame->PixelHeight());
        if (width > 65535 || height > 65535) {
            *why = "a GIF is at most 65535 pixels wide and high";
            return B_BAD_VALUE;
        }
        const uint32* pixels = words(frame);
        // Each frame's own colour table, exact: the engine draws from a
        // palette of at most 256 colours where GIF is asked for.
        std::unordered_map<uint32, uint8> index;
        ColorMapObject* map = GifMakeMapObject(256, nullptr);
        if (map == nullptr)
            return B_NO_MEMORY;
        std::vector<GifPixelType> indices(size_t(width) * height);
        for (size_t i = 0; i < indices.size(); i++) {
            const uint32 colour = pixels[i] & 0x00FFFFFFu;
            auto found = index.find(colour);
            if (found == index.end()) {
                if (index.size() == 256) {
                    GifFreeMapObject(map);
                    *why = "a frame has more than 256 colours, which GIF cannot hold (write "
                           "WebP or PNG, or fewer --colors)";
                    return B_BAD_VALUE;
                }
                const uint8 k = uint8(index.size());
                map->Colors[k] = {GifByteType(colour >> 16), GifByteType(colour >> 8),
                                  GifByteType(colour)};
                found = index.emplace(colour, k).first;
            }
            indices[i] = found->second;
        }
        int error = 0;
        bool ok = true;
        if (fGif == nullptr) {
            fGif = EGifOpen(&fData, write_memory, &error);
            ok = fGif != nullptr;
            if (ok) {
                EGifSetGifVersion(fGif, true);
                ok = EGifPutScreenDesc(fGif, int(width), int(height), 8, 0, nullptr) == GIF_OK;
            }
            // Played over and over, as other programs play animated GIFs.
            static const GifByteType kLoop[] = {1, 0, 0};
            ok = ok && EGifPutExtensionLeader(fGif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
                 EGifPutExtensionBlock(fGif, 11, "NETSCAPE2.0") == GIF_OK &&
                 EGifPutExtensionBlock(fGif, 3, kLoop) == GIF_OK &&
                 EGifPutExtensionTrailer(fGif) == GIF_OK;
        }
        GraphicsControlBlock control = {DISPOSE_DO_NOT, false, int((milliseconds + 5) / 10),
                                        NO_TRANSPARENT_COLOR};
        GifByteType extension[4];
        const size_t length = EGifGCBToExtension(&control, extension);
        ok = ok &&
             EGifPutExtension(fGif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) == GIF_OK &&
             EGifPutImageDesc(fGif, 0, 0, int(width), int(height), false, map) == GIF_OK;
        for (uint32 y = 0; ok && y < height; y++)
            ok = EGifPutLine(fGif, indices.data() + size_t(y) * width, int(width)) == GIF_OK;
        GifFreeMapObject(map);
        if (!ok) {
            *why = WriteFailure(B_ERROR);
            return B_ERROR;
        }
        return B_OK;
    }

    status_t Finish(std::string* why) override
    {
        if (fGif == nullptr || !_Close()) {
            *why = WriteFailure(B_ERROR);
            return B_ERROR;
        }
        return save(fPath, fData.data(), fData.size(), why);
    }

private:
    bool _Close()
    {
        if (fGif == nullptr)
            return false;
        int error = 0;
        const bool ok = EGifCloseFile(fGif, &error) == GIF_OK;
        fGif = nullptr;
        return ok;
    }

    std::string fPath;
    GifFileType* fGif = nullptr;
    std::vector<uint8> fData;
};

class WebpWriter : public FrameWriter
{
public:
    explicit WebpWriter(const std::string& path) : fPath(path) {}
    ~WebpWriter() override { WebPAnimEncoderDelete(fEncoder); }

    status_t Add(const BBitmap* frame, uint32 milliseconds, std::string* why) override
    {
        const int width = frame->PixelWidth(), height = frame->PixelHeight();
        if (width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION) {
            *why = "a WebP picture is at most 16383 pixels wide and high";
            return B_BAD_VALUE;
        }
        if (fEncoder == nullptr) {
            WebPAnimEncoderOptions options;
            if (!WebPAnimEncoderOptionsInit(&options))
                return _Failed(why);
            options.anim_params.loop_count = 0;
            // Whole frames, each lossless: what comes back is the stereogram.
            options.allow_mixed = 0;
            options.minimize_size = 0;
            fEncoder = WebPAnimEncoderNew(width, height, &options);
            if (fEncoder == nullptr)
                return _Failed(why);
        }
        WebPConfig config;
        if (!WebPConfigInit(&config))
            return _Failed(why);
        config.lossless = 1;
        config.exact = 1;
        // The fastest lossless effort: random dots do not compress anyway.
        config.method = 0;
        config.quality = 0;
        WebPPicture picture;
        if (!WebPPictureInit(&picture))
            return _Failed(why);
        picture.use_argb = 1;
        picture.width = width;
        picture.height = height;
        if (!WebPPictureAlloc(&picture))
            return _Failed(why);
        // The bitmap's words are WebP's ARGB words.
        const uint32* pixels = words(frame);
        for (int y = 0; y < height; y++)
            std::memcpy(picture.argb + size_t(y) * picture.argb_stride, pixels + size_t(y) * width,
                        size_t(width) * 4);
        const bool ok = WebPAnimEncoderAdd(fEncoder, &picture, fTimestamp, &config);
        WebPPictureFree(&picture);
        if (!ok)
            return _Failed(why);
        fTimestamp += int(milliseconds);
        return B_OK;
    }

    status_t Finish(std::string* why) override
    {
        if (fEncoder == nullptr || !WebPAnimEncoderAdd(fEncoder, nullptr, fTimestamp, nullptr))
            return _Failed(why);
        WebPData data;
        WebPDataInit(&data);
        if (!WebPAnimEncoderAssemble(fEncoder, &data))
            return _Failed(why);
        status_t status = save(fPath, data.bytes, data.size, why);
        WebPDataClear(&data);
        return status;
    }

private:
    status_t _Failed(std::string* why)
    {
        *why = WriteFailure(B_ERROR);
        return B_ERROR;
    }

    std::string fPath;
    WebPAnimEncoder* fEncoder = nullptr;
    int fTimestamp = 0;
};

// Each frame encoded as a PNG by the PNG writer, its image data carried
// over: the first frame's as IDAT (so that a reader without animation shows
// it), the others' as fdAT.
class ApngWriter : public FrameWriter
{
public:
    explicit ApngWriter(const std::string& path) : fPath(path) {}

    status_t Add(const BBitmap* frame, uint32 milliseconds, std::string* why) override
    {
        OutputFormat png;
        BMallocIO encoded;
        status_t status = FormatFromName("png", &png);
        if (status == B_OK)
            status = EncodePicture(const_cast<BBitmap*>(frame), png, &encoded);
        if (status != B_OK) {
            *why = WriteFailure(status);
            return status;
        }
        const auto* bytes = static_cast<const uint8*>(encoded.Buffer());
        std::vector<uint8> file(bytes, bytes + encoded.BufferLength());
        std::vector<Chunk> chunks;
        if (!png_chunks(file, &chunks) || chunks.empty() ||
            std::memcmp(chunks[0].type, "IHDR", 4) != 0 || chunks[0].size != 13) {
            *why = WriteFailure(B_ERROR);
            return B_ERROR;
        }
        if (fFrames == 0) {
            fHeader.assign(chunks[0].data, chunks[0].data + 13);
            fOut.assign(kPngSignature, kPngSignature + 8);
            put_chunk(&fOut, "IHDR", chunks[0].data, 13);
            fCountAt = fOut.size();
            const uint8 control[8] = {}; // the count is put in at the end
            put_chunk(&fOut, "acTL", control, 8);
            for (const Chunk& chunk : chunks)
                if (std::memcmp(chunk.type, "IHDR", 4) != 0 &&
                    std::memcmp(chunk.type, "IDAT", 4) != 0 &&
                    std::memcmp(chunk.type, "IEND", 4) != 0)
                    put_chunk(&fOut, reinterpret_cast<const char*>(chunk.type), chunk.data,
                              chunk.size);
        } else if (!std::equal(fHeader.begin(), fHeader.end(), chunks[0].data)) {
            *why = "frames of different sizes or kinds";
            return B_BAD_VALUE;
        }
        std::vector<uint8> control;
        put32(&control, fSequence++);
        control.insert(control.end(), chunks[0].data, chunks[0].data + 8); // width, height
        put32(&control, 0);
        put32(&control, 0);
        // The delay in milliseconds, kept within 16 bits by a coarser unit.
        uint32 numerator = milliseconds, denominator = 1000;
        while (numerator > 65535) {
            numerator = (numerator + 5) / 10;
            denominator /= 10;
        }
        for (uint32 v : {numerator, denominator}) {
            control.push_back(uint8(v >> 8));
            control.push_back(uint8(v));
        }
        control.push_back(0); // dispose: none
        control.push_back(0); // blend: source
        put_chunk(&fOut, "fcTL", control.data(), control.size());
        for (const Chunk& chunk : chunks) {
            if (std::memcmp(chunk.type, "IDAT", 4) != 0)
                continue;
            if (fFrames == 0) {
                put_chunk(&fOut, "IDAT", chunk.data, chunk.size);
                continue;
            }
            std::vector<uint8> data;
            data.reserve(size_t(chunk.size) + 4);
            put32(&data, fSequence++);
            data.insert(data.end(), chunk.data, chunk.data + chunk.size);
            put_chunk(&fOut, "fdAT", data.data(), data.size());
        }
        fFrames++;
        return B_OK;
    }

    status_t Finish(std::string* why) override
    {
        if (fFrames == 0) {
            *why = WriteFailure(B_ERROR);
            return B_ERROR;
        }
        std::vector<uint8> control;
        put32(&control, fFrames);
        put32(&control, 0); // played over and over
        std::vector<uint8> chunk;
        put_chunk(&chunk, "acTL", control.data(), control.size());
        std::copy(chunk.begin(), chunk.end(), fOut.begin() + ptrdiff_t(fCountAt));
        put_chunk(&fOut, "IEND", nullptr, 0);
        return save(fPath, fOut.data(), fOut.size(), why);
    }

private:
    std::string fPath;
    std::vector<uint8> fOut, fHeader;
    size_t fCountAt = 0;
    uint32 fFrames = 0, fSequence = 0;
};

// One PNG a frame, numbered from 1. A failure takes back the files this
// writer made, so that no part of a clip is left.
class SequenceWriter : public FrameWriter
{
public:
    explicit SequenceWriter(const std::string& name) : fName(name)
    {
        parse_sequence(name, &fParts);
    }
    ~SequenceWriter() override
    {
        if (!fFinished)
            for (const std::string& path : fMade)
                unlink(path.c_str());
    }

    status_t Add(const BBitmap* frame, uint32, std::string* why) override
    {
        OutputFormat png;
        status_t status = FormatFromName("png", &png);
        if (status != B_OK) {
            *why = WriteFailure(status);
            return status;
        }
        const std::string path = number_text(fParts, fMade.size() + fReplaced + 1);
        struct stat st;
        const bool existed = lstat(path.c_str(), &st) == 0;
        status = WritePicture(const_cast<BBitmap*>(frame), path.c_str(), png, why);
        if (status != B_OK) {
            *why = "'" + path + "': " + *why;
            return status;
        }
        if (existed)
            fReplaced++;
        else
            fMade.push_back(path);
        return B_OK;
    }

    status_t Finish(std::string*) override
    {
        fFinished = true;
        return B_OK;
    }

private:
    std::string fName;
    SequenceName fParts;
    std::vector<std::string> fMade;
    uint64 fReplaced = 0;
    bool fFinished = false;
};

std::string lower_extension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

} // namespace

bool IsSequenceName(const std::string& name)
{
    SequenceName parts;
    return parse_sequence(name, &parts);
}

std::string SequenceFileName(const std::string& name, uint64 number)
{
    SequenceName parts;
    if (!parse_sequence(name, &parts))
        return name;
    return number_text(parts, number);
}

std::unique_ptr<BBitmap> NewFramePicture(uint32 width, uint32 height)
{
    auto picture =
        std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)), B_RGB32);
    if (picture->InitCheck() != B_OK || picture->Bits() == nullptr ||
        uint64(picture->BytesPerRow()) != uint64(width) * 4)
        return nullptr;
    return picture;
}

ClipKind ClipKindOf(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return IsSequenceName(path) ? ClipKind::kSequence : ClipKind::kStill;
    // Only a regular file is looked into: a pipe read here would lose its
    // first bytes, or wait for a writer (the still reader refuses it).
    if (!S_ISREG(st.st_mode))
        return ClipKind::kStill;
    uint8 head[4096];
    size_t got = 0;
    if (!read_head(path, head, sizeof(head), &got))
        return ClipKind::kStill;
    if (got >= 12 && std::memcmp(head + 4, "ftyp", 4) == 0 && std::memcmp(head + 8, "heic", 4) &&
        std::memcmp(head + 8, "heix", 4) && std::memcmp(head + 8, "mif1", 4) &&
        std::memcmp(head + 8, "msf1", 4) && std::memcmp(head + 8, "avif", 4) &&
        std::memcmp(head + 8, "avis", 4) && std::memcmp(head + 8, "jxl ", 4) &&
        std::memcmp(head + 8, "hevc", 4) && std::memcmp(head + 8, "heim", 4) &&
        std::memcmp(head + 8, "heis", 4) && std::memcmp(head + 8, "jp2 ", 4))
        return ClipKind::kVideo; // MP4, MOV and their kin
    if (got >= 8 && std::memcmp(head + 4, "moov", 4) == 0)
        return ClipKind::kVideo;
    if (got >= 4 && head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3)
        return ClipKind::kVideo; // Matroska, WebM
    if (got >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0)
        return ClipKind::kVideo;
    if (got >= 21 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBPVP8X", 8) == 0)
        return (head[20] & 0x02) != 0 ? ClipKind::kWebp : ClipKind::kStill;
    if (got >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0)
        return png_animated(head, got) ? ClipKind::kApng : ClipKind::kStill;
    if (got >= 6 && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0)) {
        // One frame reads as a still picture, as it always has.
        Gif gif = open_gif(path);
        if (gif == nullptr)
            return ClipKind::kStill;
        GifControl control;
        bool damaged = false;
        int frames = 0;
        while (frames < 2 && next_image(gif.get(), &control, &damaged)) {
            frames++;
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetCode(gif.get(), &code, &block) == GIF_ERROR)
                break;
            while (block != nullptr && DGifGetCodeNext(gif.get(), &block) != GIF_ERROR) {
            }
        }
        return frames > 1 ? ClipKind::kGif : ClipKind::kStill;
    }
    return ClipKind::kStill;
}

std::unique_ptr<FrameReader> OpenFrames(const char* path, ClipKind kind, uint32 maxFrames,
                                        uint32 framesPerSecond, std::string* why)
{
    switch (kind) {
    case ClipKind::kGif:
        return GifFrames::Open(path, maxFrames, why);
    case ClipKind::kWebp:
        return WebpFrames::Open(path, maxFrames, why);
    case ClipKind::kApng:
        return ApngFrames::Open(path, maxFrames, why);
    case ClipKind::kSequence:
        return SequenceFrames::Open(path, maxFrames, framesPerSecond, why);
    case ClipKind::kVideo:
        return OpenVideoFrames(path, maxFrames, why);
    default:
        *why = "not an animated picture";
        return nullptr;
    }
}

ClipFormat ClipFormatFromName(const std::string& name)
{
    std::string n = name;
    for (char& c : n)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (n == "gif")
        return ClipFormat::kGif;
    if (n == "webp")
        return ClipFormat::kWebp;
    if (n == "apng")
        return ClipFormat::kApng;
    if (n == "mp4")
        return ClipFormat::kMp4;
    if (n == "webm")
        return ClipFormat::kWebm;
    return ClipFormat::kNone;
}

ClipFormat ClipFormatFromPath(const std::string& path)
{
    const std::string ext = lower_extension(path);
    if (IsSequenceName(path))
        return ext == "png" ? ClipFormat::kSequence : ClipFormat::kNone;
    return ClipFormatFromName(ext);
}

std::unique_ptr<FrameWriter> CreateFrameWriter(ClipFormat format, const std::string& path)
{
    switch (format) {
    case ClipFormat::kGif:
        return std::make_unique<GifWriter>(path);
    case ClipFormat::kWebp:
        return std::make_unique<WebpWriter>(path);
    case ClipFormat::kApng:
        return std::make_unique<ApngWriter>(path);
    case ClipFormat::kSequence:
        return std::make_unique<SequenceWriter>(path);
    case ClipFormat::kMp4:
    case ClipFormat::kWebm:
        return CreateVideoWriter(format, path);
    default:
        return nullptr;
    }
}

bool FrameAdmitted(uint64 width, uint64 height)
{
    return admitted(width, height);
}

std::string FrameSizeWords(uint64 width, uint64 height)
{
    return size_words(width, height);
}

bool ReduceColours(BBitmap* picture, uint32 colors)
{
    const uint32 width = uint32(picture->PixelWidth()), height = uint32(picture->PixelHeight());
    uint32* pixels = words(picture);
    const size_t count = size_t(width) * height;
    {
        std::unordered_map<uint32, int> seen;
        for (size_t i = 0; i < count && seen.size() <= colors; i++)
            seen.emplace(pixels[i] & 0x00FFFFFFu, 0);
        if (seen.size() <= colors)
            return true;
    }
    std::vector<GifByteType> red(count), green(count), blue(count), out(count);
    for (size_t i = 0; i < count; i++) {
        red[i] = GifByteType(pixels[i] >> 16);
        green[i] = GifByteType(pixels[i] >> 8);
        blue[i] = GifByteType(pixels[i]);
    }
    int size = int(colors);
    GifColorType map[256];
    if (GifQuantizeBuffer(width, height, &size, red.data(), green.data(), blue.data(), out.data(),
                          map) != GIF_OK)
        return false;
    for (size_t i = 0; i < count; i++) {
        const GifColorType& c = map[out[i]];
        pixels[i] = 0xFF000000u | uint32(c.Red) << 16 | uint32(c.Green) << 8 | c.Blue;
    }
    return true;
}

} // namespace fuse
