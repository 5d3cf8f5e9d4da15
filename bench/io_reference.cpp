// io-reference: the least a PNG -> stereogram -> PNG run can cost on this
// machine, for pellara-fuse to be measured against. It reads the depth and
// pattern PNGs with libdeflate (the fastest inflate here) and a minimal
// unfilter, makes the stereogram with the engine call pellara-fuse's default
// kind stands for (GetFrom, GetMotive, Fusion), and writes it with ISA-L's
// fastest deflate on one core. It reads only 8-bit grey, grey + alpha, RGB
// and RGBA files that are not interlaced and checks nothing else: no CRCs, no
// limits, no temporary file. Not a tool: a yardstick.
//   io-reference DEPTH.png PATTERN.png OUTPUT.png
#include <Bitmap.h>
#include <PictureMemory.h>
#include <VPellaraObject.h>

#include <isa-l.h>
#include <libdeflate.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool read_file(const char* path, std::vector<uint8_t>* data)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    data->resize(size_t(st.st_size));
    size_t done = 0;
    while (done < data->size()) {
        const ssize_t n = read(fd, data->data() + done, data->size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
    return done == data->size();
}

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c)
{
    const int p = int(a) + b - c, pa = std::abs(p - a), pb = std::abs(p - b),
              pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// One row's filter undone in place; prior is the row above, unfiltered (or
// null for the first).
bool unfilter(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bpp)
{
    switch (type) {
    case 0:
        return true;
    case 1:
        for (size_t i = bpp; i < length; i++)
            row[i] = uint8_t(row[i] + row[i - bpp]);
        return true;
    case 2:
        if (prior != nullptr)
            for (size_t i = 0; i < length; i++)
                row[i] = uint8_t(row[i] + prior[i]);
        return true;
    case 3:
        for (size_t i = 0; i < length; i++) {
            const unsigned left = i >= bpp ? row[i - bpp] : 0, up = prior ? prior[i] : 0;
            row[i] = uint8_t(row[i] + ((left + up) >> 1));
        }
        return true;
    case 4:
        for (size_t i = 0; i < length; i++) {
            const uint8_t left = i >= bpp ? row[i - bpp] : 0, up = prior ? prior[i] : 0,
                          corner = prior && i >= bpp ? prior[i - bpp] : 0;
            row[i] = uint8_t(row[i] + paeth(left, up, corner));
        }
        return true;
    default:
        return false;
    }
}

// The PNG at path as a B_RGB32 (B_RGBA32 with alpha) bitmap, or null with
// *why.
std::unique_ptr<BBitmap> read_png(const char* path, std::string* why)
{
    std::vector<uint8_t> file;
    if (!read_file(path, &file)) {
        *why = "cannot read it";
        return nullptr;
    }
    static const uint8_t kSignature[8] = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n'};
    if (file.size() < 33 || std::memcmp(file.data(), kSignature, 8) != 0 ||
        std::memcmp(file.data() + 12, "IHDR", 4) != 0) {
        *why = "not a PNG";
        return nullptr;
    }
    const uint8_t* ihdr = file.data() + 16;
    const uint32_t width = be32(ihdr), height = be32(ihdr + 4);
    const uint8_t depth = ihdr[8], type = ihdr[9], interlace = ihdr[12];
    const size_t channels = type == 0 ? 1 : type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 0;
    if (depth != 8 || channels == 0 || interlace != 0 || width == 0 || height == 0) {
        *why = "only 8-bit grey, RGB or RGBA PNGs, not interlaced";
        return nullptr;
    }
    // The IDAT chunks' data, joined.
    std::vector<uint8_t> compressed;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = be32(file.data() + at);
        const uint8_t* name = file.data() + at + 4;
        if (at + 12 + size_t(length) > file.size())
            break;
        if (std::memcmp(name, "tRNS", 4) == 0) {
            *why = "a transparent colour (tRNS)";
            return nullptr;
        }
        if (std::memcmp(name, "IDAT", 4) == 0)
            compressed.insert(compressed.end(), name + 4, name + 4 + length);
        if (std::memcmp(name, "IEND", 4) == 0)
            break;
        at += 12 + size_t(length);
    }
    file = {};

    const size_t stride = size_t(width) * channels, filtered = (stride + 1) * height;
    // Picture memory, as the tool's own buffers: huge pages, few faults.
    std::unique_ptr<uint8_t, decltype(&picture_free)> raw(
        static_cast<uint8_t*>(picture_alloc(filtered)), &picture_free);
    if (raw == nullptr) {
        *why = "no memory for it";
        return nullptr;
    }
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    const libdeflate_result result = libdeflate_zlib_decompress(
        inflater, compressed.data(), compressed.size(), raw.get(), filtered, nullptr);
    libdeflate_free_decompressor(inflater);
    compressed = {};
    if (result != LIBDEFLATE_SUCCESS) {
        *why = "its pixels do not inflate";
        return nullptr;
    }

    const bool alpha = channels == 2 || channels == 4;
    auto bitmap = std::make_unique<BBitmap>(BRect(0, 0, float(width - 1), float(height - 1)),
                                            alpha ? B_RGBA32 : B_RGB32);
    if (bitmap->InitCheck() != B_OK) {
        *why = "no memory for it";
        return nullptr;
    }
    uint8_t* bits = static_cast<uint8_t*>(bitmap->Bits());
    const size_t bitmapStride = size_t(bitmap->BytesPerRow());
    const uint8_t* prior = nullptr;
    for (uint32_t y = 0; y < height; y++) {
        uint8_t* row = raw.get() + size_t(y) * (stride + 1);
        if (!unfilter(row[0], row + 1, prior, stride, channels)) {
            *why = "a row with an unknown filter";
            return nullptr;
        }
        prior = row + 1;
        const uint8_t* s = row + 1;
        uint32_t* to = reinterpret_cast<uint32_t*>(bits + size_t(y) * bitmapStride);
        switch (channels) {
        case 1:
            for (uint32_t x = 0; x < width; x++)
                to[x] = 0xFF000000u | uint32_t(s[x]) * 0x010101u;
            break;
        case 2:
            for (uint32_t x = 0; x < width; x++)
                to[x] = uint32_t(s[2 * x + 1]) << 24 | uint32_t(s[2 * x]) * 0x010101u;
            break;
        case 3:
            for (uint32_t x = 0; x < width; x++, s += 3)
                to[x] = 0xFF000000u | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | s[2];
            break;
        default:
            for (uint32_t x = 0; x < width; x++, s += 4)
                to[x] = uint32_t(s[3]) << 24 | uint32_t(s[0]) << 16 | uint32_t(s[1]) << 8 | s[2];
            break;
        }
    }
    return bitmap;
}

