#include "Frames.h"
#include "FuseJob.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <DataIO.h>
#include <SafeFileWriter.h>

#include <gif_lib.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

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

std::unique_ptr<BBitmap> new_picture(uint32 width, uint32 height)
{
    auto picture =
        std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)), B_RGB32);
    if (picture->InitCheck() != B_OK || picture->Bits() == nullptr ||
        uint64(picture->BytesPerRow()) != uint64(width) * 4)
        return nullptr;
    return picture;
}

uint32* words(const BBitmap* picture)
{
    return static_cast<uint32*>(picture->Bits());
}

bool admitted(uint64 width, uint64 height)
{
    return width > 0 && height > 0 && width <= 0xFFFFFFFFull && height <= 0xFFFFFFFFull &&
           width * height <= max_picture_pixels();
}

std::string size_words(uint64 width, uint64 height)
{
    return std::to_string(width) + "x" + std::to_string(height) + " is over the limit of " +
           std::to_string(max_picture_pixels()) + " pixels (--max-pixels)";
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
        frames->fCanvas = new_picture(uint32(width), uint32(height));
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
        frame->picture = new_picture(width, height);
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
        frame->picture = new_picture(fWidth, fHeight);
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
                *why = "'" + number_text(parts, numbers[i - 1] + 1) + "' is missing between '" +
                       number_text(parts, numbers[i - 1]) + "' and '" +
                       number_text(parts, numbers[i]) + "'";
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

ClipKind ClipKindOf(const char* path)
{
    struct stat st;
    if (IsSequenceName(path) && stat(path, &st) != 0)
        return ClipKind::kSequence;
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
    case ClipKind::kSequence:
        return SequenceFrames::Open(path, maxFrames, framesPerSecond, why);
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
    case ClipFormat::kSequence:
        return std::make_unique<SequenceWriter>(path);
    default:
        return nullptr;
    }
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
