// The columns of a row that lie within a squared distance of a centre
// column: the pixels of a disc's row, found without testing every pixel.
#pragma once
#include <cmath>
#include <cstdint>

namespace kzr {

// Columns [first, last) of a row; empty when first >= last.
struct ColumnRun {
    int32_t first, last;
};

// Largest k >= 0 with k * k <= v, for 0 <= v < 2^62.
inline int64_t FloorSqrt(int64_t v) {
    int64_t k = static_cast<int64_t>(std::sqrt(static_cast<double>(v)));
    while (k > 0 && k * k > v)
        --k;
    while ((k + 1) * (k + 1) <= v)
        ++k;
    return k;
}

// The columns x of [0, width) with (x - centre)^2 <= room.
inline ColumnRun RunWithin(int64_t room, int64_t centre, int32_t width) {
    if (room < 0 || width <= 0)
        return {0, 0};
    const int64_t k = FloorSqrt(room);
    const int64_t first = centre - k < 0 ? 0 : centre - k;
    const int64_t last = centre + k + 1 > width ? width : centre + k + 1;
    if (first >= last)
        return {0, 0};
    return {static_cast<int32_t>(first), static_cast<int32_t>(last)};
}

}  // namespace kzr
