// How long the second task of a call waits for its thread.  A call hands
// sixteen bands of 0.1 ms of busy work to two tasks on oneTBB, as Process and
// the map builders do with TaskCount 2 (eight bands per task from a queue),
// and records when the worker thread took its first band.  With cold caches
// the worker has slept through the eviction before every call, as it sleeps
// through a host's decoding between two frames; warm, the calls follow each
// other and the worker is still awake.
#include <benchmark/benchmark.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bench/bench_common.h"

namespace kzrbench {
namespace {

using Clock = std::chrono::steady_clock;

void SpinFor(std::chrono::microseconds span) {
    const Clock::time_point end = Clock::now() + span;
    while (Clock::now() < end) {
    }
}

void BM_TaskStart(benchmark::State& state) {
    constexpr int kBands = 16;
    constexpr auto kBandWork = std::chrono::microseconds(100);
    double waitedUs = 0, workerBands = 0, calls = 0, joined = 0;
    for (auto _ : state) {
        Evict(state);
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<int> next{0}, fromWorker{0};
        std::atomic<int64_t> workerFirst{INT64_MAX};
        const Clock::time_point start = Clock::now();
        tbb::parallel_for(tbb::blocked_range<int>(0, 2, 1), [&](const tbb::blocked_range<int>&) {
            const bool worker = std::this_thread::get_id() != caller;
            for (int band = next.fetch_add(1); band < kBands; band = next.fetch_add(1)) {
                if (worker && fromWorker.fetch_add(1) == 0)
                    workerFirst = (Clock::now() - start).count();
                SpinFor(kBandWork);
            }
        });
        calls += 1;
        workerBands += fromWorker.load();
        if (fromWorker.load() > 0) {
            joined += 1;
            waitedUs +=
                std::chrono::duration<double, std::micro>(Clock::duration(workerFirst.load()))
                    .count();
        }
    }
    // The wait is averaged over the calls the worker joined at all.
    state.counters["worker_wait_us"] = joined > 0 ? waitedUs / joined : 0.0;
    state.counters["worker_bands"] = calls > 0 ? workerBands / calls : 0.0;
    state.counters["worker_joined"] = calls > 0 ? joined / calls : 0.0;
}

}  // namespace

void RegisterTaskStartBenchmarks() {
    Timed(benchmark::RegisterBenchmark("taskstart/16bands/tasks2", BM_TaskStart));
}

}  // namespace kzrbench
