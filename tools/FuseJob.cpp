#include "FuseJob.h"
#include "FormatPackages.h"

#include <Bitmap.h>
#include <BitmapStream.h>
#include <DataIO.h>
#include <BitmapReading.h>
#include <SafeFileWriter.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>
#include <VPellaraObject.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <strings.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef PELLARA_VERSION
#define PELLARA_VERSION "unknown"
#endif

namespace fuse {

namespace {

const char kTool[] = "pellara-fuse";
constexpr int kRunFailed = 1;
constexpr int kUsage = 2;

// A whole positive decimal number within the limit, or 0.
uint64 parse_max_pixels(const char* text)
{
    if (text == nullptr || text[0] < '0' || text[0] > '9')
        return 0;
    uint64 value = 0;
    for (const char* c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return 0;
        value = value * 10 + uint64(*c - '0');
        if (value > kMostPicturePixels)
            return 0;
    }
    return value;
}

// The first error met writing standard output, kept for the last word:
// whatever the buffering, the failing call is the one that knows errno.
int gOutputError = 0;

void note_output(int printed)
{
    if (printed < 0 && gOutputError == 0)
        gOutputError = errno != 0 ? errno : EIO;
}

// Standard output's bytes, for the stream below: stdio keeps only an error
// flag, and the engine's trace lines (printf) fail where no caller sees
// errno, so the first failing write notes its errno here.
ssize_t write_standard_output(void*, const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDOUT_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd wait = {STDOUT_FILENO, POLLOUT, 0};
            poll(&wait, 1, -1);
            continue;
        }
        if (n <= 0) {
            if (gOutputError == 0)
                gOutputError = n < 0 ? errno : EIO;
            return done > 0 ? ssize_t(done) : -1;
        }
        done += size_t(n);
    }
    return ssize_t(size);
}

// Once per run: stdout becomes a line-buffered stream over descriptor 1
// through write_standard_output. A standard descriptor the shell closed
// (>&-) gets /dev/null opened the wrong way round in its place: writing
// there still fails with EBADF, and no file the tool opens later takes its
// number (the trace lines would land in it).
void watch_standard_output()
{
    static bool watched = false;
    if (watched)
        return;
    watched = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int placeholder = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
    cookie_io_functions_t io = {nullptr, write_standard_output, nullptr, nullptr};
    FILE* stream = fopencookie(nullptr, "w", io);
    if (stream == nullptr)
        return;
    fflush(stdout);
    setvbuf(stream, nullptr, _IOLBF, 0);
    stdout = stream;
}

void print_usage(FILE* out)
{
    note_output(
        fprintf(out,
                "Usage: %s DEPTH PATTERN OUTPUT [--format TYPE] [--max-pixels N]\n"
                "       %s --list-formats | --help | --version\n"
                "\n"
                "Makes a single-image stereogram from a depth picture (light parts come\n"
                "forward) and a pattern tile, and writes it to OUTPUT.\n"
                "'-' as DEPTH or PATTERN reads standard input; as OUTPUT it writes the\n"
                "picture to standard output (then --format is needed).\n"
                "\n"
                "  --format TYPE   output format: a short name (png, jpeg, jpg, tif, ...) or a\n"
                "                  four-character type code ('PNG ', 'JPEG', ...); without it\n"
                "                  the format comes from OUTPUT's extension\n"
                "  --max-pixels N  read pictures of up to N pixels (default %llu, at most\n"
                "                  %llu)\n"
                "  --list-formats  list the formats that can be written\n"
                "  --help          show this help\n"
                "  --version       show the version\n",
                kTool, kTool, (unsigned long long)kDefaultMaxPicturePixels,
                (unsigned long long)kMostPicturePixels));
}

void list_formats(FILE* out)
{
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    translator_id* ids = nullptr;
    int32 count = 0;
    if (roster->GetAllTranslators(&ids, &count) != B_OK)
        return;
    for (int32 i = 0; i < count; i++) {
        const translation_format* format = nullptr;
        int32 formats = 0;
        if (roster->GetOutputFormats(ids[i], &format, &formats) != B_OK || formats < 1)
            continue;
        char code[5];
        for (int k = 0; k < 4; k++)
            code[k] = char(format->type >> (24 - 8 * k));
        code[4] = '\0';
        note_output(fprintf(out, "%-6s '%s'  %-26s %s\n", roster->ShortName(ids[i]), code,
                            format->MIME, format->name));
    }
    delete[] ids;
}

