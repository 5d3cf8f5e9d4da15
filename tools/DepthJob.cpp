#include "DepthJob.h"

#include "DepthPictures.h"
#include "Frames.h"
#include "ModelDepth.h"
#include "PairInput.h"
#include "Resample.h"
#include "StereoPairs.h"
#include "TextDepth.h"
#include "ToolOutput.h"

#include <Bitmap.h>
#include <BitmapReading.h>
#include <DataIO.h>
#include <PictureMemory.h>
#include <PosixErrors.h>
#include <RegularFile.h>
#include <SafeFileWriter.h>
#include <TranslatorFormats.h>
#include <TranslatorRoster.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef PELLARA_VERSION
#define PELLARA_VERSION "unknown"
#endif

namespace depth {

namespace {

const char kTool[] = "pellara-depth";
const char kNothingKnown[] = "not a picture, a photo with a depth map or a 3D model";
constexpr int kRunFailed = 1;
constexpr int kUsage = 2;
// Models and text have no size of their own.
constexpr int32 kDefaultWidth = 1024;
constexpr int32 kDefaultHeight = 768;
// The most pixels a drawn picture (a model, a text) has unless --max-pixels
// says otherwise: a float of depth a pixel, the picture's own row (four
// bytes a pixel when one pixel wide) and the encoder's share stay within
// about 500 MB.
constexpr uint64 kDefaultMostDrawnPixels = 50'000'000;
// Degrees --rotate takes: ten turns either way is more than anyone means,
// and far larger values lose their last turn to rounding.
constexpr double kMostDegrees = 3600;
// Standard input is read on only when its first bytes look like something
// this tool reads.
constexpr size_t kSniffBytes = 65536 + 1;

const char kUsageText[] =
    "Usage: %s INPUT OUTPUT [--size WxH | --width W] [--format TYPE] [--invert]\n"
    "                     [--no-normalize] [--rotate X,Y,Z] [--max-pixels N]\n"
    "       %s LEFT RIGHT OUTPUT [--rectify] [options as above]\n"
    "       %s --text WORDS OUTPUT [--size WxH | --width W] [--font FAMILY]\n"
    "       %s MODEL CLIP --frames N --turn X,Y,Z [--rotate X,Y,Z] [--fps N] [...]\n"
    "       %s --list-formats | --help | --version\n"
    "\n"
    "Writes a depth picture (grey, light parts near) for a stereogram. INPUT, told by\n"
    "its content, is a photo with a depth map (HEIF/HEIC/AVIF, or JPEG with Google's\n"
    "GDepth or Dynamic Depth), any other picture (taken as depth), or a 3D model (STL,\n"
    "OBJ, PLY, glTF 2.0), or a stereo pair: an MPO file from a 3D camera, a spatial\n"
    "HEIC photo, a picture holding both views (--pair), or two files LEFT and RIGHT.\n"
    "'-' as INPUT reads standard input; as OUTPUT it writes the picture to standard\n"
    "output (then --format is needed). An animated INPUT (GIF, WebP, APNG, a video,\n"
    "numbered pictures such as depth-%%04d.png) gives a depth clip with one range for\n"
    "all its frames; so does a model turned with --frames and --turn. A clip is\n"
    "written as an animated GIF (.gif), WebP (.webp) or PNG (.apng), a video (.mp4,\n"
    ".webm), or numbered PNGs (out-%%04d.png).\n"
    "\n"
    "  --size WxH      the picture's size (default: the photo's or picture's own,\n"
    "                  1024x768 for models and text)\n"
    "  --width W       that width, the height following the default size's shape\n"
    "  --format TYPE   output format (png, jpeg, tif, ... or a type code such as\n"
    "                  'PNG '); without it the format comes from OUTPUT's extension\n"
    "  --invert        swap near and far\n"
    "  --no-normalize  keep the map's own scale instead of stretching its nearest\n"
    "                  and farthest values to white and black\n"
    "  --rotate X,Y,Z  turn a model by these degrees about X, then Y, then Z\n"
    "  --pair LAYOUT   INPUT holds both views of a stereo pair: lr (left view on the\n"
    "                  left), rl (crossed: left view on the right), tb (left view on\n"
    "                  top) or bt (left view below)\n"
    "  --rectify       line up the rows of a pair's views first (two hand-held shots)\n"
    "  --text WORDS    draw these words; \\n starts a new line\n"
    "  --font FAMILY   the installed font family for --text (default: the desktop's)\n"
    "  --frames N      a clip of N frames of the model turning (with --turn)\n"
    "  --turn X,Y,Z    degrees the model turns about X, Y and Z over the clip, frame\n"
    "                  K of N by K/N of them (on top of --rotate): 0,360,0 loops\n"
    "  --fps N         frames a second of a turn or of numbered pictures (default %u)\n"
    "  --max-frames N  read and make clips of up to N frames (default %u)\n"
    "  --max-pixels N  read pictures of up to N pixels (default %llu, at most %llu),\n"
    "                  and draw models and text of up to N (default %llu)\n"
    "  --list-formats  list the formats that can be written\n"
    "  --help          show this help\n"
    "  --version       show the version\n";

int fail(int code, const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kTool, message.c_str());
    return code;
}

int usage_error(const std::string& message)
{
    return fail(kUsage, message + " (see --help)");
}

// How an input is named in messages.
std::string name_of(const std::string& path)
{
    return path == "-" ? std::string("standard input") : "'" + path + "'";
}

// Reads from standard input until data holds up to size bytes or the
// input ends.
status_t read_input_to(uint64 size, BMallocIO* data)
{
    char buffer[65536];
    while (uint64(data->BufferLength()) < size) {
        const size_t want =
            size_t(std::min<uint64>(sizeof(buffer), size - uint64(data->BufferLength())));
        ssize_t n = read(STDIN_FILENO, buffer, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return status_for_errno(errno);
        if (n == 0)
            return B_OK;
        status_t status = data->WriteExactly(buffer, size_t(n));
        if (status != B_OK)
            return status;
    }
    return B_OK;
}

// Standard input read to its end, up to limit bytes: a pipe can be read
// only once and has no size to check first. B_NOT_ALLOWED past the limit;
// B_NO_TRANSLATOR when its first bytes are no picture, photo or model,
// before more is read (an endless source is not kept to the limit).
status_t read_standard_input(uint64 limit, BMallocIO* data)
{
    // A file given as standard input tells its size: no need to read it.
    struct stat file;
    if (fstat(STDIN_FILENO, &file) == 0 && S_ISREG(file.st_mode) && uint64(file.st_size) > limit)
        return B_NOT_ALLOWED;
    status_t status = read_input_to(kSniffBytes, data);
    if (status != B_OK || size_t(data->BufferLength()) < kSniffBytes)
        return status; // all of it: the readers tell what it is
    const uint8* bytes = static_cast<const uint8*>(data->Buffer());
    uint64 most = limit;
    if (!looks_like_picture(bytes, kSniffBytes) &&
        SniffModel(bytes, kSniffBytes) == ModelFormat::kNone) {
        // A binary STL has no signature, only its exact length: read on
        // only as far as its count makes it.
        most = 84 +
               50 * uint64(bytes[80] | bytes[81] << 8 | bytes[82] << 16 | uint32(bytes[83]) << 24);
        if (most < kSniffBytes || most > limit)
            return B_NO_TRANSLATOR;
    }
    status = read_input_to(most + 1, data);
    if (status == B_OK && uint64(data->BufferLength()) > most)
        return most == limit ? B_NOT_ALLOWED : B_NO_TRANSLATOR;
    return status;
}

struct Options
{
    std::vector<std::string> positional;
    std::string text;
    bool textGiven = false;
    std::string size;
    int32 width = 0;
    std::string format;
    bool invert = false;
    bool noNormalize = false;
    std::string rotate;
    std::string font;
    uint64 maxPixels = 0;
    // Clips.
    std::string frames;
    std::string turn;
    std::string fps;
    std::string maxFrames;
    bool help = false;
    bool version = false;
    bool listFormats = false;
    // Stereo pairs.
    std::string pair;
    bool rectify = false;
};

// The input and what it is, read and turned into a map.
struct Source
{
    InputKind kind = InputKind::kPicture;
    depth_map map;
};

// A drawn picture's size where the command line left it open (0): the
// default, or the default's shape at --width. Whether it is within most.
bool settle_drawn_size(int32 givenWidth, uint64 most, int32* w, int32* h)
{
    if (*w == 0)
        *w = givenWidth > 0 ? givenWidth : kDefaultWidth;
    if (*h == 0)
        *h =
            givenWidth > 0
                ? int32(fuse::HeightKeepingShape(uint64(givenWidth), kDefaultWidth, kDefaultHeight))
                : kDefaultHeight;
    return uint64(*w) * uint64(*h) <= most;
}

// --- Clips -----------------------------------------------------------------

const char kClipFormats[] = "an animated GIF (.gif), WebP (.webp) or PNG (.apng), a video "
                            "(.mp4, .webm), or numbered PNGs (out-%04d.png)";
// Frames a second a clip may have, as pellara-fuse takes.
constexpr uint64 kMostFramesPerSecond = 1000;

struct ClipRequest
{
    // A turning model's frames, 0 when nothing turns.
    uint32 frames = 0;
    double turn[3] = {0, 0, 0};
    uint32 framesPerSecond = fuse::kDefaultFramesPerSecond;
    uint32 maxFrames = fuse::kDefaultMaxFrames;
    // What INPUT is, when a named file.
    fuse::ClipKind inputKind = fuse::ClipKind::kStill;
};

// A whole number from least to most, in decimal; false for anything else.
bool whole_number(const std::string& text, uint64 least, uint64 most, uint64* value)
{
    if (text.empty() || text.size() > 20 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || n < least || n > most)
        return false;
    *value = n;
    return true;
}

// The clip options checked against each other and against INPUT's kind:
// what is wrong, in words, or empty.
std::string settle_clip(const CLI::App& app, const Options& o, const std::string& input,
                        ClipRequest* clip)
{
    uint64 n = 0;
    if (app.count("--max-frames") > 0) {
        if (!whole_number(o.maxFrames, 1, std::numeric_limits<uint32>::max(), &n))
            return "--max-frames needs a number from 1 to 4294967295";
        clip->maxFrames = uint32(n);
    }
    if (app.count("--fps") > 0) {
        if (!whole_number(o.fps, 1, kMostFramesPerSecond, &n))
            return "--fps needs a number of frames a second from 1 to " +
                   std::to_string(kMostFramesPerSecond);
        clip->framesPerSecond = uint32(n);
    }
    const bool framesGiven = app.count("--frames") > 0, turnGiven = app.count("--turn") > 0;
    const bool turning = framesGiven || turnGiven;
    if (turning && o.textGiven)
        return "--frames and --turn turn 3D models, not text";
    if (framesGiven && !turnGiven)
        return "--frames needs --turn X,Y,Z, the degrees the model turns over the clip";
    if (turnGiven && !framesGiven)
        return "--turn needs --frames N, the frames the turn takes";
    if (turning) {
        if (!ParseRotation(o.turn, clip->turn))
            return "--turn needs three angles in degrees, such as 0,360,0, each within " +
                   std::to_string(int(kMostDegrees)) + " either way";
        if (!whole_number(o.frames, 1, clip->maxFrames, &n))
            return "--frames needs a number from 1 to " + std::to_string(clip->maxFrames) +
                   " (--max-frames)";
        clip->frames = uint32(n);
    }
    // A stereo pair's views are still pictures, and a turn is a model's.
    const bool pair = o.positional.size() == 3 || app.count("--pair") > 0 || o.rectify;
    if (turning && pair)
        return "--frames and --turn turn 3D models, not stereo pairs";
    if (!o.textGiven && input != "-")
        clip->inputKind = fuse::ClipKindOf(input.c_str());
    if (clip->inputKind != fuse::ClipKind::kStill && pair)
        return "stereo pairs are read from still pictures; " + name_of(input) +
               " is an animated picture";
    if (clip->inputKind != fuse::ClipKind::kStill) {
        if (turning)
            return "--frames and --turn turn 3D models; " + name_of(input) +
                   " is an animated picture";
        if (!o.rotate.empty())
            return "--rotate turns 3D models; " + name_of(input) + " is an animated picture";
    } else if (!turning && app.count("--fps") > 0) {
        return "--fps goes with clips: a model's turn (--frames, --turn) or an animated INPUT";
    }
    return std::string();
}

// A clip written as it is made, one frame at a time; nothing is left of it
// unless every frame went in.
class ClipOut
{
public:
    ClipOut(fuse::ClipFormat format, const std::string& path)
        : fPath(path), fWriter(fuse::CreateFrameWriter(format, path)),
          // A PNG stores grey as grey; GIF and WebP take words.
          fSpace(format == fuse::ClipFormat::kApng || format == fuse::ClipFormat::kSequence
                     ? B_GRAY8
                     : B_RGB32)
    {
    }

    color_space Space() const { return fSpace; }

    // 0, or the exit status after saying why.
    int Add(const BBitmap* frame, uint32 milliseconds)
    {
        std::string why;
        if (fWriter == nullptr)
            return fail(kRunFailed, "cannot write '" + fPath + "': " + fuse::WriteFailure(B_ERROR));
        if (fWriter->Add(frame, milliseconds, &why) != B_OK)
            return fail(kRunFailed, "cannot write '" + fPath + "': " + why);
        return 0;
    }

    int Finish()
    {
        std::string why;
        if (fWriter == nullptr || fWriter->Finish(&why) != B_OK)
            return fail(kRunFailed, "cannot write '" + fPath +
                                        "': " + (why.empty() ? fuse::WriteFailure(B_ERROR) : why));
        return 0;
    }

private:
    std::string fPath;
    std::unique_ptr<fuse::FrameWriter> fWriter;
    color_space fSpace;
};

// The output's size where the command line left it open (0): the input's
// own, or its shape at --width. 0, or the failure when it is over the pixel
// limit.
int settle_own_size(const Options& o, int32 ownWidth, int32 ownHeight, int32* width, int32* height)
{
    if (*width == 0) {
        *width = o.width > 0 ? o.width : ownWidth;
        *height = o.width > 0 ? int32(fuse::HeightKeepingShape(uint64(o.width), uint64(ownWidth),
                                                               uint64(ownHeight)))
                              : ownHeight;
    }
    if (uint64(*width) * uint64(*height) > max_picture_pixels())
        return fail(kRunFailed, std::to_string(*width) + "x" + std::to_string(*height) +
                                    " is more than the " + std::to_string(max_picture_pixels()) +
                                    " pixels a picture may have (--max-pixels)");
    return 0;
}

// The model in INPUT turning over clip.frames frames: read once, each frame
// turned by its share of the turn on top of --rotate, all framed by the
// model's bounding sphere, so that neither its size nor its depth range
// moves from frame to frame.
int run_turn(const Options& o, const ClipRequest& clip, const std::string& input,
             const std::string& output, fuse::ClipFormat format, int32 width, int32 height,
             const double rotate[3], uint64 mostDrawn)
{
    if (!settle_drawn_size(o.width, mostDrawn, &width, &height))
        return fail(kRunFailed, "cannot draw the model " + name_of(input) + ": " +
                                    std::to_string(width) + "x" + std::to_string(height) +
                                    " is more than the " + std::to_string(mostDrawn) +
                                    " pixels a drawn picture may have (--max-pixels raises it)");
    ModelTurn model;
    std::string why;
    {
        BMallocIO data;
        status_t status = input == "-" ? read_standard_input(kMaxModelBytes, &data)
                                       : fuse::ReadFile(input.c_str(), kMaxModelBytes, &data);
        if (status == B_NOT_ALLOWED)
            return fail(kRunFailed,
                        "cannot read " + name_of(input) + ": more than the 2 GiB a file may have");
        if (status != B_OK && status != B_NO_TRANSLATOR)
            return fail(kRunFailed,
                        "cannot read " + name_of(input) + ": " + fuse::ReadFailure(status));
        const uint8* bytes = static_cast<const uint8*>(data.Buffer());
        const size_t size = data.BufferLength();
        if (status == B_NO_TRANSLATOR || SniffModel(bytes, size) == ModelFormat::kNone)
            return usage_error("--frames and --turn turn 3D models; " + name_of(input) +
                               " is not one");
        ModelView view;
        view.width = width;
        view.height = height;
        status = model.Read(bytes, size, input == "-" ? nullptr : input.c_str(), view, &why);
        if (status != B_OK)
            return fail(kRunFailed, "cannot read the model " + name_of(input) + ": " + why);
    }

    ClipOut out(format, output);
    Levels levels;
    // The sphere's front is white and its back black in every frame.
    levels.normalize = false;
    levels.invert = o.invert;
    depth_map map;
    for (uint32 i = 0; i < clip.frames; i++) {
        double angles[3];
        for (int k = 0; k < 3; k++)
            angles[k] = rotate[k] + clip.turn[k] * double(i) / double(clip.frames);
        if (model.Draw(angles, &map, &why) != B_OK)
            return fail(kRunFailed, "cannot draw the model " + name_of(input) + " (frame " +
                                        std::to_string(i + 1) + "): " + why);
        std::unique_ptr<BBitmap> picture =
            MakeDepthPicture(map, width, height, levels, out.Space());
        if (!picture)
            return fail(kRunFailed, "out of memory making the depth picture");
        // Whole milliseconds that add up to the clip's length.
        auto at = [&](uint32 frame) {
            return uint32(std::lround(double(frame) * 1000.0 / clip.framesPerSecond));
        };
        if (int code = out.Add(picture.get(), at(i + 1) - at(i)))
            return code;
    }
    return out.Finish();
}

// An animated depth picture as a depth clip: a first pass finds the range
// all its frames share, the second writes them stretched by it, so that a
// frame with less depth than the others is not stretched on its own.
int run_depth_clip(const Options& o, const ClipRequest& clip, const std::string& input,
                   const std::string& output, fuse::ClipFormat format, int32 width, int32 height)
{
    std::string why;
    auto open = [&]() {
        return fuse::OpenFrames(input.c_str(), clip.inputKind, clip.maxFrames, clip.framesPerSecond,
                                &why);
    };
    // The next frame as depth, and how long it shows.
    auto next = [&](fuse::FrameReader* reader, depth_map* map, uint32* milliseconds) {
        fuse::Frame frame;
        status_t status = reader->Next(&frame, &why);
        if (status == B_OK) {
            status = depth_map_from_bitmap(*frame.picture, map);
            if (status != B_OK)
                why = fuse::ReadFailure(status == B_NO_MEMORY ? B_NO_MEMORY : B_BAD_DATA);
        }
        *milliseconds = frame.milliseconds;
        return status == B_OK;
    };

    std::unique_ptr<fuse::FrameReader> reader = open();
    if (!reader)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": " + why);
    const uint32 count = reader->Count();
    if (count == 0)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": it has no frames");
    float least = INFINITY, greatest = -INFINITY;
    int32 ownWidth = 0, ownHeight = 0;
    depth_map map;
    uint32 milliseconds = 0;
    for (uint32 i = 0; i < count; i++) {
        if (!next(reader.get(), &map, &milliseconds))
            return fail(kRunFailed, "cannot read " + name_of(input) + ": " + why);
        WidenRange(map, &least, &greatest);
        if (i == 0) {
            ownWidth = map.width;
            ownHeight = map.height;
        }
    }
    reader.reset();
    if (int status = settle_own_size(o, ownWidth, ownHeight, &width, &height); status != 0)
        return status;

