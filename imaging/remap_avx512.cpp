// Whole-frame remaps in 16-bit lanes of 512-bit registers (AVX-512 F, BW,
// VL, VBMI): sixteen destination pixels a step where all sixteen read inside
// the frame, the AVX2 steps elsewhere.  Every pixel takes the same 16-bit
// steps as in the AVX2 and SSE2 forms, so the bytes are the same.  Built
// with -mavx512*; callers reach it only after HasAvx512().
#include <immintrin.h>

#include "imaging/point_copy.h"
#include "imaging/sample.h"

namespace kzr {
namespace {

// The lanes of a step of sixteen pixels p0 to p15 hold, in each 128-bit
// lane l, the pixels 4l and 4l + 1 (first half) or 4l + 2 and 4l + 3
// (second half), so that packing the two halves' 16-bit results leaves the
// sixteen in order and each pixel's fraction comes from its map entry's own
// lane.

inline __m512i Lerp15(__m512i a, __m512i b, __m512i h) {
    return _mm512_add_epi16(a, _mm512_mulhi_epi16(_mm512_slli_epi16(_mm512_sub_epi16(b, a), 1), h));
}

// Per 128-bit lane, the pairs (L R) of two pixels interpolated with one
// 15-bit fraction per pixel.
inline __m512i LerpPairs(__m512i pairs, __m512i h) {
    const __m512i left = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, -1, 1, -1, 2, -1, 3, -1, 8, -1, 9, -1, 10, -1, 11, -1));
    const __m512i right = _mm512_broadcast_i32x4(
        _mm_setr_epi8(4, -1, 5, -1, 6, -1, 7, -1, 12, -1, 13, -1, 14, -1, 15, -1));
    return Lerp15(_mm512_shuffle_epi8(pairs, left), _mm512_shuffle_epi8(pairs, right), h);
}

// The 15-bit fractions of a half's pixels from sixteen map entries, spread
// over each pixel's four channels.
inline __m512i HalfFractions(__m512i entries, int half) {
    const __m512i first =
        _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5));
    const __m512i second = _mm512_broadcast_i32x4(
        _mm_setr_epi8(8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13));
    return _mm512_srli_epi16(_mm512_shuffle_epi8(entries, half == 0 ? first : second), 1);
}

// The 32-bit byte offsets of a half's eight pixels, in the order of its lanes.
inline __m256i HalfOffsets(__m512i offsets, int half) {
    const __m512i first = _mm512_setr_epi32(0, 1, 4, 5, 8, 9, 12, 13, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i second = _mm512_setr_epi32(2, 3, 6, 7, 10, 11, 14, 15, 0, 0, 0, 0, 0, 0, 0, 0);
    return _mm512_castsi512_si256(_mm512_permutexvar_epi32(half == 0 ? first : second, offsets));
}

// A half's eight pixels at `offsets` from base, each with its right
// neighbour: one 64-bit load per pixel.
inline __m512i LoadHalfPairs(const uint8_t* base, __m256i offsets) {
    alignas(32) uint32_t o[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(o), offsets);
    const auto two = [base, &o](int n) {
        const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + o[n]));
        return _mm_castpd_si128(
            _mm_loadh_pd(_mm_castsi128_pd(low), reinterpret_cast<const double*>(base + o[n + 1])));
    };
    const __m512i v = _mm512_castsi128_si512(two(0));
    return _mm512_inserti32x4(_mm512_inserti32x4(_mm512_inserti32x4(v, two(2), 1), two(4), 2),
                              two(6), 3);
}

// As in SampleSpanAvx2: the rows of every other pixel this far ahead.
constexpr size_t kPrefetchAhead = 256;

}  // namespace

