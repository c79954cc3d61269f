#include "imaging/sincos.h"

#include <emmintrin.h>

#include "imaging/sample.h"
#include "imaging/sincos_lanes.h"

namespace kzr {

namespace {

struct Sse2Lanes {
    using D = __m128d;
    static D Set(double v) { return _mm_set1_pd(v); }
    static D Add(D a, D b) { return _mm_add_pd(a, b); }
    static D Sub(D a, D b) { return _mm_sub_pd(a, b); }
    static D Mul(D a, D b) { return _mm_mul_pd(a, b); }
    static D Xor(D a, D b) { return _mm_xor_pd(a, b); }
    static D Select(D mask, D a, D b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
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

}  // namespace

void SinCos(const float* x, double* s, double* c, size_t n, int cpuLevel) {
    if (cpuLevel >= 8 && HasAvx2()) {
        SinCosAvx2(x, s, c, n);
        return;
    }
    size_t i = 0;
    __m128d vs, vc;
    for (; i + 2 <= n; i += 2) {
        const __m128 pair =
            _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + i)));
        sincos::Lanes<Sse2Lanes>(_mm_cvtps_pd(pair), vs, vc);
        _mm_storeu_pd(s + i, vs);
        _mm_storeu_pd(c + i, vc);
    }
    if (i < n) {
        sincos::Lanes<Sse2Lanes>(_mm_set_sd(static_cast<double>(x[i])), vs, vc);
        _mm_store_sd(s + i, vs);
        _mm_store_sd(c + i, vc);
    }
}

}  // namespace kzr