    Levels levels;
    levels.normalize = !o.noNormalize;
    levels.invert = o.invert;
    levels.shared = true;
    levels.least = least;
    levels.greatest = greatest;
    reader = open();
    if (!reader)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": " + why);
    if (reader->Count() != count)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": it changed while read");
    ClipOut out(format, output);
    for (uint32 i = 0; i < count; i++) {
        if (!next(reader.get(), &map, &milliseconds))
            return fail(kRunFailed, "cannot read " + name_of(input) + ": " + why);
        std::unique_ptr<BBitmap> picture =
            MakeDepthPicture(map, width, height, levels, out.Space());
        if (!picture)
            return fail(kRunFailed, "out of memory making the depth picture");
        if (int code = out.Add(picture.get(), milliseconds))
            return code;
    }
    return out.Finish();
}

// A clip's run, its command line settled: OUTPUT must take a clip.
int run_clip(const Options& o, const ClipRequest& clip, const std::string& input,
             const std::string& output, bool toOutput, int32 width, int32 height,
             const double rotate[3], uint64 mostDrawn)
{
    if (toOutput)
        return usage_error("a clip cannot be written to standard output: give OUTPUT a name");
    const fuse::ClipFormat format =
        !o.format.empty() ? fuse::ClipFormatFromName(o.format) : fuse::ClipFormatFromPath(output);
    if (format == fuse::ClipFormat::kNone)
        return usage_error((o.format.empty() ? "'" + output + "' names a still picture"
                                             : "--format " + o.format + " is a still format") +
                           ": write a clip as " + kClipFormats);
    if (const char* problem = fuse::OutputPlaceProblem(output.c_str()))
        return fail(kRunFailed, "cannot write '" + output + "': " + problem);
    return clip.frames > 0
               ? run_turn(o, clip, input, output, format, width, height, rotate, mostDrawn)
               : run_depth_clip(o, clip, input, output, format, width, height);
}

} // namespace

