// Four doubles at a time with AVX2: the lane type of the kernels written over
// a lane type (trig_lanes.h, exp_log_lanes.h).  Only for
// units built with -mavx2, which callers reach after HasAvx2().
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace kzr {

struct Avx2Lanes {
    using D = __m256d;
    static constexpr size_t kWidth = 4;
    static D LoadFloats(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static D LoadInts(const int32_t* p) {
        return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static D Load(const double* p) { return _mm256_loadu_pd(p); }
    static void Store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D Set(double v) { return _mm256_set1_pd(v); }
    static D Add(D a, D b) { return _mm256_add_pd(a, b); }
    static D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D Div(D a, D b) { return _mm256_div_pd(a, b); }
    static D Min(D a, D b) { return _mm256_min_pd(a, b); }
    static D Max(D a, D b) { return _mm256_max_pd(a, b); }
    static D Less(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static D And(D a, D b) { return _mm256_and_pd(a, b); }
    static D Or(D a, D b) { return _mm256_or_pd(a, b); }
    static D Xor(D a, D b) { return _mm256_xor_pd(a, b); }
    static D Select(D mask, D a, D b) { return _mm256_blendv_pd(b, a, mask); }
    // The 64 bits of each lane as an integer: a constant, a sum, shifts.
    static D SetBits(uint64_t v) {
        return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<int64_t>(v)));
    }
    static D AddBits(D a, D b) {
        return _mm256_castsi256_pd(
            _mm256_add_epi64(_mm256_castpd_si256(a), _mm256_castpd_si256(b)));
    }
    template <int N>
    static D ShiftLeftBits(D v) {
        return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(v), N));
    }
    template <int N>
    static D ShiftRightBits(D v) {
        return _mm256_castsi256_pd(_mm256_srli_epi64(_mm256_castpd_si256(v), N));
    }
    // The lanes rounded to float.
    using F = __m128;
    static F ToFloats(D v) { return _mm256_cvtpd_ps(v); }
    static void Store(float* p, F v) { _mm_storeu_ps(p, v); }
    static F SetFloats(float v) { return _mm_set1_ps(v); }
    static F AndFloats(F a, F b) { return _mm_and_ps(a, b); }
    static F SameFloatBits(F a, F b) {
        return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(a), _mm_castps_si128(b)));
    }
    static F SelectFloats(F mask, F a, F b) { return _mm_blendv_ps(b, a, mask); }
    static void Quadrant(D v, D& k, D& swap, D& sinSign, D& cosSign) {
        const __m128i ki = _mm256_cvtpd_epi32(v);
        k = _mm256_cvtepi32_pd(ki);
        const __m256i k64 = _mm256_cvtepi32_epi64(ki);
        const __m256i one = _mm256_set1_epi64x(1), two = _mm256_set1_epi64x(2);
        swap = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(k64, one), one));
        sinSign = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(k64, two), 62));
        cosSign = _mm256_castsi256_pd(
            _mm256_slli_epi64(_mm256_and_si256(_mm256_add_epi64(k64, one), two), 62));
    }
};

}  // namespace kzr
