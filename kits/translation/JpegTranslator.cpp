#include <JpegTranslator.h>
#include <JpegWideSamples.h>

#include <CodecSupport.h>
#include <JpegSegments.h>
#include <PictureFormats.h>
#include <PictureHeaders.h>
#include <RowWriters.h>
#include <RowReaders.h>
#include <TranslatorFormats.h>

#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>
#include <memory>

#include <jerror.h>
#include <jpeglib.h>

namespace BPrivate {

namespace {

constexpr int kQuality = 90;
// Rows handed to the codec per call.
constexpr int kRowBatch = 16;

// libjpeg reports failures by calling error_exit, which must not return.
struct ErrorManager
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    // A warning that means pixels are missing: the scan data ran out.
    bool dataMissing;
};

void error_exit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void emit_message(j_common_ptr info, int level)
{
    // Warnings only; the message itself goes nowhere.
    if (level < 0) {
        int code = info->err->msg_code;
        if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)
            reinterpret_cast<ErrorManager*>(info->err)->dataMissing = true;
        info->err->num_warnings++;
    }
}

void output_message(j_common_ptr)
{
}

void install_errors(ErrorManager* errors)
{
    jpeg_std_error(&errors->manager);
    errors->manager.error_exit = error_exit;
    errors->manager.emit_message = emit_message;
    errors->manager.output_message = output_message;
    errors->dataMissing = false;
}

struct ScanLimit
{
    jpeg_progress_mgr progress;
    uint32 maxScans;
};

// Each progressive scan is a pass over the whole picture; a file repeating
// scans would cost time without end.
void check_scans(j_common_ptr info)
{
    if (!info->is_decompressor)
        return;
    j_decompress_ptr decompress = reinterpret_cast<j_decompress_ptr>(info);
    ScanLimit* limit = reinterpret_cast<ScanLimit*>(info->progress);
    if (uint32(decompress->input_scan_number) > limit->maxScans)
        ERREXIT(info, JERR_NOT_COMPILED); // any fatal code: the message is dropped
}

// The EXIF orientation from the first APP1 "Exif" segment before the scans,
// found in the file as it is, without asking libjpeg to keep markers.
int32 jpeg_orientation(const uint8* data, size_t size)
{
    int32 orientation = 1;
    walk_jpeg_segments(data, size, nullptr, [&](const JpegSegment& segment) {
        if (segment.marker != 0xE1 || segment.size < 6 ||
            std::memcmp(segment.payload, "Exif\0\0", 6) != 0)
            return true;
        orientation = exif_orientation(segment.payload, segment.size);
        return false;
    });
    return orientation;
}

// Adobe's CMYK JPEGs store every ink inverted (255 is no ink), so each
// channel times the black one gives the light left, as Pillow converts.
inline uint8 ink_product(uint32 a, uint32 b)
{
    uint32 t = a * b + 128;
    return uint8(((t >> 8) + t) >> 8);
}

void cmyk_to_words(const uint8* cmyk, uint32* out, uint32 width, bool inverted)
{
    for (uint32 x = 0; x < width; x++, cmyk += 4) {
        uint32 c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[x] = 0xFF000000u | (uint32(ink_product(c, k)) << 16) |
                 (uint32(ink_product(m, k)) << 8) | ink_product(y, k);
    }
}

// The decode, with only plain data alive across setjmp.
struct ReadJob
{
    jpeg_decompress_struct info;
    ErrorManager errors;
    ScanLimit scans;
    uint8* cmykRow;
};

