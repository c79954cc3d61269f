#include "effects/hstretch.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>

namespace kzr {

template struct MapEffect<HStretch>;

// Source column of every destination pixel of rows [first, last).  The
// mapping depends on the column only, so the first row is computed and
// copied to the others.
//
// Parameters: P1 curvature k, P2 band size S (fraction of the distance from
// the centre to the farther edge), P3 inverse, P4 centre column X (fraction
// of the width).  Inside the band |x - c| < R the offset from the centre is
//   (exp(d / s) - 1) / k        (magnifies the centre), or
//   log(d k + 1) s              (inverse: squeezes it),
// with s = R / log(R k + 1), so both curves meet the identity at d = R.
void HStretch::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float k = ParamFloat(&ctx, 0);
    const float size = ParamFloat(&ctx, 1);
    const bool inverse = ParamBool(&ctx, 2);
    const float xOffset = ParamFloat(&ctx, 3);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const float W = static_cast<float>(w);
    const int32_t c = Bounded(TruncToInt(W * xOffset));
    const float D = c > w / 2 ? static_cast<float>(c) : static_cast<float>(w - c);
    // A curvature outside (0, inf) has no curve: such a band stays unchanged.
    const int32_t R = (k > 0.0f && std::isfinite(k)) ? TruncToInt(D * size) : 0;

    const ExpCurve curve(R, k);

    uint32_t* row = st.MapA + static_cast<size_t>(first) * static_cast<size_t>(w);
    // The band's columns take the curve a block of distances at a time.
    FillBandAboutColumn(row, w, c, R, [&](int32_t d0, int32_t n, float* offset) {
        alignas(16) float dist[kBandBlock];
        for (int32_t i = 0; i < n; ++i)
            dist[i] = static_cast<float>(d0 + i);
        curve.Values(dist, offset, static_cast<size_t>(n), inverse, ctx.CpuLevel);
    });
    for (int32_t y = first + 1; y < last; ++y)
        std::copy(row, row + w, st.MapA + int64_t{y} * w);
}

}  // namespace kzr