bool ParseSize(const std::string& text, int32* width, int32* height)
{
    const size_t x = text.find_first_of("xX");
    if (x == std::string::npos || x == 0 || x + 1 >= text.size())
        return false;
    uint64 values[2] = {0, 0};
    const std::string parts[2] = {text.substr(0, x), text.substr(x + 1)};
    for (int i = 0; i < 2; i++) {
        for (char c : parts[i]) {
            if (c < '0' || c > '9')
                return false;
            values[i] = values[i] * 10 + uint64(c - '0');
            if (values[i] > kMostPicturePixels)
                return false;
        }
        if (values[i] == 0)
            return false;
    }
    if (values[0] * values[1] > kMostPicturePixels)
        return false;
    *width = int32(values[0]);
    *height = int32(values[1]);
    return true;
}

bool ParseRotation(const std::string& text, double angles[3])
{
    size_t at = 0;
    for (int i = 0; i < 3; i++) {
        const size_t comma = text.find(',', at);
        if ((i < 2) != (comma != std::string::npos))
            return false;
        const std::string part =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (part.empty() || part.find_first_not_of("+-.0123456789eE") != std::string::npos)
            return false;
        char* end = nullptr;
        errno = 0;
        angles[i] = std::strtod(part.c_str(), &end);
        if (errno != 0 || end != part.c_str() + part.size() || !std::isfinite(angles[i]) ||
            std::fabs(angles[i]) > kMostDegrees)
            return false;
        at = comma + 1;
    }
    return true;
}