// The header stage when bitmap is null; otherwise the decode into bitmap,
// whose size the header stage gave.
status_t decode(ReadJob* job, const ImageSource& source, const ReadBudget& budget,
                PictureHeader* header, BBitmap* bitmap)
{
    jpeg_decompress_struct* info = &job->info;
    job->cmykRow = nullptr;
    install_errors(&job->errors);
    info->err = &job->errors.manager;
    if (setjmp(job->errors.jump) != 0) {
        jpeg_destroy_decompress(info);
        delete[] job->cmykRow;
        return B_ILLEGAL_DATA;
    }
    jpeg_create_decompress(info);
    job->scans.progress.progress_monitor = check_scans;
    job->scans.maxScans = budget.maxScans;
    info->progress = &job->scans.progress;
    // Whole-picture coefficient buffers (progressive files) stay within what
    // the pixel ceiling implies: four full components of 16-bit values.
    info->mem->max_memory_to_use = long(std::min<uint64>(budget.maxPixels * 8 + (uint64(64) << 20),
                                                         uint64(LONG_MAX)));
    jpeg_mem_src(info, source.data, static_cast<unsigned long>(source.size));
    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(info);
        return B_ILLEGAL_DATA;
    }
    const uint64 width = info->image_width, height = info->image_height;
    if (bitmap == nullptr) {
        header->width = width;
        header->height = height;
        header->orientation = jpeg_orientation(source.data, source.size);
        if (!budget.Admits(width, height)) {
            jpeg_destroy_decompress(info);
            return B_NO_MEMORY;
        }
        // Huffman coding spends at least one bit on every block of a scan,
        // and some scan covers some component: a header claiming more
        // blocks than the file has bits is a forgery or a truncation.
        // Arithmetic coding can spend less, and its decoder reads zeros
        // past the data's end: it is held to deflate's ratio, as any
        // compressed layout is.
        if (info->arith_code) {
            header->leastBytes = least_compressed_bytes(0, width * height);
        } else {
            uint64 fewestBlocks = UINT64_MAX;
            for (int i = 0; i < info->num_components; i++) {
                const jpeg_component_info& c = info->comp_info[i];
                fewestBlocks = std::min(fewestBlocks,
                                        uint64(c.width_in_blocks) * uint64(c.height_in_blocks));
            }
            header->leastBytes = (fewestBlocks + 7) / 8;
        }
        jpeg_destroy_decompress(info);
        return B_OK;
    }
    if (width != header->width || height != header->height) {
        jpeg_destroy_decompress(info);
        return B_ILLEGAL_DATA;
    }

    const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    info->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    const bool inverted = info->saw_Adobe_marker;
    jpeg_start_decompress(info);
    // A progressive file is read whole by now.
    if (job->errors.dataMissing || info->output_width != width || info->output_height != height) {
        jpeg_destroy_decompress(info);
        return B_ILLEGAL_DATA;
    }
    if (cmyk) {
        job->cmykRow = new (std::nothrow) uint8[width * 4];
        if (job->cmykRow == nullptr) {
            jpeg_destroy_decompress(info);
            return B_NO_MEMORY;
        }
    }
    while (info->output_scanline < info->output_height) {
        const int64 y = info->output_scanline;
        uint32* row = bitmap_row(bitmap, y);
        JSAMPROW target = cmyk ? job->cmykRow : reinterpret_cast<JSAMPROW>(row);
        if (jpeg_read_scanlines(info, &target, 1) != 1 || job->errors.dataMissing) {
            // The file ended before the picture: refused rather than padded,
            // and found at the first rows for a forged size.
            jpeg_destroy_decompress(info);
            delete[] job->cmykRow;
            return B_ILLEGAL_DATA;
        }
        if (cmyk)
            cmyk_to_words(job->cmykRow, row, uint32(width), inverted);
    }
    jpeg_finish_decompress(info);
    const bool missing = job->errors.dataMissing;
    jpeg_destroy_decompress(info);
    delete[] job->cmykRow;
    job->cmykRow = nullptr;
    return missing ? B_ILLEGAL_DATA : B_OK;
}

status_t run_decode(const ImageSource& source, const ReadBudget& budget, PictureHeader* header,
                    BBitmap* bitmap)
{
    if (jpeg_needs_wide_decoder(source.data, source.size)) {
        const status_t status = read_wide_jpeg(source, budget, header, bitmap);
        if (bitmap == nullptr && status == B_OK)
            header->orientation = jpeg_orientation(source.data, source.size);
        return status;
    }
    ReadJob* job = new (std::nothrow) ReadJob();
    if (job == nullptr)
        return B_NO_MEMORY;
    status_t status = decode(job, source, budget, header, bitmap);
    delete job;
    return status;
}

struct Destination
{
    jpeg_destination_mgr manager;
    StreamSink* sink;
};

void init_destination(j_compress_ptr info)
{
    Destination* d = reinterpret_cast<Destination*>(info->dest);
    d->manager.next_output_byte = d->sink->Buffer();
    d->manager.free_in_buffer = StreamSink::kBufferSize;
}

boolean empty_output_buffer(j_compress_ptr info)
{
    Destination* d = reinterpret_cast<Destination*>(info->dest);
    d->sink->Commit(StreamSink::kBufferSize);
    if (d->sink->Status() != B_OK)
        ERREXIT(info, JERR_FILE_WRITE);
    init_destination(info);
    return TRUE;
}

void term_destination(j_compress_ptr info)
{
    Destination* d = reinterpret_cast<Destination*>(info->dest);
    d->sink->Commit(StreamSink::kBufferSize - d->manager.free_in_buffer);
}

