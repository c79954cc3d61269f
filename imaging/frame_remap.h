// Whole-frame remaps: every destination pixel of a frame sampled from the
// source at the coordinates its map entries give.  The sampler follows the
// source surface's CpuLevel (per pixel below 3, SSE2 from 3, the AVX2
// whole-row remaps from 8 on processors that have AVX2).
//
// The row forms draw the rows [first, last) only, so that a frame can be
// drawn in bands; any split into bands gives the frame of one whole call.
#pragma once
#include <cstddef>
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
// Rows [first, last) of RemapFrame; map and dst are those of the whole frame.
void RemapRows(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t first, int32_t last,
               const uint32_t* map, MapAxis axis);

// Remaps a width x height frame from an x map and a y map.
void RemapFrameTwoMaps(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                       const uint32_t* mapX, const uint32_t* mapY);
// Rows [first, last) of RemapFrameTwoMaps; maps and dst are those of the
// whole frame.
void RemapRowsTwoMaps(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t first,
                      int32_t last, const uint32_t* mapX, const uint32_t* mapY);

// count pixels from (mapX[k], mapY[k]) into dst, bit for bit as Sample of
// each pixel in turn would give at the surface's CpuLevel (AVX2 from level
// 8 when the processor has it).  Positions outside the source leave their
// pixel as it was.
void RemapSpanTwoMaps(const ImageSurface* src, const uint32_t* mapX, const uint32_t* mapY,
                      size_t count, uint8_t* dst);

// True when bytes [a, a + aBytes) and [b, b + bBytes) share memory: a frame
// drawn into its own source must be drawn pixel by pixel in order.
inline bool Overlap(const void* a, size_t aBytes, const void* b, size_t bBytes) {
    const auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + bBytes && pb < pa + aBytes;
}

// The source surface's pixels overlap the frame of width x height at dst.
bool DrawsIntoSource(const ImageSurface* src, const uint8_t* dst, int32_t width, int32_t height);

// True when a frame from src into dst may be drawn in bands of rows: both
// surfaces are packed 32-bit rows (as every drawing step addresses them)
// and dst does not overlap src.
bool CanDrawInBands(const ImageSurface* src, const ImageSurface* dst);

}  // namespace kzr
