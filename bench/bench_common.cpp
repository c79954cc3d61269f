#include "bench/bench_common.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>

#include "refhost/testcard.h"

namespace kzrbench {
namespace {

bool gCold = false;

// The last-level cache in bytes: what the C library reports, else the
// kernel's description of the highest cache of CPU 0, else 32 MiB.
size_t LastLevelCache() {
    const long l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
    if (l3 > 0)
        return static_cast<size_t>(l3);
    size_t best = 0;
    for (int index = 0; index < 8; ++index) {
        std::ifstream in("/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) +
                         "/size");
        std::string text;
        if (!(in >> text))
            break;
        const size_t unit = text.back() == 'M' ? 1 << 20 : text.back() == 'K' ? 1 << 10 : 1;
        best = std::max(best, std::stoul(text) * unit);
    }
    return best != 0 ? best : size_t{32} << 20;
}

}  // namespace

size_t EvictionBytes() {
    static const size_t bytes = 3 * LastLevelCache();
    return bytes;
}

void SetColdCaches(bool cold) {
    gCold = cold;
}

bool ColdCaches() {
    return gCold;
}

benchmark::internal::Benchmark* Timed(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime();
    return gCold ? b->Iterations(kColdCalls) : b;
}

void Evict(benchmark::State& state) {
    if (!gCold)
        return;
    // On 4 KiB pages, so the reads also push the frames' and maps' page
    // translations out of the TLB.
    state.PauseTiming();
    static std::vector<uint64_t> buffer(EvictionBytes() / 8, 1);
    uint64_t sum = 0;
    for (size_t i = 0; i < buffer.size(); i += 8)  // one word per 64-byte line
        sum += buffer[i];
    benchmark::DoNotOptimize(sum);
    state.ResumeTiming();
}

refhost::Module& TheModule() {
    static refhost::Module module(refhost::DefaultModulePath());
    return module;
}

const refhost::FramePixels& SourceFrame(FrameSize size) {
    static std::map<std::pair<uint32_t, uint32_t>, refhost::FramePixels> frames;
    auto& frame = frames[{size.width, size.height}];
    if (frame.empty()) {
        const std::vector<uint32_t> card = refhost::MakeTestCard(size.width, size.height);
        frame.assign(card.begin(), card.end());
    }
    return frame;
}

MapLayout LayoutOf(const kzr::EffectDescriptor& fx) {
    static const std::map<std::string, MapLayout> layouts = {
        {"hmirror", MapLayout::None}, {"hsqueeze", MapLayout::XY},
        {"hstretch", MapLayout::X},   {"vstretch", MapLayout::Y},
        {"tristretch", MapLayout::X}, {"doublefisheye", MapLayout::XY},
        {"drain", MapLayout::XY},     {"laser", MapLayout::Table},
        {"square", MapLayout::XY},    {"sshape", MapLayout::Y}};
    const auto it = layouts.find(refhost::ShortName(fx));
    if (it == layouts.end())
        throw std::runtime_error(std::string("no map layout known for effect ") + fx.Id);
    // The state must be large enough to hold the buffers the layout reads.
    const uint64_t needed = it->second == MapLayout::None                              ? 16
                            : it->second == MapLayout::X || it->second == MapLayout::Y ? 24
                                                                                       : 32;
    if (fx.StateSize < needed)
        throw std::runtime_error(std::string("effect ") + fx.Id + " has a state of " +
                                 std::to_string(fx.StateSize) + " bytes, too small for " +
                                 std::to_string(needed) + " bytes of frames and maps");
    return it->second;
}

int MapsRead(MapLayout layout) {
    switch (layout) {
        case MapLayout::None:
            return 0;
        case MapLayout::X:
        case MapLayout::Y:
            return 1;
        case MapLayout::XY:
        case MapLayout::Table:  // a pair of 32-bit integers per pixel
            return 2;
    }
    return 0;
}

Maps MapsOf(refhost::Instance& fx, MapLayout layout) {
    const auto* state = static_cast<const uint8_t*>(fx.State());
    Maps maps;
    if (layout == MapLayout::X || layout == MapLayout::Y || layout == MapLayout::XY)
        std::memcpy(&maps.a, state + 0x10, sizeof maps.a);
    if (layout == MapLayout::XY)
        std::memcpy(&maps.b, state + 0x18, sizeof maps.b);
    return maps;
}

int FirstFloatParam(const kzr::EffectDescriptor& fx, int skip) {
    for (size_t i = 0; i < refhost::OwnParamCount(fx); ++i)
        if (fx.Params[i].ValueType == kzr::kTypeFloat && skip-- == 0)
            return static_cast<int>(i);
    return -1;
}

}  // namespace kzrbench