bool is_grey(const BBitmap& picture)
{
    const uint8_t* bits = static_cast<const uint8_t*>(picture.Bits());
    for (int32 y = 0; y < picture.PixelHeight(); y++) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(bits + y * picture.BytesPerRow());
        for (int32 x = 0; x < picture.PixelWidth(); x++) {
            const uint32_t p = row[x];
            if (((p >> 16) & 0xFF) != (p & 0xFF) || ((p >> 8) & 0xFF) != (p & 0xFF))
                return false;
        }
    }
    return true;
}

// A PNG of the stereogram's rows (grey or RGB, no filter, as pellara-fuse
// writes it) through igzip at level 0, one IDAT chunk per output buffer.
class PngOut
{
public:
    explicit PngOut(int fd) : fFd(fd) {}

    bool Write(const BBitmap& picture, bool grey)
    {
        const uint32_t width = uint32_t(picture.PixelWidth()),
                       height = uint32_t(picture.PixelHeight());
        const size_t channels = grey ? 1 : 3, stride = size_t(width) * channels + 1;
        uint8_t head[33] = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n', 0, 0, 0, 13,
                            'I', 'H', 'D', 'R'};
        put_be32(head + 16, width);
        put_be32(head + 20, height);
        head[24] = 8;
        head[25] = grey ? 0 : 2;
        put_be32(head + 29, libdeflate_crc32(0, head + 12, 17));
        if (!_Put(head, sizeof head))
            return false;

        std::vector<uint8_t> level(ISAL_DEF_LVL0_DEFAULT);
        isal_zstream stream;
        isal_deflate_init(&stream);
        stream.gzip_flag = IGZIP_ZLIB;
        stream.level = 0;
        stream.level_buf = level.data();
        stream.level_buf_size = uint32_t(level.size());
        fChunk.resize(8 + kChunkData + 4);
        stream.next_out = fChunk.data() + 8;
        stream.avail_out = kChunkData;