int fail(int code, const char* format, const char* a, const char* b = nullptr)
{
    fflush(stdout);
    fprintf(stderr, "%s: ", kTool);
    fprintf(stderr, format, a, b);
    fputc('\n', stderr);
    return code;
}

// The translator's own output format.
status_t format_of(translator_id id, OutputFormat* format)
{
    const translation_format* out = nullptr;
    int32 count = 0;
    if (BTranslatorRoster::Default()->GetOutputFormats(id, &out, &count) != B_OK || count < 1)
        return B_NO_TRANSLATOR;
    format->id = id;
    format->type = out->type;
    return B_OK;
}

// Standard input decoded from memory, as a file would be: a pipe can be
// read only once and has no size to check first, so the kit reads its first
// bytes, and the rest only when they look like a picture, within the
// longest file a picture may take.
status_t read_standard_input(BBitmap** picture)
{
    return read_bitmap_stream(STDIN_FILENO, nullptr, picture);
}

void flush_standard_output()
{
    errno = 0;
    note_output(fflush(stdout) != 0 ? -1 : 0);
}

// Whether a write to standard output failed; says so when it did.
bool standard_output_failed()
{
    flush_standard_output();
    if (gOutputError == 0 && !ferror(stdout))
        return false;
    int error = gOutputError != 0 ? gOutputError : EIO;
    fprintf(stderr, "%s: cannot write to standard output: %s\n", kTool,
            SafeFileWriter::MessageFor(error));
    return true;
}

bool same_as_standard_output(const char* path)
{
    struct stat out, target;
    // Not a closed standard output's read-only stand-in.
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(STDOUT_FILENO, &out) == 0 &&
           stat(path, &target) == 0 &&
           out.st_dev == target.st_dev && out.st_ino == target.st_ino;
}

// While the picture goes to standard output, the engine's trace lines
// (printf) go to standard error: descriptor 1 points there, and the
// picture keeps its own copy of the real standard output.
class PictureOnStandardOutput
{
public:
    PictureOnStandardOutput() : fPicture(-1)
    {
        flush_standard_output();
        fPicture = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fPicture >= 0)
            dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~PictureOnStandardOutput()
    {
        if (fPicture < 0)
            return;
        fflush(stdout);
        dup2(fPicture, STDOUT_FILENO);
        close(fPicture);
    }
    PictureOnStandardOutput(const PictureOnStandardOutput&) = delete;
    PictureOnStandardOutput& operator=(const PictureOnStandardOutput&) = delete;

    int Descriptor() const { return fPicture; }

private:
    int fPicture;
};

} // namespace

status_t EncodePicture(BBitmap* picture, const OutputFormat& format, BMallocIO* encoded)
{
    if (picture == nullptr || encoded == nullptr)
        return B_BAD_VALUE;
    // The window's way: the stream borrows the bitmap and gives it back
    // before it dies, so the stream's destructor does not delete it.
    BBitmapStream stream(picture);
    status_t status =
        BTranslatorRoster::Default()->Translate(format.id, &stream, nullptr, encoded, format.type);
    BBitmap* detached = nullptr;
    stream.DetachBitmap(&detached);
    return status;
}

status_t FormatFromName(const char* text, OutputFormat* format)
{
    if (text == nullptr || format == nullptr || text[0] == '\0')
        return B_BAD_VALUE;
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    std::string name = text;
    if (name.size() == 6 && name.front() == '\'' && name.back() == '\'')
        name = name.substr(1, 4);
    translator_id id = 0;
    status_t status = B_NO_TRANSLATOR;
    if (name.size() == 4) {
        uint32 type = 0;
        for (char c : name)
            type = (type << 8) | uint8(c);
        status = roster->FindTranslator(type, &id);
    }
    if (status != B_OK)
        status = roster->FindTranslator(name.c_str(), &id);
    if (status != B_OK)
        return status;
    return format_of(id, format);
}