namespace {

void define_options(CLI::App& app, Options& o)
{
    app.set_help_flag();
    app.add_flag("-h,--help", o.help);
    app.add_flag("--version", o.version);
    app.add_flag("--list-formats", o.listFormats);
    app.add_option("--text", o.text);
    app.add_option("--size", o.size);
    app.add_option("--width", o.width);
    app.add_option("--format", o.format);
    app.add_flag("--invert", o.invert);
    app.add_flag("--no-normalize", o.noNormalize);
    app.add_option("--rotate", o.rotate);
    app.add_option("--font", o.font);
    app.add_option("--max-pixels", o.maxPixels);
    app.add_option("--frames", o.frames);
    app.add_option("--turn", o.turn);
    app.add_option("--fps", o.fps);
    app.add_option("--max-frames", o.maxFrames);
    app.add_option("--pair", o.pair);
    app.add_flag("--rectify", o.rectify);
    app.add_option("files", o.positional);
}

// --help, --version, --list-formats: the exit status, or -1 when the
// command line asks for none of them.
int answer_query(const Options& o)
{
    if (o.help)
        std::printf(kUsageText, kTool, kTool, kTool, kTool, kTool, fuse::kDefaultFramesPerSecond,
                    fuse::kDefaultMaxFrames, (unsigned long long)kDefaultMaxPicturePixels,
                    (unsigned long long)kMostPicturePixels,
                    (unsigned long long)kDefaultMostDrawnPixels);
    else if (o.version)
        std::printf("%s %s\n", kTool, PELLARA_VERSION);
    else if (o.listFormats)
        fuse::ListFormats(stdout);
    else
        return -1;
    return fuse::StandardOutputFailed(kTool) ? kRunFailed : 0;
}

// The command line as settled before any work.
struct Request
{
    bool twoFiles = false; // LEFT RIGHT OUTPUT: two views of a stereo pair
    std::string input;     // empty for --text
    std::string output;
    bool toOutput = false;
    int32 width = 0, height = 0; // 0 where left open
    double angles[3] = {0, 0, 0};
    uint64 mostDrawn = kDefaultMostDrawnPixels;
};

// Everything about the command line that can be checked before any work:
// 0, or the usage error already said.
int settle_request(const CLI::App& app, const Options& o, Request* r)
{
    pairs::Layout layout = pairs::Layout::kNone;
    r->twoFiles = !o.textGiven && o.positional.size() == 3;
    const size_t wanted = o.textGiven ? 1 : r->twoFiles ? 3 : 2;
    if (o.positional.size() < wanted)
        return usage_error(o.textGiven ? "expected OUTPUT after --text WORDS"
                                       : "expected INPUT OUTPUT");
    if (o.positional.size() > wanted)
        return usage_error("too many arguments: '" + o.positional[wanted] + "'");
    if (o.textGiven && !o.rotate.empty())
        return usage_error("--rotate turns 3D models, not text");
    if (!o.textGiven && app.count("--font") > 0)
        return usage_error("--font goes with --text");
    if (app.count("--pair") > 0 && !pairs::ParseLayout(o.pair, &layout))
        return usage_error("--pair needs lr, rl, tb or bt");
    if (o.textGiven && (app.count("--pair") > 0 || o.rectify))
        return usage_error("--pair and --rectify go with stereo pairs, not text");
    if (r->twoFiles && app.count("--pair") > 0)
        return usage_error("give --pair for one picture holding both views, or two files");
    if (r->twoFiles && (o.positional[0] == "-" || o.positional[1] == "-"))
        return usage_error("the two views of a pair are read from files, not standard input");
    if (app.count("--size") > 0 && app.count("--width") > 0)
        return usage_error("give --size or --width, not both");
    if (app.count("--size") > 0 && !ParseSize(o.size, &r->width, &r->height))
        return usage_error("--size needs WIDTHxHEIGHT, such as 1024x768, of at most " +
                           std::to_string(kMostPicturePixels) + " pixels");
    if (app.count("--width") > 0 && (o.width <= 0 || uint64(o.width) > kMostPicturePixels))
        return usage_error("--width needs a number of pixels from 1 up");
    if (!o.rotate.empty() && !ParseRotation(o.rotate, r->angles))
        return usage_error("--rotate needs three angles in degrees, such as 30,0,-15, each "
                           "within " +
                           std::to_string(int(kMostDegrees)) + " either way");
    if (app.count("--max-pixels") > 0) {
        if (o.maxPixels == 0 || o.maxPixels > kMostPicturePixels)
            return usage_error("--max-pixels needs a number from 1 to " +
                               std::to_string(kMostPicturePixels));
        set_max_picture_pixels(o.maxPixels);
        r->mostDrawn = max_picture_pixels();
    }
    r->input = o.textGiven ? std::string() : o.positional[0];
    r->output = o.positional[wanted - 1];
    r->toOutput = r->output == "-" || fuse::NamesStandardOutput(r->output.c_str());
    return 0;
}

// OUTPUT's format, from --format or its extension: 0, or the error said.
int settle_output_format(const Options& o, const std::string& output, fuse::OutputFormat* format)
{
    if (!o.format.empty()) {
        if (fuse::FormatFromName(o.format.c_str(), format) != B_OK)
            return fail(kUsage, fuse::UnknownFormatMessage(o.format.c_str()));
        return 0;
    }
    if (output == "-")
        return usage_error("writing to standard output needs --format");
    status_t status = fuse::FormatFromPath(output.c_str(), format);
    if (status == B_NAME_NOT_FOUND)
        return fail(kUsage, "cannot tell the format of '" + output + "': give --format");
    if (status != B_OK)
        return fail(kUsage, fuse::UnknownFormatMessage(std::strrchr(output.c_str(), '.') + 1));
    return 0;
}

// A drawn picture's size (a model's, a text's), checked before anything is
// drawn: 0, or the failure said.
int settle_drawn(const Options& o, Request* r, const std::string& what)
{
    if (settle_drawn_size(o.width, r->mostDrawn, &r->width, &r->height))
        return 0;
    return fail(kRunFailed, "cannot draw " + what + ": " + std::to_string(r->width) + "x" +
                                std::to_string(r->height) + " is more than the " +
                                std::to_string(r->mostDrawn) +
                                " pixels a drawn picture may have (--max-pixels raises it)");
}

int read_text(const Options& o, Request* r, Source* source)
{
    source->kind = InputKind::kText;
    if (int status = settle_drawn(o, r, "the text"); status != 0)
        return status;
    std::string why;
    if (RenderText(o.text, o.font.empty() ? nullptr : o.font.c_str(), r->width, r->height,
                   &source->map, &why) != B_OK)
        return fail(kRunFailed, "cannot draw the text: " + why);
    return 0;
}

// A file (or standard input) read whole, within the largest model's size:
// 0, or the failure said. A second view that is no picture says so.
int read_input_bytes(const std::string& input, bool secondView, BMallocIO* data)
{
    status_t status = input == "-" ? read_standard_input(kMaxModelBytes, data)
                                   : fuse::ReadFile(input.c_str(), kMaxModelBytes, data);
    if (status == B_OK && data->BufferLength() == 0)
        status = B_NO_TRANSLATOR;
    if (status == B_OK)
        return 0;
    if (status == B_NOT_ALLOWED)
        return fail(kRunFailed,
                    "cannot read " + name_of(input) + ": more than the 2 GiB a file may have");
    if (status == B_NO_TRANSLATOR)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": " +
                                    (secondView ? "not a picture" : kNothingKnown));
    return fail(kRunFailed, "cannot read " + name_of(input) + ": " + fuse::ReadFailure(status));
}

