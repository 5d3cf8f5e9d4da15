#include "RowPipeline.h"
#include "FuseJob.h"
#include "Resample.h"

#include <Bitmap.h>

#include <DataIO.h>
#include <LayerFormats.h>
#include <PngRows.h>
#include <PosixErrors.h>
#include <RowWriters.h>
#include <SafeFileWriter.h>
#include <TranslatorFormats.h>
#include <StereogramKinds.h>
#include <VPellaraObject.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// The unnamed file an output is built in, remembering why a write failed.
class DescriptorIO : public BPositionIO
{
public:
    explicit DescriptorIO(int fd) : fFd(fd) {}

    ssize_t ReadAt(off_t position, void* buffer, size_t size) override
    {
        ssize_t n;
        do
            n = pread(fFd, buffer, size, position);
        while (n < 0 && errno == EINTR);
        return n < 0 ? ssize_t(status_for_errno(errno)) : n;
    }

    ssize_t WriteAt(off_t position, const void* buffer, size_t size) override
    {
        const uint8* bytes = static_cast<const uint8*>(buffer);
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fFd, bytes + done, std::min<size_t>(size - done, size_t(1) << 30),
                               position + off_t(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fError = n < 0 ? errno : EIO;
                return status_for_errno(fError);
            }
            done += size_t(n);
        }
        return ssize_t(done);
    }

    off_t Seek(off_t position, uint32 seekMode) override
    {
        off_t base = 0;
        if (seekMode == SEEK_CUR)
            base = fPosition;
        else if (seekMode == SEEK_END)
            base = lseek(fFd, 0, SEEK_END);
        if (base < 0 || base + position < 0)
            return B_BAD_VALUE;
        fPosition = base + position;
        return fPosition;
    }

    off_t Position() const override { return fPosition; }
    // The errno behind the last failed write; 0 when none failed.
    int Error() const { return fError; }

private:
    int fFd;
    off_t fPosition = 0;
    int fError = 0;
};

// A writer's failure as one line.
StreamFailure write_failure(status_t status, const DescriptorIO& file, std::string* why)
{
    if (file.Error() != 0) {
        *why = SafeFileWriter::MessageFor(file.Error());
        return StreamFailure::kWrite;
    }
    if (status == B_NO_MEMORY) {
        *why = "not enough memory to make the stereogram";
        return StreamFailure::kMake;
    }
    *why = WriteFailure(status == B_BAD_VALUE ? B_ERROR : status);
    return StreamFailure::kWrite;
}

// PNG's deflate is banded already: bands on every core, written in order.
class PngRows : public RowWriter
{
public:
    PngRows(uint32 width, uint32 height, bool grey, uint32 dotsPerInch)
        : fWriter(width, height, grey, dotsPerInch)
    {
    }

    status_t Head(BPositionIO* destination) override
    {
        fDestination = destination;
        const std::vector<uint8> head = fWriter.Head();
        return fDestination->WriteExactly(head.data(), head.size());
    }

    bool Encode(const uint32* rows, size_t stride, uint32 first, uint32 last,
                RowBand* band) const override
    {
        PngRowBand deflated;
        deflated.chunk = std::move(band->bytes);
        if (!fWriter.Deflate(rows, stride, first, last, &deflated))
            return false;
        band->bytes = std::move(deflated.chunk);
        band->parts = {deflated.adler, deflated.rawLength};
        return true;
    }

    status_t Write(const uint32*, size_t, uint32, uint32, RowBand& band) override
    {
        if (band.parts.size() != 2)
            return B_BAD_VALUE;
        if (status_t status = fDestination->WriteExactly(band.bytes.data(), band.bytes.size());
            status != B_OK)
            return status;
        PngRowBand written;
        written.adler = uint32(band.parts[0]);
        written.rawLength = band.parts[1];
        fWriter.Add(written);
        return B_OK;
    }

    status_t Finish() override
    {
        const std::vector<uint8> tail = fWriter.Tail();
        return fDestination->WriteExactly(tail.data(), tail.size());
    }

private:
    PngRowWriter fWriter;
    BPositionIO* fDestination = nullptr;
};

// A band of output rows on its way: read, made, encoded, written.
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
    // Not cleared: every row is written before it is read, and a run that
    // fails early never touches most of them.
    std::unique_ptr<uint32[]> depth;
    std::unique_ptr<uint32[]> out;
    RowBand band;
};

class Pipeline
{
public:
    Pipeline(DepthRows& depth, const StereogramRows& rows, RowWriter& writer,
             const DescriptorIO& file, uint32 bandRows)
        : fDepth(depth), fRows(rows), fWriter(writer), fFile(file), fBandRows(bandRows)
    {
    }

    StreamFailure Run(std::string* why);

private:
    void _Work();
    // Called with guard held: the bands done, in order, to the writer, by
    // one thread at a time and without the lock, so that the others go on
    // making and encoding meanwhile.
    void _WriteDone(std::unique_lock<std::mutex>& guard);
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
    RowWriter& fWriter;
    const DescriptorIO& fFile;
    uint32 fBandRows;

