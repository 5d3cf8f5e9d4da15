#include <ReadingPipeline.h>

#include <Bitmap.h>
#include <BitmapReading.h>
#include <PictureFormats.h>
#include <PictureMemory.h>
#include <PosixErrors.h>
#include <QtTranslator.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BPrivate {

namespace {

// A decoder found alpha where the header stage did not, or none where it
// did: the same words under the other colour space. Rare (some long-tail
// layouts), so a copy.
BBitmap* relabelled(BBitmap* bitmap, bool alpha)
{
    if ((bitmap->ColorSpace() == B_RGBA32) == alpha)
        return bitmap;
    const uint64 width = uint64(bitmap->PixelWidth()), height = uint64(bitmap->PixelHeight());
    BBitmap* other = new_picture(width, height, alpha, ReadBudget());
    if (other != nullptr)
        std::memcpy(other->Bits(), bitmap->Bits(), size_t(bitmap->BitsLength()));
    delete bitmap;
    return other;
}

// Only the statuses callers know come out of a decoder; anything else it
// reports is a file it could not read.
status_t reported(status_t status)
{
    if (status == B_OK || status == B_NO_TRANSLATOR || status == B_NO_MEMORY ||
        status == B_ILLEGAL_DATA)
        return status;
    return B_ILLEGAL_DATA;
}

// A format's decoders in the order they are asked: ours, then Qt's plugin.
struct Decoders
{
    const ImageTranslator* list[2] = {nullptr, nullptr};

    Decoders(const PictureFormat& format, const ImageTranslator* only)
    {
        list[0] = format.decoder != nullptr ? format.decoder() : nullptr;
        list[1] = format.qtName != nullptr ? qt_translator() : nullptr;
        for (const ImageTranslator*& decoder : list) {
            if (only != nullptr && decoder != only)
                decoder = nullptr;
        }
    }
    bool Empty() const { return list[0] == nullptr && list[1] == nullptr; }
};

// Stages 3 to 5 for one format whose header stage passed.
status_t decode_picture(const ImageSource& source, const ReadBudget& budget,
                        const Decoders& decoders, PictureHeader* header, BBitmap** outBitmap)
{

    if (!budget.Admits(header->width, header->height))
        return B_NO_MEMORY;
    // A picture whose data ends before its size is refused, whatever the
    // decoder would make of the rest (zeros, grey, repeated rows).
    if (header->leastBytes > source.size)
        return B_ILLEGAL_DATA;
    std::unique_ptr<BBitmap> bitmap(
        new_picture(header->width, header->height, header->alpha, budget));
    if (bitmap == nullptr)
        return B_NO_MEMORY;
    const bool allocatedAlpha = header->alpha;
    status_t status = B_NO_TRANSLATOR;
    for (const ImageTranslator* decoder : decoders.list) {
        if (decoder == nullptr)
            continue;
        // A decoder that declines has written nothing.
        status = reported(decoder->Decode(source, budget, header, bitmap.get()));
        if (status != B_NO_TRANSLATOR)
            break;
    }
    if (status != B_OK)
        return status;

    BBitmap* picture = bitmap.release();
    if (header->alpha != allocatedAlpha) {
        picture = relabelled(picture, header->alpha);
        if (picture == nullptr)
            return B_NO_MEMORY;
    }
    picture = apply_orientation(picture, header->orientation);
    if (picture == nullptr)
        return B_NO_MEMORY;
    *outBitmap = picture;
    return B_OK;
}

} // namespace

status_t read_picture(const ImageSource& source, const ReadBudget& budget,
                      const ImageTranslator* only, BBitmap** outBitmap)
{
    *outBitmap = nullptr;
    if (source.data == nullptr || source.size == 0)
        return B_NO_TRANSLATOR;
    ImageSource whole = source;
    whole.wholeSize = 0;
    // The surest format first; one whose header turns out not to be its
    // own (B_NO_TRANSLATOR) hands on to the next. A header refused for its
    // size or its data ends the read: no other reader guesses.
    for (const PictureFormat* format : sniff_formats(whole)) {
        const Decoders decoders(*format, only);
        if (format->header == nullptr || decoders.Empty())
            continue;
        PictureHeader header;
        header.format = format;
        status_t status = reported(format->header(whole, budget, &header));
        if (status == B_OK) {
            header.format = format;
            status = decode_picture(whole, budget, decoders, &header, outBitmap);
        }
        if (status != B_NO_TRANSLATOR)
            return status;
    }
    return B_NO_TRANSLATOR;
}

uint64 max_source_bytes(const ReadBudget& budget)
{
    return budget.maxPixels * 8 + (uint64(64) << 20);
}

std::string extension_of(const char* name)
{
    if (name == nullptr)
        return {};
    const char* base = std::strrchr(name, '/');
    base = base != nullptr ? base + 1 : name;
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr || dot == base)
        return {};
    std::string extension(dot + 1);
    for (char& c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

namespace {

struct PictureBlock
{
    void operator()(uint8* block) const { picture_free(block); }
};

// Reads into at up to size bytes; stops early at the end. The count read,
// or a negative status: errno's for a file, B_IO_ERROR for a stream.
ssize_t read_fully(int fd, uint8* at, size_t size, bool stream)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, at + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return stream ? B_IO_ERROR : status_for_errno(errno);
        if (n == 0)
            break;
        got += size_t(n);
    }
    return ssize_t(got);
}

} // namespace