        // Rows a megabyte or so at a time, converted just before deflating.
        const uint32_t band = uint32_t(std::max<size_t>(1, (size_t(1) << 20) / stride));
        std::vector<uint8_t> rows(size_t(band) * stride);
        const uint8_t* bits = static_cast<const uint8_t*>(picture.Bits());
        for (uint32_t first = 0; first < height; first += band) {
            const uint32_t count = std::min(band, height - first);
            uint8_t* to = rows.data();
            for (uint32_t y = first; y < first + count; y++) {
                const uint32_t* from =
                    reinterpret_cast<const uint32_t*>(bits + size_t(y) * picture.BytesPerRow());
                *to++ = 0;
                if (grey) {
                    for (uint32_t x = 0; x < width; x++)
                        *to++ = uint8_t(from[x]);
                } else {
                    for (uint32_t x = 0; x < width; x++, to += 3) {
                        to[0] = uint8_t(from[x] >> 16);
                        to[1] = uint8_t(from[x] >> 8);
                        to[2] = uint8_t(from[x]);
                    }
                }
            }
            stream.next_in = rows.data();
            stream.avail_in = uint32_t(size_t(count) * stride);
            stream.end_of_stream = first + count == height;
            while (true) {
                if (isal_deflate(&stream) != COMP_OK)
                    return false;
                if (stream.avail_out == 0 && !_Flush(&stream))
                    return false;
                if (stream.avail_in > 0)
                    continue;
                if (stream.end_of_stream && stream.internal_state.state != ZSTATE_END)
                    continue;
                break;
            }
        }
        if (!_Flush(&stream))
            return false;
        static const uint8_t kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
        return _Put(kEnd, sizeof kEnd);
    }

private:
    static constexpr uint32_t kChunkData = 1u << 20;

    bool _Put(const uint8_t* data, size_t size)
    {
        while (size > 0) {
            const ssize_t n = write(fFd, data, size);
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }

    // What the deflater has made so far, as an IDAT chunk.
    bool _Flush(isal_zstream* stream)
    {
        const uint32_t length = kChunkData - stream->avail_out;
        if (length > 0) {
            put_be32(fChunk.data(), length);
            std::memcpy(fChunk.data() + 4, "IDAT", 4);
            put_be32(fChunk.data() + 8 + length, libdeflate_crc32(0, fChunk.data() + 4, length + 4));
            if (!_Put(fChunk.data(), 12 + size_t(length)))
                return false;
        }
        stream->next_out = fChunk.data() + 8;
        stream->avail_out = kChunkData;
        return true;
    }

    int fFd;
    std::vector<uint8_t> fChunk;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s DEPTH.png PATTERN.png OUTPUT.png\n", argv[0]);
        return 2;
    }
    std::string why;
    std::unique_ptr<BBitmap> depth = read_png(argv[1], &why);
    if (!depth) {
        fprintf(stderr, "%s: cannot read '%s': %s\n", argv[0], argv[1], why.c_str());
        return 1;
    }
    std::unique_ptr<BBitmap> pattern = read_png(argv[2], &why);
    if (!pattern) {
        fprintf(stderr, "%s: cannot read '%s': %s\n", argv[0], argv[2], why.c_str());
        return 1;
    }

    std::unique_ptr<BBitmap> stereogram;
    {
        VPellaraObject engine;
        engine.GetFrom(depth.get());
        depth.reset();
        engine.GetMotive(pattern.get());
        stereogram.reset(engine.Fusion());
    }
    if (!stereogram) {
        fprintf(stderr, "%s: cannot make the stereogram\n", argv[0]);
        return 1;
    }
    // Every pixel comes from the pattern: grey in, grey out.
    const bool grey = is_grey(*pattern);
    pattern.reset();

    const int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    PngOut out(fd);
    if (fd < 0 || !out.Write(*stereogram, grey) || close(fd) != 0) {
        fprintf(stderr, "%s: cannot write '%s'\n", argv[0], argv[3]);
        return 1;
    }
    return 0;
}
