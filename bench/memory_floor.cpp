// The memory floor of a frame pass: one plain loop that reads the source
// frame and 0, 1 or 2 maps of 32-bit entries once each and writes the
// destination once.  No effect that reads that much can be faster on this
// machine, so the effects' times are given as multiples of it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace kzrbench {
namespace {

// Kept out of line and compiled with the auto-vectoriser at full strength
// (see CMakeLists.txt), so the loop runs at the width the compiler picks.
// The sums stop the compiler from turning the pass into a plain copy of the
// source; the 0-map pass is one.
[[gnu::noinline]] void Pass0(const uint32_t* __restrict src, uint32_t* __restrict dst, size_t n) {
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i];
}

[[gnu::noinline]] void Pass1(const uint32_t* __restrict src, const uint32_t* __restrict a,
                             uint32_t* __restrict dst, size_t n) {
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i] + a[i];
}

[[gnu::noinline]] void Pass2(const uint32_t* __restrict src, const uint32_t* __restrict a,
                             const uint32_t* __restrict b, uint32_t* __restrict dst, size_t n) {
    for (size_t i = 0; i < n; ++i)
        dst[i] = src[i] + (a[i] ^ b[i]);
}

void BM_Floor(benchmark::State& state, int maps, FrameSize size) {
    const size_t n = size_t{size.width} * size.height;
    const refhost::FramePixels& src = SourceFrame(size);
    // Written before the timed loop, so no page is first touched inside it;
    // the maps on large pages as the module's own are.
    refhost::FramePixels a(maps >= 1 ? n : 0), b(maps >= 2 ? n : 0), dst(n);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<uint32_t>(i) << 4;
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint32_t>(i) * 3u;
    for (auto _ : state) {
        Evict(state);
        benchmark::DoNotOptimize(src.data());
        if (maps == 0)
            Pass0(src.data(), dst.data(), n);
        else if (maps == 1)
            Pass1(src.data(), a.data(), dst.data(), n);
        else
            Pass2(src.data(), a.data(), b.data(), dst.data(), n);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n * 4 * (2 + maps)));
}

}  // namespace

void RegisterFloorBenchmarks() {
    for (const FrameSize& size : kSizes)
        for (int maps : {0, 1, 2})
            Timed(benchmark::RegisterBenchmark(
                ("floor/" + std::to_string(maps) + "maps/" + size.Name()).c_str(), BM_Floor, maps,
                size));
}

}  // namespace kzrbench