status_t FormatFromPath(const char* path, OutputFormat* format)
{
    if (path == nullptr)
        return B_BAD_VALUE;
    const char* slash = std::strrchr(path, '/');
    const char* leaf = slash != nullptr ? slash + 1 : path;
    const char* dot = std::strrchr(leaf, '.');
    if (dot == nullptr || dot == leaf || dot[1] == '\0')
        return B_NAME_NOT_FOUND;
    // Only a name, never a type code, can come from an extension.
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    translator_id id = 0;
    status_t status = roster->FindTranslator(dot + 1, &id);
    if (status != B_OK)
        return status;
    return format_of(id, format);
}

status_t ReadPicture(const char* path, BBitmap** picture)
{
    return BTranslationUtils::ReadBitmapFile(path, picture);
}

BBitmap* MakeStereogram(BBitmap* depth, BBitmap* pattern)
{
    VPellaraObject engine;
    engine.GetFrom(depth);
    engine.GetMotive(pattern);
    return engine.Fusion();
}

BBitmap* MakeStereogram(std::unique_ptr<BBitmap> depth, BBitmap* pattern)
{
    VPellaraObject engine;
    engine.GetFrom(depth.get());
    depth.reset();
    engine.GetMotive(pattern);
    return engine.Fusion();
}

status_t WritePicture(BBitmap* picture, const char* path, const OutputFormat& format,
                      std::string* why)
{
    if (picture == nullptr || path == nullptr || path[0] == '\0') {
        if (why != nullptr)
            *why = WriteFailure(B_BAD_VALUE);
        return B_BAD_VALUE;
    }
    // The whole picture is encoded before the destination is touched.
    BMallocIO encoded;
    status_t status = EncodePicture(picture, format, &encoded);
    if (status != B_OK) {
        if (why != nullptr)
            *why = WriteFailure(status);
        return status;
    }
    SafeFileWriter writer;
    status = writer.WriteFile(path, encoded.Buffer(), encoded.BufferLength());
    if (status != B_OK && why != nullptr)
        *why = writer.ErrorMessage();
    return status;
}

const char* ReadFailure(status_t status)
{
    switch (status) {
    case B_ENTRY_NOT_FOUND:
        return "no such file";
    case B_NOT_A_DIRECTORY:
        return "a folder on the path is a file";
    case B_PERMISSION_DENIED:
        return "permission denied";
    case B_IS_A_DIRECTORY:
        return "is a directory";
    case B_BAD_TYPE:
        return "not a regular file";
    case B_NO_TRANSLATOR:
        return "not an image";
    case B_ILLEGAL_DATA:
        return "corrupt or truncated image";
    case B_NO_MEMORY:
        return "picture too large";
    case B_NAME_TOO_LONG:
        return "name too long";
    default:
        return "read error";
    }
}

const char* WriteFailure(status_t status)
{
    switch (status) {
    case B_BAD_VALUE:
        return "the picture cannot be encoded";
    case B_ERROR:
        return "the encoder failed (picture too large for the format?)";
    default:
        return "write error";
    }
}

