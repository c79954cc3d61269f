#include "effects/vstretch.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kzr {

template struct MapEffect<VStretch>;

// Source row of every destination pixel of rows [first, last).  The mapping depends on the row
// only, so each row's entry is computed once and repeated along the row.
//
// Parameters: P1 curvature k, P2 band size S (fraction of the distance from
// the centre row to the farther edge), P3 inverse, P4 centre row Y (fraction
// of the height).  Inside the band |y - c| < R the offset from the centre is
//   (exp(d / s) - 1) / k        (magnifies the centre), or
//   log(d k + 1) s              (inverse: squeezes it),
// with s = R / log(R k + 1), so both curves meet the identity at d = R.
void VStretch::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float k = ParamFloat(&ctx, 0);
    const float size = ParamFloat(&ctx, 1);
    const bool inverse = ParamBool(&ctx, 2);
    const float yOffset = ParamFloat(&ctx, 3);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const float H = static_cast<float>(h);
    const int32_t c = Bounded(TruncToInt(H * yOffset));
    const float C = static_cast<float>(c);
    // On the middle row of an odd height this takes the nearer edge.
    const float D = c < h / 2 ? static_cast<float>(h - c) : static_cast<float>(c);
    // A curvature outside (0, inf) has no curve: such a band stays unchanged.
    const int32_t R = (k > 0.0f && std::isfinite(k)) ? TruncToInt(D * size) : 0;

    const ExpCurve curve(R, k);

    uint32_t* row = st.MapA + static_cast<size_t>(first) * static_cast<size_t>(w);
    for (int32_t y = first; y < last; ++y, row += w) {
        const int32_t d = std::abs(y - c);
        uint32_t entry;
        if (d >= R) {
            entry = static_cast<uint32_t>(y) << 16;
        } else {
            const float v = curve.Offset(static_cast<float>(d), inverse);
            const float p = y > c ? C + v : C - v;
            entry = ClampedFixedTrunc(p, h);
        }
        std::fill(row, row + w, entry);
    }
}

}  // namespace kzr
