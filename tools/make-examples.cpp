// pellara-make-examples: writes the example depth pictures and pattern tile
// (examples/depth.png, examples/small-depth.png at half the size, for
// pictures small enough to show in a page, examples/pattern.png, and
// examples/moving-depth.webp, a dome gliding to and fro, for clips) into the
// folder given.
// Deterministic: the same files come out on every run.
#include <Bitmap.h>
#include <BitmapStream.h>
#include <DataIO.h>
#include <SafeFileWriter.h>
#include <TranslatorRoster.h>

#include <Frames.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr int32 kDepthWidth = 640;
constexpr int32 kDepthHeight = 400;
constexpr int32 kTile = 96;

uint32* row_of(BBitmap* bitmap, int32 y)
{
    return reinterpret_cast<uint32*>(static_cast<uint8*>(bitmap->Bits()) +
                                     size_t(y) * size_t(bitmap->BytesPerRow()));
}

// A raised disc with a ring around it: grey levels fall off over a few
// pixels at every edge, so the surfaces float without jagged steps.
BBitmap* make_depth(int32 divisor)
{
    const int32 width = kDepthWidth / divisor, height = kDepthHeight / divisor;
    const double scale = 1.0 / divisor;
    BBitmap* bitmap = new BBitmap(BRect(0, 0, width - 1, height - 1), B_RGB32);
    const double cx = width / 2.0, cy = height / 2.0;
    auto step = [](double distance, double edge, double softness) {
        double t = std::clamp((edge - distance) / softness + 0.5, 0.0, 1.0);
        return t * t * (3 - 2 * t);
    };
    for (int32 y = 0; y < height; y++) {
        uint32* row = row_of(bitmap, y);
        for (int32 x = 0; x < width; x++) {
            double r = std::hypot(x + 0.5 - cx, y + 0.5 - cy) / scale;
            double disc = step(r, 95, 8);
            double ring = step(r, 165, 6) * (1 - step(r, 135, 6));
            double level = std::max(disc, 0.55 * ring);
            uint32 v = uint32(std::lround(level * 255));
            row[x] = 0xFF000000u | (v << 16) | (v << 8) | v;
        }
    }
    return bitmap;
}

// A dome 30 pixels across the middle of 240 x 120, 4 pixels a frame there
// and back: 24 frames of 40 ms that loop without a jump.
bool save_moving_depth(const std::string& path, std::string* why)
{
    constexpr int32 kWidth = 240, kHeight = 120, kFrames = 24, kRadius = 30;
    auto writer = fuse::CreateFrameWriter(fuse::ClipFormat::kWebp, path);
    for (int32 i = 0; i < kFrames; i++) {
        const int32 at = i < kFrames / 2 ? i : kFrames - i;
        const double cx = kWidth / 2.0 + (at - kFrames / 4) * 4, cy = kHeight / 2.0;
        BBitmap frame(BRect(0, 0, kWidth - 1, kHeight - 1), B_RGB32);
        for (int32 y = 0; y < kHeight; y++) {
            uint32* row = row_of(&frame, y);
            for (int32 x = 0; x < kWidth; x++) {
                const double dx = (x + 0.5 - cx) / kRadius, dy = (y + 0.5 - cy) / kRadius;
                const double r2 = dx * dx + dy * dy;
                const uint32 v = r2 < 1 ? uint32(std::lround(255 * std::sqrt(1 - r2))) : 0;
                row[x] = 0xFF000000u | (v << 16) | (v << 8) | v;
            }
        }
        if (writer->Add(&frame, 40, why) != B_OK)
            return false;
    }
    return writer->Finish(why) == B_OK;
}

// Colourful noise from a fixed xorshift sequence.
BBitmap* make_pattern()
{
    BBitmap* bitmap = new BBitmap(BRect(0, 0, kTile - 1, kTile - 1), B_RGB32);
    uint32 state = 0x9E3779B9u;
    for (int32 y = 0; y < kTile; y++) {
        uint32* row = row_of(bitmap, y);
        for (int32 x = 0; x < kTile; x++) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            row[x] = 0xFF000000u | (state & 0x00FFFFFFu);
        }
    }
    return bitmap;
}

// Encoded whole before the file is touched, then put in place safely; false
// with *why set when either fails.
bool save_png(BBitmap* bitmap, const std::string& path, const char** why)
{
    *why = "the PNG encoder failed";
    BBitmapStream stream(bitmap); // owns the bitmap from here on
    BTranslatorRoster* roster = BTranslatorRoster::Default();
    translator_id id;
    if (roster->FindTranslator(B_PNG_FORMAT, &id) != B_OK)
        return false;
    BMallocIO encoded;
    if (roster->Translate(id, &stream, nullptr, &encoded, B_PNG_FORMAT) != B_OK)
        return false;
    SafeFileWriter writer;
    if (writer.WriteFile(path.c_str(), encoded.Buffer(), encoded.BufferLength()) != B_OK) {
        *why = writer.ErrorMessage();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: pellara-make-examples FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    for (auto [name, bitmap] :
         {std::pair{"depth.png", make_depth(1)}, std::pair{"small-depth.png", make_depth(2)},
          std::pair{"pattern.png", make_pattern()}}) {
        std::string path = folder + "/" + name;
        const char* why = nullptr;
        if (!save_png(bitmap, path, &why)) {
            fprintf(stderr, "pellara-make-examples: cannot write '%s': %s\n", path.c_str(), why);
            return 1;
        }
        printf("wrote %s\n", path.c_str());
    }
    const std::string moving = folder + "/moving-depth.webp";
    std::string why;
    if (!save_moving_depth(moving, &why)) {
        fprintf(stderr, "pellara-make-examples: cannot write '%s': %s\n", moving.c_str(),
                why.c_str());
        return 1;
    }
    printf("wrote %s\n", moving.c_str());
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "pellara-make-examples: cannot write to standard output: %s\n",
                SafeFileWriter::MessageFor(errno != 0 ? errno : EIO));
        return 1;
    }
    return 0;
}