    std::mutex fLock;
    std::condition_variable fChanged;
    std::vector<Slot> fSlots;
    std::vector<Slot*> fReady;
    size_t fNextWrite = 0;
    bool fWriting = false;
    bool fAllRead = false;
    StreamFailure fFailure = StreamFailure::kNone;
    std::string fWhy;
};

void Pipeline::_WriteDone(std::unique_lock<std::mutex>& guard)
{
    if (fWriting)
        return; // the writing thread finds this band when it is its turn
    fWriting = true;
    while (fFailure == StreamFailure::kNone) {
        Slot& slot = fSlots[fNextWrite % fSlots.size()];
        if (slot.state != Slot::kDone || slot.index != fNextWrite)
            break;
        guard.unlock();
        const status_t status = fWriter.Write(slot.out.get(), fRows.Width(), slot.first,
                                              slot.last, slot.band);
        // Emptied, not freed: the next band fills the same pages.
        slot.band.bytes.clear();
        slot.band.parts.clear();
        guard.lock();
        if (status != B_OK) {
            std::string why;
            const StreamFailure failure = write_failure(status, fFile, &why);
            _Fail(failure, why);
            break;
        }
        slot.state = Slot::kFree;
        fNextWrite++;
        fChanged.notify_all();
    }
    fWriting = false;
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
            fRows.MakeGuideRows(slot->first, slot->last, slot->out.get());
        else
            made = (!fDepth.InBands() || fDepth.Band(slot->first - guide, slot->last - slot->first,
                                                     slot->depth.get())) &&
                   fRows.MakeRows(slot->first - guide, slot->last - guide, slot->depth.get(),
                                  width, slot->out.get(), width);
        const bool encoded =
            made && fWriter.Encode(slot->out.get(), width, slot->first, slot->last, &slot->band);

        guard.lock();
        if (!made || !encoded) {
            _Fail(StreamFailure::kMake, "not enough memory to make the stereogram");
            return;
        }
        slot->state = Slot::kDone;
        _WriteDone(guard);
    }
}

StreamFailure Pipeline::Run(std::string* why)
{
    const uint32 width = fRows.Width(), guide = fRows.GuideRows();
    const uint32 height = guide + fRows.Height();
    uint32 bandRows = fBandRows;
    if (bandRows == 0) {
        // Whole strips where the writer has them, so that workers encode them.
        const uint32 multiple = std::max<uint32>(1, fWriter.BandRows());
        bandRows = band_rows(fDepth, width);
        bandRows = uint32(std::min<uint64>(height, (uint64(bandRows) + multiple - 1) / multiple *
                                                       multiple));
    }
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    try {
        fSlots.resize(threads + 2);
        for (Slot& slot : fSlots) {
            slot.depth = std::make_unique_for_overwrite<uint32[]>(size_t(bandRows) * width);
            slot.out = std::make_unique_for_overwrite<uint32[]>(size_t(bandRows) * width);
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
        if (first >= guide && !fDepth.InBands() && !fDepth.Read(last - first, slot.depth.get(), &failure)) {
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

bool WrittenByRows(uint32 type)
{
    return type == B_PNG_FORMAT || type == B_TIFF_FORMAT || type == B_JPEG_FORMAT ||
           type == B_PPM_FORMAT || type == kPgmFormat;
}

std::unique_ptr<RowWriter> RowWriterFor(uint32 type, uint32 width, uint32 height, bool grey,
                                        uint32 dotsPerInch)
{
    switch (type) {
    case B_PNG_FORMAT:
        return std::make_unique<PngRows>(width, height, grey, dotsPerInch);
    case B_TIFF_FORMAT:
        return MakeTiffRowWriter(width, height, dotsPerInch);
    case B_JPEG_FORMAT:
        return MakeJpegRowWriter(width, height, dotsPerInch);
    case B_PPM_FORMAT:
        return MakePnmRowWriter(width, height, false);
    case kPgmFormat:
        return MakePnmRowWriter(width, height, true);
    default:
        return nullptr;
    }
}

StreamFailure StreamRows(DepthRows& depth, const StereogramRows& rows, RowWriter& writer,
                         const char* path, std::string* why, uint32 bandRows)
{
    if (!rows.IsValid() || rows.Width() != depth.Width() || rows.Height() != depth.Height()) {
        *why = "cannot make the stereogram";
        return StreamFailure::kMake;
    }
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
    DescriptorIO file(fd);

    if (status_t status = writer.Head(&file); status != B_OK)
        return write_failure(status, file, why);
    Pipeline pipeline(depth, rows, writer, file, bandRows);
    if (StreamFailure failure = pipeline.Run(why); failure != StreamFailure::kNone)
        return failure;
    bool again = false;
    if (!depth.Finish(&again, why))
        return StreamFailure::kRead;
    if (again)
        return StreamFailure::kAgain;
    if (status_t status = writer.Finish(); status != B_OK)
        return write_failure(status, file, why);
    SafeFileWriter safe;
    if (safe.WriteFileFrom(path, fd) != B_OK) {
        *why = safe.ErrorMessage();
        return StreamFailure::kWrite;
    }
    return StreamFailure::kNone;
}

} // namespace fuse
