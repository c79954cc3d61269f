// Helpers shared by the tests: the module under test, golden-style inputs
// and hashes.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "refhost/refhost.h"

namespace kzrtest {

// The module built by this tree, loaded once per test program.
refhost::Module& TheModule();

// Byte c of pixel (x, y) is (x*73 + y*151 + c*29 + (x*y)%97) & 255.
std::vector<uint8_t> PatternFrame(uint32_t w, uint32_t h);

uint64_t Fnv1a64(const void* data, size_t n);

// Index of the effect with this id.
size_t EffectIndex(const char* id);

}  // namespace kzrtest

namespace kzrtest {

// Sizes in bytes of the two buffers an effect keeps at state offsets 0x10
// and 0x18 (0 where it has none), derived from its state size.
struct TableSizes {
    size_t a = 0, b = 0;
};
TableSizes TablesOf(const kzr::EffectDescriptor& fx, uint32_t w, uint32_t h);
// Pointer stored at a state offset.
const void* StatePointer(refhost::Instance& fx, size_t offset);
// Hash of both buffers (0 for a missing one).
uint64_t TablesHash(refhost::Instance& fx, uint32_t w, uint32_t h);

}  // namespace kzrtest
