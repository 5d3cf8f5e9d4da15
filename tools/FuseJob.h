// The work of pellara-fuse, in pieces the benchmark can time one by one:
// read two pictures, make the stereogram as the window does, write it
// through the translation kit without ever leaving a partial file.
#ifndef FUSE_JOB_H
#define FUSE_JOB_H

#include <SupportDefs.h>
#include <TranslationDefs.h>

#include <StereogramKinds.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

// The reader's status for a file, B_OK with a new bitmap in *picture.
status_t ReadPicture(const char* path, BBitmap** picture);
// GetFrom(depth), GetMotive(pattern), Fusion(): a new bitmap or null.
BBitmap* MakeStereogram(BBitmap* depth, BBitmap* pattern);
// The same, the depth picture deleted as soon as the engine holds its copy:
// one picture-sized buffer less at the peak.
BBitmap* MakeStereogram(std::unique_ptr<BBitmap> depth, BBitmap* pattern);
// Another kind of stereogram (StereogramKinds.h): GetFrom(depth), the depth
// picture deleted, GetMotive(pattern) unless the dots are random, then
// Synthesise. A new bitmap or null.
BBitmap* MakeStereogram(std::unique_ptr<BBitmap> depth, BBitmap* pattern,
                        const StereogramOptions& options);
// The whole picture (still the caller's afterwards) encoded into memory.
status_t EncodePicture(BBitmap* picture, const OutputFormat& format, BMallocIO* encoded);
// Encodes the picture, then hands it to the storage kit's SafeFileWriter:
// an encoder failure never touches path, and what path names is kept as
// that writer keeps it. On failure *why (when given) says why in one line.
status_t WritePicture(BBitmap* picture, const char* path, const OutputFormat& format,
                      std::string* why = nullptr);

// Words for the statuses above, as the tool prints them: a reader's, and an
// encoder's (a file's own errors are worded by SafeFileWriter).
const char* ReadFailure(status_t status);
const char* WriteFailure(status_t status);

// The whole tool: exit status 0, 1 when the run fails, 2 for a usage error.
int Main(int argc, char** argv);

// Every option the tool takes, each under its longest name ("--format"),
// in the order --help lists them.
std::vector<std::string> OptionNames();

} // namespace fuse

#endif // FUSE_JOB_H