int Main(int argc, char** argv)
{
    watch_standard_output();
    const char* positional[3] = {};
    int count = 0;
    const char* formatName = nullptr;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (options && (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)) {
            print_usage(stdout);
            return standard_output_failed() ? kRunFailed : 0;
        } else if (options && std::strcmp(arg, "--version") == 0) {
            note_output(printf("%s %s\n", kTool, PELLARA_VERSION));
            return standard_output_failed() ? kRunFailed : 0;
        } else if (options && std::strcmp(arg, "--list-formats") == 0) {
            list_formats(stdout);
            return standard_output_failed() ? kRunFailed : 0;
        } else if (options && std::strcmp(arg, "--format") == 0) {
            if (i + 1 >= argc)
                return fail(kUsage, "--format needs a TYPE (see --help)", nullptr);
            formatName = argv[++i];
        } else if (options && std::strncmp(arg, "--format=", 9) == 0) {
            formatName = arg + 9;
        } else if (options && (std::strcmp(arg, "--max-pixels") == 0 ||
                               std::strncmp(arg, "--max-pixels=", 13) == 0)) {
            const char* value = arg[12] == '=' ? arg + 13 : nullptr;
            if (value == nullptr && i + 1 < argc)
                value = argv[++i];
            uint64 maxPixels = parse_max_pixels(value);
            if (maxPixels == 0)
                return fail(kUsage, "--max-pixels needs a number from 1 to %s (see --help)",
                            std::to_string(kMostPicturePixels).c_str());
            set_max_picture_pixels(maxPixels);
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            return fail(kUsage, "unknown option '%s' (see --help)", arg);
        } else {
            if (count == 3)
                return fail(kUsage, "too many arguments: '%s' (see --help)", arg);
            positional[count++] = arg;
        }
    }
    if (count < 3)
        return fail(kUsage, "expected DEPTH PATTERN OUTPUT (see --help)", nullptr);
    const char* depthPath = positional[0];
    const char* patternPath = positional[1];
    const char* outputPath = positional[2];
    const bool depthFromInput = std::strcmp(depthPath, "-") == 0;
    const bool patternFromInput = std::strcmp(patternPath, "-") == 0;
    // A path that names standard output (/dev/stdout, say) is standard
    // output too: the picture goes to the descriptor the shell set up.
    const bool toOutput = std::strcmp(outputPath, "-") == 0 || same_as_standard_output(outputPath);
    if (depthFromInput && patternFromInput)
        return fail(kUsage, "only one of DEPTH and PATTERN can be '-' (see --help)", nullptr);

    // The format is settled before any work is done.
    OutputFormat format;
    if (formatName != nullptr) {
        if (FormatFromName(formatName, &format) != B_OK)
            return fail(kUsage, "%s", UnknownFormatMessage(formatName).c_str());
    } else if (std::strcmp(outputPath, "-") == 0) {
        return fail(kUsage, "writing to standard output needs --format (see --help)", nullptr);
    } else {
        status_t status = FormatFromPath(outputPath, &format);
        if (status == B_NAME_NOT_FOUND)
            return fail(kUsage, "cannot tell the format of '%s': give --format", outputPath);
        if (status != B_OK) {
            const char* dot = std::strrchr(outputPath, '.');
            return fail(kUsage, "%s", UnknownFormatMessage(dot + 1).c_str());
        }
    }

    BBitmap* pictures[2] = {};
    std::unique_ptr<BBitmap> owners[2];
    const char* inputs[2] = {depthPath, patternPath};
    for (int i = 0; i < 2; i++) {
        status_t status = std::strcmp(inputs[i], "-") == 0
                              ? read_standard_input(&pictures[i])
                              : ReadPicture(inputs[i], &pictures[i]);
        if (status != B_OK && std::strcmp(inputs[i], "-") == 0)
            return fail(kRunFailed, "cannot read standard input: %s", ReadFailure(status));
        if (status != B_OK)
            return fail(kRunFailed, "cannot read '%s': %s", inputs[i], ReadFailure(status));
        owners[i].reset(pictures[i]);
    }

    // From here on standard output is the picture's when it goes there.
    std::unique_ptr<PictureOnStandardOutput> redirect;
    if (toOutput)
        redirect = std::make_unique<PictureOnStandardOutput>();

    std::unique_ptr<BBitmap> stereogram(MakeStereogram(std::move(owners[0]), pictures[1]));
    flush_standard_output(); // the engine's trace lines come before any message
    if (stereogram == nullptr)
        return fail(kRunFailed, "cannot make the stereogram", nullptr);

    std::string why;
    status_t status;
    if (toOutput) {
        BMallocIO encoded;
        status = EncodePicture(stereogram.get(), format, &encoded);
        if (status != B_OK) {
            why = WriteFailure(status);
        } else {
            SafeFileWriter writer;
            status = redirect->Descriptor() < 0
                         ? status_t(B_FILE_ERROR)
                         : writer.WriteDescriptor(redirect->Descriptor(), encoded.Buffer(),
                                                  encoded.BufferLength());
            why = redirect->Descriptor() < 0 ? SafeFileWriter::MessageFor(EBADF)
                                             : writer.ErrorMessage();
        }
        if (status != B_OK && std::strcmp(outputPath, "-") == 0)
            return fail(kRunFailed, "cannot write to standard output: %s", why.c_str());
        if (status != B_OK)
            return fail(kRunFailed, "cannot write '%s': %s", outputPath, why.c_str());
    } else {
        status = WritePicture(stereogram.get(), outputPath, format, &why);
        if (status != B_OK)
            return fail(kRunFailed, "cannot write '%s': %s", outputPath, why.c_str());
    }
    redirect.reset();
    return standard_output_failed() ? kRunFailed : 0;
}

} // namespace fuse
