// kzr_bench: the effects' Prepare, rebuild and Process times side by side
// with the memory floor of a frame pass and cv::remap on the same maps.
#include <benchmark/benchmark.h>

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

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::AddCustomContext("cpu_model", CpuModel());
    benchmark::AddCustomContext("cpu_level", std::to_string(refhost::DetectCpuLevel()));
    benchmark::AddCustomContext("module", kzrbench::TheModule().Path());
    kzrbench::RegisterEffectBenchmarks();
    kzrbench::RegisterFloorBenchmarks();
    kzrbench::RegisterCvRemapBenchmarks();
    kzrbench::RegisterLibraryFloorBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
