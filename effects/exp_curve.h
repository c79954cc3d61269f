// The curve pair with which the stretch, squeeze and S-shape effects bend a
// band or lens of radius R with curvature k:
//
//   Magnify(d) = (exp(d / s) - 1) / k    below the identity: magnifies the centre
//   Squeeze(d) = log(d k + 1) s          its inverse: compresses the centre
//
// with s = R / log(R k + 1), so both send 0 to 0 and R to R.  The constants
// are computed in double and kept as float; d / s (as d * (1 / s)) and d k + 1
// are formed in float, the rest in double.  Without a usable curve (k not
// positive, R of 0) the constants are not finite and the results not numbers;
// callers guard against that.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "imaging/exp_log.h"

namespace kzr {

struct ExpCurve {
    ExpCurve(int32_t radius, float curvature)
        : k(curvature),
          invk(static_cast<float>(1.0 / static_cast<double>(curvature))),
          s(static_cast<float>(
              static_cast<double>(radius) /
              std::log(static_cast<double>(static_cast<float>(radius) * curvature + 1.0f)))),
          invs(static_cast<float>(1.0 / static_cast<double>(s))) {}

    float Magnify(float d) const {
        return static_cast<float>((std::exp(static_cast<double>(d * invs)) - 1.0) *
                                  static_cast<double>(invk));
    }
    float Squeeze(float d) const {
        return static_cast<float>(std::log(static_cast<double>(d * k + 1.0f)) *
                                  static_cast<double>(s));
    }
    // v[i] = Squeeze(d[i]) (squeeze) or Magnify(d[i]) for i < n, bit for bit,
    // in lanes at the given CpuLevel.
    void Values(const float* d, float* v, size_t n, bool squeeze, int cpuLevel) const {
        if (squeeze)
            LogOnePlusToFloat(d, k, static_cast<double>(s), v, n, cpuLevel);
        else
            ExpMinusOneToFloat(d, invs, static_cast<double>(invk), v, n, cpuLevel);
    }
    // The offset of a band pixel at distance d; d itself when the curve gives
    // no number, so such a pixel stays in place.
    float Offset(float d, bool squeeze) const {
        const float v = squeeze ? Squeeze(d) : Magnify(d);
        return std::isnan(v) ? d : v;
    }

    float k, invk, s, invs;
};

}  // namespace kzr
