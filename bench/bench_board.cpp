// Redrawing the whole image board with three 4096 x 4096 pictures in it.
#include <PellaraBMPView.h>

#include <Application.h>
#include <Bitmap.h>
#include <Window.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <QtGlobal>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

BBitmap* noisy_bitmap(int32 size, uint32 seed)
{
    auto* bitmap = new BBitmap(BRect(0, 0, size - 1, size - 1), B_RGB32, true, true);
    auto* words = static_cast<uint32*>(bitmap->Bits());
    uint32 state = seed;
    const size_t count = size_t(bitmap->BitsLength()) / 4;
    for (size_t i = 0; i < count; i++) {
        state = state * 1664525u + 1013904223u;
        words[i] = state; // alpha byte included: the view must draw it opaque
    }
    return bitmap;
}

void BM_BoardDraw(benchmark::State& state)
{
    const int32 size = int32(state.range(0));
    auto* window = new BWindow(BRect(100, 100, 600, 520), "bench", B_TITLED_WINDOW, 0);
    auto* board =
        new PellaraBMPView(BRect(0, 20, 500, 420), "PellaraBMPView", B_FOLLOW_ALL, B_WILL_DRAW);
    window->AddChild(board);
    for (int32 slot = 0; slot < 3; slot++)
        board->bitmaps[slot] = noisy_bitmap(size, 17u + uint32(slot));
    window->Show();
    QCoreApplication::processEvents();

    QWidget* widget = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if ((widget = top->findChild<QWidget*>("PellaraBMPView")) != nullptr)
            break;
    if (widget == nullptr) {
        state.SkipWithError("board widget not found");
        delete window;
        return;
    }
    for (auto _ : state) {
        // grab() runs the widget's whole paint pass, Draw included.
        QPixmap pixmap = widget->grab();
        benchmark::DoNotOptimize(pixmap);
    }
    delete window;
}

BENCHMARK(BM_BoardDraw)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    BApplication application("application/x-vnd.Ombrix.Pellara-bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
