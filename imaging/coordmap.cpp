#include "imaging/coordmap.h"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>

#include <cstdint>
#endif

namespace kzr {
namespace {

struct MapHeader {
    uint32_t Width;
    uint32_t Height;
    MapScratch* Scratch;  // null until asked for; keeps the entries 16-byte aligned
};
static_assert(sizeof(MapHeader) == 16);

MapHeader* HeaderOf(const uint32_t* map) {
    return reinterpret_cast<MapHeader*>(const_cast<uint32_t*>(map)) - 1;
}

// A map of a video frame spans thousands of 4 KiB pages, and the first
// touch of each page costs a fault; asking for 2 MiB pages where the
// kernel grants them on request cuts the faults of building a fresh map by
// a factor of 512.  Only a hint: the contents and the failure rules stay
// the same wherever it is not granted.
void AdviseLargePages([[maybe_unused]] void* p, [[maybe_unused]] size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLarge = uintptr_t{2} << 20;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kLarge - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

}  // namespace

uint32_t* AllocateMap(uint32_t width, uint32_t height) {
    const uint64_t bytes = sizeof(MapHeader) + uint64_t{width} * height * 4;
    auto* header = static_cast<MapHeader*>(::operator new(static_cast<size_t>(bytes)));
    AdviseLargePages(header, static_cast<size_t>(bytes));
    header->Width = width;
    header->Height = height;
    header->Scratch = nullptr;
    return reinterpret_cast<uint32_t*>(header + 1);
}

void FreeMap(uint32_t* map) {
    if (map == nullptr)
        return;
    MapHeader* header = HeaderOf(map);
    ::operator delete(header->Scratch);
    ::operator delete(header);
}

MapScratch& ScratchOf(uint32_t* map) {
    MapHeader* header = HeaderOf(map);
    if (header->Scratch == nullptr) {
        const size_t bytes = sizeof(MapScratch) + size_t{header->Width} * header->Height * 4;
        auto* scratch = static_cast<MapScratch*>(::operator new(bytes));
        AdviseLargePages(scratch, bytes);
        scratch->Tag[0] = scratch->Tag[1] = 0;
        scratch->Values = reinterpret_cast<float*>(scratch + 1);
        header->Scratch = scratch;
    }
    return *header->Scratch;
}

bool MapMatches(const uint32_t* map, uint32_t width, uint32_t height) {
    if (map == nullptr)
        return false;
    const MapHeader* h = HeaderOf(map);
    return h->Width == width && h->Height == height;
}

}  // namespace kzr