struct WriteJob
{
    jpeg_compress_struct info;
    ErrorManager errors;
    Destination destination;
};

// Every JPEG written: quality 90, libjpeg's default 4:2:0 YCbCr, the
// density in the JFIF header when there is one.
void set_up(WriteJob* job, StreamSink* sink, JDIMENSION width, JDIMENSION height,
            uint32 dotsPerInch)
{
    jpeg_compress_struct* info = &job->info;
    job->destination.manager.init_destination = init_destination;
    job->destination.manager.empty_output_buffer = empty_output_buffer;
    job->destination.manager.term_destination = term_destination;
    job->destination.sink = sink;
    info->dest = &job->destination.manager;
    info->image_width = width;
    info->image_height = height;
    // The words' bytes in memory are blue, green, red, alpha; the alpha
    // byte is skipped, so B_RGB32's undefined one does no harm.
    info->input_components = 4;
    info->in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, kQuality, TRUE);
    if (dotsPerInch > 0) {
        // The JFIF header's density, in dots per inch.
        info->write_JFIF_header = TRUE;
        info->density_unit = 1;
        info->X_density = UINT16(dotsPerInch);
        info->Y_density = UINT16(dotsPerInch);
    }
}

status_t encode(WriteJob* job, const BBitmap& bitmap, StreamSink* sink,
                const WriteSettings& settings)
{
    jpeg_compress_struct* info = &job->info;
    install_errors(&job->errors);
    info->err = &job->errors.manager;
    if (setjmp(job->errors.jump) != 0) {
        jpeg_destroy_compress(info);
        return sink->Status() != B_OK ? sink->Status() : B_ERROR;
    }
    jpeg_create_compress(info);
    set_up(job, sink, JDIMENSION(bitmap.PixelWidth()), JDIMENSION(bitmap.PixelHeight()),
           settings.dotsPerInch);
    jpeg_start_compress(info, TRUE);
    JSAMPROW rows[kRowBatch];
    while (info->next_scanline < info->image_height) {
        JDIMENSION count = std::min<JDIMENSION>(kRowBatch, info->image_height - info->next_scanline);
        for (JDIMENSION i = 0; i < count; i++)
            rows[i] = reinterpret_cast<JSAMPROW>(
                const_cast<uint32*>(bitmap_row(bitmap, info->next_scanline + i)));
        jpeg_write_scanlines(info, rows, count);
    }
    jpeg_finish_compress(info);
    jpeg_destroy_compress(info);
    return sink->Status();
}

class JpegTranslator : public SingleRoutineTranslator<run_decode>
{
public:
    JpegTranslator() : SingleRoutineTranslator<run_decode>(B_JPEG_FORMAT) {}

    const char* Name() const override { return "jpeg"; }

    identify_result Identify(const ImageSource& source) const override
    {
        return source.size >= 3 && source.data[0] == 0xFF && source.data[1] == 0xD8 &&
                       source.data[2] == 0xFF
                   ? kMine
                   : kNotMine;
    }

    // The frame header's sides are 16 bits, and libjpeg refuses a little
    // less than they hold.
    uint32 LargestSide(uint32) const override { return JPEG_MAX_DIMENSION; }

protected:
    status_t Encode(const BBitmap& bitmap, BPositionIO* destination,
                    const WriteSettings& settings) const override
    {
        StreamSink sink(destination);
        if (sink.Status() != B_OK)
            return sink.Status();
        WriteJob* job = new (std::nothrow) WriteJob();
        if (job == nullptr)
            return B_NO_MEMORY;
        status_t status = encode(job, bitmap, &sink, settings);
        delete job;
        return status;
    }
};

} // namespace

const ImageTranslator* jpeg_translator()
{
    static const JpegTranslator translator;
    return &translator;
}

} // namespace BPrivate

// --- Written by rows ----------------------------------------------------------

using namespace BPrivate;

namespace {

// libjpeg compresses in order: each band goes through it as Write gets it.
class JpegRowWriter : public RowWriter
{
public:
    JpegRowWriter(uint32 width, uint32 height, uint32 dotsPerInch)
        : fWidth(width), fHeight(height), fDotsPerInch(dotsPerInch)
    {
    }

    ~JpegRowWriter() override
    {
        if (fCreated)
            jpeg_destroy_compress(&fJob->info);
    }