status_t read_picture_from(int fd, int64 knownSize, const char* nameHint, BBitmap** outBitmap)
{
    *outBitmap = nullptr;
    const ReadBudget& budget = default_read_budget();
    const uint64 ceiling = max_source_bytes(budget);
    if (knownSize == 0)
        return B_NO_TRANSLATOR;
    if (knownSize > 0 && uint64(knownSize) > ceiling)
        return B_NO_MEMORY;

    // The first bytes only, until a sniff knows them: a large file that is
    // no picture is never read whole.
    size_t capacity = knownSize > 0 ? std::min(size_t(knownSize), kSniffBytes) : kSniffBytes;
    std::unique_ptr<uint8, PictureBlock> bytes(static_cast<uint8*>(picture_alloc(capacity)));
    if (bytes == nullptr)
        return B_NO_MEMORY;
    const bool stream = knownSize < 0;
    ssize_t got = read_fully(fd, bytes.get(), capacity, stream);
    if (got < 0)
        return status_t(got);
    if (got == 0)
        return B_NO_TRANSLATOR;
    size_t length = size_t(got);
    ImageSource prefix;
    prefix.data = bytes.get();
    prefix.size = length;
    prefix.extension = extension_of(nameHint);
    // A pipe's length is unknown: the sniffs take it as long enough.
    prefix.wholeSize = knownSize > 0 ? uint64(knownSize) : ~uint64(0);
    if (length == capacity && sniff_formats(prefix).empty())
        return B_NO_TRANSLATOR;

    // The rest: a file to its length (shortened meanwhile, the readers see
    // a truncated file); a pipe to its end, within the ceiling.
    if (knownSize > 0) {
        if (length == capacity && uint64(knownSize) > capacity) {
            uint8* grown = static_cast<uint8*>(picture_realloc(bytes.get(), size_t(knownSize)));
            if (grown == nullptr)
                return B_NO_MEMORY;
            bytes.release();
            bytes.reset(grown);
            capacity = size_t(knownSize);
            got = read_fully(fd, bytes.get() + length, capacity - length, stream);
            if (got < 0)
                return status_t(got);
            length += size_t(got);
        }
    } else {
        while (length == capacity) {
            if (capacity >= ceiling)
                return B_NO_MEMORY;
            const size_t larger = size_t(std::min<uint64>(uint64(capacity) * 2, ceiling + 1));
            uint8* grown = static_cast<uint8*>(picture_realloc(bytes.get(), larger));
            if (grown == nullptr)
                return B_NO_MEMORY;
            bytes.release();
            bytes.reset(grown);
            capacity = larger;
            got = read_fully(fd, bytes.get() + length, capacity - length, stream);
            if (got < 0)
                return status_t(got);
            length += size_t(got);
        }
        if (length > ceiling)
            return B_NO_MEMORY;
    }
    ImageSource source;
    source.data = bytes.get();
    source.size = length;
    source.extension = prefix.extension;
    return read_picture(source, budget, nullptr, outBitmap);
}

status_t read_picture_file(const char* path, BBitmap** outBitmap)
{
    // Opened without blocking and checked before any codec sees it: a pipe
    // or a device would never end, a folder has no content to read. Read
    // rather than mapped: a file cut short by another program while it is
    // being decoded would end the process with SIGBUS.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return status_for_errno(errno);
    struct stat st;
    status_t status = B_OK;
    if (fstat(fd, &st) != 0)
        status = status_for_errno(errno);
    else if (S_ISDIR(st.st_mode))
        status = B_IS_A_DIRECTORY;
    else if (!S_ISREG(st.st_mode))
        status = B_BAD_TYPE;
    else
        status = read_picture_from(fd, int64(st.st_size), path, outBitmap);
    close(fd);
    return status;
}

} // namespace BPrivate

status_t read_bitmap_data(const void* data, size_t size, const char* nameHint,
                          BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (data == nullptr && size > 0)
        return B_BAD_VALUE;
    if (size == 0)
        return B_NO_TRANSLATOR;
    BPrivate::ImageSource source;
    source.data = static_cast<const uint8*>(data);
    source.size = size;
    source.extension = BPrivate::extension_of(nameHint);
    return BPrivate::read_picture(source, BPrivate::default_read_budget(), nullptr, outBitmap);
}

status_t BPrivate::ImageTranslator::Read(const ImageSource& source, const ReadBudget& budget,
                                         BBitmap** outBitmap) const
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    return read_picture(source, budget, this, outBitmap);
}

status_t read_bitmap_stream(int fd, const char* nameHint, BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (fd < 0)
        return B_BAD_VALUE;
    return BPrivate::read_picture_from(fd, -1, nameHint, outBitmap);
}

bool looks_like_picture(const void* data, size_t size)
{
    if (data == nullptr || size == 0)
        return false;
    BPrivate::ImageSource prefix;
    prefix.data = static_cast<const uint8*>(data);
    prefix.size = size;
    prefix.wholeSize = ~uint64(0);
    return !BPrivate::sniff_formats(prefix).empty();
}

uint64 max_picture_file_bytes()
{
    return BPrivate::max_source_bytes(BPrivate::default_read_budget());
}
