#include "imaging/exp_log.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <emmintrin.h>

#include "imaging/exp_log_lanes.h"
#include "imaging/lanes_sse2.h"
#include "imaging/sample.h"

namespace kzr {

namespace {

// Values go through the kernels in blocks of this many, on the stack.
constexpr size_t kBlock = 64;

bool Avx2At(int cpuLevel) {
    return cpuLevel >= 8 && HasAvx2();
}

// A factor far from the ends of the double range, so that the margin
// neither underflows to zero nor overflows; with any other the library is
// asked for every value.
bool UsableFactor(double m) {
    const double a = std::fabs(m);
    return a >= 0x1p-900 && a <= 0x1p900;
}

// The library's value of one curve at u: log(u) m, or (exp(u) - 1) m.
template <bool kLog, class In>
float Exact(In u, double m) {
    if constexpr (kLog)
        return static_cast<float>(std::log(static_cast<double>(u)) * m);
    else
        return static_cast<float>((std::exp(static_cast<double>(u)) - 1.0) * m);
}

// u[i] = x[i] * a, plus 1 for the logarithm: four floats or two doubles at
// a time (u aligned to 16 bytes).
template <bool kLog>
void Arguments(const float* x, float a, float* u, size_t n) {
    const __m128 va = _mm_set1_ps(a), one = _mm_set1_ps(1.0f);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 v = _mm_mul_ps(_mm_loadu_ps(x + i), va);
        _mm_store_ps(u + i, kLog ? _mm_add_ps(v, one) : v);
    }
    for (; i < n; ++i)
        u[i] = kLog ? x[i] * a + 1.0f : x[i] * a;
}
template <bool kLog>
void Arguments(const double* x, double a, double* u, size_t n) {
    const __m128d va = _mm_set1_pd(a), one = _mm_set1_pd(1.0);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_mul_pd(_mm_loadu_pd(x + i), va);
        _mm_store_pd(u + i, kLog ? _mm_add_pd(v, one) : v);
    }
    for (; i < n; ++i)
        u[i] = kLog ? x[i] * a + 1.0 : x[i] * a;
}

// t[i] = Exact(x[i] * a (+ 1 for the logarithm), m) for i < n: the
// arguments formed in In (float or double), the kernels in lanes, the
// library asked where they left NaN.
template <bool kLog, class In>
void CurveToFloat(const In* x, In a, double m, float* t, size_t n, int cpuLevel) {
    const bool fast = UsableFactor(m), avx2 = Avx2At(cpuLevel);
    alignas(16) In u[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = n - first < kBlock ? n - first : kBlock;
        const In* in = x + first;
        float* out = t + first;
        Arguments<kLog>(in, a, u, count);
        if (!fast)
            std::fill(out, out + count, std::numeric_limits<float>::quiet_NaN());
        else if constexpr (kLog) {
            if (avx2)
                LogTimesAvx2(u, m, out, count);
            else
                explog::LanesArray<Sse2Lanes>(explog::LogTimes<Sse2Lanes>(m), u, out, count);
        } else {
            if (avx2)
                ExpMinusOneTimesAvx2(u, m, out, count);
            else
                explog::LanesArray<Sse2Lanes>(explog::ExpMinusOneTimes<Sse2Lanes>(m), u, out,
                                              count);
        }
        for (size_t i = 0; i < count; i += 4) {
            const size_t end = i + 4 < count ? i + 4 : count;
            if (end == i + 4) {
                const __m128 v = _mm_loadu_ps(out + i);
                if (_mm_movemask_ps(_mm_cmpunord_ps(v, v)) == 0)
                    continue;
            }
            for (size_t j = i; j < end; ++j)
                if (std::isnan(out[j]))
                    out[j] = Exact<kLog>(u[j], m);
        }
    }
}

}  // namespace

void ExpOfFloats(const float* x, double* e, size_t n, int cpuLevel) {
    if (Avx2At(cpuLevel))
        ExpAvx2(x, e, n);
    else
        explog::LanesArray<Sse2Lanes>(explog::Exp<Sse2Lanes>(), x, e, n);
}

void LogOfFloats(const float* y, double* l, size_t n, int cpuLevel) {
    if (Avx2At(cpuLevel))
        LogAvx2(y, l, n);
    else
        explog::LanesArray<Sse2Lanes>(explog::Log<Sse2Lanes>(), y, l, n);
}

void ExpMinusOneToFloat(const float* x, float a, double m, float* t, size_t n, int cpuLevel) {
    CurveToFloat<false>(x, a, m, t, n, cpuLevel);
}

void LogOnePlusToFloat(const float* x, float a, double m, float* t, size_t n, int cpuLevel) {
    CurveToFloat<true>(x, a, m, t, n, cpuLevel);
}

void ExpMinusOneToFloat(const double* x, double a, double m, float* t, size_t n, int cpuLevel) {
    CurveToFloat<false>(x, a, m, t, n, cpuLevel);
}

void LogOnePlusToFloat(const double* x, double a, double m, float* t, size_t n, int cpuLevel) {
    CurveToFloat<true>(x, a, m, t, n, cpuLevel);
}

}  // namespace kzr
