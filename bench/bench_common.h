// What the benchmarks of kzr_bench share: the module, the frame sizes, the
// source frames and the coordinate maps of an effect instance.
#pragma once
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "refhost/frame_buffer.h"
#include "refhost/refhost.h"

namespace kzrbench {

struct FrameSize {
    uint32_t width, height;
    std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

// Full HD and UHD, the sizes every benchmark runs at.
inline constexpr FrameSize kSizes[] = {{1920, 1080}, {3840, 2160}};

// The module beside the benchmark, loaded once.
refhost::Module& TheModule();

// A test card of this size, drawn once per size and shared by all benchmarks.
const refhost::FramePixels& SourceFrame(FrameSize size);

// How an effect keeps its per-pixel source positions, as far as a resampler
// working from coordinate maps is concerned.
enum class MapLayout {
    None,  // no maps: the frame is copied or mirrored directly
    X,     // one map of 16.16 source columns; the source row is the pixel's row
    Y,     // one map of 16.16 source rows; the source column is the pixel's column
    XY,    // a map of source columns and a map of source rows
    Table  // integer tables of its own, read per pixel but not resampled
};

MapLayout LayoutOf(const kzr::EffectDescriptor& fx);
// Number of per-pixel 32-bit map entries that Process reads (0, 1 or 2).
int MapsRead(MapLayout layout);

// The map buffers of a prepared instance (at state offsets 0x10 and 0x18);
// null where the layout has none.
struct Maps {
    const uint32_t* a = nullptr;
    const uint32_t* b = nullptr;
};
Maps MapsOf(refhost::Instance& fx, MapLayout layout);

// The first of the effect's own parameters that is a number (after skipping
// `skip` of them), or -1.
int FirstFloatParam(const kzr::EffectDescriptor& fx, int skip = 0);

// The caches before every timed call: warm (as the call before left them) or
// cold (evicted by reading a buffer of three times the last-level cache, as a
// host's decoded frames and an effect's maps are by the time the next frame
// comes).
void SetColdCaches(bool cold);
bool ColdCaches();
// With cold caches, evicts them with the timing paused; else nothing.
void Evict(benchmark::State& state);
// Bytes read to evict the caches: three times the last-level cache.
size_t EvictionBytes();
// Times a registered benchmark in ms of wall-clock time; with cold caches
// over a fixed number of calls (kColdCalls), each after an eviction, as the
// library would otherwise run a fast call thousands of times.
benchmark::internal::Benchmark* Timed(benchmark::internal::Benchmark* b);
inline constexpr int kColdCalls = 12;

void RegisterEffectBenchmarks();
void RegisterFloorBenchmarks();
void RegisterCvRemapBenchmarks();
void RegisterLibraryFloorBenchmarks();
void RegisterTaskStartBenchmarks();

}  // namespace kzrbench
