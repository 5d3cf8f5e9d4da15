// Small pieces the library-backed translators share: writing an encoder's
// output into a stream in large pieces, and reaching a bitmap's rows.
#ifndef _CODEC_SUPPORT_H
#define _CODEC_SUPPORT_H

#include <Bitmap.h>
#include <DataIO.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <unistd.h>

namespace BPrivate {

// Whether a writer of ours can encode this bitmap: 32-bit words, valid.
inline bool encodable(const BBitmap& bitmap)
{
    return bitmap.InitCheck() == B_OK &&
           (bitmap.ColorSpace() == B_RGB32 || bitmap.ColorSpace() == B_RGBA32) &&
           bitmap.PixelWidth() > 0 && bitmap.PixelHeight() > 0;
}

inline const uint32* bitmap_row(const BBitmap& bitmap, int64 y)
{
    return reinterpret_cast<const uint32*>(static_cast<const uint8*>(bitmap.Bits()) +
                                           y * bitmap.BytesPerRow());
}

inline uint32* bitmap_row(BBitmap* bitmap, int64 y)
{
    return reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                     y * bitmap->BytesPerRow());
}

// Collects an encoder's small writes and passes them on in large ones; the
// first failure is kept and every later write ignored.
class StreamSink
{
public:
    static constexpr size_t kBufferSize = 256 * 1024;

    explicit StreamSink(BPositionIO* destination)
        : fDestination(destination),
          fBuffer(new (std::nothrow) uint8[kBufferSize]),
          fUsed(0),
          fStatus(destination == nullptr ? B_BAD_VALUE
                  : fBuffer == nullptr   ? B_NO_MEMORY
                                         : B_OK)
    {
    }
    ~StreamSink() { delete[] fBuffer; }
    StreamSink(const StreamSink&) = delete;
    StreamSink& operator=(const StreamSink&) = delete;

    void Write(const void* data, size_t size)
    {
        const uint8* bytes = static_cast<const uint8*>(data);
        while (fStatus == B_OK && size > 0) {
            if (fUsed == 0 && size >= kBufferSize) {
                fStatus = fDestination->WriteExactly(bytes, size);
                return;
            }
            size_t part = std::min(size, kBufferSize - fUsed);
            std::memcpy(fBuffer + fUsed, bytes, part);
            fUsed += part;
            bytes += part;
            size -= part;
            if (fUsed == kBufferSize)
                Flush();
        }
    }

    // Room for an encoder that fills a buffer itself.
    uint8* Buffer() const { return fBuffer; }
    // The buffer holds used bytes; pass them on.
    void Commit(size_t used)
    {
        fUsed = used;
        Flush();
    }

    status_t Flush()
    {
        if (fStatus == B_OK && fUsed > 0)
            fStatus = fDestination->WriteExactly(fBuffer, fUsed);
        fUsed = 0;
        return fStatus;
    }
    status_t Status() const { return fStatus; }

private:
    BPositionIO* fDestination;
    uint8* fBuffer;
    size_t fUsed;
    status_t fStatus;
};

// Standard error pointed at /dev/null while one exists, for the libraries
// that print their failures and offer no way to stop them (libjxl's debug
// lines). Overlapping ones, on any thread, share one redirection; whatever
// another thread prints meanwhile is lost too, so keep them short.
class QuietStderr
{
public:
    QuietStderr()
    {
        std::lock_guard<std::mutex> lock(sMutex);
        if (sDepth++ > 0)
            return;
        std::fflush(stderr);
        sSaved = dup(STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (sSaved >= 0 && null >= 0)
            dup2(null, STDERR_FILENO);
        if (null >= 0)
            close(null);
    }
    ~QuietStderr()
    {
        std::lock_guard<std::mutex> lock(sMutex);
        if (--sDepth > 0)
            return;
        std::fflush(stderr);
        if (sSaved >= 0) {
            dup2(sSaved, STDERR_FILENO);
            close(sSaved);
        }
        sSaved = -1;
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    static inline std::mutex sMutex;
    static inline int sDepth = 0;
    static inline int sSaved = -1;
};

} // namespace BPrivate

#endif // _CODEC_SUPPORT_H
