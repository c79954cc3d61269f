// Fixed-point bilinear sampling of 32-bit surfaces (four 8-bit channels),
// the row-by-row surface copy, and the whole-frame remaps.
//
// Coordinates are 16.16 fixed point: v >> 16 is the pixel index, v & 0xFFFF
// the fraction.  Neighbours past the last column or row repeat the last
// column or row.
#pragma once
#include <cstddef>
#include <cstdint>

#include "abi/surface.h"

namespace kzr {

inline uint8_t* PixelPointer(const ImageSurface* s) {
    return s->Pixels;
}

inline int32_t SameSize(const ImageSurface* a, const ImageSurface* b) {
    return a->Width == b->Width && a->Height == b->Height;
}

inline int32_t SetCpuLevel(ImageSurface* s, int32_t level) {
    s->CpuLevel = level;
    return 0;
}

// 16-bit-fraction interpolation of every channel.  Positions outside the
// surface write nothing.
void SampleScalar(const ImageSurface* s, int32_t x, int32_t y, uint32_t* out);

// 15-bit-fraction SSE2 interpolation of all four channels.  Positions outside
// the surface write nothing.
void SampleSimd(const ImageSurface* s, int32_t x, int32_t y, uint32_t* out);

// SampleSimd from CpuLevel 3 on, SampleScalar below.
inline void Sample(const ImageSurface* s, int32_t x, int32_t y, uint32_t* out) {
    if (s->CpuLevel >= 3)
        SampleSimd(s, x, y, out);
    else
        SampleScalar(s, x, y, out);
}

// Span forms of Sample: pixel k of dst (4 bytes each, no alignment needed)
// receives the sample at (mapX[k], mapY[k]), bit for bit what Sample gives
// at the same CpuLevel; a position outside the surface leaves its pixel as
// it was.  SampleSpan takes its SSE2 or scalar form from the surface's
// CpuLevel; SampleSpanAvx2 is the SSE2 result four pixels at a time and
// needs HasAvx2().
void SampleSpan(const ImageSurface* s, const uint32_t* mapX, const uint32_t* mapY, size_t count,
                uint8_t* dst);
void SampleSpanAvx2(const ImageSurface* s, const uint32_t* mapX, const uint32_t* mapY, size_t count,
                    uint8_t* dst);

// Copies src into dst row by row when both have pixels and the same size.
void CopyFrom(ImageSurface* dst, const ImageSurface* src);
// The rows [first, last) of CopyFrom.
void CopyRowsFrom(ImageSurface* dst, const ImageSurface* src, int32_t first, int32_t last);

// Whole-frame remaps from a one-coordinate map (AVX2).  RemapX reads the
// source column of every destination pixel from the map (the row is kept),
// RemapY the source row (the column is kept).  A map entry outside the
// source leaves its destination pixel as it was.  Callers must check
// HasAvx2() first.
void RemapX(const ImageSurface* src, int32_t rows, int32_t cols, int32_t dstSkip, int32_t offset,
            const uint32_t* map, uint8_t* dst);
void RemapY(const ImageSurface* src, int32_t rows, int32_t cols, int32_t dstSkip, int32_t offset,
            const uint32_t* map, uint8_t* dst);
// RemapX over the source rows [firstRow, firstRow + rows): map and dst point
// at the entries and pixels of row firstRow.
void RemapXRows(const ImageSurface* src, int32_t firstRow, int32_t rows, int32_t cols,
                int32_t dstSkip, int32_t offset, const uint32_t* map, uint8_t* dst);

// True when the processor runs AVX2 (checked once).
bool HasAvx2();

}  // namespace kzr
