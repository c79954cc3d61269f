// Prepare and Process times of the effects on 1920x1080 frames.
#include <benchmark/benchmark.h>

#include <deque>
#include <string>

#include "refhost/refhost.h"
#include "refhost/testcard.h"

namespace {

constexpr uint32_t kW = 1920, kH = 1080;

refhost::Module& Mod() {
    static refhost::Module m(refhost::DefaultModulePath());
    return m;
}

void BM_Prepare(benchmark::State& state, const char* effect) {
    refhost::Instance fx(Mod(), Mod().FindEffect(effect));
    for (auto _ : state) {
        fx.Unprepare();
        benchmark::DoNotOptimize(fx.Prepare(kW, kH));
    }
}

void BM_Process(benchmark::State& state, const char* effect, int cpuLevel) {
    refhost::Instance fx(Mod(), Mod().FindEffect(effect));
    fx.SetCpuLevel(cpuLevel);
    const std::vector<uint32_t> src = refhost::MakeTestCard(kW, kH);
    std::vector<uint32_t> dst(src.size());
    fx.Prepare(kW, kH);
    for (auto _ : state)
        benchmark::DoNotOptimize(fx.Render(src.data(), dst.data()));
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

// The drain split into bands run by the parallel task runner.
void BM_ProcessTasks(benchmark::State& state, const char* effect, int cpuLevel, int tasks) {
    refhost::Instance fx(Mod(), Mod().FindEffect(effect));
    fx.SetCpuLevel(cpuLevel);
    fx.SetTaskCount(tasks);
    const std::vector<uint32_t> src = refhost::MakeTestCard(kW, kH);
    std::vector<uint32_t> dst(src.size());
    fx.Prepare(kW, kH);
    for (auto _ : state)
        benchmark::DoNotOptimize(fx.Render(src.data(), dst.data()));
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void Register() {
    for (size_t i = 0; i < Mod().EffectCount(); ++i) {
        if (!Mod().Available(i))
            continue;
        static std::deque<std::string> names;  // stable addresses for the registered names
        names.push_back(refhost::ShortName(Mod().Effect(i)));
        const char* name = names.back().c_str();
        benchmark::RegisterBenchmark(("prepare/" + names.back()).c_str(), BM_Prepare, name)
            ->Unit(benchmark::kMillisecond);
        for (int level : {0, 3, 8})
            benchmark::RegisterBenchmark(
                ("process/" + names.back() + "/cpu" + std::to_string(level)).c_str(), BM_Process,
                name, level)
                ->Unit(benchmark::kMillisecond);
    }
    for (int level : {0, 3, 8})
        benchmark::RegisterBenchmark(
            ("process/drain/cpu" + std::to_string(level) + "/tasks2").c_str(), BM_ProcessTasks,
            "drain", level, 2)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
}

const int kRegistered = (Register(), 0);

}  // namespace
