// CoordMap buffers and the conversions that turn float source positions into
// 16.16 map entries.
//
// A map buffer is Width x Height unsigned 32-bit entries in row-major order.
// The allocation carries a small header in front of the entries that records
// the frame size it was made for, so a frame of another size is never drawn
// through it.
#pragma once
#include <cmath>
#include <cstdint>
#include <limits>

#include <emmintrin.h>

namespace kzr {

// Largest frame the 16.16 format can address.
inline constexpr uint32_t kMaxMapSide = 65536;
inline constexpr uint64_t kMaxMapPixels = uint64_t{1} << 32;

// True when a width x height map can be addressed by 16.16 entries.
inline bool MapSizeSupported(uint32_t width, uint32_t height) {
    return width <= kMaxMapSide && height <= kMaxMapSide &&
           uint64_t{width} * height <= kMaxMapPixels;
}

// Allocates an uninitialised map for width x height (throws std::bad_alloc);
// the caller has checked MapSizeSupported.
uint32_t* AllocateMap(uint32_t width, uint32_t height);
// Releases a map from AllocateMap (null is fine).
void FreeMap(uint32_t* map);
// True when the map is non-null and was made for width x height.
bool MapMatches(const uint32_t* map, uint32_t width, uint32_t height);

// Values a map builder keeps beside its map from one build to the next, for
// the parts of its work that only some parameters change: one float per map
// entry, and a tag saying what they were computed for (zero: nothing yet).
struct MapScratch {
    uint64_t Tag[2];
    float* Values;
};
// The map's scratch values, allocated on the first call (tag zero, values
// uninitialised) and released with the map; throws std::bad_alloc.
MapScratch& ScratchOf(uint32_t* map);

// Float or double to a 32-bit integer truncating towards zero, as a C cast
// does for every value that fits; NaN gives 0 and values beyond the range
// saturate.
template <class F>
inline int32_t TruncSaturating(F v) {
    if (!(v == v))
        return 0;
    if (v >= static_cast<F>(2147483648.0))
        return std::numeric_limits<int32_t>::max();
    if (v <= static_cast<F>(-2147483648.0))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}
inline int32_t TruncToInt(float v) {
    return TruncSaturating(v);
}
inline int32_t TruncDouble(double v) {
    return TruncSaturating(v);
}

// Float to the nearest 32-bit integer, ties to even, saturating like TruncToInt.
inline int32_t NearestToInt(float v) {
    return TruncToInt(std::nearbyint(v));
}

// 16.16 entry of a position that the caller has clamped to [0, 65536):
// trunc(p * 65536), formed in float.
inline uint32_t FixedTrunc(float p) {
    return static_cast<uint32_t>(static_cast<int64_t>(p * 65536.0f));
}

// The same, rounded to the nearest entry (ties to even).  One conversion in
// the current rounding mode: the integer nearbyint() would give and the cast
// would keep, and for NaN or magnitudes of 2^63 and more the same
// 0x8000000000000000 the cast gives; no library call per entry.
inline uint32_t FixedNearest(float p) {
    return static_cast<uint32_t>(_mm_cvtss_si64(_mm_set_ss(p * 65536.0f)));
}

// Clamp of a source position to [0, size): below zero (or NaN) to 0, at or
// beyond size to the last pixel; positions between the last pixel and size
// keep their fraction.  Returns the 16.16 entry, truncated.
inline uint32_t ClampedFixedTrunc(float p, int32_t size) {
    if (!(p >= 0.0f))
        return 0;
    if (p >= static_cast<float>(size))
        return FixedTrunc(static_cast<float>(size - 1));
    return FixedTrunc(p);
}

// Keeps an integer derived from a parameter within a range where the
// builders' integer arithmetic cannot overflow; values of sane parameters are
// far inside it and pass unchanged.
inline int32_t Bounded(int32_t v) {
    constexpr int32_t kLimit = 1 << 24;
    return v < -kLimit ? -kLimit : (v > kLimit ? kLimit : v);
}

// Entries of the pixels' own columns, x << 16, for the columns [first,
// last) of a row: four at a time.
inline void OwnColumns(uint32_t* row, int32_t first, int32_t last) {
    int32_t x = first;
    if (last - x >= 4) {
        __m128i v =
            _mm_slli_epi32(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3)), 16);
        const __m128i step = _mm_set1_epi32(4 << 16);
        for (; x + 4 <= last; x += 4, v = _mm_add_epi32(v, step))
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), v);
    }
    for (; x < last; ++x)
        row[x] = static_cast<uint32_t>(x) << 16;
}

}  // namespace kzr
