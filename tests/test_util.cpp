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

namespace kzrtest {

TableSizes TablesOf(const kzr::EffectDescriptor& fx, uint32_t w, uint32_t h) {
    const size_t n = size_t{w} * h * 4;
    switch (fx.StateSize) {
        case 24:
            return {n, 0};
        case 32:
        case 40:
            return {n, n};
        case 48:  // row offsets and source points
            return {size_t{h} * 4, 2 * n};
        default:
            return {0, 0};
    }
}

const void* StatePointer(refhost::Instance& fx, size_t offset) {
    const void* p;
    std::memcpy(&p, static_cast<uint8_t*>(fx.State()) + offset, sizeof p);
    return p;
}

uint64_t TablesHash(refhost::Instance& fx, uint32_t w, uint32_t h) {
    const TableSizes t = TablesOf(fx.Effect(), w, h);
    uint64_t hash = 0;
    if (t.a) {
        const void* a = StatePointer(fx, 0x10);
        hash ^= a ? Fnv1a64(a, t.a) : 0;
    }
    if (t.b) {
        const void* b = StatePointer(fx, 0x18);
        hash ^= b ? Fnv1a64(b, t.b) * 31 : 0;
    }
    return hash;
}

}  // namespace kzrtest