// Any other picture, read as a bitmap and taken as depth. photo says what
// the depth-map reader found (B_NAME_NOT_FOUND: a photo's kind without one).
int read_depth_picture(const std::string& input, const uint8* bytes, size_t size, status_t photo,
                       bool heifWithoutPair, Source* source)
{
    BBitmap* raw = nullptr;
    status_t status = read_bitmap_data(bytes, size, input == "-" ? nullptr : input.c_str(), &raw);
    std::unique_ptr<BBitmap> picture(raw);
    if (status == B_NO_TRANSLATOR)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": " + kNothingKnown);
    if (status != B_OK)
        return fail(kRunFailed, "cannot read " + name_of(input) + ": " + fuse::ReadFailure(status));
    // A colour photo of a kind that carries depth maps, without one, is not
    // a depth picture.
    if (photo == B_NAME_NOT_FOUND && IsColourPicture(*picture))
        return fail(kRunFailed, heifWithoutPair ? "no stereo pair in " + name_of(input)
                                                : "no depth map in " + name_of(input));
    if (depth_map_from_bitmap(*picture, &source->map) != B_OK)
        return fail(kRunFailed,
                    "cannot read " + name_of(input) + ": " + fuse::ReadFailure(B_NO_MEMORY));
    source->kind = InputKind::kPicture;
    return 0;
}

