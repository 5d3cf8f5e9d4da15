// Animated pictures and videos read frame by frame, as pellara-fuse reads an
// animated DEPTH: whatever their headers claim, a reader gives frames within
// the budget and the count it promised, or says why it cannot.
#include <Bitmap.h>
#include <BitmapReading.h>
#include <Frames.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The readers take a path (a sequence, a video's demuxer): each input is
// written to one scratch file.
const std::string& scratch_file()
{
    static const std::string path = [] {
        char name[] = "/tmp/pellara-fuzz-frames-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        close(fd);
        return std::string(name);
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool small = [] {
        set_max_picture_pixels(uint64(1) << 18);
        return true;
    }();
    (void)small;
    const std::string& path = scratch_file();
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, data, size) != ssize_t(size))
        std::abort();
    close(fd);

    const fuse::ClipKind kind = fuse::ClipKindOf(path.c_str());
    if (kind == fuse::ClipKind::kStill)
        return 0;
    constexpr uint32 kMaxFrames = 64;
    std::string why;
    std::unique_ptr<fuse::FrameReader> reader =
        fuse::OpenFrames(path.c_str(), kind, kMaxFrames, 25, &why);
    if (reader == nullptr) {
        if (why.empty())
            std::abort(); // every refusal says why
        return 0;
    }
    const uint32 count = reader->Count();
    if (count == 0 || count > kMaxFrames)
        std::abort();
    for (uint32 i = 0; i < count; i++) {
        fuse::Frame frame;
        why.clear();
        if (reader->Next(&frame, &why) != B_OK) {
            if (why.empty())
                std::abort();
            break;
        }
        const BBitmap* picture = frame.picture.get();
        if (picture == nullptr || picture->InitCheck() != B_OK || picture->PixelWidth() <= 0 ||
            picture->PixelHeight() <= 0 ||
            uint64(picture->PixelWidth()) * uint64(picture->PixelHeight()) > max_picture_pixels())
            std::abort();
    }
    return 0;
}
