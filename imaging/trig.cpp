#include "imaging/trig.h"

#include <cmath>

#include "imaging/lanes_sse2.h"
#include "imaging/sample.h"
#include "imaging/trig_lanes.h"

namespace kzr {

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
