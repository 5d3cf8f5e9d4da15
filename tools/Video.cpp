#include "Video.h"
#include "ToolOutput.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <SafeFileWriter.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace fuse {

namespace {

#define PELLARA_SONAME(name, major) "lib" name ".so." AV_STRINGIFY(major)
#define PELLARA_PACKAGE(name, major) "lib" name AV_STRINGIFY(major)

// The Debian packages of the libraries the headers describe.
#define PELLARA_PACKAGES                                                                           \
    PELLARA_PACKAGE("avformat", LIBAVFORMAT_VERSION_MAJOR)                                         \
    " " PELLARA_PACKAGE("avcodec", LIBAVCODEC_VERSION_MAJOR) " " PELLARA_PACKAGE(                  \
        "swscale", LIBSWSCALE_VERSION_MAJOR)

const char kMissing[] = "video needs FFmpeg's libraries, which are not installed: install the "
                        "Debian packages " PELLARA_PACKAGES;

// The functions used, resolved from the libraries the headers describe.
struct Libav
{
    decltype(&avformat_alloc_context) format_alloc = nullptr;
    decltype(&avformat_open_input) open_input = nullptr;
    decltype(&avformat_close_input) close_input = nullptr;
    decltype(&av_read_frame) read_frame = nullptr;
    decltype(&avio_alloc_context) io_alloc = nullptr;
    decltype(&avio_context_free) io_free = nullptr;
    decltype(&avformat_alloc_output_context2) output_alloc = nullptr;
    decltype(&avformat_new_stream) new_stream = nullptr;
    decltype(&avformat_write_header) write_header = nullptr;
    decltype(&av_interleaved_write_frame) write_frame = nullptr;
    decltype(&av_write_trailer) write_trailer = nullptr;
    decltype(&avformat_free_context) format_free = nullptr;
    decltype(&avcodec_find_decoder) find_decoder = nullptr;
    decltype(&avcodec_find_encoder_by_name) find_encoder = nullptr;
    decltype(&avcodec_alloc_context3) codec_alloc = nullptr;
    decltype(&avcodec_parameters_to_context) parameters_to = nullptr;
    decltype(&avcodec_parameters_from_context) parameters_from = nullptr;
    decltype(&avcodec_open2) codec_open = nullptr;
    decltype(&avcodec_send_packet) send_packet = nullptr;
    decltype(&avcodec_receive_frame) receive_frame = nullptr;
    decltype(&avcodec_send_frame) send_frame = nullptr;
    decltype(&avcodec_receive_packet) receive_packet = nullptr;
    decltype(&avcodec_free_context) codec_free = nullptr;
    decltype(&av_packet_alloc) packet_alloc = nullptr;
    decltype(&av_packet_free) packet_free = nullptr;
    decltype(&av_packet_unref) packet_unref = nullptr;
    decltype(&av_packet_rescale_ts) rescale_ts = nullptr;
    decltype(&av_frame_alloc) frame_alloc = nullptr;
    decltype(&av_frame_free) frame_free = nullptr;
    decltype(&av_frame_get_buffer) frame_buffer = nullptr;
    decltype(&av_frame_make_writable) frame_writable = nullptr;
    decltype(&av_malloc) malloc = nullptr;
    decltype(&av_free) free = nullptr;
    decltype(&av_dict_set) dict_set = nullptr;
    decltype(&av_dict_free) dict_free = nullptr;
    decltype(&av_log_set_level) log_level = nullptr;
    decltype(&sws_getContext) sws_context = nullptr;
    decltype(&sws_freeContext) sws_free = nullptr;
    decltype(&sws_scale) scale = nullptr;
    decltype(&sws_getCoefficients) sws_coefficients = nullptr;
    decltype(&sws_setColorspaceDetails) sws_colorspace = nullptr;
};

template <typename Function> bool resolve(void* library, const char* name, Function* function)
{
    *function = reinterpret_cast<Function>(dlsym(library, name));
    return *function != nullptr;
}

const Libav* libav()
{
    static Libav lib;
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        if (std::getenv(kNoVideoLibrariesVariable) != nullptr)
            return;
        void* util = dlopen(PELLARA_SONAME("avutil", LIBAVUTIL_VERSION_MAJOR), RTLD_NOW);
        void* codec = dlopen(PELLARA_SONAME("avcodec", LIBAVCODEC_VERSION_MAJOR), RTLD_NOW);
        void* format = dlopen(PELLARA_SONAME("avformat", LIBAVFORMAT_VERSION_MAJOR), RTLD_NOW);
        void* scale = dlopen(PELLARA_SONAME("swscale", LIBSWSCALE_VERSION_MAJOR), RTLD_NOW);
        if (util == nullptr || codec == nullptr || format == nullptr || scale == nullptr)
            return;
        loaded = resolve(format, "avformat_alloc_context", &lib.format_alloc) &&
                 resolve(format, "avformat_open_input", &lib.open_input) &&
                 resolve(format, "avformat_close_input", &lib.close_input) &&
                 resolve(format, "av_read_frame", &lib.read_frame) &&
                 resolve(format, "avio_alloc_context", &lib.io_alloc) &&
                 resolve(format, "avio_context_free", &lib.io_free) &&
                 resolve(format, "avformat_alloc_output_context2", &lib.output_alloc) &&
                 resolve(format, "avformat_new_stream", &lib.new_stream) &&
                 resolve(format, "avformat_write_header", &lib.write_header) &&
                 resolve(format, "av_interleaved_write_frame", &lib.write_frame) &&
                 resolve(format, "av_write_trailer", &lib.write_trailer) &&
                 resolve(format, "avformat_free_context", &lib.format_free) &&
                 resolve(codec, "avcodec_find_decoder", &lib.find_decoder) &&
                 resolve(codec, "avcodec_find_encoder_by_name", &lib.find_encoder) &&
                 resolve(codec, "avcodec_alloc_context3", &lib.codec_alloc) &&
                 resolve(codec, "avcodec_parameters_to_context", &lib.parameters_to) &&
                 resolve(codec, "avcodec_parameters_from_context", &lib.parameters_from) &&
                 resolve(codec, "avcodec_open2", &lib.codec_open) &&
                 resolve(codec, "avcodec_send_packet", &lib.send_packet) &&
                 resolve(codec, "avcodec_receive_frame", &lib.receive_frame) &&
                 resolve(codec, "avcodec_send_frame", &lib.send_frame) &&
                 resolve(codec, "avcodec_receive_packet", &lib.receive_packet) &&
                 resolve(codec, "avcodec_free_context", &lib.codec_free) &&
                 resolve(codec, "av_packet_alloc", &lib.packet_alloc) &&
                 resolve(codec, "av_packet_free", &lib.packet_free) &&
                 resolve(codec, "av_packet_unref", &lib.packet_unref) &&
                 resolve(codec, "av_packet_rescale_ts", &lib.rescale_ts) &&
                 resolve(util, "av_frame_alloc", &lib.frame_alloc) &&
                 resolve(util, "av_frame_free", &lib.frame_free) &&
                 resolve(util, "av_frame_get_buffer", &lib.frame_buffer) &&
                 resolve(util, "av_frame_make_writable", &lib.frame_writable) &&
                 resolve(util, "av_malloc", &lib.malloc) && resolve(util, "av_free", &lib.free) &&
                 resolve(util, "av_dict_set", &lib.dict_set) &&
                 resolve(util, "av_dict_free", &lib.dict_free) &&
                 resolve(util, "av_log_set_level", &lib.log_level) &&
                 resolve(scale, "sws_getContext", &lib.sws_context) &&
                 resolve(scale, "sws_freeContext", &lib.sws_free) &&
                 resolve(scale, "sws_scale", &lib.scale) &&
                 resolve(scale, "sws_getCoefficients", &lib.sws_coefficients) &&
                 resolve(scale, "sws_setColorspaceDetails", &lib.sws_colorspace);
        // FFmpeg logs to standard error; a refusal here is one line of ours.
        if (loaded)
            lib.log_level(AV_LOG_QUIET);
    });
    return loaded ? &lib : nullptr;
}

