// Stereo pairs judged on scenes with ground-truth disparity (fetched by
// scripts/stereo-scenes.sh; PELLARA_STEREO_SCENES names the folder): bad2,
// rank correlation and coverage of pellara-depth's match beside OpenCV's
// matcher and filter at their sample's settings, and the time of each. And
// the speed of a 12 Mpx pair made here.
#include <Bitmap.h>
#include <BitmapReading.h>
#include <DepthMaps.h>
#include <StereoPairs.h>
#include <TranslationUtils.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace {

std::string scenes()
{
    const char* given = std::getenv("PELLARA_STEREO_SCENES");
    return given ? given : "build/stereo-scenes";
}

std::unique_ptr<BBitmap> load(const std::string& path)
{
    return std::unique_ptr<BBitmap>(BTranslationUtils::GetBitmapFile(path.c_str()));
}

float sample(const BBitmap& bitmap, int x, int y)
{
    const uint32* row = reinterpret_cast<const uint32*>(static_cast<const uint8*>(bitmap.Bits()) +
                                                        size_t(y) * size_t(bitmap.BytesPerRow()));
    return float(row[x] & 0xFF);
}

struct Scores
{
    double bad2 = 0, rank = 0, coverage = 0;
    double bad2Covered = 0; // among the pixels with a value only
};

std::vector<double> ranks(const std::vector<double>& values)
{
    std::vector<size_t> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
    std::vector<double> out(values.size());
    for (size_t i = 0; i < order.size();) {
        size_t j = i;
        while (j < order.size() && values[order[j]] == values[order[i]])
            j++;
        for (size_t k = i; k < j; k++)
            out[order[k]] = double(i + j - 1) / 2;
        i = j;
    }
    return out;
}

// The map against the ground truth (disparity times 4, 0 unknown) on the
// pixels the right view also sees (the two truths agree there): the map
// fitted to the truth by least squares, then the share off by more than
// 2 px. A pixel without a value counts as bad and is left out of the rank
// correlation.
Scores score(const depth_map& map, const BBitmap& truthLeft, const BBitmap& truthRight)
{
    const int width = map.width, height = map.height;
    std::vector<double> got, want;
    size_t seen = 0, covered = 0;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const float d = sample(truthLeft, x, y);
            if (d == 0)
                continue;
            const int at = int(std::lround(x - d / 4));
            if (at < 0 || std::fabs(sample(truthRight, at, y) - d) > 4)
                continue; // occluded
            seen++;
            const float v = depth_map_value(map, size_t(y) * size_t(width) + size_t(x));
            if (std::isnan(v))
                continue;
            covered++;
            got.push_back(v);
            want.push_back(d / 4);
        }
    Scores s;
    s.coverage = double(covered) / double(seen);
    const double n = double(got.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < got.size(); i++) {
        sx += got[i], sy += want[i], sxx += got[i] * got[i], sxy += got[i] * want[i];
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx), offset = (sy - slope * sx) / n;
    size_t bad = seen - covered;
    for (size_t i = 0; i < got.size(); i++)
        if (std::fabs(slope * got[i] + offset - want[i]) > 2)
            bad++;
    s.bad2 = double(bad) / double(seen);
    s.bad2Covered = double(bad - (seen - covered)) / double(covered);
    const std::vector<double> a = ranks(got), b = ranks(want);
    const double mean = (n - 1) / 2;
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < a.size(); i++) {
        ab += (a[i] - mean) * (b[i] - mean);
        aa += (a[i] - mean) * (a[i] - mean);
        bb += (b[i] - mean) * (b[i] - mean);
    }
    s.rank = ab / std::sqrt(aa * bb);
    return s;
}

void Scene(benchmark::State& state, const char* name, bool baseline)
{
    const std::string folder = scenes() + "/" + name + "/";
    auto left = load(folder + "im2.png"), right = load(folder + "im6.png");
    auto truthLeft = load(folder + "disp2.png"), truthRight = load(folder + "disp6.png");
    if (!left || !right || !truthLeft || !truthRight) {
        state.SkipWithError("no scene: run scripts/stereo-scenes.sh");
        return;
    }
    depth_map map;
    pairs::PairReport report;
    for (auto _ : state) {
        std::string why;
        const status_t status = baseline ? pairs::BaselineDisparity(*left, *right, {}, &map, &why)
                                         : pairs::DepthFromViews(*left, *right, {}, &map,
                                                                 &report, &why);
        if (status != B_OK) {
            state.SkipWithError(why.c_str());
            return;
        }
    }
    const Scores s = score(map, *truthLeft, *truthRight);
    state.counters["bad2_pct"] = 100 * s.bad2;
    state.counters["bad2_covered_pct"] = 100 * s.bad2Covered;
    state.counters["rank"] = s.rank;
    state.counters["coverage_pct"] = 100 * s.coverage;
    if (!baseline) {
        state.counters["min_disp"] = report.minDisparity;
        state.counters["disps"] = report.disparities;
    }
}

// A textured picture and itself shifted by 40 to 160 px across, at a
// phone's 12 Mpx (4032x3024: the whole road, with the result brought up to
// that size) and at the working size (1155x866: the match alone).
void Shifted(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1));
    BBitmap left(pixel_bounds(width, height), B_RGB32), right(pixel_bounds(width, height), B_RGB32);
    for (int y = 0; y < height; y++) {
        uint32* l = reinterpret_cast<uint32*>(static_cast<uint8*>(left.Bits()) +
                                              size_t(y) * size_t(left.BytesPerRow()));
        uint32* r = reinterpret_cast<uint32*>(static_cast<uint8*>(right.Bits()) +
                                              size_t(y) * size_t(right.BytesPerRow()));
        const int cell = std::max(2, width / 670);
        for (int x = 0; x < width; x++) {
            auto at = [&](int u) {
                const uint32 h = (uint32(u / cell) * 73856093u) ^ (uint32(y / cell) * 19349663u);
                const uint32 v = (h * 2654435761u) >> 24;
                return 0xFF000000u | v << 16 | v << 8 | v;
            };
            const int shift = (40 + 120 * x / width) * width / 4032;
            l[x] = at(x);
            r[x] = at(x + shift);
        }
    }
    for (auto _ : state) {
        depth_map map;
        pairs::DepthFromViews(left, right, {}, &map);
        benchmark::DoNotOptimize(map.values.data());
    }
}

} // namespace

BENCHMARK_CAPTURE(Scene, cones_ours, "cones", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scene, cones_sgbm_wls, "cones", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scene, teddy_ours, "teddy", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scene, teddy_sgbm_wls, "teddy", true)->Unit(benchmark::kMillisecond);
BENCHMARK(Shifted)
    ->Args({4032, 3024})
    ->Args({1155, 866})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

BENCHMARK_MAIN();