    status_t Head(BPositionIO* destination) override
    {
        if (destination == nullptr || fJob != nullptr || fWidth == 0 || fHeight == 0 ||
            fWidth > JPEG_MAX_DIMENSION || fHeight > JPEG_MAX_DIMENSION)
            return B_BAD_VALUE;
        fSink = std::make_unique<StreamSink>(destination);
        if (fSink->Status() != B_OK)
            return fSink->Status();
        fJob = std::make_unique<WriteJob>();
        jpeg_compress_struct* info = &fJob->info;
        install_errors(&fJob->errors);
        info->err = &fJob->errors.manager;
        if (setjmp(fJob->errors.jump) != 0)
            return _Failed();
        jpeg_create_compress(info);
        fCreated = true;
        set_up(fJob.get(), fSink.get(), fWidth, fHeight, fDotsPerInch);
        jpeg_start_compress(info, TRUE);
        return B_OK;
    }

    status_t Write(const uint32* rows, size_t stride, uint32 first, uint32 last,
                   RowBand&) override
    {
        if (!fCreated || first != fJob->info.next_scanline || last > fHeight)
            return B_BAD_VALUE;
        if (setjmp(fJob->errors.jump) != 0)
            return _Failed();
        JSAMPROW batch[kRowBatch];
        while (fJob->info.next_scanline < last) {
            const JDIMENSION at = fJob->info.next_scanline;
            const JDIMENSION count = std::min<JDIMENSION>(kRowBatch, last - at);
            for (JDIMENSION i = 0; i < count; i++)
                batch[i] = reinterpret_cast<JSAMPROW>(
                    const_cast<uint32*>(rows + size_t(at - first + i) * stride));
            jpeg_write_scanlines(&fJob->info, batch, count);
        }
        return B_OK;
    }

    status_t Finish() override
    {
        if (!fCreated || fJob->info.next_scanline != fHeight)
            return B_BAD_VALUE;
        if (setjmp(fJob->errors.jump) != 0)
            return _Failed();
        jpeg_finish_compress(&fJob->info);
        jpeg_destroy_compress(&fJob->info);
        fCreated = false;
        return fSink->Status();
    }

private:
    status_t _Failed()
    {
        jpeg_destroy_compress(&fJob->info);
        fCreated = false;
        return fSink->Status() != B_OK ? fSink->Status() : B_ERROR;
    }

    uint32 fWidth, fHeight, fDotsPerInch;
    std::unique_ptr<StreamSink> fSink;
    std::unique_ptr<WriteJob> fJob;
    bool fCreated = false;
};

} // namespace

std::unique_ptr<RowWriter> MakeJpegRowWriter(uint32 width, uint32 height, uint32 dotsPerInch)
{
    return std::make_unique<JpegRowWriter>(width, height, dotsPerInch);
}

// --- Read a row at a time ----------------------------------------------------

namespace {

// The segments before the first scan, enough to find the frame header and
// the orientation as the whole reading finds them in the whole file.
constexpr size_t kMostHeadBytes = (size_t(8) << 20) + (size_t(64) << 10);

bool read_head(FILE* file, uint64 fileSize, std::vector<uint8>* head)
{
    size_t want = size_t(std::min<uint64>(fileSize, 64 << 10));
    while (true) {
        const size_t had = head->size();
        head->resize(want);
        if (fread(head->data() + had, 1, want - had, file) != want - had)
            return false;
        const BPrivate::jpeg_walk walk =
            BPrivate::walk_jpeg_segments(head->data(), head->size(), nullptr,
                                         [](const BPrivate::JpegSegment&) { return true; });
        if (walk == BPrivate::jpeg_walk::kScan)
            return true;
        if (walk != BPrivate::jpeg_walk::kBroken || want >= fileSize || want >= kMostHeadBytes)
            return false;
        want = size_t(std::min<uint64>({fileSize, uint64(want) * 2, kMostHeadBytes}));
    }
}

} // namespace

struct JpegRowReader::Data
{
    jpeg_decompress_struct info;
    BPrivate::ErrorManager errors;
    BPrivate::ScanLimit scans;
    bool created = false;
    bool failed = false;
    bool cmyk = false;
    bool inverted = false;
    uint32 width = 0, height = 0;
    uint8* cmykRow = nullptr;

    ~Data()
    {
        if (created)
            jpeg_destroy_decompress(&info);
        delete[] cmykRow;
    }
};

JpegRowReader::JpegRowReader() : fData(std::make_unique<Data>()) {}

JpegRowReader::~JpegRowReader() = default;

uint32 JpegRowReader::Width() const
{
    return fData->width;
}

uint32 JpegRowReader::Height() const
{
    return fData->height;
}

