#include "apps/fxhost/bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "apps/fxhost/interrupt.h"
#include "apps/fxhost/options.h"
#include "refhost/testcard.h"

namespace fxhost {
namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
    std::string effect;
    std::string name;
    Timing prepare;
    Timing process;
    double fps = 0;
};

Result Measure(const refhost::Module& module, size_t index, const refhost::Texts& texts,
               const Size& size, const refhost::FramePixels& source, const BenchOptions& o) {
    refhost::Instance fx(module, index);
    ApplyContext(fx, o.context);
    Result r;
    r.effect = refhost::ShortName(fx.Effect());
    r.name = texts.Text(fx.Effect().NameKey);

    std::vector<double> prepare, process;
    for (int i = 0; i < o.runs; ++i) {
        CheckInterrupted();
        fx.Unprepare();
        const auto t0 = Clock::now();
        PrepareOrThrow(fx, size.width, size.height);
        prepare.push_back(Milliseconds(Clock::now() - t0));
    }
    refhost::FramePixels dst = source;
    // One frame first: it clears the changed flags and warms the caches, so
    // the timed frames are plain resampling passes.
    fx.Render(source.data(), dst.data());
    for (int i = 0; i < o.runs; ++i) {
        CheckInterrupted();
        const auto t0 = Clock::now();
        const kzr::Status s = fx.Render(source.data(), dst.data());
        process.push_back(Milliseconds(Clock::now() - t0));
        if (s != kzr::kOk)
            throw refhost::Error(r.effect + " could not render: status " + StatusText(s));
    }
    r.prepare = Summarize(prepare);
    r.process = Summarize(process);
    r.fps = r.process.median > 0 ? 1000.0 / r.process.median : 0;
    return r;
}

nlohmann::ordered_json TimingJson(const Timing& t) {
    return {{"median", t.median}, {"mad", t.mad}, {"min", t.min}, {"max", t.max}};
}

}  // namespace

Timing Summarize(std::vector<double> samples) {
    Timing t;
    if (samples.empty())
        return t;
    t.median = Median(samples);
    t.min = *std::min_element(samples.begin(), samples.end());
    t.max = *std::max_element(samples.begin(), samples.end());
    std::vector<double> deviations;
    for (const double s : samples)
        deviations.push_back(std::abs(s - t.median));
    t.mad = Median(deviations);
    return t;
}

void Bench(const std::string& modulePath, const BenchOptions& o, std::ostream& out) {
    if (o.runs < 1)
        throw refhost::Error("--runs expects at least 1");
    const Size size = o.size.empty() ? Size{1920, 1080} : ParseSize(o.size, "--size");
    refhost::Module module(modulePath);
    const refhost::Texts texts = refhost::Texts::FromModule(module);
    std::vector<size_t> effects;
    if (o.effects.empty()) {
        for (size_t i = 0; i < module.EffectCount(); ++i)
            if (module.Available(i))
                effects.push_back(i);
    } else {
        for (const std::string& name : o.effects)
            effects.push_back(module.FindEffect(name));
    }
    if (effects.empty())
        throw refhost::Error(module.Path() + " carries no effects");
    const std::vector<uint32_t> card = refhost::MakeTestCard(size.width, size.height);
    const refhost::FramePixels source(card.begin(), card.end());

    // The settings as the instances see them.
    int cpuLevel = o.context.cpuLevel >= 0 ? o.context.cpuLevel : refhost::DetectCpuLevel();
    int tasks = TaskCountOf(o.context);

    std::vector<Result> results;
    if (!o.json) {
        char head[256];
        std::snprintf(head, sizeof head,
                      "%ux%u, cpu level %d, %d task%s, %d runs; times in ms, median ± median "
                      "absolute deviation\n\n%-15s %22s %22s %10s\n",
                      size.width, size.height, cpuLevel, tasks, tasks == 1 ? "" : "s", o.runs,
                      "effect", "prepare", "process", "frames/s");
        out << head << std::flush;
    }
    for (const size_t i : effects) {
        results.push_back(Measure(module, i, texts, size, source, o));
        if (!o.json) {
            const Result& r = results.back();
            char line[160];
            std::snprintf(line, sizeof line, "%-15s %13.3f ± %6.3f %13.3f ± %6.3f %10.1f\n",
                          r.effect.c_str(), r.prepare.median, r.prepare.mad, r.process.median,
                          r.process.mad, r.fps);
            out << line << std::flush;
        }
    }
    if (!o.json)
        return;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Result& r : results)
        list.push_back({{"effect", r.effect},
                        {"name", r.name},
                        {"prepare_ms", TimingJson(r.prepare)},
                        {"process_ms", TimingJson(r.process)},
                        {"fps", r.fps}});
    const nlohmann::ordered_json doc = {{"width", size.width},   {"height", size.height},
                                        {"cpu_level", cpuLevel}, {"tasks", tasks},
                                        {"runs", o.runs},        {"effects", std::move(list)}};
    out << doc.dump(2) << "\n";
}

}  // namespace fxhost
