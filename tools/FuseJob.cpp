#include "FuseJob.h"

#include <Bitmap.h>
#include <BitmapStream.h>
#include <File.h>
#include <FileReplacement.h>
#include <TranslationUtils.h>
#include <TranslatorRoster.h>
#include <VPellaraObject.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

#ifndef PELLARA_VERSION
#define PELLARA_VERSION "unknown"
#endif

namespace fuse {

namespace {

const char kTool[] = "pellara-fuse";
constexpr int kRunFailed = 1;
constexpr int kUsage = 2;

void print_usage(FILE* out)
{
    fprintf(out,
            "Usage: %s DEPTH PATTERN OUTPUT [--format TYPE]\n"
            "       %s --list-formats | --help | --version\n"
            "\n"
            "Makes a single-image stereogram from a depth picture (light parts come\n"
            "forward) and a pattern tile, and writes it to OUTPUT.\n"
            "\n"
            "  --format TYPE   output format: a short name (png, jpeg, jpg, tif, ...) or a\n"
            "                  four-character type code ('PNG ', 'JPEG', ...); without it\n"
            "                  the format comes from OUTPUT's extension\n"
            "  --list-formats  list the formats that can be written\n"
            "  --help          show this help\n"
            "  --version       show the version\n",
            kTool, kTool);
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
        fprintf(out, "%-6s '%s'  %-26s %s\n", roster->ShortName(ids[i]), code, format->MIME,
                format->name);
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

status_t encode_into(BBitmap* picture, BFile* file, const OutputFormat& format)
{
    // The window's way: the stream borrows the bitmap and gives it back
    // before it dies, so the stream's destructor does not delete it.
    BBitmapStream stream(picture);
    status_t status =
        BTranslatorRoster::Default()->Translate(format.id, &stream, nullptr, file, format.type);
    BBitmap* detached = nullptr;
    stream.DetachBitmap(&detached);
    return status;
}

} // namespace

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

status_t WritePicture(BBitmap* picture, const char* path, const OutputFormat& format)
{
    if (picture == nullptr || path == nullptr || path[0] == '\0')
        return B_BAD_VALUE;
    BFileReplacement replacement(path);
    status_t status = replacement.InitCheck();
    if (status != B_OK)
        return status;
    status = encode_into(picture, replacement.File(), format);
    if (status != B_OK)
        return status; // the replacement removes its temporary file
    return replacement.Commit();
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
    case B_ENTRY_NOT_FOUND:
        return "no such folder";
    case B_NOT_A_DIRECTORY:
        return "a folder on the path is a file";
    case B_PERMISSION_DENIED:
        return "permission denied";
    case B_IS_A_DIRECTORY:
        return "is a directory";
    case B_DEVICE_FULL:
        return "no space left on device";
    case B_READ_ONLY_DEVICE:
        return "read-only file system";
    case B_NAME_TOO_LONG:
        return "name too long";
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
    const char* positional[3] = {};
    int count = 0;
    const char* formatName = nullptr;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (options && std::strcmp(arg, "--") == 0) {
            options = false;
        } else if (options && std::strcmp(arg, "--help") == 0) {
            print_usage(stdout);
            return 0;
        } else if (options && std::strcmp(arg, "--version") == 0) {
            printf("%s %s\n", kTool, PELLARA_VERSION);
            return 0;
        } else if (options && std::strcmp(arg, "--list-formats") == 0) {
            list_formats(stdout);
            fflush(stdout);
            return 0;
        } else if (options && std::strcmp(arg, "--format") == 0) {
            if (i + 1 >= argc)
                return fail(kUsage, "--format needs a TYPE (see --help)", nullptr);
            formatName = argv[++i];
        } else if (options && std::strncmp(arg, "--format=", 9) == 0) {
            formatName = arg + 9;
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

    // The format is settled before any work is done.
    OutputFormat format;
    if (formatName != nullptr) {
        if (FormatFromName(formatName, &format) != B_OK)
            return fail(kUsage, "unknown format '%s' (see --list-formats)", formatName);
    } else {
        status_t status = FormatFromPath(outputPath, &format);
        if (status == B_NAME_NOT_FOUND)
            return fail(kUsage, "cannot tell the format of '%s': give --format", outputPath);
        if (status != B_OK) {
            const char* dot = std::strrchr(outputPath, '.');
            return fail(kUsage, "unknown format '%s' (see --list-formats)", dot + 1);
        }
    }

    BBitmap* depth = nullptr;
    status_t status = ReadPicture(depthPath, &depth);
    if (status != B_OK)
        return fail(kRunFailed, "cannot read '%s': %s", depthPath, ReadFailure(status));
    std::unique_ptr<BBitmap> depthOwner(depth);
    BBitmap* pattern = nullptr;
    status = ReadPicture(patternPath, &pattern);
    if (status != B_OK)
        return fail(kRunFailed, "cannot read '%s': %s", patternPath, ReadFailure(status));
    std::unique_ptr<BBitmap> patternOwner(pattern);

    std::unique_ptr<BBitmap> stereogram(MakeStereogram(std::move(depthOwner), pattern));
    fflush(stdout); // the engine's trace lines come before any message
    if (stereogram == nullptr)
        return fail(kRunFailed, "cannot make the stereogram", nullptr);

    status = WritePicture(stereogram.get(), outputPath, format);
    if (status != B_OK)
        return fail(kRunFailed, "cannot write '%s': %s", outputPath, WriteFailure(status));
    fflush(stdout);
    return 0;
}

} // namespace fuse
