#include "imaging/coordmap.h"

#include <new>

namespace kzr {
namespace {

struct MapHeader {
    uint32_t Width;
    uint32_t Height;
    uint64_t Reserved;  // keeps the entries 16-byte aligned
};
static_assert(sizeof(MapHeader) == 16);

MapHeader* HeaderOf(const uint32_t* map) {
    return reinterpret_cast<MapHeader*>(const_cast<uint32_t*>(map)) - 1;
}

}  // namespace

uint32_t* AllocateMap(uint32_t width, uint32_t height) {
    const uint64_t bytes = sizeof(MapHeader) + uint64_t{width} * height * 4;
    auto* header = static_cast<MapHeader*>(::operator new(static_cast<size_t>(bytes)));
    header->Width = width;
    header->Height = height;
    header->Reserved = 0;
    return reinterpret_cast<uint32_t*>(header + 1);
}

void FreeMap(uint32_t* map) {
    if (map != nullptr)
        ::operator delete(HeaderOf(map));
}

bool MapMatches(const uint32_t* map, uint32_t width, uint32_t height) {
    if (map == nullptr)
        return false;
    const MapHeader* h = HeaderOf(map);
    return h->Width == width && h->Height == height;
}

}  // namespace kzr
