// Small pieces the library-backed translators share: writing an encoder's
// output into a stream in large pieces, and reaching a bitmap's rows.
#ifndef _CODEC_SUPPORT_H
#define _CODEC_SUPPORT_H

#include <Bitmap.h>
#include <DataIO.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

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

// While one exists, the lines libjxl and dav1d (libheif's AV1 decoder) print
// on standard error for the failures they meet are dropped, and every other
// line is passed on: Debian's libjxl has no switch or callback for them
// ("./lib/jxl/decode.cc:2126: file too small for signature"), and libheif
// gives no way to reach dav1d's logger ("Unknown OBU type 14 of size 181"). Standard error goes through a pipe
// meanwhile, read by a thread of its own that forwards what is not the
// library's; overlapping ones, on any thread, share one such pipe.
class QuietStderr
{
public:
    QuietStderr()
    {
        std::lock_guard<std::mutex> lock(sMutex);
        if (sDepth++ > 0)
            return;
        std::fflush(stderr);
        int ends[2];
        sSaved = dup(STDERR_FILENO);
        if (sSaved < 0 || pipe2(ends, O_CLOEXEC) != 0) {
            if (sSaved >= 0)
                close(sSaved);
            sSaved = -1;
            return;
        }
        if (dup2(ends[1], STDERR_FILENO) < 0) {
            close(ends[0]);
            close(ends[1]);
            close(sSaved);
            sSaved = -1;
            return;
        }
        close(ends[1]);
        sReader = std::thread(forward, ends[0], sSaved);
    }
    ~QuietStderr()
    {
        std::lock_guard<std::mutex> lock(sMutex);
        if (--sDepth > 0 || sSaved < 0)
            return;
        std::fflush(stderr);
        // The pipe's last writer closes: the reader sees its end.
        dup2(sSaved, STDERR_FILENO);
        sReader.join();
        close(sSaved);
        sSaved = -1;
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

    // Whether a line of standard error is one of libjxl's or dav1d's own.
    // dav1d's carry no mark of their origin: they are known by their first
    // words, which are those its failure messages begin with.
    static bool IsLibraryLine(const char* line, size_t length)
    {
        static const char* const kPrefixes[] = {
            "./lib/jxl/",
            "lib/jxl/",
            "Error parsing OBU ",
            "Error parsing sequence header",
            "Error parsing frame header",
            "Overrun in OBU bit buffer",
            "Unknown OBU type ",
            "Unknown Metadata OBU type ",
            "Malformed ITU-T T.35 metadata",
            "Input validation check '",
            "Compiled without support for ",
            "Frame size ",
            "Picture already allocated!",
            "Failed to wrap picture: ",
        };
        for (const char* prefix : kPrefixes) {
            const size_t n = std::strlen(prefix);
            if (length >= n && std::memcmp(line, prefix, n) == 0)
                return true;
        }
        return false;
    }

private:
    static void forward(int from, int to)
    {
        std::string pending;
        char buffer[4096];
        bool dropped = false;
        for (;;) {
            ssize_t n = read(from, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            pending.append(buffer, size_t(n));
            size_t start = 0;
            for (size_t end; (end = pending.find('\n', start)) != std::string::npos;
                 start = end + 1) {
                // libjxl ends its failures with an empty line of their own.
                if (dropped && end == start) {
                    dropped = false;
                    continue;
                }
                dropped = pass(pending.data() + start, end + 1 - start, to);
            }
            pending.erase(0, start);
        }
        if (!pending.empty())
            pass(pending.data(), pending.size(), to);
        close(from);
    }

    // Whether the line was the library's, and so dropped.
    static bool pass(const char* line, size_t length, int to)
    {
        if (IsLibraryLine(line, length))
            return true;
        while (length > 0) {
            ssize_t n = write(to, line, length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            line += n;
            length -= size_t(n);
        }
        return false;
    }

    static inline std::mutex sMutex;
    static inline int sDepth = 0;
    static inline int sSaved = -1;
    static inline std::thread sReader;
};

// The stored pixel (*sx, *sy) of a w x h picture that is shown at (x, y)
// once turned by an EXIF orientation (2 to 8): pictures and the depth maps
// that line up with them are turned alike.
inline void stored_position(int32 orientation, int64 w, int64 h, int64 x, int64 y, int64* sx,
                            int64* sy)
{
    switch (orientation) {
    case 2: *sx = w - 1 - x; *sy = y; break;
    case 3: *sx = w - 1 - x; *sy = h - 1 - y; break;
    case 4: *sx = x; *sy = h - 1 - y; break;
    case 5: *sx = y; *sy = x; break;
    case 6: *sx = y; *sy = h - 1 - x; break;
    case 7: *sx = w - 1 - y; *sy = h - 1 - x; break;
    default: *sx = w - 1 - y; *sy = x; break; // 8
    }
}

} // namespace BPrivate

#endif // _CODEC_SUPPORT_H
