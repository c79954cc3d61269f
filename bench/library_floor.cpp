// What the drain's map builder would cost with the double-precision library
// calls alone for every pixel inside its circle (atan2, sqrt, cos, sin), at
// the default size (the circle touches the frame's shorter sides).  The
// "twist" pass is sqrt, cos and sin with the angles read from memory, as a
// rebuild for a new degree or direction has them.  The builder itself takes
// its sines and cosines four or two at a time from SinCos and asks the
// library only where that could change a map entry, so these passes show
// what that saves.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace kzrbench {
namespace {

template <bool keptAngles>
void BM_DrainLibraryCalls(benchmark::State& state, FrameSize size) {
    const int32_t w = static_cast<int32_t>(size.width), h = static_cast<int32_t>(size.height);
    const int32_t cx = w / 2, cy = h / 2;
    const int64_t r = (w < h ? w : h) / 2;
    std::vector<double> angles;
    if constexpr (keptAngles) {
        angles.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                angles[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] =
                    std::atan2(static_cast<double>(y - cy), static_cast<double>(x - cx));
    }
    int64_t inside = 0;
    for (auto _ : state) {
        double sum = 0.0;
        inside = 0;
        for (int32_t y = 0; y < h; ++y) {
            const int64_t dy = y - cy;
            for (int32_t x = 0; x < w; ++x) {
                const int64_t dx = x - cx, q = dx * dx + dy * dy;
                if (q > r * r)
                    continue;
                double theta;
                if constexpr (keptAngles)
                    theta = angles[static_cast<size_t>(y) * static_cast<size_t>(w) +
                                   static_cast<size_t>(x)];
                else
                    theta = std::atan2(static_cast<double>(dy), static_cast<double>(dx));
                const double dist = std::sqrt(static_cast<double>(q));
                const double phi = theta + 0.4 / (dist + 1.0);
                sum += std::cos(phi) * dist + std::sin(phi) * dist;
                ++inside;
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["pixels"] = static_cast<double>(inside);
}

}  // namespace

void RegisterLibraryFloorBenchmarks() {
    for (const FrameSize& size : kSizes) {
        benchmark::RegisterBenchmark(("libcalls/drain/" + size.Name()).c_str(),
                                     BM_DrainLibraryCalls<false>, size)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("libcalls/drain-twist/" + size.Name()).c_str(),
                                     BM_DrainLibraryCalls<true>, size)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
}

}  // namespace kzrbench
