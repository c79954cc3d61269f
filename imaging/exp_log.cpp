#include "imaging/exp_log.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

// t[i] = w[i] where the kernel settled it, the library's formula `exact`
// of u[i] where it left NaN.
template <class F>
void Finish(const float* w, const float* u, float* t, size_t count, F exact) {
    for (size_t i = 0; i < count; ++i)
        t[i] = w[i] == w[i] ? w[i] : exact(u[i]);
}

}  // namespace

void ExpOfFloats(const float* x, double* e, size_t n, int cpuLevel) {
    if (Avx2At(cpuLevel))
        ExpAvx2(x, e, n);
    else
        explog::FloatsArray<Sse2Lanes>(explog::Exp<Sse2Lanes>(), x, e, n);
}

void LogOfFloats(const float* y, double* l, size_t n, int cpuLevel) {
    if (Avx2At(cpuLevel))
        LogAvx2(y, l, n);
    else
        explog::FloatsArray<Sse2Lanes>(explog::Log<Sse2Lanes>(), y, l, n);
}

void ExpMinusOneToFloat(const float* x, float a, double m, float* t, size_t n, int cpuLevel) {
    const bool fast = UsableFactor(m), avx2 = Avx2At(cpuLevel);
    const explog::ExpMinusOneTimes<Sse2Lanes> sse2(m);
    float u[kBlock];
    float w[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = n - first < kBlock ? n - first : kBlock;
        for (size_t i = 0; i < count; ++i)
            u[i] = x[first + i] * a;
        if (!fast)
            std::fill(w, w + count, std::numeric_limits<float>::quiet_NaN());
        else if (avx2)
            ExpMinusOneTimesAvx2(u, m, w, count);
        else
            explog::FloatsArray<Sse2Lanes>(sse2, u, w, count);
        Finish(w, u, t + first, count, [m](float v) {
            return static_cast<float>((std::exp(static_cast<double>(v)) - 1.0) * m);
        });
    }
}

void LogOnePlusToFloat(const float* x, float a, double m, float* t, size_t n, int cpuLevel) {
    const bool fast = UsableFactor(m), avx2 = Avx2At(cpuLevel);
    const explog::LogTimes<Sse2Lanes> sse2(m);
    float u[kBlock];
    float w[kBlock];
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = n - first < kBlock ? n - first : kBlock;
        for (size_t i = 0; i < count; ++i)
            u[i] = x[first + i] * a + 1.0f;
        if (!fast)
            std::fill(w, w + count, std::numeric_limits<float>::quiet_NaN());
        else if (avx2)
            LogTimesAvx2(u, m, w, count);
        else
            explog::FloatsArray<Sse2Lanes>(sse2, u, w, count);
        Finish(w, u, t + first, count,
               [m](float v) { return static_cast<float>(std::log(static_cast<double>(v)) * m); });
    }
}

}  // namespace kzr
