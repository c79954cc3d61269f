#include "tests/test_util.h"

#include <cstring>
#include <stdexcept>

namespace kzrtest {

refhost::Module& TheModule() {
    static refhost::Module module(KZR_MODULE_PATH);
    return module;
}

std::vector<uint8_t> PatternFrame(uint32_t w, uint32_t h) {
    std::vector<uint8_t> px(size_t{w} * h * 4);
    for (uint64_t y = 0; y < h; ++y)
        for (uint64_t x = 0; x < w; ++x)
            for (uint64_t c = 0; c < 4; ++c)
                px[(y * w + x) * 4 + c] =
                    static_cast<uint8_t>((x * 73 + y * 151 + c * 29 + (x * y) % 97) & 255);
    return px;
}

uint64_t Fnv1a64(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

size_t EffectIndex(const char* id) {
    const refhost::Module& m = TheModule();
    for (size_t i = 0; i < m.EffectCount(); ++i)
        if (std::strcmp(m.Effect(i).Id, id) == 0)
            return i;
    throw std::runtime_error(std::string("no effect ") + id);
}

}  // namespace kzrtest
