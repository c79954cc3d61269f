// Sines, cosines and polar angles of many values at once, in lanes of
// doubles: four at a time at CpuLevel 8 and above where the processor has
// AVX2, two at a time otherwise, with the same results.
//
// SinCos is not the library's bit for bit: each result is within 2^-51 of
// the exact value (the library's own are within one unit in the last place),
// so a caller that needs the library's result exactly checks that the error
// cannot change what it makes of the value, and asks the library otherwise.
// Atan2ToFloat does that itself.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kzr {

// Largest |angle| SinCos takes; larger ones (and NaN) give unspecified values.
inline constexpr double kSinCosLimit = 1e5;

// s[i] = sin(x[i]) and c[i] = cos(x[i]) for i < n, |x[i]| <= kSinCosLimit.
void SinCos(const float* x, double* s, double* c, size_t n, int cpuLevel);

// t[i] = float(atan2(double(y[i]), double(x[i]))) for i < n, bit for bit
// the library's.
void Atan2ToFloat(const int32_t* y, const int32_t* x, float* t, size_t n, int cpuLevel);

// The four-at-a-time kernels; they need HasAvx2().
void SinCosAvx2(const float* x, double* s, double* c, size_t n);
void Atan2Avx2(const int32_t* y, const int32_t* x, double* t, size_t n);

}  // namespace kzr
