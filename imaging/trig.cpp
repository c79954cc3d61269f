#include "imaging/trig.h"

#include <emmintrin.h>

#include <cmath>

#include "imaging/sample.h"
#include "imaging/trig_lanes.h"

namespace kzr {

namespace {

struct Sse2Lanes {
    using D = __m128d;
    static constexpr size_t kWidth = 2;
    static D LoadFloats(const float* p) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static D LoadInts(const int32_t* p) {
        return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
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
    if (cpuLevel >= 8 && HasAvx2())
        SinCosAvx2(x, s, c, n);
    else
        trig::SinCosArray<Sse2Lanes>(x, s, c, n);
}

// The kernel's angle is within a few units in the last place of the exact
// one, as is the library's, so the two differ by far less than the margin
// 2^-40 |t|.  When every value within the margin turns into the same float,
// the library's does too; otherwise (and for NaN, from (0, 0)) the library
// is asked.
void Atan2ToFloat(const int32_t* y, const int32_t* x, float* t, size_t n, int cpuLevel) {
    constexpr size_t kBlock = 64;
    double wide[kBlock];
    const bool avx2 = cpuLevel >= 8 && HasAvx2();
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = n - first < kBlock ? n - first : kBlock;
        if (avx2)
            Atan2Avx2(y + first, x + first, wide, count);
        else
            trig::Atan2Array<Sse2Lanes>(y + first, x + first, wide, count);
        for (size_t i = 0; i < count; ++i) {
            const double v = wide[i], margin = std::fabs(v) * 0x1p-40;
            const float f = static_cast<float>(v);
            if (static_cast<float>(v - margin) == f && static_cast<float>(v + margin) == f)
                t[first + i] = f;
            else
                t[first + i] = static_cast<float>(std::atan2(static_cast<double>(y[first + i]),
                                                             static_cast<double>(x[first + i])));
        }
    }
}

}  // namespace kzr