// INPUT, told by its content: a stereo pair, a photo with a depth map, a
// model (drawn here), or a picture taken as depth. 0, or the failure said.
int read_input(const Options& o, Request* r, Source* source)
{
    BMallocIO data, right;
    if (int status = read_input_bytes(r->input, false, &data); status != 0)
        return status;
    if (r->twoFiles)
        if (int status = read_input_bytes(o.positional[1], true, &right); status != 0)
            return status;
    const uint8* bytes = static_cast<const uint8*>(data.Buffer());
    const size_t size = data.BufferLength();

    // A stereo pair: an MPO file, or what --pair or a second file says.
    PairRequest pair;
    pair.name = name_of(r->input);
    pair.data = bytes;
    pair.size = size;
    if (r->twoFiles) {
        pair.second = static_cast<const uint8*>(right.Buffer());
        pair.secondSize = right.BufferLength();
        pair.secondName = name_of(o.positional[1]);
    }
    pair.layout = o.pair;
    pair.rectify = o.rectify;
    std::string why, note;
    const PairOutcome paired = ReadPair(pair, &source->map, &why, &note);
    if (paired == PairOutcome::kFailed)
        return fail(kRunFailed, why);
    const bool heifWithoutPair = paired == PairOutcome::kHeifWithoutPair;
    if ((paired == PairOutcome::kNotAPair || heifWithoutPair) && o.rectify)
        return usage_error("--rectify goes with a stereo pair; " + name_of(r->input) + " is none");
    if (!note.empty())
        std::fprintf(stderr, "%s: %s\n", kTool, note.c_str());

    const char* problem = nullptr;
    const status_t photo = paired == PairOutcome::kRead
                               ? B_OK
                               : read_depth_map_data(bytes, size, &source->map, &problem);
    if (photo == B_OK) {
        source->kind = InputKind::kPhoto;
    } else if (photo == B_ILLEGAL_DATA && problem != nullptr) {
        return fail(kRunFailed,
                    "cannot read the depth map in " + name_of(r->input) + ": " + problem);
    } else if (photo == B_NO_MEMORY) {
        return fail(kRunFailed,
                    "cannot read " + name_of(r->input) + ": " + fuse::ReadFailure(B_NO_MEMORY));
    } else if (SniffModel(bytes, size) != ModelFormat::kNone) {
        source->kind = InputKind::kModel;
    } else if (read_wide_depth_picture_data(bytes, size, &source->map) == B_OK) {
        // A PNG read straight to a byte or two a pixel. Anything it refuses
        // goes the bitmap's way, which says why in its words.
        source->kind = InputKind::kPicture;
    } else if (int status =
                   read_depth_picture(r->input, bytes, size, photo, heifWithoutPair, source);
               status != 0) {
        return status;
    }
    if (source->kind != InputKind::kModel && !o.rotate.empty())
        return usage_error("--rotate turns 3D models; " + name_of(r->input) + " is a picture");
    if (source->kind != InputKind::kModel)
        return 0;

    if (int status = settle_drawn(o, r, "the model " + name_of(r->input)); status != 0)
        return status;
    ModelView view;
    view.width = r->width;
    view.height = r->height;
    std::copy(r->angles, r->angles + 3, view.rotate);
    if (RenderModel(bytes, size, r->input == "-" ? nullptr : r->input.c_str(), view, &source->map,
                    &why) != B_OK)
        return fail(kRunFailed, "cannot read the model " + name_of(r->input) + ": " + why);
    return 0;
}

