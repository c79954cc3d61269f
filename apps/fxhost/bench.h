// fxhost bench: Prepare and Process times of effects over repeated runs.
#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "apps/fxhost/common.h"

namespace fxhost {

struct BenchOptions {
    std::vector<std::string> effects;  // empty: every effect of the module
    std::string size;                  // "WxH"; empty: 1920x1080
    ContextOptions context;
    int runs = 15;
    bool json = false;
};

// Median, median absolute deviation, minimum and maximum of some timings.
struct Timing {
    double median = 0, mad = 0, min = 0, max = 0;
};
Timing Summarize(std::vector<double> samples);

void Bench(const std::string& modulePath, const BenchOptions& options, std::ostream& out);

}  // namespace fxhost
