// The kernels of SinCos and Atan2ToFloat, written once over a lane type L
// (two doubles with SSE2, four with AVX2: lanes_sse2.h, lanes_avx2.h).  L
// provides the vector type D, its width kWidth, LoadFloats and LoadInts
// (kWidth floats or 32-bit integers to doubles), Store, Set, Add, Sub, Mul,
// Div, Min, Max, Less(a, b) (all ones where a < b), And, Xor, Select(mask,
// a, b) = mask ? a : b, and Quadrant(v, k, swap, sinSign, cosSign): k the
// nearest integer to v as doubles, swap all ones where k is odd, sinSign the
// sign bit where k mod 4 is 2 or 3 and cosSign where it is 1 or 2.
//
// Both widths take the same steps, so they give the same bits.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kzr::trig {

// pi / 2 in three parts of 33, 33 and 53 bits: k times either of the first
// two is exact for |k| < 2^20, so x - k pi / 2 keeps its accuracy up to the
// limit.
inline constexpr double kTwoOverPi = 6.36619772367581382433e-01;
inline constexpr double kHalfPi1 = 1.57079632673412561417e+00;
inline constexpr double kHalfPi2 = 6.07710050630396597660e-11;
inline constexpr double kHalfPi3 = 2.02226624879595063154e-21;

inline constexpr double kQuarterPi = 7.85398163397448278999e-01;
inline constexpr double kHalfPi = 1.57079632679489655800e+00;
inline constexpr double kPi = 3.14159265358979311600e+00;
inline constexpr double kTanEighthPi = 4.14213562373095034e-01;

// Minimax polynomials of sin and cos on [-pi/4, pi/4], in z = r^2.
inline constexpr double kSin[] = {-1.66666666666666324348e-01, 8.33333333332248946124e-03,
                                  -1.98412698298579493134e-04, 2.75573137070700676789e-06,
                                  -2.50507602534068634195e-08, 1.58969099521155010221e-10};
inline constexpr double kCos[] = {4.16666666666666019037e-02, -1.38888888888741095749e-03,
                                  2.48015872894767294178e-05, -2.75573143513906633035e-07,
                                  2.08757232129817482790e-09, -1.13596475577881948265e-11};
// atan on [-7/16, 7/16]: the even and the odd terms, in w = b^4.
inline constexpr double kAtanEven[] = {3.33333333333329318027e-01, 1.42857142725034663711e-01,
                                       9.09088713343650656196e-02, 6.66107313738753120669e-02,
                                       4.97687799461593236017e-02, 1.62858201153657823623e-02};
inline constexpr double kAtanOdd[] = {-1.99999999998764832476e-01, -1.11111104054623557880e-01,
                                      -7.69187620504482999495e-02, -5.83357013379057348645e-02,
                                      -3.65315727442169155270e-02};

// p z + c[I - 1], then times z plus c[I - 2], and so on down to c[0]:
// written out step by step, so that the steps of neighbouring values
// overlap.
template <class L, size_t N, size_t I>
inline typename L::D PolySteps(typename L::D p, typename L::D z, const double (&c)[N]) {
    if constexpr (I == 0)
        return p;
    else
        return PolySteps<L, N, I - 1>(L::Add(L::Mul(p, z), L::Set(c[I - 1])), z, c);
}

// c[0] + z c[1] + ... + z^(N-1) c[N-1], from the highest power down.
template <class L, size_t N>
inline typename L::D Poly(typename L::D z, const double (&c)[N]) {
    return PolySteps<L, N, N - 2>(L::Add(L::Mul(z, L::Set(c[N - 1])), L::Set(c[N - 2])), z, c);
}

