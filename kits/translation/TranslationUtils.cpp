#include <Bitmap.h>
#include <BitmapReading.h>
#include <ReadingPipeline.h>
#include <PosixErrors.h>
#include <TranslationUtils.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

BBitmap* BTranslationUtils::GetBitmapFile(const char* path, BTranslatorRoster*)
{
    BBitmap* bitmap = nullptr;
    return ReadBitmapFile(path, &bitmap) == B_OK ? bitmap : nullptr;
}

BBitmap* BTranslationUtils::GetBitmap(const char* path, BTranslatorRoster* roster)
{
    return GetBitmapFile(path, roster);
}

status_t BTranslationUtils::ReadBitmapFile(const char* path, BBitmap** outBitmap)
{
    if (outBitmap == nullptr)
        return B_BAD_VALUE;
    *outBitmap = nullptr;
    if (path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;

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
        status = BPrivate::read_picture_from(fd, int64(st.st_size), path, outBitmap);
    close(fd);
    return status;
}
