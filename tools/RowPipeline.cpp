#include "RowPipeline.h"
#include "FuseJob.h"
#include "Resample.h"

#include <Bitmap.h>

#include <PngRows.h>
#include <SafeFileWriter.h>
#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuse {

namespace {

// Words of depth a band holds: bands small enough that a few in flight cost
// little, large enough that each deflate and hand-over is worth its while.
constexpr size_t kBandWords = size_t(512) << 10;
constexpr uint32 kLeastBandRows = 4;

// Rows a band holds, when not told.
uint32 band_rows(const DepthRows& depth, uint32 width)
{
    // A scaled source starts its ring afresh in each band: longer bands
    // scale fewer rows twice.
    const size_t words = depth.InBands() ? kBandWords * 4 : kBandWords;
    return uint32(std::max<size_t>(kLeastBandRows, words / width));
}

class CapturedRows : public DepthRows
{
public:
    explicit CapturedRows(const VPellaraObject& engine) : fEngine(engine) {}

    uint32 Width() const override { return fEngine.wF; }
    uint32 Height() const override { return fEngine.hF; }

    bool Read(uint32 count, uint32* to, std::string*) override
    {
        std::memcpy(to, fEngine.form + size_t(fRow) * fEngine.wF,
                    size_t(count) * fEngine.wF * 4);
        fRow += count;
        return true;
    }

    bool Finish(bool* again, std::string*) override
    {
        *again = false;
        return true;
    }

private:
    const VPellaraObject& fEngine;
    uint32 fRow = 0;
};

class ScaledRows : public DepthRows
{
public:
    ScaledRows(std::unique_ptr<BBitmap> picture, uint32 width, uint32 height)
        : fPicture(std::move(picture)), fScaler(fPicture.get(), int32(width), int32(height)),
          fWidth(width), fHeight(height)
    {
    }

    bool IsValid() const { return fScaler.IsValid(); }
    uint32 Width() const override { return fWidth; }
    uint32 Height() const override { return fHeight; }
    bool Read(uint32, uint32*, std::string*) override { return false; }
    bool Finish(bool* again, std::string*) override
    {
        *again = false;
        return true;
    }
    bool InBands() const override { return true; }
    bool Band(uint32 first, uint32 count, uint32* to) const override
    {
        return fScaler.Rows(int32(first), int32(count), reinterpret_cast<uint8*>(to));
    }

private:
    std::unique_ptr<BBitmap> fPicture;
    RowScaler fScaler;
    uint32 fWidth, fHeight;
};

// Everything to fd at its position; 0 or the errno.
int write_all(int fd, const uint8* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, std::min<size_t>(size, size_t(1) << 30));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        data += n;
        size -= size_t(n);
    }
    return 0;
}

// A band of output rows on its way: read, made, deflated, written.
struct Slot
{
    enum State
    {
        kFree,
        kFilled,
        kDone,
    };
    State state = kFree;
    size_t index = 0;
    uint32 first = 0, last = 0; // output rows, the guide band's first
    std::vector<uint32> depth;
    std::vector<uint32> out;
    PngRowBand band;
};

class Pipeline
{
public:
    Pipeline(DepthRows& depth, const StereogramRows& rows, PngRowWriter& writer, int fd,
             uint32 bandRows)
        : fDepth(depth), fRows(rows), fWriter(writer), fFd(fd), fBandRows(bandRows)
    {
    }

    StreamFailure Run(std::string* why);

private:
    void _Work();
    // Called with fLock held: the bands done, in order, to the file.
    void _WriteDone();
    void _Fail(StreamFailure failure, const std::string& why)
    {
        if (fFailure == StreamFailure::kNone) {
            fFailure = failure;
            fWhy = why;
        }
        fChanged.notify_all();
    }

    DepthRows& fDepth;
    const StereogramRows& fRows;
    PngRowWriter& fWriter;
    int fFd;
    uint32 fBandRows;

    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<Slot> fSlots;
    std::vector<Slot*> fReady;
    size_t fNextWrite = 0;
    bool fAllRead = false;
    StreamFailure fFailure = StreamFailure::kNone;
    std::string fWhy;
};

void Pipeline::_WriteDone()
{
    while (fFailure == StreamFailure::kNone) {
        Slot& slot = fSlots[fNextWrite % fSlots.size()];
        if (slot.state != Slot::kDone || slot.index != fNextWrite)
            return;
        if (int error = write_all(fFd, slot.band.chunk.data(), slot.band.chunk.size())) {
            _Fail(StreamFailure::kWrite, SafeFileWriter::MessageFor(error));
            return;
        }
        fWriter.Add(slot.band);
        std::vector<uint8>().swap(slot.band.chunk);
        slot.state = Slot::kFree;
        fNextWrite++;
        fChanged.notify_all();
    }
}

void Pipeline::_Work()
{
    std::unique_lock<std::mutex> guard(fLock);
    while (true) {
        fChanged.wait(guard, [this] {
            return !fReady.empty() || fAllRead || fFailure != StreamFailure::kNone;
        });
        if (fFailure != StreamFailure::kNone || fReady.empty())
            return;
        Slot* slot = fReady.front();
        fReady.erase(fReady.begin());
        guard.unlock();

        const uint32 guide = fRows.GuideRows();
        const uint32 width = fRows.Width();
        bool made = true;
        if (slot->first < guide)
            fRows.MakeGuideRows(slot->first, slot->last, slot->out.data());
        else
            made = (!fDepth.InBands() || fDepth.Band(slot->first - guide, slot->last - slot->first,
                                                     slot->depth.data())) &&
                   fRows.MakeRows(slot->first - guide, slot->last - guide, slot->depth.data(),
                                  width, slot->out.data(), width);
        const bool deflated =
            made && fWriter.Deflate(slot->out.data(), width, slot->first, slot->last, &slot->band);

        guard.lock();
        if (!made || !deflated) {
            _Fail(StreamFailure::kMake, "not enough memory to make the stereogram");
            return;
        }
        slot->state = Slot::kDone;
        _WriteDone();
    }
}

