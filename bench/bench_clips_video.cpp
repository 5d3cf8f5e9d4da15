// pellara-fuse over video. BM_VideoToMp4 is the whole process on a 1920 x
// 1080 depth video (an H.264 MP4 of a sphere crossing a far background, 6 px
// a frame) to an MP4 with random dots, 30 or 300 frames, counted in frames a
// second, with the process's peak memory; BM_FrameCost1080 is one frame of
// a clip (steady) against a still picture of that size, the engine alone,
// so that encoding is left aside.
#include <Bitmap.h>
#include <Frames.h>
#include <FuseJob.h>
#include <StereogramKinds.h>
#include <Video.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int32 kWidth = 1920, kHeight = 1080;

std::unique_ptr<BBitmap> sphere_frame(int32 i, int32 frames)
{
    auto frame = std::make_unique<BBitmap>(BRect(0, 0, kWidth - 1, kHeight - 1), B_RGB32);
    auto* bits = static_cast<uint32*>(frame->Bits());
    const double cx = kWidth / 2.0 - frames * 3 + i * 6, cy = kHeight / 2.0, r = 300;
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
        (std::filesystem::temp_directory_path() / "pellara-video-XXXXXX").string();
    return mkdtemp(pattern.data());
}

// Argument: the number of frames.
void BM_VideoToMp4(benchmark::State& state)
{
    if (fuse::VideoUnavailable() != nullptr) {
        state.SkipWithError(fuse::VideoUnavailable());
        return;
    }
    const int32 frames = int32(state.range(0));
    const std::string folder = scratch_folder();
    const std::string depth = folder + "/sphere.mp4", out = folder + "/out.mp4";
    auto writer = fuse::CreateFrameWriter(fuse::ClipFormat::kMp4, depth);
    std::string why;
    for (int32 i = 0; i < frames; i++)
        if (writer->Add(sphere_frame(i, frames).get(), 40, &why) != B_OK)
            break;
    if (!why.empty() || writer->Finish(&why) != B_OK) {
        state.SkipWithError(why.c_str());
        return;
    }
    long peak = 0;
    for (auto _ : state) {
        pid_t child = fork();
        if (child == 0) {
            execl(PELLARA_FUSE_PATH, PELLARA_FUSE_PATH, depth.c_str(), out.c_str(), "--random-dot",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("pellara-fuse failed");
            break;
        }
        peak = std::max(peak, usage.ru_maxrss);
    }
    state.counters["frames_per_second"] = benchmark::Counter(
        double(frames) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["peak_MiB"] = double(peak) / 1024;
    state.counters["out_MiB"] = double(std::filesystem::file_size(out)) / (1024 * 1024);
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_VideoToMp4)
    ->ArgName("frames")
    ->Arg(30)
    ->Arg(300)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// Argument: steady (1) or still (0).
void BM_FrameCost1080(benchmark::State& state)
{
    StereogramOptions options;
    options.randomDot = true;
    options.steady = state.range(0) != 0;
    int32 i = 0;
    std::unique_ptr<BBitmap> frames[4];
    for (int32 k = 0; k < 4; k++)
        frames[k] = sphere_frame(k * 25, 100);
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
BENCHMARK(BM_FrameCost1080)->ArgName("steady")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
