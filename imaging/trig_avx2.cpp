// The four-at-a-time trigonometric kernels; built with -mavx2 and reached
// only after HasAvx2().
#include "imaging/lanes_avx2.h"
#include "imaging/trig.h"
#include "imaging/trig_lanes.h"

namespace kzr {

void SinCosAvx2(const float* x, double* s, double* c, size_t n) {
    trig::SinCosArray<Avx2Lanes>(x, s, c, n);
}

void Atan2Avx2(const int32_t* y, const int32_t* x, double* t, size_t n) {
    trig::Atan2Array<Avx2Lanes>(y, x, t, n);
}

}  // namespace kzr
