// Sine and cosine of many angles at once, in lanes of doubles.
//
// The results are not the library's bit for bit: each is within 2^-51 of the
// exact value (the library's own are within one unit in the last place), so
// a caller that needs the library's result exactly checks that the error
// cannot change what it makes of the value, and asks the library otherwise.
#pragma once
#include <cstddef>

namespace kzr {

// Largest |angle| SinCos takes; larger ones (and NaN) give unspecified values.
inline constexpr double kSinCosLimit = 1e5;

// s[i] = sin(x[i]) and c[i] = cos(x[i]) for i < n, |x[i]| <= kSinCosLimit;
// four at a time at CpuLevel 8 and above where the processor has AVX2, two
// at a time otherwise, with the same results.
void SinCos(const float* x, double* s, double* c, size_t n, int cpuLevel);
// The four-at-a-time form; needs HasAvx2().
void SinCosAvx2(const float* x, double* s, double* c, size_t n);

}  // namespace kzr