// The map made into OUTPUT's picture at the size settled, and written.
int write_depth_picture(const Options& o, const Request& r, const fuse::OutputFormat& format,
                        Source* source)
{
    Levels levels;
    levels.normalize = !o.noNormalize;
    levels.invert = o.invert;
    // A PNG stores a grey picture as grey: a third of the bytes to deflate.
    const color_space space = format.type == B_PNG_FORMAT ? B_GRAY8 : B_RGB32;
    std::unique_ptr<BBitmap> picture =
        MakeDepthPicture(source->map, r.width, r.height, levels, space);
    source->map = depth_map();
    if (!picture)
        return fail(kRunFailed, "out of memory making the depth picture");
    std::string why;
    if (fuse::WriteOutput(picture.get(), format, r.toOutput ? nullptr : r.output.c_str(),
                          STDOUT_FILENO, &why) != B_OK)
        return fail(kRunFailed, fuse::CannotWrite(r.output.c_str()) + ": " + why);
    return 0;
}

} // namespace

int Main(int argc, char** argv)
{
    fuse::WatchStandardOutput();
    Options o;
    CLI::App app(kTool, kTool);
    define_options(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        std::string what = error.what();
        return usage_error(what.substr(0, what.find('\n')));
    }
    o.textGiven = app.count("--text") > 0;
    if (int status = answer_query(o); status >= 0)
        return status;

    Request r;
    if (int status = settle_request(app, o, &r); status != 0)
        return status;
    // Clips: a model turning, or an animated depth picture passed through.
    ClipRequest clip;
    if (const std::string problem = settle_clip(app, o, r.input, &clip); !problem.empty())
        return usage_error(problem);
    if (clip.frames > 0 || clip.inputKind != fuse::ClipKind::kStill)
        return run_clip(o, clip, r.input, r.output, r.toOutput, r.width, r.height, r.angles,
                        r.mostDrawn);
    fuse::OutputFormat format;
    if (int status = settle_output_format(o, r.output, &format); status != 0)
        return status;

    Source source;
    if (int status = o.textGiven ? read_text(o, &r, &source) : read_input(o, &r, &source);
        status != 0)
        return status;
    // The output's size: the photo's as shown, or the picture's own.
    if (int status =
            settle_own_size(o, source.map.photoWidth > 0 ? source.map.photoWidth : source.map.width,
                            source.map.photoHeight > 0 ? source.map.photoHeight : source.map.height,
                            &r.width, &r.height);
        status != 0)
        return status;
    return write_depth_picture(o, r, format, &source);
}

} // namespace depth
