// The four-at-a-time exponential and logarithm kernels; built with -mavx2
// and reached only after HasAvx2().
#include "imaging/exp_log.h"
#include "imaging/exp_log_lanes.h"
#include "imaging/lanes_avx2.h"

namespace kzr {

void ExpAvx2(const float* x, double* e, size_t n) {
    explog::LanesArray<Avx2Lanes>(explog::Exp<Avx2Lanes>(), x, e, n);
}

void LogAvx2(const float* y, double* l, size_t n) {
    explog::LanesArray<Avx2Lanes>(explog::Log<Avx2Lanes>(), y, l, n);
}

void ExpMinusOneTimesAvx2(const float* x, double m, float* t, size_t n) {
    explog::LanesArray<Avx2Lanes>(explog::ExpMinusOneTimes<Avx2Lanes>(m), x, t, n);
}

void LogTimesAvx2(const float* y, double m, float* t, size_t n) {
    explog::LanesArray<Avx2Lanes>(explog::LogTimes<Avx2Lanes>(m), y, t, n);
}

void ExpMinusOneTimesAvx2(const double* x, double m, float* t, size_t n) {
    explog::LanesArray<Avx2Lanes>(explog::ExpMinusOneTimes<Avx2Lanes>(m), x, t, n);
}

void LogTimesAvx2(const double* y, double m, float* t, size_t n) {
    explog::LanesArray<Avx2Lanes>(explog::LogTimes<Avx2Lanes>(m), y, t, n);
}

}  // namespace kzr
