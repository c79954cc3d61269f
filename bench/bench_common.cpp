#include "bench/bench_common.h"

#include <cstring>
#include <map>
#include <stdexcept>

#include "refhost/testcard.h"

namespace kzrbench {

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
