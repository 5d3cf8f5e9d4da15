// pellara-fuse over clips. BM_ClipToWebp is the whole process on 48 frames
// of 640 x 360 (a sphere crossing a flat background, 4 px a frame) to an
// animated WebP, counted in frames a second; BM_FrameCost is one frame of a
// clip (steady) against a still picture of the same size and kind, the
// engine alone, so that encoding is left aside.
#include <Bitmap.h>
#include <Frames.h>
#include <FuseJob.h>
#include <StereogramKinds.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int32 kWidth = 640, kHeight = 360, kFrames = 48;

std::unique_ptr<BBitmap> sphere_frame(int32 i)
{
    auto frame = std::make_unique<BBitmap>(BRect(0, 0, kWidth - 1, kHeight - 1), B_RGB32);
    auto* bits = static_cast<uint32*>(frame->Bits());
    const double cx = kWidth / 2.0 - kFrames * 2 + i * 4, cy = kHeight / 2.0, r = 60;
    for (int32 y = 0; y < kHeight; y++)
        for (int32 x = 0; x < kWidth; x++) {
            const double dx = (x + 0.5 - cx) / r, dy = (y + 0.5 - cy) / r, r2 = dx * dx + dy * dy;
            const uint32 v = r2 < 1 ? uint32(std::lround(255 * std::sqrt(1 - r2))) : 0;
            bits[size_t(y) * kWidth + size_t(x)] = 0xFF000000u | v * 0x010101u;
        }
    return frame;
}

std::string scratch_folder()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pellara-clips-XXXXXX").string();
    return mkdtemp(pattern.data());
}

void BM_ClipToWebp(benchmark::State& state)
{
    const std::string folder = scratch_folder();
    const std::string depth = folder + "/sphere.webp", out = folder + "/out.webp";
    auto writer = fuse::CreateFrameWriter(fuse::ClipFormat::kWebp, depth);
    std::string why;
    for (int32 i = 0; i < kFrames; i++)
        writer->Add(sphere_frame(i).get(), 40, &why);
    if (writer->Finish(&why) != B_OK) {
        state.SkipWithError(why.c_str());
        return;
    }
    const char* extra = state.range(0) == 0 ? nullptr : "--method";
    for (auto _ : state) {
        pid_t child = fork();
        if (child == 0) {
            execl(PELLARA_FUSE_PATH, PELLARA_FUSE_PATH, depth.c_str(), out.c_str(), "--random-dot",
                  extra, extra != nullptr ? "symmetric" : nullptr, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("pellara-fuse failed");
            break;
        }
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        double(kFrames) * double(state.iterations()), benchmark::Counter::kIsRate);
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ClipToWebp)
    ->ArgName("symmetric")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// Arguments: the method (0 window, 1 symmetric), steady (1) or still (0).
void BM_FrameCost(benchmark::State& state)
{
    StereogramOptions options;
    options.randomDot = true;
    options.method = state.range(0) == 0 ? StereogramOptions::Method::kWindow
                                         : StereogramOptions::Method::kSymmetric;
    options.steady = state.range(1) != 0;
    int32 i = 0;
    std::unique_ptr<BBitmap> frames[4];
    for (int32 k = 0; k < 4; k++)
        frames[k] = sphere_frame(k * 12);
    // The engine's trace line goes nowhere while the frames are timed.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    for (auto _ : state) {
        const BBitmap* from = frames[i++ % 4].get();
        auto depth = std::make_unique<BBitmap>(from->Bounds(), B_RGB32);
        std::memcpy(depth->Bits(), from->Bits(), size_t(from->BitsLength()));
        std::unique_ptr<BBitmap> made(fuse::MakeStereogram(std::move(depth), nullptr, options));
        benchmark::DoNotOptimize(made.get());
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(devNull);
}
BENCHMARK(BM_FrameCost)
    ->ArgNames({"symmetric", "steady"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