status_t JpegRowReader::Open(FILE* file, uint64 fileSize, uint64 maxPixels)
{
    Data& d = *fData;
    if (file == nullptr || d.created)
        return B_BAD_VALUE;
    {
        std::vector<uint8> head;
        if (!read_head(file, fileSize, &head) || head.size() < 3 || head[0] != 0xFF ||
            head[1] != 0xD8 || head[2] != 0xFF)
            return B_NO_TRANSLATOR;
        if (BPrivate::jpeg_needs_wide_decoder(head.data(), head.size()) ||
            BPrivate::jpeg_orientation(head.data(), head.size()) != 1)
            return B_NO_TRANSLATOR;
    }
    if (fseek(file, 0, SEEK_SET) != 0)
        return B_NO_TRANSLATOR;
    const BPrivate::ReadBudget& whole = BPrivate::default_read_budget();
    jpeg_decompress_struct* info = &d.info;
    BPrivate::install_errors(&d.errors);
    info->err = &d.errors.manager;
    if (setjmp(d.errors.jump) != 0) {
        d.failed = true;
        return B_ILLEGAL_DATA;
    }
    jpeg_create_decompress(info);
    d.created = true;
    d.scans.progress.progress_monitor = BPrivate::check_scans;
    d.scans.maxScans = whole.maxScans;
    info->progress = &d.scans.progress;
    info->mem->max_memory_to_use = long(std::min<uint64>(whole.maxPixels * 8 + (uint64(64) << 20),
                                                         uint64(LONG_MAX)));
    jpeg_stdio_src(info, file);
    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK)
        return B_ILLEGAL_DATA;
    const uint64 width = info->image_width, height = info->image_height;
    if (width == 0 || height == 0)
        return B_ILLEGAL_DATA;
    if (width * height > maxPixels)
        return B_NO_MEMORY;
    // Several scans are decoded into whole-picture coefficient buffers: as
    // much as the whole reading may hold.
    if (jpeg_has_multiple_scans(info) && !whole.Admits(width, height))
        return B_NO_TRANSLATOR;
    // The whole reading's rule: at least a bit for every block of a scan.
    uint64 leastBytes;
    if (info->arith_code) {
        leastBytes = BPrivate::least_compressed_bytes(0, width * height);
    } else {
        uint64 fewestBlocks = UINT64_MAX;
        for (int i = 0; i < info->num_components; i++) {
            const jpeg_component_info& c = info->comp_info[i];
            fewestBlocks =
                std::min(fewestBlocks, uint64(c.width_in_blocks) * uint64(c.height_in_blocks));
        }
        leastBytes = (fewestBlocks + 7) / 8;
    }
    if (leastBytes > fileSize)
        return B_ILLEGAL_DATA;
    d.cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    info->out_color_space = d.cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    d.inverted = info->saw_Adobe_marker;
    jpeg_start_decompress(info);
    if (d.errors.dataMissing || info->output_width != width || info->output_height != height)
        return B_ILLEGAL_DATA;
    if (d.cmyk) {
        d.cmykRow = new (std::nothrow) uint8[width * 4];
        if (d.cmykRow == nullptr)
            return B_NO_MEMORY;
    }
    d.width = uint32(width);
    d.height = uint32(height);
    return B_OK;
}

status_t JpegRowReader::ReadRow(uint32* to)
{
    Data& d = *fData;
    if (d.failed || d.height == 0 || d.info.output_scanline >= d.height)
        return d.failed ? B_ILLEGAL_DATA : B_BAD_VALUE;
    if (setjmp(d.errors.jump) != 0) {
        d.failed = true;
        return B_ILLEGAL_DATA;
    }
    JSAMPROW target = d.cmyk ? d.cmykRow : reinterpret_cast<JSAMPROW>(to);
    // The file ended before the picture: refused rather than padded.
    if (jpeg_read_scanlines(&d.info, &target, 1) != 1 || d.errors.dataMissing) {
        d.failed = true;
        return B_ILLEGAL_DATA;
    }
    if (d.cmyk)
        BPrivate::cmyk_to_words(d.cmykRow, to, d.width, d.inverted);
    return B_OK;
}

status_t JpegRowReader::Finish(bool* turned)
{
    Data& d = *fData;
    *turned = false;
    if (d.failed || d.height == 0 || d.info.output_scanline != d.height)
        return d.failed ? B_ILLEGAL_DATA : B_BAD_VALUE;
    if (setjmp(d.errors.jump) != 0) {
        d.failed = true;
        return B_ILLEGAL_DATA;
    }
    jpeg_finish_decompress(&d.info);
    return d.errors.dataMissing ? B_ILLEGAL_DATA : B_OK;
}
