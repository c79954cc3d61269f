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
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "imaging/coordmap.h"
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

// Writes the entries of a row of width w for a band of radius R about the
// column c: the column c + d gets c + v(d), the column c - d gets c - v(d)
// (the centre itself counts as left) for every distance d < R of a column of
// the row, v(d) taken as d where it is not a number; every other column gets
// its own.  offsets(d0, n, v) gives v(d0 + i) in v[i] for i < n <=
// kBandBlock, a block of distances at a time.
inline constexpr int32_t kBandBlock = 64;
template <class Offsets>
void FillBandAboutColumn(uint32_t* row, int32_t w, int32_t c, int32_t R, Offsets&& offsets) {
    const int64_t bandFirst = int64_t{c} - R + 1, bandLast = int64_t{c} + R;
    OwnColumns(row, 0, static_cast<int32_t>(std::clamp<int64_t>(bandFirst, 0, w)));
    OwnColumns(row, static_cast<int32_t>(std::clamp<int64_t>(bandLast, 0, w)), w);
    const float C = static_cast<float>(c);
    alignas(16) float v[kBandBlock];
    // Distances of the row's columns: from the nearest (0 when the centre
    // is inside the row) to the farthest.
    const int32_t nearest = c < 0 ? -c : (c >= w ? c - (w - 1) : 0);
    const int32_t reach = std::min(R, std::max(std::abs(c), std::abs(w - 1 - c)) + 1);
    for (int32_t d0 = nearest; d0 < reach; d0 += kBandBlock) {
        const int32_t n = std::min(kBandBlock, reach - d0);
        offsets(d0, n, v);
        for (int32_t i = 0; i < n; ++i) {
            const int32_t d = d0 + i;
            const float off = std::isnan(v[i]) ? static_cast<float>(d) : v[i];
            if (d > 0 && c + d >= 0 && c + d < w)
                row[c + d] = ClampedFixedTrunc(C + off, w);
            if (c - d >= 0 && c - d < w)
                row[c - d] = ClampedFixedTrunc(C - off, w);
        }
    }
}

}  // namespace kzr
