// Two doubles at a time with SSE2: the lane type of the kernels written over
// a lane type (trig_lanes.h, exp_log_lanes.h).  Only for units built
// without -mavx2: in a unit built with it these inline functions would
// become AVX2 instructions, and the linker may keep that copy for every
// caller.
#pragma once
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

namespace kzr {

struct Sse2Lanes {
    using D = __m128d;
    static constexpr size_t kWidth = 2;
    static D LoadFloats(const float* p) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static D LoadInts(const int32_t* p) {
        return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    static D Load(const double* p) { return _mm_loadu_pd(p); }
    static void Store(double* p, D v) { _mm_storeu_pd(p, v); }
    static D Set(double v) { return _mm_set1_pd(v); }
    static D Add(D a, D b) { return _mm_add_pd(a, b); }
    static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
    static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
    static D Div(D a, D b) { return _mm_div_pd(a, b); }
    static D Min(D a, D b) { return _mm_min_pd(a, b); }
    static D Max(D a, D b) { return _mm_max_pd(a, b); }
    static D Less(D a, D b) { return _mm_cmplt_pd(a, b); }
    static D And(D a, D b) { return _mm_and_pd(a, b); }
    static D Or(D a, D b) { return _mm_or_pd(a, b); }
    static D Xor(D a, D b) { return _mm_xor_pd(a, b); }
    static D Select(D mask, D a, D b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    }
    // The 64 bits of each lane as an integer: a constant, a sum, shifts.
    static D SetBits(uint64_t v) {
        return _mm_castsi128_pd(_mm_set1_epi64x(static_cast<int64_t>(v)));
    }
    static D AddBits(D a, D b) {
        return _mm_castsi128_pd(_mm_add_epi64(_mm_castpd_si128(a), _mm_castpd_si128(b)));
    }
    template <int N>
    static D ShiftLeftBits(D v) {
        return _mm_castsi128_pd(_mm_slli_epi64(_mm_castpd_si128(v), N));
    }
    template <int N>
    static D ShiftRightBits(D v) {
        return _mm_castsi128_pd(_mm_srli_epi64(_mm_castpd_si128(v), N));
    }
    // The lanes rounded to float, in the low half of a vector of four.
    using F = __m128;
    static F ToFloats(D v) { return _mm_cvtpd_ps(v); }
    static void Store(float* p, F v) { _mm_storel_pi(reinterpret_cast<__m64*>(p), v); }
    static F SetFloats(float v) { return _mm_set1_ps(v); }
    static F AndFloats(F a, F b) { return _mm_and_ps(a, b); }
    static F SameFloatBits(F a, F b) {
        return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(a), _mm_castps_si128(b)));
    }
    static F SelectFloats(F mask, F a, F b) {
        return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
    }
    static void Quadrant(D v, D& k, D& swap, D& sinSign, D& cosSign) {
        const __m128i ki = _mm_cvtpd_epi32(v);
        k = _mm_cvtepi32_pd(ki);
        // Each lane's k in both halves of its 64 bits; bit 31 of the upper
        // half is the lane's sign bit.
        const __m128i kk = _mm_shuffle_epi32(ki, _MM_SHUFFLE(1, 1, 0, 0));
        const __m128i one = _mm_set1_epi32(1), two = _mm_set1_epi32(2);
        const D signBit = _mm_set1_pd(-0.0);
        swap = _mm_castsi128_pd(_mm_cmpeq_epi32(_mm_and_si128(kk, one), one));
        sinSign = _mm_and_pd(signBit, _mm_castsi128_pd(_mm_slli_epi32(_mm_and_si128(kk, two), 30)));
        cosSign = _mm_and_pd(signBit, _mm_castsi128_pd(_mm_slli_epi32(
                                          _mm_and_si128(_mm_add_epi32(kk, one), two), 30)));
    }
};

}  // namespace kzr