template <class L>
inline void SinCosLanes(typename L::D x, typename L::D& sinOut, typename L::D& cosOut) {
    using D = typename L::D;
    // Quadrant k and the remainder r = x - k pi / 2 in [-pi/4, pi/4].
    D k, swap, sinSign, cosSign;
    L::Quadrant(L::Mul(x, L::Set(kTwoOverPi)), k, swap, sinSign, cosSign);
    D r = L::Sub(x, L::Mul(k, L::Set(kHalfPi1)));
    r = L::Sub(r, L::Mul(k, L::Set(kHalfPi2)));
    r = L::Sub(r, L::Mul(k, L::Set(kHalfPi3)));

    const D z = L::Mul(r, r);
    const D sr = L::Add(r, L::Mul(L::Mul(r, z), Poly<L>(z, kSin)));
    const D cr =
        L::Add(L::Sub(L::Set(1.0), L::Mul(z, L::Set(0.5))), L::Mul(L::Mul(z, z), Poly<L>(z, kCos)));
    sinOut = L::Xor(L::Select(swap, cr, sr), sinSign);
    cosOut = L::Xor(L::Select(swap, sr, cr), cosSign);
}

// atan2(y, x) for (x, y) other than (0, 0), which gives NaN.
template <class L>
inline typename L::D Atan2Lanes(typename L::D y, typename L::D x) {
    using D = typename L::D;
    const D zero = L::Set(0.0), sign = L::Set(-0.0);
    const D ax = L::Xor(L::And(x, sign), x), ay = L::Xor(L::And(y, sign), y);
    // a = min / max in [0, 1], then b in [-tan(pi/8), tan(pi/8)] with
    // atan(a) = pi/4 + atan(b) above tan(pi/8).
    const D a = L::Div(L::Min(ax, ay), L::Max(ax, ay));
    const D big = L::Less(L::Set(kTanEighthPi), a);
    const D one = L::Set(1.0);
    const D b = L::Select(big, L::Div(L::Sub(a, one), L::Add(a, one)), a);
    const D z = L::Mul(b, b), w = L::Mul(z, z);
    const D even = L::Mul(z, Poly<L>(w, kAtanEven)), odd = L::Mul(w, Poly<L>(w, kAtanOdd));
    D t = L::Sub(b, L::Mul(b, L::Add(even, odd)));
    t = L::Select(big, L::Add(L::Set(kQuarterPi), t), t);
    // Back to the octant of (x, y).
    t = L::Select(L::Less(ax, ay), L::Sub(L::Set(kHalfPi), t), t);
    t = L::Select(L::Less(x, zero), L::Sub(L::Set(kPi), t), t);
    return L::Xor(t, L::And(y, sign));
}

// The kernels over whole arrays; the last partial step is padded.
template <class L>
void SinCosArray(const float* x, double* s, double* c, size_t n) {
    constexpr size_t kW = L::kWidth;
    typename L::D vs, vc;
    size_t i = 0;
    for (; i + kW <= n; i += kW) {
        SinCosLanes<L>(L::LoadFloats(x + i), vs, vc);
        L::Store(s + i, vs);
        L::Store(c + i, vc);
    }
    if (i == n)
        return;
    float rest[kW] = {};
    for (size_t j = i; j < n; ++j)
        rest[j - i] = x[j];
    double rs[kW], rc[kW];
    SinCosLanes<L>(L::LoadFloats(rest), vs, vc);
    L::Store(rs, vs);
    L::Store(rc, vc);
    for (size_t j = i; j < n; ++j) {
        s[j] = rs[j - i];
        c[j] = rc[j - i];
    }
}

template <class L>
void Atan2Array(const int32_t* y, const int32_t* x, double* t, size_t n) {
    constexpr size_t kW = L::kWidth;
    size_t i = 0;
    for (; i + kW <= n; i += kW)
        L::Store(t + i, Atan2Lanes<L>(L::LoadInts(y + i), L::LoadInts(x + i)));
    if (i == n)
        return;
    int32_t ry[kW] = {}, rx[kW] = {};
    for (size_t j = i; j < n; ++j) {
        ry[j - i] = y[j];
        rx[j - i] = x[j];
    }
    double rt[kW];
    L::Store(rt, Atan2Lanes<L>(L::LoadInts(ry), L::LoadInts(rx)));
    for (size_t j = i; j < n; ++j)
        t[j] = rt[j - i];
}

}  // namespace kzr::trig
