#include "FuseJob.h"
#include "Frames.h"
#include "PdfPages.h"
#include "Resample.h"
#include "RowPipeline.h"
#include "Video.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <BitmapStream.h>
#include <DataIO.h>
#include <Message.h>
#include <RowWriters.h>
#include <SafeFileWriter.h>
#include <TranslationUtils.h>
#include <TranslatorFormats.h>
#include <TranslatorRoster.h>
#include <VPellaraObject.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

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

void print_usage(FILE* out)
{
    NoteOutput(
        fprintf(out,
                "Usage: %s DEPTH PATTERN OUTPUT [--format TYPE] [--max-pixels N] [options]\n"
                "       %s DEPTH OUTPUT --random-dot [--seed N] [--colors N] [options]\n"
                "       %s --list-formats | --help | --version\n"
                "\n"
                "Makes a single-image stereogram from a depth picture (light parts come\n"
                "forward) and a pattern tile, and writes it to OUTPUT. Without options it\n"
                "is the window's stereogram.\n"
                "'-' as DEPTH or PATTERN reads standard input; as OUTPUT it writes the\n"
                "picture to standard output (then --format is needed).\n"
                "\n"
                "  --format TYPE   output format: a short name (png, jpeg, jpg, tif, ...) or a\n"
                "                  four-character type code ('PNG ', 'JPEG', ...); without it\n"
                "                  the format comes from OUTPUT's extension\n"
                "  --max-pixels N  read pictures of up to N pixels (default %llu, at most\n"
                "                  %llu)\n"
                "\n"
                "Kinds of stereogram:\n"
                "  --method METHOD       window (the default: each pixel repeats the one a\n"
                "                        separation to its right) or symmetric (both eyes'\n"
                "                        projections centred on the pixel, hidden points left\n"
                "                        free: Thimbleby, Inglis and Witten 1994)\n"
                "  --no-hidden-surface   with --method symmetric, link hidden points too\n"
                "  --separation PX       separation of the far plane (default 80)\n"
                "  --amplitude PX        how much nearer points come together (default 10)\n"
                "  --dpi N               print resolution: separations from the eyes' distance,\n"
                "                        the far plane at half of it, and N recorded in the file\n"
                "  --eye MM              distance between the eyes, with --dpi (default 63.5)\n"
                "  --depth-of-field MU   depth range as a share of the far plane's distance,\n"
                "                        above 0 and below 1, with --dpi (default 0.333)\n"
                "  --oversample N        made N times as wide and averaged back, for depth in\n"
                "                        finer steps (1 to %u, default 1)\n"
                "  --guide-dots          two dots above the picture to converge on\n"
                "  --cross-eyed          depth inverted, for viewing with crossed eyes\n"
                "  --size WxH            the depth picture scaled to this size first (a smooth\n"
                "                        cubic), so a small depth map makes a large poster\n"
                "  --width W             the same, to W pixels wide, keeping its shape\n"
                "  --pattern-scale F     the pattern tile scaled by F once (above 0, at most 64)\n"
                "  --random-dot          random dots instead of a PATTERN: black and white\n"
                "  --colors N            with --random-dot, N random colours (2 to %u)\n"
                "  --seed N              with --random-dot, another picture (default 1)\n"
                "\n"
                "\n"
                "Clips: an animated GIF, WebP or PNG, a video (MP4, MOV, MKV, WebM, AVI), or\n"
                "numbered pictures (depth-%%04d.png) as DEPTH or PATTERN make an animated\n"
                "OUTPUT: .gif, .webp, .apng, .mp4 (H.264), .webm (VP9), or out-%%04d.png\n"
                "  --motion MOTION  steady (the default: only what moves changes) or fresh\n"
                "                   (new dots every frame)\n"
                "  --fps N          frames a second of numbered pictures (default %u)\n"
                "  --frame K        only frame K (1 is the first), as a still picture\n"
                "  --max-frames N   read clips of up to N frames (default %u)\n"
                "\n"
                "Print: OUTPUT.pdf (or --format pdf) is a page of the picture's printed size at\n"
                "--dpi (72 without it), the picture in it losslessly\n"
                "  --pages PAPER    the poster on sheets of a4, letter or a3 paper, with 10 mm\n"
                "                   of overlap and trim marks (needs --dpi)\n"
                "\n"
                "  --quiet         no warning and no trace lines\n"
                "  --list-formats  list the formats that can be written\n"
                "  -h, --help      show this help\n"
                "  --version       show the version\n",
                kTool, kTool, kTool, (unsigned long long)kDefaultMaxPicturePixels,
                (unsigned long long)kMostPicturePixels, unsigned(kMostOversample),
                unsigned(kMostRandomColors), unsigned(kDefaultFramesPerSecond),
                unsigned(kDefaultMaxFrames)));
}

int fail(int code, const char* format, const char* a, const char* b = nullptr)
{
    fflush(stdout);
    fprintf(stderr, "%s: ", kTool);
    fprintf(stderr, format, a, b);
    fputc('\n', stderr);
    return code;
}

// Standard input decoded from memory, as a file would be: a pipe can be
// read only once and has no size to check first, so the kit reads its first
// bytes, and the rest only when they look like a picture, within the
// longest file a picture may take.
status_t read_standard_input(BBitmap** picture)
{
    return read_bitmap_stream(STDIN_FILENO, nullptr, picture);
}

// While the engine works, its trace lines (printf) go elsewhere: to
// standard error while the picture goes to standard output, which keeps a
// copy of the real standard output, or nowhere when the run is quiet.
class TracesElsewhere
{
public:
    explicit TracesElsewhere(bool quiet) : fOutput(-1)
    {
        FlushStandardOutput();
        fOutput = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fOutput < 0)
            return;
        int to = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : STDERR_FILENO;
        if (to >= 0)
            dup2(to, STDOUT_FILENO);
        if (quiet && to >= 0)
            close(to);
    }
    ~TracesElsewhere()
    {
        if (fOutput < 0)
            return;
        fflush(stdout);
        dup2(fOutput, STDOUT_FILENO);
        close(fOutput);
    }
    TracesElsewhere(const TracesElsewhere&) = delete;
    TracesElsewhere& operator=(const TracesElsewhere&) = delete;

    // The real standard output.
    int Output() const { return fOutput; }

