// The effects driven through the reference host as a video editor drives
// them: first Prepare, Prepare again after a change of the first number
// parameter (at one and two task counts) and of the second, a keyframe
// (a parameter changed before Process), and Process at each processor level
// and task count.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/bench_common.h"

namespace kzrbench {
namespace {

// Two in-range values of a number parameter that a keyframe alternates
// between: its default and a quarter of the way towards the far end.
struct Toggle {
    int index = -1;
    float values[2] = {0, 0};
};

Toggle ToggleOf(const kzr::EffectDescriptor& fx, int nth = 0) {
    Toggle t;
    t.index = FirstFloatParam(fx, nth);
    if (t.index < 0)
        return t;
    const kzr::ParamDescriptor& p = fx.Params[t.index];
    float lo, hi, def;
    std::memcpy(&lo, p.MinValue, 4);
    std::memcpy(&hi, p.MaxValue, 4);
    std::memcpy(&def, p.DefaultValue, 4);
    const float far = (hi - def) >= (def - lo) ? hi : lo;
    t.values[0] = def;
    t.values[1] = def + (far - def) * 0.25f;
    return t;
}

bool Ok(benchmark::State& state, kzr::Status s, const char* what) {
    if (s == kzr::kOk)
        return true;
    state.SkipWithError((std::string(what) + " failed with status " + std::to_string(s)).c_str());
    return false;
}

// First Prepare of an unprepared instance: buffers allocated, their pages
// touched for the first time, and built in `tasks` bands of rows.
void BM_Prepare(benchmark::State& state, size_t effect, FrameSize size, int tasks) {
    refhost::Instance fx(TheModule(), effect);
    fx.SetTaskCount(tasks);
    for (auto _ : state) {
        state.PauseTiming();
        fx.Unprepare();
        state.ResumeTiming();
        Evict(state);
        if (!Ok(state, fx.Prepare(size.width, size.height), "Prepare"))
            break;
    }
}

// Prepare again with one number parameter changed (the first, or the
// second with `nth` 1), the maps built in `tasks` bands of rows.
void BM_Rebuild(benchmark::State& state, size_t effect, FrameSize size, int tasks, int nth) {
    refhost::Instance fx(TheModule(), effect);
    fx.SetTaskCount(tasks);
    const Toggle t = ToggleOf(fx.Effect(), nth);
    if (!Ok(state, fx.Prepare(size.width, size.height), "Prepare"))
        return;
    int k = 0;
    for (auto _ : state) {
        Evict(state);
        k ^= 1;
        fx.SetFloat(static_cast<size_t>(t.index), t.values[k]);
        if (!Ok(state, fx.Prepare(size.width, size.height), "Prepare"))
            break;
    }
}

// One frame after a parameter change: the maps are rebuilt in place inside
// Process and the frame is rendered, at the processor's level, in `tasks`
// bands.
void BM_Keyframe(benchmark::State& state, size_t effect, FrameSize size, int tasks) {
    refhost::Instance fx(TheModule(), effect);
    fx.SetTaskCount(tasks);
    const Toggle t = ToggleOf(fx.Effect());
    const refhost::FramePixels& src = SourceFrame(size);
    refhost::FramePixels dst(src.size());
    if (!Ok(state, fx.Prepare(size.width, size.height), "Prepare"))
        return;
    int k = 0;
    for (auto _ : state) {
        Evict(state);
        k ^= 1;
        fx.SetFloat(static_cast<size_t>(t.index), t.values[k]);
        if (!Ok(state, fx.Render(src.data(), dst.data()), "Process"))
            break;
        benchmark::ClobberMemory();
    }
}

// Frames of an unchanged instance: pure resampling.
void BM_Process(benchmark::State& state, size_t effect, FrameSize size, int cpuLevel, int tasks) {
    refhost::Instance fx(TheModule(), effect);
    fx.SetCpuLevel(cpuLevel);
    fx.SetTaskCount(tasks);
    const refhost::FramePixels& src = SourceFrame(size);
    refhost::FramePixels dst(src.size());
    if (!Ok(state, fx.Prepare(size.width, size.height), "Prepare"))
        return;
    for (auto _ : state) {
        Evict(state);
        if (!Ok(state, fx.Render(src.data(), dst.data()), "Process"))
            break;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t{size.width} * size.height);
}

}  // namespace

void RegisterEffectBenchmarks() {
    refhost::Module& m = TheModule();
    for (size_t i = 0; i < m.EffectCount(); ++i) {
        if (!m.Available(i))
            continue;
        const std::string name = refhost::ShortName(m.Effect(i));
        const bool hasNumber = FirstFloatParam(m.Effect(i)) >= 0;
        for (const FrameSize& size : kSizes) {
            const std::string tail = "/" + name + "/" + size.Name();
            auto add = [](const std::string& n, auto fn, auto... args) {
                Timed(benchmark::RegisterBenchmark(n.c_str(), fn, args...));
            };
            add("prepare" + tail, BM_Prepare, i, size, 1);
            add("prepare" + tail + "/tasks2", BM_Prepare, i, size, 2);
            if (FirstFloatParam(m.Effect(i), 1) >= 0)
                add("rebuild2" + tail, BM_Rebuild, i, size, 1, 1);
            if (hasNumber) {
                add("rebuild" + tail, BM_Rebuild, i, size, 1, 0);
                add("rebuild" + tail + "/tasks2", BM_Rebuild, i, size, 2, 0);
                add("keyframe" + tail, BM_Keyframe, i, size, 1);
                add("keyframe" + tail + "/tasks2", BM_Keyframe, i, size, 2);
            }
            for (int level : {0, 3})
                add("process" + tail + "/cpu" + std::to_string(level), BM_Process, i, size, level,
                    1);
            // AVX2 where the processor has it.
            for (int level = 8; level <= refhost::DetectCpuLevel(); ++level)
                for (int tasks : {1, 2})
                    add("process" + tail + "/cpu" + std::to_string(level) + "/tasks" +
                            std::to_string(tasks),
                        BM_Process, i, size, level, tasks);
        }
    }
}

}  // namespace kzrbench
