// The kernels of ExpOfFloats and LogOfFloats (exp_log.h), written once over
// a lane type L (lanes_sse2.h, lanes_avx2.h) like the trigonometric ones.
// Besides the operations trig_lanes.h names, L provides Or and Load (kWidth
// doubles); on the 64 bits of each lane as an integer SetBits(v),
// AddBits(a, b) and the logical shifts ShiftLeftBits<N>, ShiftRightBits<N>;
// and a vector F of kWidth floats: ToFloats (each lane rounded to float),
// SetFloats, AndFloats, SameFloatBits(a, b) (all ones where the bits are
// equal), SelectFloats and Store(float*, F).
//
// Both widths take the same steps, so they give the same bits.  Every step
// is one IEEE operation (no fused multiply-add), exact where noted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>

#include "imaging/trig_lanes.h"

namespace kzr::explog {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ln 2 in two parts: the first has 32 significant bits, so k times it is
// exact for |k| < 2^21 and x - k ln2hi is exact where k is x / ln 2 rounded.
inline constexpr double kLn2Hi = 6.93147180369123816490e-01;
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;
inline constexpr double kInvLn2 = 1.44269504088896338700e+00;

// 1.5 * 2^52: adding it rounds a double below 2^51 in magnitude to an
// integer, which then stands in the low bits of the sum.
inline constexpr double kRoundingShift = 0x1.8p52;

// exp is taken for |x| below this; its result stays a normal double.
inline constexpr double kExpLimit = 700.0;

// Taylor coefficients 1 / i! of exp up to degree 13: on |r| <= ln2 / 2 the
// series left out is below 2^-57 of the result.
constexpr double Factorial(int n) {
    return n <= 1 ? 1.0 : n * Factorial(n - 1);
}
inline constexpr double kExpTaylor[] = {
    1.0,
    1.0,
    1.0 / Factorial(2),
    1.0 / Factorial(3),
    1.0 / Factorial(4),
    1.0 / Factorial(5),
    1.0 / Factorial(6),
    1.0 / Factorial(7),
    1.0 / Factorial(8),
    1.0 / Factorial(9),
    1.0 / Factorial(10),
    1.0 / Factorial(11),
    1.0 / Factorial(12),
    1.0 / Factorial(13),
};

// log(1 + f) = 2 s + s R(s^2), s = f / (2 + f), with R(z) = kLg1 z + ... +
// kLg7 z^7 the minimax polynomial on |s| <= 0.1716 of the freely
// distributable mathematical libraries, within 2^-58 of the series.
inline constexpr double kLg1 = 6.666666666666735130e-01;
inline constexpr double kLg2 = 3.999999999940941908e-01;
inline constexpr double kLg3 = 2.857142874366239149e-01;
inline constexpr double kLg4 = 2.222219843214978396e-01;
inline constexpr double kLg5 = 1.818357216161805012e-01;
inline constexpr double kLg6 = 1.531383769920937332e-01;
inline constexpr double kLg7 = 1.479819860511658591e-01;

// log is taken for y strictly between these.
inline constexpr double kLogLow = 0x1p-1000;
inline constexpr double kLogHigh = 0x1p1000;

// exp(x) within 2 units in the last place for |x| < kExpLimit; NaN for
// every other x (NaN included).
template <class L>
inline typename L::D ExpLanes(typename L::D x) {
    using D = typename L::D;
    // k = x / ln 2 rounded, r = x - k ln 2 in about [-ln2 / 2, ln2 / 2].
    const D shifted = L::Add(L::Mul(x, L::Set(kInvLn2)), L::Set(kRoundingShift));
    const D k = L::Sub(shifted, L::Set(kRoundingShift));
    const D hi = L::Sub(x, L::Mul(k, L::Set(kLn2Hi)));  // exact
    const D r = L::Sub(hi, L::Mul(k, L::Set(kLn2Lo)));
    // exp(r) = 1 + r Q(r), Q(r) = 1 + r / 2! + ... + r^12 / 13!, evaluated
    // in pairs of terms, pairs of pairs and so on (a short chain of
    // dependent steps); its rounding reaches the result scaled by |r| <= 0.35.
    const D r2 = L::Mul(r, r), r4 = L::Mul(r2, r2), r8 = L::Mul(r4, r4);
    const auto pair = [&](int j) {
        return L::Add(L::Set(kExpTaylor[j + 1]), L::Mul(r, L::Set(kExpTaylor[j + 2])));
    };
    const D q0 = L::Add(pair(0), L::Mul(r2, pair(2))), q1 = L::Add(pair(4), L::Mul(r2, pair(6)));
    const D q2 = L::Add(pair(8), L::Mul(r2, pair(10))), q3 = L::Set(kExpTaylor[13]);
    const D q = L::Add(L::Add(q0, L::Mul(r4, q1)), L::Mul(r8, L::Add(q2, L::Mul(r4, q3))));
    const D p = L::Add(L::Set(1.0), L::Mul(r, q));
    // 2^k from the integer in the low bits of `shifted`: its exponent field
    // is k + 1023 shifted into place (the shift's own bits fall out).
    const D scale = L::template ShiftLeftBits<52>(L::AddBits(shifted, L::SetBits(1023)));
    const D e = L::Mul(p, scale);  // exact
    const D sign = L::Set(-0.0);
    const D ax = L::Xor(L::And(x, sign), x);
    return L::Select(L::Less(ax, L::Set(kExpLimit)), e, L::Set(kNaN));
}

// log(y) within 2 units in the last place for kLogLow < y < kLogHigh; NaN
// for every other y (NaN included).
template <class L>
inline typename L::D LogLanes(typename L::D y) {
    using D = typename L::D;
    // y = 2^k m with m in [sqrt(2) / 2, sqrt(2)): an offset added to the
    // bits carries into the exponent exactly when the mantissa reaches
    // sqrt(2); the mantissa gets the exponent of [0.5, 1) back with the
    // offset taken off, which carries to [1, 2) for the others.
    constexpr uint64_t kSqrtHalfHigh = uint64_t{0x3fe6a09e} << 32;
    constexpr uint64_t kOffset = (uint64_t{0x3ff00000} << 32) - kSqrtHalfHigh;
    const D u = L::AddBits(y, L::SetBits(kOffset));
    // The biased exponent (0 to 2047, y positive) into the mantissa of 2^52.
    const D biased = L::Or(L::template ShiftRightBits<52>(u), L::Set(0x1p52));
    const D k = L::Sub(biased, L::Set(0x1p52 + 1023.0));  // exact
    const D m = L::AddBits(L::And(u, L::SetBits(0x000fffffffffffff)), L::SetBits(kSqrtHalfHigh));

    const D f = L::Sub(m, L::Set(1.0));  // exact
    const D s = L::Div(f, L::Add(L::Set(2.0), f));
    const D z = L::Mul(s, s), w = L::Mul(z, z);
    const D t1 =
        L::Mul(w, L::Add(L::Set(kLg2), L::Mul(w, L::Add(L::Set(kLg4), L::Mul(w, L::Set(kLg6))))));
    const D t2 = L::Mul(
        z, L::Add(L::Set(kLg1),
                  L::Mul(w, L::Add(L::Set(kLg3),
                                   L::Mul(w, L::Add(L::Set(kLg5), L::Mul(w, L::Set(kLg7))))))));
    const D hfsq = L::Mul(L::Mul(L::Set(0.5), f), f);
    // k ln2 + f - f^2 / 2 + s (f^2 / 2 + R), the small terms first.
    D l = L::Add(L::Mul(s, L::Add(hfsq, L::Add(t2, t1))), L::Mul(k, L::Set(kLn2Lo)));
    l = L::Add(L::Sub(l, hfsq), f);
    l = L::Add(l, L::Mul(k, L::Set(kLn2Hi)));
    const D valid = L::And(L::Less(L::Set(kLogLow), y), L::Less(y, L::Set(kLogHigh)));
    return L::Select(valid, l, L::Set(kNaN));
}

// |v|.
template <class L>
inline typename L::D Abs(typename L::D v) {
    return L::Xor(L::And(v, L::Set(-0.0)), v);
}

// float(v) where every value within `margin` of v rounds to that same float
// (compared as bits, so a margin across zero does not pass with +0 against
// -0), NaN elsewhere for the caller to ask the library.  Rounding is
// monotonic, so the two ends decide; a v that is not a number stays NaN,
// and an infinite one meets an infinite margin and becomes NaN.
template <class L>
inline typename L::F SettleToFloat(typename L::D v, typename L::D margin) {
    using F = typename L::F;
    const F f = L::ToFloats(v);
    const F same = L::AndFloats(L::SameFloatBits(L::ToFloats(L::Sub(v, margin)), f),
                                L::SameFloatBits(L::ToFloats(L::Add(v, margin)), f));
    return L::SelectFloats(same, f, L::SetFloats(std::numeric_limits<float>::quiet_NaN()));
}

// The kernels' results and the library's differ by far less than 2^-46 of
// the magnitudes that went into a value (see below), so a value whose whole
// margin rounds to one float rounds to it from the library's too.
inline constexpr double kMargin = 0x1p-46;

// The kernels over arrays, as function objects on kWidth values.
template <class L>
struct Exp {
    typename L::D operator()(typename L::D x) const { return ExpLanes<L>(x); }
};
template <class L>
struct Log {
    typename L::D operator()(typename L::D y) const { return LogLanes<L>(y); }
};

// (exp(u) - 1) m settled to float.  With E the kernel's exponential, within
// 2^-50 E of the library's (each within 2^-51 E of the exact value), E - 1
// is within 2^-50 E plus its own rounding and the product v within |m|
// times that plus its rounding: well inside 2^-46 (E |m| + |v|).
template <class L>
struct ExpMinusOneTimes {
    typename L::D m, am;
    explicit ExpMinusOneTimes(double factor)
        : m(L::Set(factor)), am(L::Set(factor < 0 ? -factor : factor)) {}
    typename L::F operator()(typename L::D u) const {
        using D = typename L::D;
        const D e = ExpLanes<L>(u);
        const D v = L::Mul(L::Sub(e, L::Set(1.0)), m);
        return SettleToFloat<L>(v, L::Mul(L::Add(L::Mul(e, am), Abs<L>(v)), L::Set(kMargin)));
    }
};

// log(u) m settled to float.  The kernel's logarithm is within 2^-50 of the
// library's relative to the value, so the product v is well inside
// 2^-46 |v|.
template <class L>
struct LogTimes {
    typename L::D m;
    explicit LogTimes(double factor) : m(L::Set(factor)) {}
    typename L::F operator()(typename L::D u) const {
        using D = typename L::D;
        const D v = L::Mul(LogLanes<L>(u), m);
        return SettleToFloat<L>(v, L::Mul(Abs<L>(v), L::Set(kMargin)));
    }
};

// kWidth floats or doubles as the lanes' doubles.
template <class L>
inline typename L::D LoadLanes(const float* p) {
    return L::LoadFloats(p);
}
template <class L>
inline typename L::D LoadLanes(const double* p) {
    return L::Load(p);
}

// A kernel over whole arrays of floats or doubles, to doubles (Exp, Log) or
// floats (the others); the last partial step is padded with zeros.
template <class L, class K, class In, class T>
void LanesArray(const K& kernel, const In* x, T* out, size_t n) {
    constexpr size_t kW = L::kWidth;
    size_t i = 0;
    for (; i + kW <= n; i += kW)
        L::Store(out + i, kernel(LoadLanes<L>(x + i)));
    if (i == n)
        return;
    In rest[kW] = {};
    for (size_t j = i; j < n; ++j)
        rest[j - i] = x[j];
    T ro[kW];
    L::Store(ro, kernel(LoadLanes<L>(rest)));
    for (size_t j = i; j < n; ++j)
        out[j] = ro[j - i];
}

}  // namespace kzr::explog
