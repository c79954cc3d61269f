// Helpers shared by the tests: the module under test, instances prepared
// from parameter texts, golden-style inputs, hashes, and worked examples of
// coordinate maps given as data.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "abi/surface.h"
#include "refhost/refhost.h"

namespace kzrtest {

// The module built by this tree, loaded once per test program.
refhost::Module& TheModule();
// key -> text of lang/<language>.txt, the source of a language library.
std::map<std::string, std::string> TextFile(const std::string& language);
// Index of the effect with this id.
size_t EffectIndex(const char* id);

// Byte c of pixel (x, y) is (x*73 + y*151 + c*29 + (x*y)%97) & 255.
std::vector<uint8_t> PatternFrame(uint32_t w, uint32_t h);
uint64_t Fnv1a64(const void* data, size_t n);

// A packed 32-bit surface over w x h pixels, read at CpuLevel `level`.
kzr::ImageSurface SurfaceOf(const uint8_t* pixels, uint32_t w, uint32_t h, int level = 0);
// A frame of random bytes with its surface.
struct RandomFrame {
    RandomFrame(uint32_t w, uint32_t h, int level, uint32_t seed);
    std::vector<uint8_t> pixels;
    kzr::ImageSurface s;
};

// An instance of effect `id` with the parameters of `params`
// ("Inverse=1;XOffset=0.2", values as the reference host parses them; a
// number outside the range is written as it is), prepared for w x h at
// TaskCount `tasks`.
std::unique_ptr<refhost::Instance> Prepared(const char* id, uint32_t w, uint32_t h,
                                            const std::string& params = "", int tasks = 1);
// Renders src into a destination filled with `fill`; no surface may stay wrapped.
std::vector<uint8_t> Rendered(refhost::Instance& fx, const std::vector<uint8_t>& src,
                              uint8_t fill = 0xEE);

// Pointer stored at a state offset; the coordinate maps are at 0x10 and 0x18.
const void* StatePointer(refhost::Instance& fx, size_t offset);
inline const uint32_t* MapAt(refhost::Instance& fx, size_t offset) {
    return static_cast<const uint32_t*>(StatePointer(fx, offset));
}

// The bytes of the buffers an effect builds: one or two maps (at state
// offsets 0x10 and 0x18), or the laser's row offsets, rim points and inside
// runs (its rows, past the header; `runs` false leaves them out: Process
// finds them again for a moved ellipse); none for the mirror.
std::vector<uint8_t> TableBytes(refhost::Instance& fx, uint32_t w, uint32_t h, bool runs = true);

// A worked example: the entries of map 'A' (state offset 0x10) or 'B' (0x18)
// for pixels x..x1, y..y1 (x1, y1 default to x, y) of effect `params` on w x h.
// value: "x" or "y" - the entry leaves the pixel's column or row in place;
// "=N" - exactly N << 16; a decimal - within one unit of its last digit.
struct Probe {
    const char* params;
    uint32_t w, h;
    char map;
    uint32_t x, y;
    const char* value;
    uint32_t x1 = 0, y1 = 0;
};
void CheckProbes(const char* id, std::initializer_list<Probe> probes);

}  // namespace kzrtest