StreamFailure Pipeline::Run(std::string* why)
{
    const uint32 width = fRows.Width(), guide = fRows.GuideRows();
    const uint32 height = guide + fRows.Height();
    const uint32 bandRows = fBandRows > 0 ? fBandRows : band_rows(fDepth, width);
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    try {
        fSlots.resize(threads + 2);
        for (Slot& slot : fSlots) {
            slot.depth.resize(size_t(bandRows) * width);
            slot.out.resize(size_t(bandRows) * width);
        }
    } catch (const std::bad_alloc&) {
        *why = "not enough memory to make the stereogram";
        return StreamFailure::kMake;
    }

    std::vector<std::thread> workers;
    for (unsigned i = 0; i < threads; i++) {
        try {
            workers.emplace_back([this] { _Work(); });
        } catch (...) {
            break;
        }
    }
    if (workers.empty()) {
        *why = "no thread to make the stereogram on";
        return StreamFailure::kMake;
    }

    // This thread reads: the guide band's rows first (no depth), then the
    // picture's, bands split where the picture starts.
    size_t index = 0;
    for (uint32 first = 0; first < height; index++) {
        const uint32 last = std::min(height, first < guide ? std::min(guide, first + bandRows)
                                                           : first + bandRows);
        Slot& slot = fSlots[index % fSlots.size()];
        {
            std::unique_lock<std::mutex> guard(fLock);
            fChanged.wait(guard, [&] {
                return slot.state == Slot::kFree || fFailure != StreamFailure::kNone;
            });
            if (fFailure != StreamFailure::kNone)
                break;
        }
        std::string failure;
        if (first >= guide && !fDepth.InBands() && !fDepth.Read(last - first, slot.depth.data(), &failure)) {
            std::lock_guard<std::mutex> guard(fLock);
            _Fail(StreamFailure::kRead, failure);
            break;
        }
        std::lock_guard<std::mutex> guard(fLock);
        slot.index = index;
        slot.first = first;
        slot.last = last;
        slot.state = Slot::kFilled;
        fReady.push_back(&slot);
        fChanged.notify_one();
        first = last;
    }
    {
        std::lock_guard<std::mutex> guard(fLock);
        fAllRead = true;
        fChanged.notify_all();
    }
    for (std::thread& worker : workers)
        worker.join();
    if (fFailure == StreamFailure::kNone && fNextWrite != index)
        _Fail(StreamFailure::kMake, "not enough memory to make the stereogram");
    *why = fWhy;
    return fFailure;
}

} // namespace

int UnnamedFile(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    std::vector<std::string> folders = {
        slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash)};
    const char* tmp = std::getenv("TMPDIR");
    folders.push_back(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp");
    for (const std::string& folder : folders) {
        int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        std::string name = folder + "/.pellara-XXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            unlink(name.c_str());
            return fd;
        }
    }
    return -1;
}

std::unique_ptr<DepthRows> CapturedDepthRows(const VPellaraObject& engine)
{
    if (engine.form == nullptr || engine.wF == 0 || engine.hF == 0)
        return nullptr;
    return std::make_unique<CapturedRows>(engine);
}

std::unique_ptr<DepthRows> ScaledDepthRows(std::unique_ptr<BBitmap> picture, uint32 width,
                                           uint32 height)
{
    auto rows = std::make_unique<ScaledRows>(std::move(picture), width, height);
    if (!rows->IsValid())
        return nullptr;
    return rows;
}

StreamFailure StreamPng(DepthRows& depth, const StereogramRows& rows, uint32 dotsPerInch,
                        const char* path, std::string* why, uint32 bandRows)
{
    if (!rows.IsValid() || rows.Width() != depth.Width() || rows.Height() != depth.Height()) {
        *why = "cannot make the stereogram";
        return StreamFailure::kMake;
    }
    PngRowWriter writer(rows.Width(), rows.GuideRows() + rows.Height(), rows.Grey(),
                        dotsPerInch);
    const int fd = UnnamedFile(path);
    if (fd < 0) {
        *why = SafeFileWriter::MessageFor(errno);
        return StreamFailure::kWrite;
    }
    struct Closer
    {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};

    const std::vector<uint8> head = writer.Head();
    if (int error = write_all(fd, head.data(), head.size())) {
        *why = SafeFileWriter::MessageFor(error);
        return StreamFailure::kWrite;
    }
    Pipeline pipeline(depth, rows, writer, fd, bandRows);
    if (StreamFailure failure = pipeline.Run(why); failure != StreamFailure::kNone)
        return failure;
    bool again = false;
    if (!depth.Finish(&again, why))
        return StreamFailure::kRead;
    if (again)
        return StreamFailure::kAgain;
    const std::vector<uint8> tail = writer.Tail();
    if (int error = write_all(fd, tail.data(), tail.size())) {
        *why = SafeFileWriter::MessageFor(error);
        return StreamFailure::kWrite;
    }
    SafeFileWriter safe;
    if (safe.WriteFileFrom(path, fd) != B_OK) {
        *why = safe.ErrorMessage();
        return StreamFailure::kWrite;
    }
    return StreamFailure::kNone;
}

} // namespace fuse
