// What both tools do around their own work, said once: choosing the output
// format, reading a picture or a file, encoding and writing the result to a
// file or to standard output, and wording each failure.
#ifndef TOOL_OUTPUT_H
#define TOOL_OUTPUT_H

#include <SupportDefs.h>
#include <TranslationDefs.h>

#include <cstdio>
#include <string>

class BBitmap;
class BMallocIO;

namespace fuse {

struct OutputFormat
{
    translator_id id = 0;
    uint32 type = 0;
    // The print resolution recorded in the file where the format can (PNG
    // pHYs, JPEG JFIF density, TIFF tags, EXIF in WebP and JPEG XL); 0 for
    // none, as the window writes.
    uint32 dotsPerInch = 0;
};

// From --format's argument: a four-character type code ("PNG ", also
// quoted as 'PNG ') or a short name or extension (png, jpg, TIF).
status_t FormatFromName(const char* text, OutputFormat* format);
// From the extension of an output path, case-insensitive.
status_t FormatFromPath(const char* path, OutputFormat* format);
// The formats that can be written, one a line, on out (--list-formats).
void ListFormats(FILE* out);
// Every format offered is written by a library the program is linked with,
// so a format cannot be missing for want of an optional package. A format
// the program reads but never writes (HEIC, GIF, AVIF, ...) says so:
// "format 'heic' is read but not written (see --list-formats)"; any other
// name is a typing mistake: "unknown format '<name>' (see --list-formats)".
std::string UnknownFormatMessage(const char* name);

// The reader's status for a file, B_OK with a new bitmap in *picture.
status_t ReadPicture(const char* path, BBitmap** picture);
// A file read whole into data, as the translation kit reads one: opened
// without blocking, a regular file only; B_NOT_ALLOWED past limit bytes.
status_t ReadFile(const char* path, uint64 limit, BMallocIO* data);

// The whole picture (still the caller's afterwards) encoded into memory.
status_t EncodePicture(BBitmap* picture, const OutputFormat& format, BMallocIO* encoded);
// Encodes the picture, then hands it to the storage kit's SafeFileWriter:
// an encoder failure never touches path, and what path names is kept as
// that writer keeps it. On failure *why (when given) says why in one line.
status_t WritePicture(BBitmap* picture, const char* path, const OutputFormat& format,
                      std::string* why = nullptr);
// Encoded bytes put at path through SafeFileWriter, or with no path onto
// fd (standard output or its copy; -1 when the shell closed it).
status_t WriteEncoded(const BMallocIO& encoded, const char* path, int fd, std::string* why);
// The picture encoded whole, then written as WriteEncoded writes: a
// failing encoder touches neither path nor fd. *why says why in one line.
status_t WriteOutput(BBitmap* picture, const OutputFormat& format, const char* path, int fd,
                     std::string* why);
// The start of a write failure's line: "cannot write to standard output"
// for "-", else "cannot write 'PATH'".
std::string CannotWrite(const char* path);

// Words for the statuses above, as the tools print them: a reader's, and an
// encoder's (a file's own errors are worded by SafeFileWriter).
const char* ReadFailure(status_t status);
const char* WriteFailure(status_t status);

// Whether OUTPUT can be written at all, before any work: why not (a
// folder, a missing folder, a file on the path, no right to write), in the
// writer's own words, or null.
const char* OutputPlaceProblem(const char* path);

// Standard output, one rule for both tools. Once a run, before anything is
// printed: a standard descriptor the shell closed (>&-) is held by a
// stand-in no file can take, and the first failing write's errno is kept.
void WatchStandardOutput();
// A printf's result on standard output: a failure is kept for
// StandardOutputFailed, with the errno of the call that failed.
void NoteOutput(int printed);
// Flushes stdout, keeping a failure for StandardOutputFailed.
void FlushStandardOutput();
// Whether any write to standard output failed; says so as tool when it did.
bool StandardOutputFailed(const char* tool);
// Whether path names what standard output already is (/dev/stdout, say),
// open for writing: the picture then goes to the descriptor itself.
bool NamesStandardOutput(const char* path);

// An unnamed file to build an output in: beside path, where there is room
// for it (a /tmp in memory would make it cost memory), else in the
// temporary folder. Gone with the process however it ends; -1 when none.
int UnnamedFile(const std::string& path);

} // namespace fuse

#endif // TOOL_OUTPUT_H
