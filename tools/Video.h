// pellara-fuse's video clips through FFmpeg's libraries, loaded when the
// first video comes (the package only recommends them): MP4, MOV, MKV, WebM
// and AVI read frame by frame; MP4 (H.264) and WebM (VP9) written, their
// packets streamed to an unnamed temporary file, so that memory does not
// grow with the number of frames.
#ifndef FUSE_VIDEO_H
#define FUSE_VIDEO_H

#include "Frames.h"

namespace fuse {

// Set to anything, FFmpeg's libraries are taken as missing (for tests of
// the refusal).
constexpr const char* kNoVideoLibrariesVariable = "PELLARA_VIDEO_LIBRARIES_MISSING";

// Null when video can be read and written here, else one line saying which
// Debian packages to install.
const char* VideoUnavailable();

// A reader of path's video stream. Its packets are counted first without
// decoding them (bounded by maxFrames); each frame lasts until the next
// one's timestamp.
std::unique_ptr<FrameReader> OpenVideoFrames(const char* path, uint32 maxFrames, std::string* why);

// A writer of H.264 in MP4 (format kMp4) or VP9 in WebM (kWebm).
std::unique_ptr<FrameWriter> CreateVideoWriter(ClipFormat format, const std::string& path);

} // namespace fuse

#endif // FUSE_VIDEO_H
