// Exponentials and logarithms of many floats at once, in lanes of doubles:
// four at a time at CpuLevel 8 and above where the processor has AVX2, two
// at a time otherwise, with the same results.
//
// ExpOfFloats and LogOfFloats are not the library's bit for bit: each result
// is within 2^-51 of the exact value (the library's within one unit in the
// last place).  The curve forms below round such a value to float only where
// that error cannot change the float, and ask the library otherwise, so
// they give what the library gives.
#pragma once
#include <cstddef>

namespace kzr {

// e[i] = exp(x[i]) for |x[i]| < 700, NaN for every other x[i].
void ExpOfFloats(const float* x, double* e, size_t n, int cpuLevel);
// l[i] = log(y[i]) for y[i] > 0 (and finite), NaN for every other y[i].
void LogOfFloats(const float* y, double* l, size_t n, int cpuLevel);

// t[i] = float((exp(double(x[i] * a)) - 1.0) * m) for i < n, the product
// x[i] * a in float, bit for bit what the library's exp gives.
void ExpMinusOneToFloat(const float* x, float a, double m, float* t, size_t n, int cpuLevel);
// t[i] = float(log(double(x[i] * a + 1.0f)) * m) for i < n, x[i] * a + 1 in
// float, bit for bit what the library's log gives.
void LogOnePlusToFloat(const float* x, float a, double m, float* t, size_t n, int cpuLevel);
// The same two curves with the arguments formed in double:
// t[i] = float((exp(x[i] * a) - 1.0) * m) and float(log(x[i] * a + 1.0) * m).
void ExpMinusOneToFloat(const double* x, double a, double m, float* t, size_t n, int cpuLevel);
void LogOnePlusToFloat(const double* x, double a, double m, float* t, size_t n, int cpuLevel);

// The four-at-a-time kernels; they need HasAvx2().  The last two give
// (exp(x[i]) - 1) m and log(x[i]) m rounded to float where the kernel's
// error cannot change that float, NaN where the library is to be asked.
void ExpAvx2(const float* x, double* e, size_t n);
void LogAvx2(const float* y, double* l, size_t n);
void ExpMinusOneTimesAvx2(const float* x, double m, float* t, size_t n);
void LogTimesAvx2(const float* y, double m, float* t, size_t n);
void ExpMinusOneTimesAvx2(const double* x, double m, float* t, size_t n);
void LogTimesAvx2(const double* y, double m, float* t, size_t n);

}  // namespace kzr
