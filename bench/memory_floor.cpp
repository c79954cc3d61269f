// The memory floor of a frame pass: one plain loop that reads the source
// frame and 0, 1 or 2 maps of 32-bit entries once each and writes the
// destination once.  No effect that reads that much can be faster on this
// machine, so the effects' times are given as multiples of it.  The tasks2
// cases run the same pass on two threads, in sixteen bands taken from a
// queue as Process takes them: how much a second core can gain where memory
// is all the work.
#include <benchmark/benchmark.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <atomic>
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

void Pass(int maps, const uint32_t* src, const uint32_t* a, const uint32_t* b, uint32_t* dst,
          size_t n) {
    if (maps == 0)
        Pass0(src, dst, n);
    else if (maps == 1)
        Pass1(src, a, dst, n);
    else
        Pass2(src, a, b, dst, n);
}

void BM_Floor(benchmark::State& state, int maps, FrameSize size, int tasks) {
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
        if (tasks == 1) {
            Pass(maps, src.data(), a.data(), b.data(), dst.data(), n);
        } else {
            constexpr size_t kBands = 16;
            std::atomic<size_t> next{0};
            tbb::parallel_for(
                tbb::blocked_range<int>(0, tasks, 1), [&](const tbb::blocked_range<int>&) {
                    for (size_t band; (band = next.fetch_add(1)) < kBands;) {
                        const size_t first = n * band / kBands;
                        const size_t count = n * (band + 1) / kBands - first;
                        Pass(maps, src.data() + first, maps >= 1 ? a.data() + first : nullptr,
                             maps >= 2 ? b.data() + first : nullptr, dst.data() + first, count);
                    }
                });
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(n * 4 * (2 + maps)));
}

}  // namespace

void RegisterFloorBenchmarks() {
    for (const FrameSize& size : kSizes)
        for (int maps : {0, 1, 2})
            for (int tasks : {1, 2})
                Timed(benchmark::RegisterBenchmark(("floor/" + std::to_string(maps) + "maps/" +
                                                    size.Name() + (tasks == 2 ? "/tasks2" : ""))
                                                       .c_str(),
                                                   BM_Floor, maps, size, tasks));
}

}  // namespace kzrbench
