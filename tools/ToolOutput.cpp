#include "ToolOutput.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <BitmapStream.h>
#include <DataIO.h>
#include <Message.h>
#include <PosixErrors.h>
#include <RegularFile.h>
#include <SafeFileWriter.h>
#include <TranslationUtils.h>
#include <TranslatorFormats.h>
#include <TranslatorRoster.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuse {

namespace {

// The first error met writing standard output, kept for the last word:
// whatever the buffering, the failing call is the one that knows errno.
int gOutputError = 0;

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

} // namespace

void NoteOutput(int printed)
{
    if (printed < 0 && gOutputError == 0)
        gOutputError = errno != 0 ? errno : EIO;
}

// Once per run: stdout becomes a line-buffered stream over descriptor 1
// through write_standard_output. A standard descriptor the shell closed
// (>&-) gets /dev/null opened the wrong way round in its place: writing
// there still fails with EBADF, and no file the tool opens later takes its
// number (the trace lines would land in it).
void WatchStandardOutput()
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

void FlushStandardOutput()
{
    errno = 0;
    NoteOutput(fflush(stdout) != 0 ? -1 : 0);
}

bool StandardOutputFailed(const char* tool)
{
    FlushStandardOutput();
    if (gOutputError == 0 && !ferror(stdout))
        return false;
    int error = gOutputError != 0 ? gOutputError : EIO;
    fprintf(stderr, "%s: cannot write to standard output: %s\n", tool,
            SafeFileWriter::MessageFor(error));
    return true;
}

bool NamesStandardOutput(const char* path)
{
    struct stat out, target;
    // Not a closed standard output's read-only stand-in.
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(STDOUT_FILENO, &out) == 0 &&
           stat(path, &target) == 0 && out.st_dev == target.st_dev && out.st_ino == target.st_ino;
}

const char* OutputPlaceProblem(const char* path)
{
    struct stat st;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return SafeFileWriter::MessageFor(EISDIR);
        return access(path, W_OK) == 0 ? nullptr : SafeFileWriter::MessageFor(errno);
    }
    if (errno != ENOENT)
        return SafeFileWriter::MessageFor(errno);
    // Nothing there yet: its folder must be.
    const std::string whole = path;
    const size_t slash = whole.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : whole.substr(0, slash == 0 ? 1 : slash);
    if (stat(folder.c_str(), &st) != 0)
        return SafeFileWriter::MessageFor(errno);
    if (!S_ISDIR(st.st_mode))
        return SafeFileWriter::MessageFor(ENOTDIR);
    return access(folder.c_str(), W_OK | X_OK) == 0 ? nullptr : SafeFileWriter::MessageFor(errno);
}

void ListFormats(FILE* out)
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
        NoteOutput(fprintf(out, "%-6s '%s'  %-26s %s\n", roster->ShortName(ids[i]), code,
                           format->MIME, format->name));
    }
    delete[] ids;
}

status_t EncodePicture(BBitmap* picture, const OutputFormat& format, BMallocIO* encoded)
{
    if (picture == nullptr || encoded == nullptr)
        return B_BAD_VALUE;
    // The window's way: the stream borrows the bitmap and gives it back
    // before it dies, so the stream's destructor does not delete it.
    BBitmapStream stream(picture);
    BMessage settings;
    if (format.dotsPerInch > 0)
        settings.AddInt32(kResolutionField, int32(format.dotsPerInch));
    status_t status = BTranslatorRoster::Default()->Translate(
        format.id, &stream, format.dotsPerInch > 0 ? &settings : nullptr, encoded, format.type);
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

status_t ReadFile(const char* path, uint64 limit, BMallocIO* data)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return status_for_errno(errno);
    off_t size = 0;
    status_t status = check_regular_file(fd, &size);
    if (status == B_OK && uint64(size) > limit)
        status = B_NOT_ALLOWED;
    if (status == B_OK)
        status = data->SetSize(size);
    size_t got = 0;
    while (status == B_OK && got < size_t(size)) {
        ssize_t n = read(fd, static_cast<uint8*>(const_cast<void*>(data->Buffer())) + got,
                         size_t(size) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            status = status_for_errno(errno);
        else if (n == 0)
            break; // shortened meanwhile: the readers see a truncated file
        else
            got += size_t(n);
    }
    close(fd);
    if (status == B_OK)
        status = data->SetSize(off_t(got));
    return status;
}

std::string UnknownFormatMessage(const char* name)
{
    const std::string text = name != nullptr ? name : "";
    // Asked only for a name no writer took, so a name the reading table
    // knows is one of a format read and not written.
    if (is_read_format_name(text.c_str()))
        return "format '" + text + "' is read but not written (see --list-formats)";
    return "unknown format '" + text + "' (see --list-formats)";
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

status_t WriteEncoded(const BMallocIO& encoded, const char* path, int fd, std::string* why)
{
    SafeFileWriter writer;
    status_t status;
    if (path != nullptr) {
        status = writer.WriteFile(path, encoded.Buffer(), encoded.BufferLength());
    } else if (fd < 0) {
        // The shell closed standard output.
        *why = SafeFileWriter::MessageFor(EBADF);
        return B_FILE_ERROR;
    } else {
        status = writer.WriteDescriptor(fd, encoded.Buffer(), encoded.BufferLength());
    }
    if (status != B_OK)
        *why = writer.ErrorMessage();
    return status;
}

status_t WriteOutput(BBitmap* picture, const OutputFormat& format, const char* path, int fd,
                     std::string* why)
{
    if (path != nullptr)
        return WritePicture(picture, path, format, why);
    BMallocIO encoded;
    status_t status = EncodePicture(picture, format, &encoded);
    if (status != B_OK) {
        *why = WriteFailure(status);
        return status;
    }
    return WriteEncoded(encoded, nullptr, fd, why);
}

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

std::string CannotWrite(const char* path)
{
    return std::strcmp(path, "-") == 0 ? std::string("cannot write to standard output")
                                       : "cannot write '" + std::string(path) + "'";
}

} // namespace fuse
