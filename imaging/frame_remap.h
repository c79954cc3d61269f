// Whole-frame remaps: every destination pixel of a frame sampled from the
// source at the coordinates its map entries give.  The sampler follows the
// source surface's CpuLevel (per pixel below 3, SSE2 from 3, the AVX2
// whole-row remaps from 8 on processors that have AVX2).
#pragma once
#include <cstdint>

#include "abi/surface.h"

namespace kzr {

// Which coordinate a one-coordinate map holds: the source column (X, the
// row is kept) or the source row (Y, the column is kept).
enum class MapAxis { X, Y };

// Remaps a width x height frame from a one-coordinate map into dst (packed
// rows of width pixels).
void RemapFrame(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                const uint32_t* map, MapAxis axis);

// Remaps a width x height frame from an x map and a y map.
void RemapFrameTwoMaps(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                       const uint32_t* mapX, const uint32_t* mapY);

}  // namespace kzr