void SampleSpanAvx512(const ImageSurface* src, const uint32_t* mapX, const uint32_t* mapY,
                      size_t count, uint8_t* dst) {
    if (src->Width <= 0 || src->Height <= 0)
        return;
    const uint32_t width = static_cast<uint32_t>(src->Width);
    const uint32_t height = static_cast<uint32_t>(src->Height);
    const size_t rowBytes = 4 * size_t{width};
    size_t k = 0;
    // Sixteen at a time where all sixteen have their four neighbours inside
    // the frame, with the neighbours' byte offsets in 32-bit lanes (so only
    // for frames of at most 4 GiB); other groups go the AVX2 way.
    if (size_t{height} * rowBytes <= (size_t{1} << 32)) {
        const uint8_t* top = src->Pixels;
        const uint8_t* bottom = src->Pixels + rowBytes;
        // Integer parts are at most 65535, so signed comparisons suffice.
        const __m512i edgeX = _mm512_set1_epi32(static_cast<int32_t>(width) - 2);
        const __m512i edgeY = _mm512_set1_epi32(static_cast<int32_t>(height) - 2);
        const __m512i stride = _mm512_set1_epi32(static_cast<int32_t>(rowBytes));
        while (k + 16 <= count) {
            if (k + kPrefetchAhead + 16 <= count) {
                const uintptr_t base = reinterpret_cast<uintptr_t>(top);
                for (size_t n = k + kPrefetchAhead; n < k + kPrefetchAhead + 16; n += 2) {
                    const uintptr_t at =
                        base + (mapY[n] >> 16) * rowBytes + 4 * size_t{mapX[n] >> 16};
                    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
                    _mm_prefetch(reinterpret_cast<const char*>(at + rowBytes), _MM_HINT_T0);
                }
            }
            const __m512i x = _mm512_loadu_si512(mapX + k);
            const __m512i y = _mm512_loadu_si512(mapY + k);
            const __m512i i = _mm512_srli_epi32(x, 16), j = _mm512_srli_epi32(y, 16);
            if ((_mm512_cmpgt_epi32_mask(i, edgeX) | _mm512_cmpgt_epi32_mask(j, edgeY)) != 0) {
                SampleSpanAvx2(src, mapX + k, mapY + k, 16, dst + 4 * k);
                k += 16;
                continue;
            }
            const __m512i offsets =
                _mm512_add_epi32(_mm512_mullo_epi32(j, stride), _mm512_slli_epi32(i, 2));
            const auto half = [&](int n) {
                const __m256i o = HalfOffsets(offsets, n);
                const __m512i hx = HalfFractions(x, n);
                return Lerp15(LerpPairs(LoadHalfPairs(top, o), hx),
                              LerpPairs(LoadHalfPairs(bottom, o), hx), HalfFractions(y, n));
            };
            _mm512_storeu_si512(dst + 4 * k, _mm512_packus_epi16(half(0), half(1)));
            k += 16;
        }
    }
    SampleSpanAvx2(src, mapX + k, mapY + k, count - k, dst + 4 * k);
}

void CopyPointsAvx512(const PointSource& s, const int32_t* points, size_t count, uint8_t* dst) {
    size_t k = 0;
    // Sixteen at a time while every pixel index fits the gather's signed
    // 32-bit lanes.
    if (s.width > 0 && s.height > 0 &&
        uint64_t{static_cast<uint32_t>(s.width)} * static_cast<uint32_t>(s.height) <= 0x7FFFFFFF) {
        const __m512i lastX = _mm512_set1_epi32(s.width - 1);
        const __m512i lastY = _mm512_set1_epi32(s.height - 1);
        const __m512i zero = _mm512_setzero_si512();
        const __m512i width = _mm512_set1_epi32(s.width);
        // Pairs (x0 y0 x1 y1 ...) into the columns and rows of the sixteen.
        const __m512i evens =
            _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i odds = _mm512_add_epi32(evens, _mm512_set1_epi32(1));
        for (; k + 16 <= count; k += 16) {
            const __m512i a = _mm512_loadu_si512(points + 2 * k);
            const __m512i b = _mm512_loadu_si512(points + 2 * k + 16);
            const __m512i x = _mm512_permutex2var_epi32(a, evens, b);
            const __m512i y = _mm512_permutex2var_epi32(a, odds, b);
            const __m512i sx = _mm512_max_epi32(_mm512_min_epi32(x, lastX), zero);
            const __m512i sy = _mm512_max_epi32(_mm512_min_epi32(y, lastY), zero);
            // The row offsets are y * width (the table's own rule).
            const __m512i from = _mm512_add_epi32(_mm512_mullo_epi32(sy, width), sx);
            const __m512i pixels = _mm512_i32gather_epi32(from, s.pixels, 4);
            uint8_t* out = dst + 4 * k;
            // Bytes 0 to 2 of every pixel from the source, byte 3 kept.
            _mm512_mask_storeu_epi8(out, 0x7777777777777777ull, pixels);
        }
    }
    CopyPointsAvx2(s, points + 2 * k, count - k, dst + 4 * k);
}

}  // namespace kzr
