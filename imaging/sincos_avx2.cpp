// SinCos four angles at a time; built with -mavx2 and reached only after
// HasAvx2().
#include <immintrin.h>

#include "imaging/sincos.h"
#include "imaging/sincos_lanes.h"

namespace kzr {

namespace {

struct Avx2Lanes {
    using D = __m256d;
    static D Set(double v) { return _mm256_set1_pd(v); }
    static D Add(D a, D b) { return _mm256_add_pd(a, b); }
    static D Sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D Mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D Xor(D a, D b) { return _mm256_xor_pd(a, b); }
    static D Select(D mask, D a, D b) { return _mm256_blendv_pd(b, a, mask); }
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

}  // namespace

void SinCosAvx2(const float* x, double* s, double* c, size_t n) {
    size_t i = 0;
    __m256d vs, vc;
    for (; i + 4 <= n; i += 4) {
        sincos::Lanes<Avx2Lanes>(_mm256_cvtps_pd(_mm_loadu_ps(x + i)), vs, vc);
        _mm256_storeu_pd(s + i, vs);
        _mm256_storeu_pd(c + i, vc);
    }
    // The last one to three angles, padded with zeros.
    if (i < n) {
        float rest[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (size_t j = i; j < n; ++j)
            rest[j - i] = x[j];
        sincos::Lanes<Avx2Lanes>(_mm256_cvtps_pd(_mm_loadu_ps(rest)), vs, vc);
        double rs[4], rc[4];
        _mm256_storeu_pd(rs, vs);
        _mm256_storeu_pd(rc, vc);
        for (size_t j = i; j < n; ++j) {
            s[j] = rs[j - i];
            c[j] = rc[j - i];
        }
    }
}

}  // namespace kzr
