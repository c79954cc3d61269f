#include "apps/fxhost/common.h"

#include <cstdio>
#include <thread>

#include "apps/fxhost/options.h"
#include "refhost/testcard.h"

namespace fxhost {

refhost::Texts LoadTexts(const refhost::Module& module, const std::string& language) {
    return language.empty() ? refhost::Texts::FromModule(module)
                            : refhost::Texts::ForLanguage(module, language);
}

std::string StatusText(kzr::Status status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", status);
    std::string out = buf;
    if (status == kzr::kOutOfMemory)
        out += " (out of memory)";
    else if (status == kzr::kFail)
        out += " (failure)";
    return out;
}

void PrepareOrThrow(refhost::Instance& fx, uint32_t width, uint32_t height) {
    const kzr::Status s = fx.Prepare(width, height);
    if (s != kzr::kOk)
        throw refhost::Error(refhost::ShortName(fx.Effect()) + " could not be prepared for a " +
                             std::to_string(width) + "x" + std::to_string(height) +
                             " frame: status " + StatusText(s));
}

void RenderOver(refhost::Instance& fx, const uint32_t* src, uint32_t* dst) {
    const kzr::Status s = fx.Render(src, dst);
    if (s != kzr::kOk)
        throw refhost::Error(refhost::ShortName(fx.Effect()) +
                             " could not render the frame: status " + StatusText(s));
}

void ApplyContext(refhost::Instance& fx, const ContextOptions& options) {
    if (options.cpuLevel >= 0)
        fx.SetCpuLevel(options.cpuLevel);
    fx.SetTaskCount(TaskCountOf(options));
    if (!options.reference.empty()) {
        const Size ref = ParseSize(options.reference, "--ref");
        fx.SetReference(ref.width, ref.height);
    }
}

int TaskCountOf(const ContextOptions& options) {
    if (options.tasks > 0)
        return options.tasks;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

void ApplySet(refhost::Instance& fx, const refhost::Texts& texts, const std::string& assignment) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0)
        throw refhost::Error("--set expects KEY=VALUE (such as P1=0.05 or Degree=0.05); got '" +
                             assignment + "'");
    const size_t index = refhost::FindParam(fx.Effect(), texts, assignment.substr(0, eq));
    fx.SetParam(fx.Effect().Params[index].Key, assignment.substr(eq + 1));
}

Image InputOrTestCard(const std::string& input, const std::string& size, Size defaultCard,
                      const ReadLimits& limits) {
    if (!input.empty())
        return ReadImage(input, limits);
    const Size card = size.empty() ? defaultCard : ParseSize(size, "--size");
    Image image;
    image.width = card.width;
    image.height = card.height;
    image.pixels = refhost::MakeTestCard(card.width, card.height);
    return image;
}

}  // namespace fxhost
