// The window's own costs on a 6000 x 6000 picture: dropping the depth PNG on
// the board (read, redraw), the first Fusion of a new window (its engine
// still cold), and saving the stereogram as PNG through the save panel's
// message. Each goes through the window's messages, as a user's action does.
#include <Pellara.h>
#include <PellaraBMPView.h>
#include <PellaraWin.h>

#include <Bitmap.h>
#include <Entry.h>
#include <FuseJob.h>
#include <Message.h>
#include <TranslatorFormats.h>
#include <TranslatorRoster.h>

#include <QApplication>
#include <QCoreApplication>
#include <QtGlobal>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr int32 kSide = 6000;

using Clock = std::chrono::steady_clock;

void drain_events()
{
    // A drained message may post more; a bounded number of rounds ends it.
    for (int round = 0; round < 50; round++) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

struct Files
{
    std::string folder, depth, pattern;
};

const Files& files()
{
    static Files f = [] {
        Files made;
        made.folder =
            (std::filesystem::temp_directory_path() / "pellara-window-XXXXXX").string();
        if (mkdtemp(made.folder.data()) == nullptr)
            return made;
        made.depth = made.folder + "/depth.png";
        made.pattern = made.folder + "/pattern.png";
        BBitmap depth(BRect(0, 0, kSide - 1, kSide - 1), B_RGB32);
        uint32* bits = static_cast<uint32*>(depth.Bits());
        const double c = kSide / 2.0;
        for (int32 y = 0; y < kSide; y++)
            for (int32 x = 0; x < kSide; x++) {
                double dx = (x - c) / c, dy = (y - c) / c, r2 = dx * dx + dy * dy;
                uint32 v = r2 < 0.36 ? uint32(255 * (1 - r2 / 0.36)) : 0;
                bits[size_t(y) * kSide + size_t(x)] = 0xFF000000u | v * 0x010101u;
            }
        BBitmap pattern(BRect(0, 0, 127, 127), B_RGB32);
        uint32 state = 12345;
        for (int32 i = 0; i < 128 * 128; i++) {
            state = state * 1664525u + 1013904223u;
            static_cast<uint32*>(pattern.Bits())[i] = 0xFF000000u | (state >> 8);
        }
        fuse::OutputFormat png;
        fuse::FormatFromName("png", &png);
        fuse::WritePicture(&depth, made.depth.c_str(), png);
        fuse::WritePicture(&pattern, made.pattern.c_str(), png);
        return made;
    }();
    return f;
}

// Drops a file on the board at a point of the view, as the desktop does.
void drop(PellaraWin* window, const std::string& path, BPoint where)
{
    BMessage message(B_SIMPLE_DATA);
    entry_ref ref(path.c_str());
    message.AddRef("refs", &ref);
    window->Lock();
    message.AddPoint("_drop_point_", window->view->ConvertToScreen(where));
    window->Unlock();
    window->PostMessage(&message, window->view);
    drain_events();
}

const BPoint kPicturePoint(60, 60);
const BPoint kPatternPoint(60, 185);

void BM_WindowDrop(benchmark::State& state)
{
    Pellara application;
    PellaraWin* window = application.window;
    drain_events();
    for (auto _ : state)
        drop(window, files().depth, kPicturePoint);
    if (window->view->bitmaps[PellaraBMPView::kPictureSlot] == nullptr)
        state.SkipWithError("the drop was not read");
}

void BM_WindowFirstFusion(benchmark::State& state)
{
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w"); // the engine's trace lines
    for (auto _ : state) {
        Pellara application;
        PellaraWin* window = application.window;
        drop(window, files().depth, kPicturePoint);
        drop(window, files().pattern, kPatternPoint);
        Clock::time_point start = Clock::now();
        BMessage fusion(kMsgFusion);
        window->PostMessage(&fusion);
        drain_events();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (window->view->bitmaps[PellaraBMPView::kFusionSlot] == nullptr) {
            state.SkipWithError("no stereogram");
            break;
        }
    }
    std::fclose(stdout);
    stdout = saved;
}

void BM_WindowSavePng(benchmark::State& state)
{
    Pellara application;
    PellaraWin* window = application.window;
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");
    drop(window, files().depth, kPicturePoint);
    drop(window, files().pattern, kPatternPoint);
    BMessage fusion(kMsgFusion);
    window->PostMessage(&fusion);
    drain_events();
    std::fclose(stdout);
    stdout = saved;
    translator_id png = 0;
    BTranslatorRoster::Default()->FindTranslator(B_PNG_FORMAT, &png);

    BMessage request(kMsgSaveFile);
    entry_ref folder(files().folder.c_str());
    request.AddRef("directory", &folder);
    request.AddString("name", "stereogram.png");
    request.AddInt32("be:translator", png);
    request.AddInt32("be:type", int32(B_PNG_FORMAT));
    for (auto _ : state) {
        window->PostMessage(&request);
        drain_events();
    }
    std::error_code ignored;
    if (!std::filesystem::exists(files().folder + "/stereogram.png", ignored))
        state.SkipWithError("nothing saved");
}

BENCHMARK(BM_WindowDrop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_WindowFirstFusion)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_WindowSavePng)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // One Qt application for the run; each benchmark makes its own Pellara.
    QApplication qt(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    if (!files().folder.empty())
        std::filesystem::remove_all(files().folder, ignored);
    return 0;
}
