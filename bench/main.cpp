// kzr_bench: the effects' Prepare, rebuild and Process times side by side
// with the memory floor of a frame pass and cv::remap on the same maps.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bench/bench_common.h"

namespace {

// The processor's name as the kernel reports it, for the JSON context.
std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos
                       ? ""
                       : line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    return "";
}

// Takes our own options out of argv before the library sees the rest:
// --frame_pages=2m (the default) or 4k, --caches=warm (the default) or
// cold.  False, with a message, on a value it does not know.
bool TakeOwnOptions(int& argc, char** argv) {
    const struct {
        const char *option, *on, *off;
        void (*set)(bool);
    } options[] = {{"--frame_pages=", "2m", "4k", &refhost::SetLargePageFrames},
                   {"--caches=", "cold", "warm", &kzrbench::SetColdCaches}};
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        bool taken = false;
        for (const auto& o : options) {
            if (std::strncmp(argv[i], o.option, std::strlen(o.option)) != 0)
                continue;
            const std::string value = argv[i] + std::strlen(o.option);
            if (value != o.on && value != o.off) {
                std::fprintf(stderr, "kzr_bench: %s%s: expected %s or %s\n", o.option,
                             value.c_str(), o.on, o.off);
                return false;
            }
            o.set(value == o.on);
            taken = true;
        }
        if (!taken)
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!TakeOwnOptions(argc, argv))
        return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("cpu_model", CpuModel());
    benchmark::AddCustomContext("cpu_level", std::to_string(refhost::DetectCpuLevel()));
    benchmark::AddCustomContext("module", kzrbench::TheModule().Path());
    benchmark::AddCustomContext("frame_pages", refhost::LargePageFrames() ? "2m" : "4k");
    benchmark::AddCustomContext("thp_mode", refhost::LargePageMode());
    benchmark::AddCustomContext("cache_mode", kzrbench::ColdCaches() ? "cold" : "warm");
    benchmark::AddCustomContext("eviction_bytes", std::to_string(kzrbench::EvictionBytes()));
    kzrbench::RegisterEffectBenchmarks();
    kzrbench::RegisterFloorBenchmarks();
    kzrbench::RegisterCvRemapBenchmarks();
    kzrbench::RegisterLibraryFloorBenchmarks();
    kzrbench::RegisterTaskStartBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
