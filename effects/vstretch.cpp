#include "effects/vstretch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kzr {

template struct MapEffect<VStretch>;

// Source row of every destination pixel.  The mapping depends on the row
// only, so each row's entry is computed once and repeated along the row.
//
// Parameters: P1 curvature k, P2 band size S (fraction of the distance from
// the centre row to the farther edge), P3 inverse, P4 centre row Y (fraction
// of the height).  Inside the band |y - c| < R the offset from the centre is
//   (exp(d / s) - 1) / k        (magnifies the centre), or
//   log(d k + 1) s              (inverse: squeezes it),
// with s = R / log(R k + 1), so both curves meet the identity at d = R.
void VStretch::BuildMaps(const EffectContext& ctx, State& st) {
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

    const float invk = static_cast<float>(1.0 / static_cast<double>(k));
    const float s = static_cast<float>(
        static_cast<double>(R) / std::log(static_cast<double>(static_cast<float>(R) * k + 1.0f)));
    const float invs = static_cast<float>(1.0 / static_cast<double>(s));

    uint32_t* row = st.MapA;
    for (int32_t y = 0; y < h; ++y, row += w) {
        const int32_t d = std::abs(y - c);
        uint32_t entry;
        if (d >= R) {
            entry = static_cast<uint32_t>(y) << 16;
        } else {
            const float fd = static_cast<float>(d);
            float v = inverse
                          ? static_cast<float>(std::log(static_cast<double>(fd * k + 1.0f)) *
                                               static_cast<double>(s))
                          : static_cast<float>((std::exp(static_cast<double>(fd * invs)) - 1.0) *
                                               static_cast<double>(invk));
            if (std::isnan(v))
                v = fd;
            const float p = y > c ? C + v : C - v;
            entry = ClampedFixedTrunc(p, h);
        }
        std::fill(row, row + w, entry);
    }
}

}  // namespace kzr
