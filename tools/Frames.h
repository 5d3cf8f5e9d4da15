// pellara-fuse over clips: frames read one at a time from an animated GIF,
// an animated WebP, an APNG, a video or numbered pictures, and written one
// at a time as an animated GIF, an animated WebP, an APNG, a video (MP4,
// WebM) or numbered PNGs, so that
// memory does not grow with the number of frames (the encoded bytes of an
// animated file aside).
#ifndef FUSE_FRAMES_H
#define FUSE_FRAMES_H

#include <SupportDefs.h>

#include <cstdint>
#include <memory>
#include <string>

class BBitmap;

namespace fuse {

constexpr uint32 kDefaultMaxFrames = 10000;
constexpr uint32 kDefaultFramesPerSecond = 25;

// What a DEPTH or PATTERN holds, told by content (a sequence by its name's
// printf form, "depth-%04d.png").
enum class ClipKind
{
    kStill,    // one picture, read as the still tool reads it
    kGif,      // GIF of more than one frame
    kWebp,     // WebP with an animation chunk
    kApng,     // PNG with an animation control chunk
    kVideo,    // MP4, MOV, MKV, WebM, AVI (through FFmpeg)
    kSequence, // numbered pictures
};

// The kind of what path names; a path that cannot be opened is kStill (its
// reader then says why).
ClipKind ClipKindOf(const char* path);
// Whether name holds one printf conversion of a whole number (%d, %04d) and
// no other '%' but "%%".
bool IsSequenceName(const std::string& name);
// The name of frame number under a sequence name.
std::string SequenceFileName(const std::string& name, uint64 number);

// A B_RGB32 frame of width x height, its rows packed; null when there is
// no memory for it.
std::unique_ptr<BBitmap> NewFramePicture(uint32 width, uint32 height);

struct Frame
{
    std::unique_ptr<BBitmap> picture;
    uint32 milliseconds = 0;
};

class FrameReader
{
public:
    virtual ~FrameReader() = default;
    // Frames in the clip, known before the first is read.
    virtual uint32 Count() const = 0;
    // The next frame; B_OK, or a reader's status (B_ILLEGAL_DATA,
    // B_NO_MEMORY, ...) with *why saying it in words.
    virtual status_t Next(Frame* frame, std::string* why) = 0;
};

// A reader for path's frames, or null with *why in words. maxFrames bounds
// the count, framesPerSecond gives a sequence's durations. Every frame's
// size is checked against the picture budget before it is decoded.
std::unique_ptr<FrameReader> OpenFrames(const char* path, ClipKind kind, uint32 maxFrames,
                                        uint32 framesPerSecond, std::string* why);

enum class ClipFormat
{
    kNone,
    kGif,
    kWebp,
    kApng,
    kSequence,
    kMp4,  // H.264
    kWebm, // VP9
};

// The animated format OUTPUT's name or --format asks for; kNone for a still
// one.
ClipFormat ClipFormatFromPath(const std::string& path);
ClipFormat ClipFormatFromName(const std::string& name);

class FrameWriter
{
public:
    virtual ~FrameWriter() = default;
    // Each frame the same size; the writer keeps nothing of it.
    virtual status_t Add(const BBitmap* frame, uint32 milliseconds, std::string* why) = 0;
    // Puts the clip where the path names (through SafeFileWriter), or
    // leaves nothing behind.
    virtual status_t Finish(std::string* why) = 0;
};

std::unique_ptr<FrameWriter> CreateFrameWriter(ClipFormat format, const std::string& path);

// The colours of picture reduced to at most colors (2 to 256) in place, the
// same colour always mapped to the same one; false when it cannot be done.
bool ReduceColours(BBitmap* picture, uint32 colors);

// Whether a frame of width x height is within the picture budget, and the
// words for one that is not (as the still reader words it).
bool FrameAdmitted(uint64 width, uint64 height);
std::string FrameSizeWords(uint64 width, uint64 height);

} // namespace fuse

#endif // FUSE_FRAMES_H