private:
    int fOutput;
};

} // namespace

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

BBitmap* MakeStereogram(std::unique_ptr<BBitmap> depth, BBitmap* pattern,
                        const StereogramOptions& options)
{
    VPellaraObject engine;
    engine.GetFrom(depth.get());
    depth.reset();
    if (!options.randomDot)
        engine.GetMotive(pattern);
    return engine.Synthesise(options);
}

namespace {

// What the command line asks, as written: each value is checked after the
// parse, so that a refusal is worded for its own option.
struct Request
{
    std::vector<std::string> arguments;
    std::string format, maxPixels, method, seed, colors, separation, amplitude, dpi, eye,
        depthOfField, oversample, motion, fps, frame, maxFrames, pages, size, width, patternScale;
    bool randomDot = false, noHiddenSurface = false, guideDots = false, crossEyed = false,
         quiet = false, listFormats = false, help = false, version = false;
};

// An option that takes a value, and what it needs, for "--x needs ...".
struct ValueOption
{
    const char* name;
    std::string Request::*field;
    std::string needs;
};

const std::vector<ValueOption>& value_options()
{
    static const std::vector<ValueOption> options = {
        {"--format", &Request::format, "a TYPE"},
        {"--max-pixels", &Request::maxPixels,
         "a number from 1 to " + std::to_string(kMostPicturePixels)},
        {"--method", &Request::method, "window or symmetric"},
        {"--seed", &Request::seed,
         "a whole number from 0 to " + std::to_string(std::numeric_limits<uint64>::max())},
        {"--colors", &Request::colors, "a number from 2 to " + std::to_string(kMostRandomColors)},
        {"--separation", &Request::separation,
         "a number of pixels from 1 to " + std::to_string(kMostSeparation)},
        {"--amplitude", &Request::amplitude,
         "a number of pixels from 0 to " + std::to_string(kMostSeparation - 1)},
        {"--dpi", &Request::dpi, "a number from 1 to " + std::to_string(kMostResolution)},
        {"--eye", &Request::eye, "a distance in millimetres above 0 and at most 1000"},
        {"--depth-of-field", &Request::depthOfField, "a number above 0 and below 1"},
        {"--oversample", &Request::oversample,
         "a number from 1 to " + std::to_string(kMostOversample)},
        {"--motion", &Request::motion, "steady or fresh"},
        {"--fps", &Request::fps, "a number of frames a second from 1 to 1000"},
        {"--frame", &Request::frame, "a frame's number from 1 to 4294967295"},
        {"--max-frames", &Request::maxFrames, "a number from 1 to 4294967295"},
        {"--pages", &Request::pages, "a4, letter or a3"},
        {"--size", &Request::size, "a size WxH, each side from 1 to 1048576"},
        {"--width", &Request::width, "a number of pixels from 1 to 1048576"},
        {"--pattern-scale", &Request::patternScale, "a factor above 0 and at most 64"},
    };
    return options;
}

void define_options(CLI::App& app, Request& request)
{
    // Our own --help, and every refusal worded by us: CLI11 only parses.
    app.set_help_flag();
    app.allow_extras();
    // A repeated option takes its last value, as a shell alias expects.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("arguments", request.arguments);
    for (const ValueOption& option : value_options())
        app.add_option(option.name, request.*(option.field));
    app.add_flag("--random-dot", request.randomDot);
    app.add_flag("--no-hidden-surface", request.noHiddenSurface);
    app.add_flag("--guide-dots", request.guideDots);
    app.add_flag("--cross-eyed", request.crossEyed);
    app.add_flag("--quiet", request.quiet);
    app.add_flag("--list-formats", request.listFormats);
    app.add_flag("-h,--help", request.help);
    app.add_flag("--version", request.version);
}

// A whole decimal number within [low, high], digits only.
bool whole_number(const std::string& text, uint64 low, uint64 high, uint64* value)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64 digit = uint64(c - '0');
        if (v > (std::numeric_limits<uint64>::max() - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    if (v < low || v > high)
        return false;
    *value = v;
    return true;
}

// A plain decimal number (digits, one point, no sign or exponent).
bool decimal_number(const std::string& text, double* value)
{
    if (text.empty() || text.size() > 32 ||
        text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return false;
    *value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(*value);
}

int usage(const std::string& message)
{
    return fail(kUsage, "%s", message.c_str());
}

int needs(const ValueOption& option)
{
    return usage(std::string(option.name) + " needs " + option.needs + " (see --help)");
}

const ValueOption& value_option(const char* name)
{
    for (const ValueOption& option : value_options())
        if (std::strcmp(option.name, name) == 0)
            return option;
    std::abort(); // every name asked for is in the table
}

// The numbers, and how they combine, as StereogramOptions; 0 when they make
// sense, else the usage error already reported.
int settle_kind(const CLI::App& app, const Request& r, StereogramOptions* o)
{
    auto given = [&](const char* name) { return app.count(name) > 0; };
    uint64 n = 0;
    double x = 0;
    if (given("--method")) {
        if (r.method == "symmetric")
            o->method = StereogramOptions::Method::kSymmetric;
        else if (r.method != "window")
            return needs(value_option("--method"));
    }
    if (given("--seed")) {
        if (!whole_number(r.seed, 0, std::numeric_limits<uint64>::max(), &n))
            return needs(value_option("--seed"));
        o->seed = n;
    }
    if (given("--colors")) {
        if (!whole_number(r.colors, 2, kMostRandomColors, &n))
            return needs(value_option("--colors"));
        o->colors = uint32(n);
    }
    if (given("--separation")) {
        if (!whole_number(r.separation, 1, kMostSeparation, &n))
            return needs(value_option("--separation"));
        o->separation = int32(n);
    }
    if (given("--amplitude")) {
        if (!whole_number(r.amplitude, 0, kMostSeparation - 1, &n))
            return needs(value_option("--amplitude"));
        o->amplitude = int32(n);
    }
    if (given("--dpi")) {
        if (!whole_number(r.dpi, 1, kMostResolution, &n))
            return needs(value_option("--dpi"));
        o->dpi = double(n);
    }
    if (given("--eye")) {
        if (!decimal_number(r.eye, &x) || !(x > 0 && x <= 1000))
            return needs(value_option("--eye"));
        o->eyeMillimetres = x;
    }
    if (given("--depth-of-field")) {
        if (!decimal_number(r.depthOfField, &x) || !(x > 0 && x < 1))
            return needs(value_option("--depth-of-field"));
        o->depthOfField = x;
    }
    if (given("--oversample")) {
        if (!whole_number(r.oversample, 1, kMostOversample, &n))
            return needs(value_option("--oversample"));
        o->oversample = uint32(n);
    }
    o->randomDot = r.randomDot;
    o->hiddenSurface = !r.noHiddenSurface;
    o->guideDots = r.guideDots;
    o->crossEyed = r.crossEyed;

    for (const char* name : {"--seed", "--colors"})
        if (given(name) && !r.randomDot)
            return usage(std::string(name) + " works only with --random-dot (see --help)");
    if (r.noHiddenSurface && o->method != StereogramOptions::Method::kSymmetric)
        return usage("--no-hidden-surface works only with --method symmetric (see --help)");
    for (const char* name : {"--eye", "--depth-of-field"})
        if (given(name) && !given("--dpi"))
            return usage(std::string(name) + " works only with --dpi (see --help)");
    for (const char* name : {"--separation", "--amplitude"})
        if (given(name) && given("--dpi"))
            return usage(std::string(name) +
                         " cannot be combined with --dpi, which sets the separations from "
                         "--eye (see --help)");
    if (o->separation <= o->amplitude)
        return usage("--separation (" + std::to_string(o->separation) +
                     ") must be larger than --amplitude (" + std::to_string(o->amplitude) +
                     ") (see --help)");
    return 0;
}

// A separation as it is printed: "80", "93.75".
std::string pixels_text(double pixels)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", pixels);
    return text;
}

bool is_directory(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A reader's refusal in words; a picture over the pixel ceiling says how
// large it is (when the reader got as far as its size) and which ceiling.
std::string read_failure_words(status_t status)
{
    std::string words = ReadFailure(status);
    if (status != B_NO_MEMORY)
        return words;
    words += ": ";
    uint64 width = 0, height = 0;
    if (refused_picture_size(&width, &height)) {
        words += std::to_string(width) + "x" + std::to_string(height);
        // A size from a damaged header may be too large to multiply.
        if (width <= std::numeric_limits<uint32>::max() &&
            height <= std::numeric_limits<uint32>::max())
            words += " (" + std::to_string(width * height) + " pixels)";
        words += " is ";
    }
    const uint64 limit = max_picture_pixels();
    if (limit >= kMostPicturePixels)
        return words + "over " + std::to_string(limit) + " pixels, the most a picture holds";
    return words + "over the limit of " + std::to_string(limit) + " pixels (--max-pixels)";
}

void warn(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "%s: warning: %s\n", kTool, message.c_str());
}

std::string size_text(const BBitmap* picture)
{
    return std::to_string(picture->PixelWidth()) + "x" + std::to_string(picture->PixelHeight());
}

// SplitMix64's finaliser: each frame's seed for fresh dots.
uint64 frame_seed(uint64 seed, uint64 frame)
{
    uint64 z = seed + (frame + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// What a clip's run needs to know besides the kind of stereogram.
struct ClipRun
{
    const char* depthPath;
    const char* patternPath; // null for random dots
    ClipKind depthKind;
    ClipKind patternKind;
    uint32 maxFrames;
    uint32 framesPerSecond;
    bool fresh;
};

// A clip's frames or a still picture's one, reopened when a pattern shorter
// than the depth clip runs out.
class FrameSource
{
public:
    FrameSource(const char* path, ClipKind kind, const ClipRun& run)
        : fPath(path), fKind(kind), fRun(run)
    {
    }

    // Pictures given to the engine with at most this many colours (0 for
    // any): a still one reduced once, a clip's frames as they are read.
    void ReduceTo(uint32 colors) { fColors = colors; }

    // The first opening; false with *why in words.
    bool Open(std::string* why)
    {
        if (fKind == ClipKind::kStill) {
            BBitmap* picture = nullptr;
            forget_refused_picture_size();
            status_t status = std::strcmp(fPath, "-") == 0 ? read_standard_input(&picture)
                                                           : ReadPicture(fPath, &picture);
            if (status != B_OK) {
                *why = read_failure_words(status);
                return false;
            }
            fStill.reset(picture);
            if (fColors > 0 && !ReduceColours(fStill.get(), fColors)) {
                *why = "its colours cannot be reduced for GIF";
                return false;
            }
            return true;
        }
        fReader = OpenFrames(fPath, fKind, fRun.maxFrames, fRun.framesPerSecond, why);
        return fReader != nullptr;
    }

    uint32 Count() const { return fReader != nullptr ? fReader->Count() : 1; }

    status_t Next(Frame* frame, std::string* why)
    {
        if (fStill != nullptr) {
            frame->picture = std::make_unique<BBitmap>(fStill->Bounds(), fStill->ColorSpace());
            frame->milliseconds = 1000 / fRun.framesPerSecond;
            if (frame->picture->InitCheck() != B_OK ||
                frame->picture->BitsLength() != fStill->BitsLength()) {
                *why = ReadFailure(B_NO_MEMORY);
                return B_NO_MEMORY;
            }
            std::memcpy(frame->picture->Bits(), fStill->Bits(), size_t(fStill->BitsLength()));
            return B_OK;
        }
        if (fAt == fReader->Count()) {
            fReader = OpenFrames(fPath, fKind, fRun.maxFrames, fRun.framesPerSecond, why);
            if (fReader == nullptr)
                return B_ERROR;
            fAt = 0;
        }
        fAt++;
        status_t status = fReader->Next(frame, why);
        if (status == B_OK && fColors > 0 && !ReduceColours(frame->picture.get(), fColors)) {
            *why = "its colours cannot be reduced for GIF";
            return B_ERROR;
        }
        return status;
    }

    const char* Path() const { return fPath; }

private:
    const char* fPath;
    ClipKind fKind;
    const ClipRun& fRun;
    uint32 fColors = 0;
    std::unique_ptr<FrameReader> fReader;
    std::unique_ptr<BBitmap> fStill;
    uint32 fAt = 0;
};

int cannot_read(const char* path, const std::string& why)
{
    if (std::strcmp(path, "-") == 0)
        return fail(kRunFailed, "cannot read standard input: %s", why.c_str());
    return fail(kRunFailed, "cannot read '%s': %s", path, why.c_str());
}

// The most pixels a side --size and --width take.
constexpr uint64 kMostSide = uint64(1) << 20;

// "WxH" as two whole numbers within 1 and kMostSide.
bool size_of(const std::string& text, uint64* width, uint64* height)
{
    const size_t x = text.find('x');
    return x != std::string::npos && whole_number(text.substr(0, x), 1, kMostSide, width) &&
           whole_number(text.substr(x + 1), 1, kMostSide, height);
}

// --size or --width: the depth picture scaled to the stereogram's size;
// --pattern-scale: the tile scaled once. Checked against the pixel limit
// before any is scaled. With later given, the depth picture is left as it
// is and its size to be goes there: it is scaled row by row as the
// stereogram is made, within kMostStreamedPixels.
int scale_pictures(const CLI::App& app, const Request& r, std::unique_ptr<BBitmap> owners[2],
                   BBitmap* pictures[2], uint64 later[2] = nullptr)
{
    const bool sized = app.count("--size") > 0, widened = app.count("--width") > 0;
    if (sized && widened)
        return usage("--size and --width both set the stereogram's size: give one (see --help)");
    const auto scale = [&](int i, uint64 width, uint64 height, const char* option) -> int {
        const bool byRows = i == 0 && later != nullptr;
        const uint64 limit = byRows ? kMostStreamedPixels : max_picture_pixels();
        if (width * height > limit)
            return usage(std::string(option) + " makes a picture of " + std::to_string(width) +
                         "x" + std::to_string(height) + " pixels, over the limit of " +
                         std::to_string(limit) + (byRows ? "" : " (--max-pixels)"));
        if (byRows) {
            later[0] = width;
            later[1] = height;
            return 0;
        }
        std::unique_ptr<BBitmap> scaled = ScalePicture(pictures[i], int32(width), int32(height));
        if (!scaled)
            return fail(kRunFailed, "out of memory scaling the %s to %s",
                        i == 0 ? "depth picture" : "pattern",
                        (std::to_string(width) + "x" + std::to_string(height)).c_str());
        owners[i] = std::move(scaled);
        pictures[i] = owners[i].get();
        return 0;
    };
    if (sized || widened) {
        uint64 width = 0, height = 0;
        if (sized && !size_of(r.size, &width, &height))
            return needs(value_option("--size"));
        if (widened) {
            if (!whole_number(r.width, 1, kMostSide, &width))
                return needs(value_option("--width"));
            // The shape kept, rounded to the nearest row.
            height = HeightKeepingShape(width, uint64(pictures[0]->PixelWidth()),
                                        uint64(pictures[0]->PixelHeight()));
        }
        if (int status = scale(0, width, height, sized ? "--size" : "--width"); status != 0)
            return status;
    }
    if (app.count("--pattern-scale") > 0) {
        char* end = nullptr;
        const double factor = std::strtod(r.patternScale.c_str(), &end);
        if (r.patternScale.empty() || *end != '\0' || !(factor > 0) || factor > 64)
            return needs(value_option("--pattern-scale"));
        if (pictures[1] == nullptr)
            return usage("--pattern-scale scales a PATTERN; --random-dot has none (see --help)");
        const uint64 width =
            std::max<uint64>(1, uint64(std::lround(pictures[1]->PixelWidth() * factor)));
        const uint64 height =
            std::max<uint64>(1, uint64(std::lround(pictures[1]->PixelHeight() * factor)));
        if (int status = scale(1, width, height, "--pattern-scale"); status != 0)
            return status;
    }
    return 0;
}

// Frame by frame: decode one, make one, encode one. Each frame is scaled
// as a still picture would be.
int run_clip(const ClipRun& run, StereogramOptions kind, ClipFormat format,
             const std::string& outputPath, const CLI::App& app, const Request& r)
{
    FrameSource depth(run.depthPath, run.depthKind, run);
    std::string why;
    if (!depth.Open(&why))
        return cannot_read(run.depthPath, why);
    std::unique_ptr<FrameSource> pattern;
    if (run.patternPath != nullptr) {
        pattern = std::make_unique<FrameSource>(run.patternPath, run.patternKind, run);
        // A GIF's colours are at most 256, two of them the guide dots'.
        if (format == ClipFormat::kGif)
            pattern->ReduceTo(kind.guideDots ? 254 : 256);
        if (!pattern->Open(&why))
            return cannot_read(run.patternPath, why);
    }
    // A still depth picture under an animated pattern lasts the pattern.
    const uint32 count =
        run.depthKind != ClipKind::kStill || pattern == nullptr ? depth.Count() : pattern->Count();
    if (format == ClipFormat::kGif && kind.oversample > 1)
        return usage("--oversample averages colours, which a GIF cannot hold exactly: write "
                     "WebP (.webp) or numbered PNGs (see --help)");
    kind.steady = !run.fresh;
    // The engine's trace lines, one set a frame, say nothing of a clip.
    TracesElsewhere traces(true);
    std::unique_ptr<FrameWriter> writer = CreateFrameWriter(format, outputPath);
    int32 width = -1, height = -1;
    for (uint32 i = 0; i < count; i++) {
        Frame depthFrame, patternFrame;
        if (depth.Next(&depthFrame, &why) != B_OK)
            return cannot_read(run.depthPath, why);
        if (pattern != nullptr) {
            if (pattern->Next(&patternFrame, &why) != B_OK)
                return cannot_read(run.patternPath, why);
        }
        const BBitmap* d = depthFrame.picture.get();
        if (width < 0) {
            width = d->PixelWidth();
            height = d->PixelHeight();
        } else if (d->PixelWidth() != width || d->PixelHeight() != height) {
            return fail(kRunFailed, "cannot read '%s': %s", run.depthPath,
                        ("frame " + std::to_string(i + 1) + " is " + size_text(d) + ", not " +
                         std::to_string(width) + "x" + std::to_string(height) + " as the first")
                            .c_str());
        }
        std::unique_ptr<BBitmap> owners[2];
        BBitmap* pictures[2] = {depthFrame.picture.get(), patternFrame.picture.get()};
        if (int status = scale_pictures(app, r, owners, pictures); status != 0)
            return status;
        if (owners[0])
            depthFrame.picture = std::move(owners[0]);
        if (owners[1])
            patternFrame.picture = std::move(owners[1]);
        if (run.fresh)
            kind.seed = frame_seed(kind.seed, i);
        const uint32 milliseconds = run.depthKind != ClipKind::kStill || pattern == nullptr
                                        ? depthFrame.milliseconds
                                        : patternFrame.milliseconds;
        std::unique_ptr<BBitmap> stereogram(
            MakeStereogram(std::move(depthFrame.picture), patternFrame.picture.get(), kind));
        if (stereogram == nullptr)
            return fail(kRunFailed, "cannot make the stereogram of frame %s",
                        std::to_string(i + 1).c_str());
        if (writer->Add(stereogram.get(), milliseconds, &why) != B_OK)
            return fail(kRunFailed, "cannot write '%s': %s", outputPath.c_str(), why.c_str());
    }
    if (writer->Finish(&why) != B_OK)
        return fail(kRunFailed, "cannot write '%s': %s", outputPath.c_str(), why.c_str());
    return 0;
}

// Frame K of a clip (1 is the first), as a still picture.
// A pattern wraps round (frame K takes its frame K mod its count); past a
// depth clip's end is B_BAD_INDEX, *why its count.
status_t pick_frame(const ClipRun& run, const char* path, ClipKind kind, uint64 k, bool wrap,
                    BBitmap** picture, std::string* why)
{
    std::unique_ptr<FrameReader> reader =
        OpenFrames(path, kind, run.maxFrames, run.framesPerSecond, why);
    if (reader == nullptr)
        return B_ERROR;
    if (!wrap && k > reader->Count()) {
        *why = std::to_string(reader->Count());
        return B_BAD_INDEX;
    }
    const uint64 at = (k - 1) % reader->Count();
    for (uint64 i = 0;; i++) {
        Frame frame;
        status_t status = reader->Next(&frame, why);
        if (status != B_OK)
            return status;
        if (i == at) {
            *picture = frame.picture.release();
            return B_OK;
        }
    }
}

// The stereogram made row by row into a picture of format type at path:
// depth rows from a picture read by rows, or else from the depth picture
// read whole. The engine's trace lines are the whole picture's.
int stream_rows(std::unique_ptr<DepthRows> depthRows, std::unique_ptr<BBitmap> depth,
                BBitmap* pattern, const StereogramOptions& kind, uint32 type, uint32 dotsPerInch,
                const char* depthPath, const char* path)
{
    VPellaraObject engine;
    for (int attempt = 0;; attempt++) {
        if (!depthRows) {
            engine.GetFrom(depth.get());
            depth.reset();
            depthRows = CapturedDepthRows(engine);
        }
        if (!kind.randomDot && attempt == 0)
            engine.GetMotive(pattern);
        const uint32 width = depthRows ? depthRows->Width() : 0;
        const uint32 height = depthRows ? depthRows->Height() : 0;
        const StereogramRows rows(kind, width, height, kind.randomDot ? nullptr : engine.motive,
                                  engine.wM, engine.hM);
        if (!rows.IsValid() ||
            uint64(width) * (uint64(height) + rows.GuideRows()) > kMostStreamedPixels) {
            FlushStandardOutput();
            return fail(kRunFailed, "cannot make the stereogram", nullptr);
        }
        if (attempt == 0) {
            if (!kind.randomDot && (width != engine.wM || height != engine.hM)) {
                printf("pas la meme taille\n");
                printf("taille : wF=%ld, wM=%ld, hF=%ld, hM=%ld \n", long(width), long(engine.wM),
                       long(height), long(engine.hM));
            }
            printf("debut de fusion\n");
        }
        std::string why;
        std::unique_ptr<RowWriter> writer =
            RowWriterFor(type, width, height + rows.GuideRows(), rows.Grey(), dotsPerInch);
        const StreamFailure failure = writer ? StreamRows(*depthRows, rows, *writer, path, &why)
                                             : StreamFailure::kMake;
        FlushStandardOutput();
        switch (failure) {
        case StreamFailure::kNone:
            return 0;
        case StreamFailure::kRead:
            return fail(kRunFailed, "cannot read '%s': %s", depthPath, why.c_str());
        case StreamFailure::kWrite:
            return fail(kRunFailed, "cannot write '%s': %s", path, why.c_str());
        case StreamFailure::kMake:
            return fail(kRunFailed, "cannot make the stereogram: %s", why.c_str());
        case StreamFailure::kAgain:
            break;
        }
        // Turned by an orientation found after its pixels: read whole.
        depthRows.reset();
        BBitmap* whole = nullptr;
        status_t status = ReadPicture(depthPath, &whole);
        if (status != B_OK || attempt > 0)
            return fail(kRunFailed, "cannot read '%s': %s", depthPath,
                        read_failure_words(status).c_str());
        depth.reset(whole);
    }
}

// What a run settles from its command line before any picture is read, and
// what it holds once they are.
struct Job
{
    StereogramOptions kind;
    // The window's own stereogram, which comes from the window's own code.
    bool windows = false;
    const char* depthPath = nullptr;
    const char* patternPath = nullptr; // null for random dots
    const char* outputPath = nullptr;
    bool depthFromInput = false;
    // A path that names standard output (/dev/stdout, say) is standard
    // output too: the picture goes to the descriptor the shell set up.
    bool toOutput = false;
    ClipRun run{};
    uint64 frameNumber = 0; // --frame K, 0 without it
    ClipFormat clipOut = ClipFormat::kNone;
    OutputFormat format;
    bool pdf = false;
    Paper paper = Paper::kNone;
    // The largest side the output's format holds, 0 for no limit.
    uint32 largest = 0;
    bool streamed = false;
    std::unique_ptr<DepthRows> depthRows;
    std::unique_ptr<BBitmap> owners[2];
    BBitmap* pictures[2] = {};
    uint64 depthWidth = 0, depthHeight = 0;

    bool Animated() const
    {
        return run.depthKind != ClipKind::kStill || run.patternKind != ClipKind::kStill;
    }
    // Frame by frame, rather than one still picture.
    bool MakesClip() const
    {
        return frameNumber == 0 && (Animated() || clipOut == ClipFormat::kSequence);
    }
};

int parse_command_line(CLI::App& app, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch&) {
        // A value is missing only after the last argument.
        for (const ValueOption& option : value_options())
            if (argc > 1 && std::strcmp(argv[argc - 1], option.name) == 0)
                return needs(option);
        return usage("an option's value is missing (see --help)");
    } catch (const CLI::ParseError& error) {
        return usage(std::string(error.what()) + " (see --help)");
    }
    return 0;
}

// The first of --help, --version and --list-formats does its work alone:
// its status, or -1 when none was asked.
int answer_query(const CLI::App& app)
{
    for (const CLI::Option* option : app.parse_order()) {
        const std::string name = option->get_name();
        if (name == "--help") {
            print_usage(stdout);
            return StandardOutputFailed(kTool) ? kRunFailed : 0;
        }
        if (name == "--version") {
            NoteOutput(printf("%s %s\n", kTool, PELLARA_VERSION));
            return StandardOutputFailed(kTool) ? kRunFailed : 0;
        }
        if (name == "--list-formats") {
            ListFormats(stdout);
            // The tool's own, beside the translators'.
            NoteOutput(printf("%-6s '%s'  %-26s %s\n", "pdf", "PDF ", "application/pdf",
                              "PDF document at the printed size"));
            return StandardOutputFailed(kTool) ? kRunFailed : 0;
        }
    }
    return -1;
}

// --motion, --fps, --max-frames and --frame.
int settle_frames(const CLI::App& app, const Request& r, Job* job)
{
    uint64 n = 0;
    if (app.count("--motion") > 0) {
        if (r.motion != "steady" && r.motion != "fresh")
            return needs(value_option("--motion"));
        job->run.fresh = r.motion == "fresh";
    }
    if (app.count("--fps") > 0) {
        if (!whole_number(r.fps, 1, 1000, &n))
            return needs(value_option("--fps"));
        job->run.framesPerSecond = uint32(n);
    }
    if (app.count("--max-frames") > 0) {
        if (!whole_number(r.maxFrames, 1, std::numeric_limits<uint32>::max(), &n))
            return needs(value_option("--max-frames"));
        job->run.maxFrames = uint32(n);
    }
    if (app.count("--frame") > 0 &&
        !whole_number(r.frame, 1, std::numeric_limits<uint32>::max(), &job->frameNumber))
        return needs(value_option("--frame"));
    return 0;
}

// The arguments, the kind of stereogram and the clips' options.
int settle_arguments(const CLI::App& app, const Request& r, Job* job)
{
    for (const std::string& extra : app.remaining())
        if (extra.size() > 1 && extra[0] == '-')
            return fail(kUsage, "unknown option '%s' (see --help)", extra.c_str());
    if (r.arguments.size() > 3)
        return fail(kUsage, "too many arguments: '%s' (see --help)", r.arguments[3].c_str());
    if (app.count("--max-pixels") > 0) {
        uint64 maxPixels = 0;
        if (!whole_number(r.maxPixels, 1, kMostPicturePixels, &maxPixels))
            return needs(value_option("--max-pixels"));
        set_max_picture_pixels(maxPixels);
    }
    StereogramOptions& kind = job->kind;
    if (int status = settle_kind(app, r, &kind); status != 0)
        return status;
    if (kind.randomDot && r.arguments.size() == 3)
        return usage("--random-dot makes its own pattern: give DEPTH OUTPUT, without PATTERN "
                     "(see --help)");
    if (kind.randomDot && r.arguments.size() < 2)
        return usage("expected DEPTH OUTPUT with --random-dot (see --help)");
    if (!kind.randomDot && r.arguments.size() < 3)
        return fail(kUsage, "expected DEPTH PATTERN OUTPUT (see --help)", nullptr);
    job->windows = kind == StereogramOptions();

    job->depthPath = r.arguments[0].c_str();
    job->patternPath = kind.randomDot ? nullptr : r.arguments[1].c_str();
    job->outputPath = r.arguments.back().c_str();
    job->depthFromInput = std::strcmp(job->depthPath, "-") == 0;
    const bool patternFromInput =
        job->patternPath != nullptr && std::strcmp(job->patternPath, "-") == 0;
    job->toOutput =
        std::strcmp(job->outputPath, "-") == 0 || NamesStandardOutput(job->outputPath);
    if (job->depthFromInput && patternFromInput)
        return fail(kUsage, "only one of DEPTH and PATTERN can be '-' (see --help)", nullptr);

    // Clips, told by content: read frame by frame, or one frame of them.
    const ClipKind depthKind = job->depthFromInput ? ClipKind::kStill : ClipKindOf(job->depthPath);
    const ClipKind patternKind = job->patternPath == nullptr || patternFromInput
                                     ? ClipKind::kStill
                                     : ClipKindOf(job->patternPath);
    job->run = ClipRun{job->depthPath,      job->patternPath,        depthKind, patternKind,
                       kDefaultMaxFrames, kDefaultFramesPerSecond, false};
    if (int status = settle_frames(app, r, job); status != 0)
        return status;
    job->clipOut = app.count("--format") > 0 ? ClipFormatFromName(r.format)
                                             : ClipFormatFromPath(job->outputPath);
    if (job->frameNumber > 0 && job->clipOut != ClipFormat::kNone && job->Animated())
        return usage("--frame makes a still picture: give a still OUTPUT (see --help)");
    if (job->frameNumber > 1 && depthKind == ClipKind::kStill)
        return usage("--frame " + r.frame + " is past the end of '" + r.arguments[0] +
                     "', which is one picture (see --help)");
    return 0;
}

// A clip's output checked, then made.
int make_clip(const CLI::App& app, const Request& r, const Job& job)
{
    const ClipRun& run = job.run;
    const char* outputPath = job.outputPath;
    if (job.clipOut == ClipFormat::kNone) {
        // A damaged clip is told as such before the output's kind.
        for (const auto& [path, clipKind] : {std::pair(run.depthPath, run.depthKind),
                                             std::pair(run.patternPath, run.patternKind)}) {
            std::string why;
            if (clipKind != ClipKind::kStill &&
                OpenFrames(path, clipKind, run.maxFrames, run.framesPerSecond, &why) == nullptr)
                return cannot_read(path, why);
        }
        return usage(std::string("'") + outputPath + "' is a still picture and '" +
                     (run.depthKind != ClipKind::kStill ? run.depthPath : run.patternPath) +
                     "' is animated: write an animated GIF (.gif), WebP (.webp) or PNG "
                     "(.apng), a video (.mp4, .webm), or numbered PNGs (out-%04d.png), or "
                     "pick one frame with --frame K (see --help)");
    }
    if (job.toOutput)
        return usage("a clip cannot be written to standard output: give OUTPUT a name "
                     "(see --help)");
    if (const char* problem = OutputPlaceProblem(outputPath))
        return fail(kRunFailed, "cannot write '%s': %s", outputPath, problem);
    if (job.clipOut == ClipFormat::kMp4 || job.clipOut == ClipFormat::kWebm)
        if (const char* missing = VideoUnavailable())
            return fail(kRunFailed, "cannot write '%s': %s", outputPath, missing);
    if (app.count("--pages") > 0)
        return usage("--pages lays a poster out on sheets of a PDF: give OUTPUT.pdf or "
                     "--format pdf (see --help)");
    return run_clip(run, job.kind, job.clipOut, outputPath, app, r);
}

// 0 when the output's format holds a w x h stereogram (h 0 when only the
// width is known yet); otherwise the refusal.
int too_large_for(const Job& job, uint64 w, uint64 h)
{
    if (job.largest == 0 || (w <= job.largest && h <= job.largest))
        return 0;
    return usage(std::string("format '") + BTranslatorRoster::Default()->ShortName(job.format.id) +
                 "' holds at most " + std::to_string(job.largest) +
                 " pixels a side; the stereogram would be " +
                 (h > 0 ? std::to_string(w) + "x" + std::to_string(h)
                        : std::to_string(w) + " pixels wide") +
                 " (PNG or TIFF hold it)");
}

// The output's format and place, settled before any work is done. PDF is
// the tool's own: a page at the picture's printed size, or a poster on
// sheets.
int settle_output(const CLI::App& app, const Request& r, Job* job)
{
    const char* outputPath = job->outputPath;
    // A folder has no format to tell: say what it is.
    if (!job->toOutput && is_directory(outputPath))
        return fail(kRunFailed, "cannot write '%s': %s", outputPath,
                    SafeFileWriter::MessageFor(EISDIR));
    const char* leaf = std::strrchr(outputPath, '/');
    const char* extension = std::strrchr(leaf != nullptr ? leaf : outputPath, '.');
    job->pdf = app.count("--format") > 0
                   ? strcasecmp(r.format.c_str(), "pdf") == 0
                   : !job->toOutput && extension != nullptr && strcasecmp(extension, ".pdf") == 0;
    if (app.count("--pages") > 0) {
        if (!PaperFromName(r.pages, &job->paper))
            return needs(value_option("--pages"));
        if (!job->pdf)
            return usage("--pages lays a poster out on sheets of a PDF: give OUTPUT.pdf or "
                         "--format pdf (see --help)");
        if (job->kind.dpi <= 0)
            return usage("--pages needs --dpi, which sets the poster's printed size (see --help)");
    }
    OutputFormat& format = job->format;
    if (job->pdf) {
        // Nothing to look up.
    } else if (app.count("--format") > 0) {
        if (FormatFromName(r.format.c_str(), &format) != B_OK)
            return fail(kUsage, "%s", UnknownFormatMessage(r.format.c_str()).c_str());
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
    format.dotsPerInch = uint32(job->kind.dpi);
    // And where it goes, before the pictures are read.
    if (!job->toOutput) {
        if (const char* problem = OutputPlaceProblem(outputPath))
            return fail(kRunFailed, "cannot write '%s': %s", outputPath, problem);
    }
    // A format that cannot hold the stereogram's size says so before the
    // work: from --size or --width before the pictures are read, and from
    // the depth picture once it is.
    job->largest = job->pdf ? 0 : BTranslatorRoster::Default()->LargestSide(format.id);
    uint64 w = 0, h = 0, n = 0;
    if (app.count("--size") > 0 && size_of(r.size, &w, &h))
        if (int status = too_large_for(*job, w, h); status != 0)
            return status;
    if (app.count("--width") > 0 && whole_number(r.width, 1, kMostSide, &n))
        if (int status = too_large_for(*job, n, 0); status != 0)
            return status;
    // A PNG, TIFF, JPEG, PPM or PGM written to a file is made row by row:
    // the stereogram is never held whole, nor is a PNG depth picture used at
    // its own size.
    job->streamed = !job->pdf && !job->toOutput && WrittenByRows(format.type);
    return 0;
}

// The depth picture (by rows where it can be) and the pattern, at the sizes
// the options ask.
int read_pictures(const CLI::App& app, const Request& r, Job* job)
{
    if (job->streamed && !job->depthFromInput && job->run.depthKind == ClipKind::kStill &&
        app.count("--size") == 0 && app.count("--width") == 0)
        // --max-pixels, when given, bounds every picture read; without it
        // only what is held whole has a limit.
        job->depthRows =
            OpenDepthRows(job->depthPath, app.count("--max-pixels") > 0 ? max_picture_pixels()
                                                                        : kMostStreamedPixels);
    const char* inputs[2] = {job->depthPath, job->patternPath};
    const ClipKind kinds[2] = {job->run.depthKind, job->run.patternKind};
    BBitmap** pictures = job->pictures;
    for (int i = job->depthRows ? 1 : 0; i < 2 && inputs[i] != nullptr; i++) {
        forget_refused_picture_size();
        if (job->frameNumber > 0 && kinds[i] != ClipKind::kStill) {
            std::string why;
            status_t status = pick_frame(job->run, inputs[i], kinds[i], job->frameNumber, i == 1,
                                         &pictures[i], &why);
            if (status == B_BAD_INDEX)
                return usage("--frame " + r.frame + " is past the end of '" + inputs[i] +
                             "', which has " + why + " frames (see --help)");
            if (status != B_OK)
                return cannot_read(inputs[i], why);
            job->owners[i].reset(pictures[i]);
            continue;
        }
        status_t status = std::strcmp(inputs[i], "-") == 0 ? read_standard_input(&pictures[i])
                                                           : ReadPicture(inputs[i], &pictures[i]);
        if (status != B_OK)
            return cannot_read(inputs[i], read_failure_words(status));
        job->owners[i].reset(pictures[i]);
    }

    uint64 later[2] = {0, 0};
    if (int status =
            scale_pictures(app, r, job->owners, pictures, job->streamed ? later : nullptr);
        status != 0)
        return status;
    if (later[0] > 0) {
        job->depthRows =
            ScaledDepthRows(std::move(job->owners[0]), uint32(later[0]), uint32(later[1]));
        if (!job->depthRows)
            return fail(kRunFailed, "out of memory scaling the %s to %s", "depth picture",
                        (std::to_string(later[0]) + "x" + std::to_string(later[1])).c_str());
    }
    job->depthWidth = job->depthRows ? job->depthRows->Width() : uint64(pictures[0]->PixelWidth());
    job->depthHeight =
        job->depthRows ? job->depthRows->Height() : uint64(pictures[0]->PixelHeight());
    return too_large_for(*job, job->depthWidth, job->depthHeight);
}

// A repeat wider than the picture: with print separations a usage error;
// otherwise the window's result, with a word about the likely mistake.
int check_repeat(const Request& r, const Job& job)
{
    const double repeat = far_separation(job.kind);
    const BBitmap* pattern = job.pictures[1];
    const std::string depthSize =
        std::to_string(job.depthWidth) + "x" + std::to_string(job.depthHeight);
    if (job.kind.dpi > 0 && repeat > double(job.depthWidth))
        return usage("--dpi " + r.dpi + " with --eye " + pixels_text(job.kind.eyeMillimetres) +
                     " makes one repeat " + pixels_text(repeat) +
                     " px wide, wider than the depth picture (" + std::to_string(job.depthWidth) +
                     " px) (see --help)");
    if (r.quiet)
        return 0;
    const std::string swapped =
        pattern != nullptr ? "were DEPTH and PATTERN swapped?" : "it holds no depth";
    if (double(job.depthWidth) < repeat)
        warn("depth picture " + depthSize + " is narrower than one repeat (" +
             pixels_text(repeat) + " px): " + swapped);
    else if (pattern != nullptr && job.depthWidth < uint64(pattern->PixelWidth()) &&
             job.depthHeight < uint64(pattern->PixelHeight()))
        warn("depth picture " + depthSize + " is smaller than the pattern (" +
             size_text(pattern) + "): " + swapped);
    return 0;
}

// The stereogram made and written: by rows, or whole and then encoded.
int write_stereogram(const Request& r, Job* job)
{
    // From here on the engine's trace lines go where they belong: standard
    // output, standard error when the picture goes there, nowhere when quiet.
    std::unique_ptr<TracesElsewhere> traces;
    if (job->toOutput || r.quiet)
        traces = std::make_unique<TracesElsewhere>(r.quiet);
    const char* outputPath = job->outputPath;
    if (job->streamed) {
        const int status = stream_rows(std::move(job->depthRows), std::move(job->owners[0]),
                                       job->pictures[1], job->kind, job->format.type,
                                       job->format.dotsPerInch, job->depthPath, outputPath);
        traces.reset();
        return status != 0 ? status : StandardOutputFailed(kTool) ? kRunFailed : 0;
    }

    std::unique_ptr<BBitmap> stereogram(
        job->windows ? MakeStereogram(std::move(job->owners[0]), job->pictures[1])
                     : MakeStereogram(std::move(job->owners[0]), job->pictures[1], job->kind));
    FlushStandardOutput(); // the engine's trace lines come before any message
    if (stereogram == nullptr)
        return fail(kRunFailed, "cannot make the stereogram", nullptr);

    std::string why;
    status_t status;
    const char* path = job->toOutput ? nullptr : outputPath;
    const int fd = job->toOutput ? traces->Output() : -1;
    if (job->pdf) {
        BMallocIO encoded;
        status = EncodePdf(stereogram.get(), job->kind.dpi, job->paper, &encoded, &why);
        if (status == B_OK)
            status = WriteEncoded(encoded, path, fd, &why);
    } else {
        status = WriteOutput(stereogram.get(), job->format, path, fd, &why);
    }
    if (status != B_OK)
        return fail(kRunFailed, "%s: %s", CannotWrite(outputPath).c_str(), why.c_str());
    traces.reset();
    return StandardOutputFailed(kTool) ? kRunFailed : 0;
}

} // namespace

std::vector<std::string> OptionNames()
{
    CLI::App app;
    Request request;
    define_options(app, request);
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options())
        if (option->nonpositional())
            names.push_back(option->get_name());
    return names;
}

int Main(int argc, char** argv)
{
    WatchStandardOutput();
    CLI::App app;
    Request r;
    define_options(app, r);
    if (int status = parse_command_line(app, argc, argv); status != 0)
        return status;
    if (int status = answer_query(app); status >= 0)
        return status;
    Job job;
    if (int status = settle_arguments(app, r, &job); status != 0)
        return status;
    if (job.MakesClip())
        return make_clip(app, r, job);
    if (int status = settle_output(app, r, &job); status != 0)
        return status;
    if (int status = read_pictures(app, r, &job); status != 0)
        return status;
    if (int status = check_repeat(r, job); status != 0)
        return status;
    return write_stereogram(r, &job);
}

} // namespace fuse
