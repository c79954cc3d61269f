// The sine and cosine kernel of SinCos, written once over a lane type L
// (two doubles with SSE2, four with AVX2).  L provides the vector type D,
// Set, Add, Sub, Mul, Select(mask, a, b) = mask ? a : b, Xor, and
// Quadrant(v, k, swap, sinSign, cosSign): k the nearest integer to v as
// doubles, swap all ones where k is odd, sinSign the sign bit where
// k mod 4 is 2 or 3 and cosSign where it is 1 or 2.
//
// Both widths take the same steps, so they give the same bits.
#pragma once

namespace kzr::sincos {

// pi / 2 in three parts of 33, 33 and 53 bits: k times either of the first
// two is exact for |k| < 2^20, so x - k pi / 2 keeps its accuracy up to the
// limit.
inline constexpr double kTwoOverPi = 6.36619772367581382433e-01;
inline constexpr double kHalfPi1 = 1.57079632673412561417e+00;
inline constexpr double kHalfPi2 = 6.07710050630396597660e-11;
inline constexpr double kHalfPi3 = 2.02226624879595063154e-21;

// Minimax polynomials of sin and cos on [-pi/4, pi/4].
inline constexpr double kSin[] = {-1.66666666666666324348e-01, 8.33333333332248946124e-03,
                                  -1.98412698298579493134e-04, 2.75573137070700676789e-06,
                                  -2.50507602534068634195e-08, 1.58969099521155010221e-10};
inline constexpr double kCos[] = {4.16666666666666019037e-02, -1.38888888888741095749e-03,
                                  2.48015872894767294178e-05, -2.75573143513906633035e-07,
                                  2.08757232129817482790e-09, -1.13596475577881948265e-11};

// c[0] + z c[1] + ... + z^5 c[5], from the highest power down.
template <class L>
inline typename L::D Poly(typename L::D z, const double (&c)[6]) {
    typename L::D p = L::Add(L::Mul(z, L::Set(c[5])), L::Set(c[4]));
    for (int i = 3; i >= 0; --i)
        p = L::Add(L::Mul(p, z), L::Set(c[i]));
    return p;
}

template <class L>
inline void Lanes(typename L::D x, typename L::D& sinOut, typename L::D& cosOut) {
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

}  // namespace kzr::sincos