// The matrix libswscale converts with, for what a frame says of itself
// (BT.601 when it says nothing, as FFmpeg's own tools take it).
// A field FFmpeg copies from the file as it stands: read as the number
// stored, never loaded as its enum, which a damaged file may not hold.
template <class Enum> int stored(const Enum& field)
{
    static_assert(sizeof(Enum) == sizeof(int));
    int value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

const int* coefficients(const Libav* av, int space)
{
    switch (space) {
    case AVCOL_SPC_BT709:
        return av->sws_coefficients(SWS_CS_ITU709);
    case AVCOL_SPC_FCC:
        return av->sws_coefficients(SWS_CS_FCC);
    case AVCOL_SPC_SMPTE240M:
        return av->sws_coefficients(SWS_CS_SMPTE240M);
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return av->sws_coefficients(SWS_CS_BT2020);
    default:
        return av->sws_coefficients(SWS_CS_ITU601);
    }
}

bool full_range_format(AVPixelFormat format)
{
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
           format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P ||
           format == AV_PIX_FMT_YUVJ411P;
}

// --- Reading ---------------------------------------------------------------

int read_descriptor(void* opaque, uint8_t* buffer, int size)
{
    const int fd = *static_cast<int*>(opaque);
    while (true) {
        const ssize_t n = read(fd, buffer, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return AVERROR(errno);
        return n == 0 ? AVERROR_EOF : int(n);
    }
}

int write_descriptor(void* opaque, uint8_t* buffer, int size)
{
    const int fd = *static_cast<int*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = write(fd, buffer + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return AVERROR(n < 0 ? errno : EIO);
        done += int(n);
    }
    return size;
}

int64_t seek_descriptor(void* opaque, int64_t offset, int whence)
{
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st;
        return fstat(fd, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
    }
    const off_t at = lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : int64_t(at);
}

// A demuxer may ask to open other files (an MP4's references, a playlist's
// entries); none is opened.
int refuse_open(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**)
{
    return AVERROR(EPERM);
}

// One pass of a demuxer over the descriptor, from its start.
class Demuxer
{
public:
    explicit Demuxer(const Libav* av) : fAv(av) {}
    ~Demuxer() { _Close(); }

    // false with *why in words.
    bool Open(int* fd, std::string* why)
    {
        _Close();
        if (lseek(*fd, 0, SEEK_SET) != 0) {
            *why = "read error";
            return false;
        }
        constexpr int kBuffer = 64 * 1024;
        auto* buffer = static_cast<uint8_t*>(fAv->malloc(kBuffer));
        if (buffer == nullptr) {
            *why = "out of memory";
            return false;
        }
        fIo = fAv->io_alloc(buffer, kBuffer, 0, fd, read_descriptor, nullptr, seek_descriptor);
        fFormat = fAv->format_alloc();
        if (fIo == nullptr || fFormat == nullptr) {
            if (fIo == nullptr)
                fAv->free(buffer);
            *why = "out of memory";
            return false;
        }
        fFormat->pb = fIo;
        fFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
        fFormat->io_open = refuse_open;
        AVDictionary* options = nullptr;
        // Only the containers named, over this file alone: no playlist or
        // concatenating demuxer, no protocol.
        fAv->dict_set(&options, "format_whitelist", "mov,matroska,webm,avi", 0);
        fAv->dict_set(&options, "protocol_whitelist", "file", 0);
        const int opened = fAv->open_input(&fFormat, "", nullptr, &options);
        fAv->dict_free(&options);
        if (opened < 0) {
            fFormat = nullptr; // freed by the failure
            *why = "corrupt or truncated video, or not one read here (MP4, MOV, MKV, WebM, AVI)";
            return false;
        }
        for (unsigned i = 0; i < fFormat->nb_streams; i++) {
            const AVStream* stream = fFormat->streams[i];
            if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
                fStream = int(i);
                break;
            }
        }
        if (fStream < 0) {
            *why = "the file holds no video stream";
            return false;
        }
        return true;
    }

    AVFormatContext* Format() const { return fFormat; }
    AVStream* Stream() const { return fFormat->streams[fStream]; }

    // The stream's next packet: 0, AVERROR_EOF at the end, or an error.
    int Next(AVPacket* packet)
    {
        while (true) {
            const int status = fAv->read_frame(fFormat, packet);
            if (status < 0)
                return status;
            // An empty packet holds no frame (an AVI's dropped frame, the
            // previous one shown longer), and would end the decoder's input.
            if (packet->stream_index == fStream && packet->size > 0 &&
                (packet->flags & AV_PKT_FLAG_DISCARD) == 0)
                return 0;
            fAv->packet_unref(packet);
        }
    }

private:
    void _Close()
    {
        if (fFormat != nullptr)
            fAv->close_input(&fFormat);
        if (fIo != nullptr) {
            fAv->free(fIo->buffer);
            fAv->io_free(&fIo);
        }
        fStream = -1;
    }

    const Libav* fAv;
    AVIOContext* fIo = nullptr;
    AVFormatContext* fFormat = nullptr;
    int fStream = -1;
};

const char kDamaged[] = "corrupt or truncated video";

// An EBML variable-length number at data[*at]: its value, with the length
// marker taken off; false when it runs past size. *unknown for all ones (a
// live stream's size, not known when it was written).
bool ebml_number(const uint8* data, size_t size, size_t* at, bool keepMarker, uint64* value,
                 bool* unknown = nullptr)
{
    if (*at >= size || data[*at] == 0)
        return false;
    int length = 1;
    while ((data[*at] & (0x80 >> (length - 1))) == 0)
        length++;
    if (*at + size_t(length) > size)
        return false;
    uint64 v = keepMarker ? data[*at] : data[*at] & (0xFF >> length);
    bool ones = v == (0xFFu >> length);
    for (int i = 1; i < length; i++) {
        v = v << 8 | data[*at + size_t(i)];
        ones = ones && data[*at + size_t(i)] == 0xFF;
    }
    *at += size_t(length);
    *value = v;
    if (unknown != nullptr)
        *unknown = ones && !keepMarker;
    return true;
}

// Whether the container says it is longer than the file: a Matroska
// segment or an AVI's RIFF chunk whose size reaches past the end. Their
// demuxers read a cut file as the frames it still holds, as if whole.
bool cut_short(int fd)
{
    struct stat st;
    uint8 head[64];
    const ssize_t got = pread(fd, head, sizeof(head), 0);
    if (got < 12 || fstat(fd, &st) != 0)
        return false;
    const uint64 fileSize = uint64(st.st_size);
    if (std::memcmp(head, "RIFF", 4) == 0) {
        const uint64 riff =
            uint64(head[4]) | uint64(head[5]) << 8 | uint64(head[6]) << 16 | uint64(head[7]) << 24;
        return 8 + riff > fileSize;
    }
    size_t at = 0;
    uint64 id = 0, length = 0;
    bool unknown = false;
    if (!ebml_number(head, size_t(got), &at, true, &id) || id != 0x1A45DFA3 ||
        !ebml_number(head, size_t(got), &at, false, &length, &unknown) || unknown)
        return false;
    at += size_t(std::min<uint64>(length, sizeof(head)));
    if (!ebml_number(head, size_t(got), &at, true, &id) || id != 0x18538067 ||
        !ebml_number(head, size_t(got), &at, false, &length, &unknown) || unknown)
        return false;
    return uint64(at) + length > fileSize;
}

class VideoFrames : public FrameReader
{
public:
    static std::unique_ptr<FrameReader> Open(const char* path, uint32 maxFrames, std::string* why)
    {
        const Libav* av = libav();
        if (av == nullptr) {
            *why = kMissing;
            return nullptr;
        }
        auto frames = std::unique_ptr<VideoFrames>(new VideoFrames(av));
        frames->fFd = open(path, O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (frames->fFd < 0) {
            *why = errno == ENOENT ? "no such file" : SafeFileWriter::MessageFor(errno);
            return nullptr;
        }
        if (fstat(frames->fFd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *why = "not a regular file";
            return nullptr;
        }
        if (!frames->_Count(maxFrames, why) || !frames->_OpenDecoder(why))
            return nullptr;
        return frames;
    }

    ~VideoFrames() override
    {
        fAv->sws_free(fScaler);
        fAv->frame_free(&fFrame);
        fAv->packet_free(&fPacket);
        fAv->codec_free(&fCodec);
        fDemuxer.reset();
        if (fFd >= 0)
            close(fFd);
    }

    uint32 Count() const override { return uint32(fMilliseconds.size()); }

    status_t Next(Frame* frame, std::string* why) override
    {
        if (fAt >= fMilliseconds.size())
            return _Damaged(why);
        while (true) {
            int status = fAv->receive_frame(fCodec, fFrame);
            if (status == 0)
                break;
            if (status != AVERROR(EAGAIN) || fFlushed)
                return _Short(why);
            status = fDemuxer->Next(fPacket);
            if (status == AVERROR_EOF) {
                fAv->send_packet(fCodec, nullptr);
                fFlushed = true;
                continue;
            }
            if (status < 0 || (fPacket->flags & AV_PKT_FLAG_CORRUPT) != 0)
                return _Damaged(why);
            status = fAv->send_packet(fCodec, fPacket);
            fAv->packet_unref(fPacket);
            if (status < 0 && status != AVERROR(EAGAIN))
                return _Damaged(why);
        }
        status_t status = _Convert(frame, why);
        if (status != B_OK)
            return status;
        frame->milliseconds = fMilliseconds[fAt++];
        return B_OK;
    }

private:
    explicit VideoFrames(const Libav* av) : fAv(av) {}

    // The demux-only pass: packets counted, their timestamps kept for the
    // frames' durations.
    bool _Count(uint32 maxFrames, std::string* why)
    {
        fDemuxer = std::make_unique<Demuxer>(fAv);
        if (!fDemuxer->Open(&fFd, why))
            return false;
        if (cut_short(fFd)) {
            *why = kDamaged;
            return false;
        }
        const AVStream* stream = fDemuxer->Stream();
        const uint64 width = uint64(std::max(0, stream->codecpar->width));
        const uint64 height = uint64(std::max(0, stream->codecpar->height));
        if (width == 0 || height == 0) {
            *why = kDamaged;
            return false;
        }
        if (!FrameAdmitted(width, height)) {
            *why = "picture too large: " + FrameSizeWords(width, height);
            return false;
        }
        fPacket = fAv->packet_alloc();
        fFrame = fAv->frame_alloc();
        if (fPacket == nullptr || fFrame == nullptr) {
            *why = "out of memory";
            return false;
        }
        std::vector<int64> times;
        int64 lastTime = INT64_MIN, lastDuration = 0; // of the last frame shown
        bool timed = true;
        int status = 0;
        while ((status = fDemuxer->Next(fPacket)) == 0) {
            const bool corrupt = (fPacket->flags & AV_PKT_FLAG_CORRUPT) != 0;
            const int64 time = fPacket->pts != AV_NOPTS_VALUE ? fPacket->pts : fPacket->dts;
            if (time == AV_NOPTS_VALUE)
                timed = false;
            times.push_back(time);
            if (time != AV_NOPTS_VALUE && time >= lastTime) {
                lastTime = time;
                lastDuration = fPacket->duration;
            }
            fAv->packet_unref(fPacket);
            if (corrupt) {
                *why = kDamaged;
                return false;
            }
            if (times.size() > maxFrames) {
                *why = "more than --max-frames (" + std::to_string(maxFrames) + ") frames";
                return false;
            }
        }
        if (status != AVERROR_EOF || times.empty() ||
            (fDemuxer->Format()->pb != nullptr && fDemuxer->Format()->pb->error < 0 &&
             fDemuxer->Format()->pb->error != AVERROR_EOF)) {
            *why = kDamaged;
            return false;
        }
        // An MP4's index lists its samples: one whose data is not in the
        // file is a cut file.
        const bool indexed = std::strncmp(fDemuxer->Format()->iformat->name, "mov", 3) == 0;
        if (indexed && stream->nb_frames > int64(times.size())) {
            *why = std::string(kDamaged) + ": " + std::to_string(times.size()) + " of its " +
                   std::to_string(stream->nb_frames) + " frames are in the file";
            return false;
        }
        // Presentation order: the decoder gives frames so. Each lasts until
        // the next; the last as its packet says, or as the stream's rate.
        AVRational rate = stream->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            rate = stream->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            rate = {int(kDefaultFramesPerSecond), 1};
        const double tick = av_q2d(stream->time_base);
        const double frameSeconds = double(rate.den) / rate.num;
        std::sort(times.begin(), times.end());
        const size_t n = times.size();
        std::vector<double> seconds(n + 1);
        for (size_t i = 0; i < n; i++)
            seconds[i] =
                timed && tick > 0 ? double(times[i] - times[0]) * tick : double(i) * frameSeconds;
        seconds[n] =
            seconds[n - 1] +
            (timed && lastDuration > 0 && tick > 0 ? double(lastDuration) * tick : frameSeconds);
        fMilliseconds.resize(n);
        for (size_t i = 0; i < n; i++) {
            const double from = std::round(seconds[i] * 1000),
                         to = std::round(seconds[i + 1] * 1000);
            fMilliseconds[i] = to > from ? uint32(std::min(to - from, 4e9))
                                         : uint32(std::lround(frameSeconds * 1000));
        }
        return true;
    }

    bool _OpenDecoder(std::string* why)
    {
        if (!fDemuxer->Open(&fFd, why))
            return false;
        const AVCodecParameters* parameters = fDemuxer->Stream()->codecpar;
        const AVCodec* codec = fAv->find_decoder(parameters->codec_id);
        if (codec == nullptr) {
            *why = "the video's codec is not one FFmpeg here decodes";
            return false;
        }
        fCodec = fAv->codec_alloc(codec);
        if (fCodec == nullptr || fAv->parameters_to(fCodec, parameters) < 0) {
            *why = "out of memory";
            return false;
        }
        fCodec->thread_count = 2;
        // The budget holds before any frame is decoded.
        fCodec->max_pixels = int64(std::min<uint64>(max_picture_pixels(), INT64_MAX));
        if (fAv->codec_open(fCodec, codec, nullptr) < 0) {
            *why = kDamaged;
            return false;
        }
        return true;
    }

    status_t _Convert(Frame* frame, std::string* why)
    {
        // A frame the decoder patched over damage is not the depth the
        // file meant.
        if (fFrame->decode_error_flags != 0 || (fFrame->flags & AV_FRAME_FLAG_CORRUPT) != 0)
            return _Damaged(why);
        const int width = fFrame->width, height = fFrame->height;
        if (width <= 0 || height <= 0 || !FrameAdmitted(uint64(width), uint64(height)))
            return _Damaged(why);
        const auto format = AVPixelFormat(fFrame->format);
        if (fScaler == nullptr || width != fScaledWidth || height != fScaledHeight ||
            format != fScaledFormat) {
            fAv->sws_free(fScaler);
            fScaler = fAv->sws_context(width, height, format, width, height, AV_PIX_FMT_BGRA,
                                       SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                       nullptr, nullptr);
            if (fScaler == nullptr)
                return _Damaged(why);
            const int full =
                stored(fFrame->color_range) == AVCOL_RANGE_JPEG || full_range_format(format) ? 1 : 0;
            fAv->sws_colorspace(fScaler, coefficients(fAv, stored(fFrame->colorspace)), full,
                                coefficients(fAv, int(AVCOL_SPC_BT470BG)), 1, 0, 1 << 16, 1 << 16);
            fScaledWidth = width;
            fScaledHeight = height;
            fScaledFormat = format;
        }
        frame->picture = NewFramePicture(uint32(width), uint32(height));
        if (frame->picture == nullptr) {
            *why = "picture too large";
            return B_NO_MEMORY;
        }
        uint8* rows[4] = {static_cast<uint8*>(frame->picture->Bits()), nullptr, nullptr, nullptr};
        int strides[4] = {int(frame->picture->BytesPerRow()), 0, 0, 0};
        if (fAv->scale(fScaler, fFrame->data, fFrame->linesize, 0, height, rows, strides) != height)
            return _Damaged(why);
        // Depth and patterns are opaque, as the other readers give them.
        auto* words = static_cast<uint32*>(frame->picture->Bits());
        for (size_t i = 0, count = size_t(width) * size_t(height); i < count; i++)
            words[i] |= 0xFF000000u;
        return B_OK;
    }

    status_t _Damaged(std::string* why)
    {
        *why = kDamaged;
        return B_ILLEGAL_DATA;
    }

    // Fewer frames decoded than packets counted: the count told before the
    // first frame was not what the file holds.
    status_t _Short(std::string* why)
    {
        *why = std::string(kDamaged) + ": frame " + std::to_string(fAt + 1) + " of " +
               std::to_string(fMilliseconds.size()) + " cannot be decoded";
        return B_ILLEGAL_DATA;
    }

    const Libav* fAv;
    int fFd = -1;
    std::unique_ptr<Demuxer> fDemuxer;
    AVCodecContext* fCodec = nullptr;
    AVPacket* fPacket = nullptr;
    AVFrame* fFrame = nullptr;
    SwsContext* fScaler = nullptr;
    int fScaledWidth = 0, fScaledHeight = 0;
    AVPixelFormat fScaledFormat = AV_PIX_FMT_NONE;
    std::vector<uint32> fMilliseconds;
    size_t fAt = 0;
    bool fFlushed = false;
};

// --- Writing ---------------------------------------------------------------

class VideoWriter : public FrameWriter
{
public:
    VideoWriter(ClipFormat format, const std::string& path) : fFormat(format), fPath(path) {}

    ~VideoWriter() override
    {
        if (fAv == nullptr)
            return;
        fAv->sws_free(fScaler);
        fAv->frame_free(&fPicture);
        fAv->packet_free(&fPacket);
        fAv->codec_free(&fCodec);
        if (fOut != nullptr)
            fAv->format_free(fOut);
        if (fIo != nullptr) {
            fAv->free(fIo->buffer);
            fAv->io_free(&fIo);
        }
        if (fFd >= 0)
            close(fFd);
    }

    status_t Add(const BBitmap* frame, uint32 milliseconds, std::string* why) override
    {
        const int width = frame->PixelWidth(), height = frame->PixelHeight();
        if (fCodec == nullptr) {
            status_t status = _Start(width, height, milliseconds, why);
            if (status != B_OK)
                return status;
        } else if (width != fWidth || height != fHeight) {
            *why = "frames of different sizes";
            return B_BAD_VALUE;
        }
        if (fAv->frame_writable(fPicture) < 0)
            return _Failed(why);
        // An odd side is padded with a copy of the last column or row: 4:2:0
        // needs even sides, and the stereogram stays whole.
        const uint8* bits = static_cast<const uint8*>(frame->Bits());
        const int bytesPerRow = int(frame->BytesPerRow());
        const uint8* rows[4] = {bits, nullptr, nullptr, nullptr};
        int strides[4] = {bytesPerRow, 0, 0, 0};
        if (fPadded.size() > 0) {
            const size_t paddedRow = size_t(fCodec->width) * 4;
            for (int y = 0; y < fCodec->height; y++) {
                uint8* to = fPadded.data() + size_t(y) * paddedRow;
                const uint8* from = bits + size_t(std::min(y, height - 1)) * size_t(bytesPerRow);
                std::memcpy(to, from, size_t(width) * 4);
                if (fCodec->width > width)
                    std::memcpy(to + size_t(width) * 4, from + size_t(width - 1) * 4, 4);
            }
            rows[0] = fPadded.data();
            strides[0] = int(paddedRow);
        }
        if (fAv->scale(fScaler, rows, strides, 0, fCodec->height, fPicture->data,
                       fPicture->linesize) != fCodec->height)
            return _Failed(why);
        fPicture->pts = fTime;
        fDurations[fTime] = milliseconds;
        fTime += std::max<uint32>(1, milliseconds);
        if (fAv->send_frame(fCodec, fPicture) < 0)
            return _Failed(why);
        return _Drain(why);
    }

    status_t Finish(std::string* why) override
    {
        if (fCodec == nullptr || fAv->send_frame(fCodec, nullptr) < 0)
            return _Failed(why);
        status_t status = _Drain(why);
        if (status != B_OK)
            return status;
        if (fAv->write_trailer(fOut) < 0 || fIo->error < 0)
            return _Failed(why);
        // What av_write_trailer left in the buffer is out now.
        SafeFileWriter writer;
        if (writer.WriteFileFrom(fPath.c_str(), fFd) != B_OK) {
            *why = writer.ErrorMessage();
            return B_ERROR;
        }
        return B_OK;
    }

private:
    status_t _Start(int width, int height, uint32 milliseconds, std::string* why)
    {
        fAv = libav();
        if (fAv == nullptr) {
            *why = kMissing;
            return B_UNSUPPORTED;
        }
        const bool mp4 = fFormat == ClipFormat::kMp4;
        const char* encoderName = mp4 ? "libx264" : "libvpx-vp9";
        const AVCodec* encoder = fAv->find_encoder(encoderName);
        if (encoder == nullptr) {
            *why = std::string("FFmpeg here has no ") + (mp4 ? "H.264" : "VP9") + " encoder (" +
                   encoderName + ")";
            return B_UNSUPPORTED;
        }
        fWidth = width;
        fHeight = height;
        fFd = UnnamedFile(fPath);
        if (fFd < 0) {
            *why = SafeFileWriter::MessageFor(errno);
            return B_ERROR;
        }
        constexpr int kBuffer = 256 * 1024;
        auto* buffer = static_cast<uint8_t*>(fAv->malloc(kBuffer));
        if (buffer == nullptr)
            return _Failed(why);
        fIo = fAv->io_alloc(buffer, kBuffer, 1, &fFd, nullptr, write_descriptor, seek_descriptor);
        if (fIo == nullptr) {
            fAv->free(buffer);
            return _Failed(why);
        }
        if (fAv->output_alloc(&fOut, nullptr, mp4 ? "mp4" : "webm", nullptr) < 0 || fOut == nullptr)
            return _Failed(why);
        fOut->pb = fIo;
        fOut->flags |= AVFMT_FLAG_CUSTOM_IO;
        fOut->io_open = refuse_open;

        fCodec = fAv->codec_alloc(encoder);
        fPacket = fAv->packet_alloc();
        fPicture = fAv->frame_alloc();
        if (fCodec == nullptr || fPacket == nullptr || fPicture == nullptr)
            return _Failed(why);
        fCodec->width = width + (width & 1);
        fCodec->height = height + (height & 1);
        fCodec->pix_fmt = AV_PIX_FMT_YUV420P;
        // Milliseconds, as the frames' durations come; the rate the first
        // frame gives guides the rate control.
        fCodec->time_base = {1, 1000};
        const int rate =
            int(std::clamp<long>(std::lround(1000.0 / std::max<uint32>(1, milliseconds)), 1, 1000));
        fCodec->framerate = {rate, 1};
        fCodec->thread_count = 2;
        fCodec->gop_size = std::max(rate * 2, 12);
        fCodec->color_range = AVCOL_RANGE_MPEG;
        fCodec->colorspace = AVCOL_SPC_SMPTE170M;
        fCodec->color_primaries = AVCOL_PRI_SMPTE170M;
        fCodec->color_trc = AVCOL_TRC_SMPTE170M;
        if ((fOut->oformat->flags & AVFMT_GLOBALHEADER) != 0)
            fCodec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary* options = nullptr;
        if (mp4) {
            // The depth reads back from the dots even at CRF 28; 18 keeps
            // them sharp to the eye, which fuses them. 4:2:0 plays
            // everywhere; the dots' detail is in the luma.
            fAv->dict_set(&options, "preset", "veryfast", 0);
            fAv->dict_set(&options, "crf", "18", 0);
        } else {
            fCodec->bit_rate = 0;
            fAv->dict_set(&options, "crf", "20", 0);
            fAv->dict_set(&options, "deadline", "realtime", 0);
            fAv->dict_set(&options, "cpu-used", "8", 0);
            fAv->dict_set(&options, "row-mt", "1", 0);
        }
        const int opened = fAv->codec_open(fCodec, encoder, &options);
        fAv->dict_free(&options);
        if (opened < 0)
            return _Failed(why);
        fStream = fAv->new_stream(fOut, nullptr);
        if (fStream == nullptr || fAv->parameters_from(fStream->codecpar, fCodec) < 0)
            return _Failed(why);
        fStream->time_base = fCodec->time_base;
        fStream->avg_frame_rate = fCodec->framerate;
        if (fAv->write_header(fOut, nullptr) < 0)
            return _Failed(why);

        fPicture->format = fCodec->pix_fmt;
        fPicture->width = fCodec->width;
        fPicture->height = fCodec->height;
        if (fAv->frame_buffer(fPicture, 0) < 0)
            return _Failed(why);
        if (fCodec->width != width || fCodec->height != height)
            fPadded.resize(size_t(fCodec->width) * size_t(fCodec->height) * 4);
        fScaler = fAv->sws_context(fCodec->width, fCodec->height, AV_PIX_FMT_BGRA, fCodec->width,
                                   fCodec->height, AV_PIX_FMT_YUV420P,
                                   SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        if (fScaler == nullptr)
            return _Failed(why);
        const int* matrix = coefficients(fAv, AVCOL_SPC_SMPTE170M);
        fAv->sws_colorspace(fScaler, matrix, 1, matrix, 0, 0, 1 << 16, 1 << 16);
        return B_OK;
    }

    // The packets the encoder has made, into the file.
    status_t _Drain(std::string* why)
    {
        while (true) {
            const int status = fAv->receive_packet(fCodec, fPacket);
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
                return B_OK;
            if (status < 0)
                return _Failed(why);
            // The frame's own duration, so that the last one lasts as it
            // should.
            auto found = fDurations.find(fPacket->pts);
            if (found != fDurations.end()) {
                fPacket->duration = found->second;
                fDurations.erase(fDurations.begin(), std::next(found));
            }
            fPacket->stream_index = fStream->index;
            fAv->rescale_ts(fPacket, fCodec->time_base, fStream->time_base);
            const int written = fAv->write_frame(fOut, fPacket);
            fAv->packet_unref(fPacket);
            if (written < 0)
                return _Failed(why);
        }
    }

    status_t _Failed(std::string* why)
    {
        *why = fIo != nullptr && fIo->error < 0 ? SafeFileWriter::MessageFor(AVUNERROR(fIo->error))
                                                : "the video encoder failed";
        return B_ERROR;
    }

    ClipFormat fFormat;
    std::string fPath;
    const Libav* fAv = nullptr;
    int fFd = -1;
    AVIOContext* fIo = nullptr;
    AVFormatContext* fOut = nullptr;
    AVStream* fStream = nullptr;
    AVCodecContext* fCodec = nullptr;
    AVPacket* fPacket = nullptr;
    AVFrame* fPicture = nullptr;
    SwsContext* fScaler = nullptr;
    std::vector<uint8> fPadded;
    std::map<int64, uint32> fDurations; // of the frames the encoder holds
    int fWidth = 0, fHeight = 0;
    int64 fTime = 0;
};

} // namespace

const char* VideoUnavailable()
{
    return libav() == nullptr ? kMissing : nullptr;
}

std::unique_ptr<FrameReader> OpenVideoFrames(const char* path, uint32 maxFrames, std::string* why)
{
    return VideoFrames::Open(path, maxFrames, why);
}

std::unique_ptr<FrameWriter> CreateVideoWriter(ClipFormat format, const std::string& path)
{
    return std::make_unique<VideoWriter>(format, path);
}

} // namespace fuse
