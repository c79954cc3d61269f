// Copies pixels by a table of source points: destination pixel k takes the
// first three bytes of the source pixel at the column and row
// points[2k], points[2k + 1], each clamped into the frame; its fourth byte
// keeps what it held.  rowOffsets[r] is the index of the first pixel of
// source row r, r * width (the AVX2 form works it out rather than read it).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kzr {

struct PointSource {
    const uint8_t* pixels;
    const uint32_t* rowOffsets;
    int32_t width, height;
};

inline int32_t ClampIndex(int32_t v, int32_t last) {
    v = v < last ? v : last;
    return v > 0 ? v : 0;
}

inline void CopyPoint(const PointSource& s, const int32_t* point, uint8_t* dst) {
    const int32_t sy = ClampIndex(point[1], s.height - 1);
    const int32_t sx = ClampIndex(point[0], s.width - 1);
    const size_t from = size_t{s.rowOffsets[sy]} + static_cast<size_t>(sx);
    std::memcpy(dst, s.pixels + 4 * from, 3);
}

// count pixels from the points, pixel by pixel below CpuLevel 8, eight at a
// time with AVX2 from 8 where the processor has it; the same bytes either
// way.  The source must not overlap dst.
void CopyPoints(const PointSource& s, const int32_t* points, size_t count, uint8_t* dst,
                int32_t cpuLevel);

// The AVX2 form; needs HasAvx2().
void CopyPointsAvx2(const PointSource& s, const int32_t* points, size_t count, uint8_t* dst);

}  // namespace kzr
