#include "effects/sshape.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kzr {

template struct MapEffect<SShape>;

// Source row of every destination pixel of rows [first, last); all entries
// of a row are equal.
//
// Parameters: P1 curvature g, P2 band size S (the band half-height R is S
// times a quarter of the height), P3 inverse.  The upper half's band is
// centred on row h/4, the lower half's on row 3h/4.  Within a band, at
// distance d <= R from its centre row, the offset from the centre is
//   (exp(d / K) - 1) / g        (magnifies the centre), or
//   log(d g + 1) K              (squeezes it),
// with K = R / log(R g + 1), so both curves meet the identity at d = R.
// The upper band uses the first curve and the lower band the second; the
// inverse swaps them.
void SShape::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float g = ParamFloat(&ctx, 0);
    const float size = ParamFloat(&ctx, 1);
    const bool inverse = ParamBool(&ctx, 2);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const int32_t m = h / 2;
    const int32_t q1 = h / 4;
    const int32_t q3 = (3 * h) / 4;
    // A curvature that is not a positive normal float has no curve (1 / g
    // would not be finite), and a band of no height has no constants (K would
    // be 0 / 0): such bands stay unchanged.
    const bool curved = g > 0.0f && std::isnormal(g);
    const int32_t R = curved ? Bounded(TruncToInt((static_cast<float>(h) * size) * 0.25f)) : 0;

    // The same holds when R g is too small to move the log argument off 1.
    const double logArg =
        R > 0 ? std::log(static_cast<double>(static_cast<float>(R) * g + 1.0f)) : 0.0;
    const bool banded = logArg > 0.0;
    const ExpCurve curve(R, g);

    uint32_t* row = st.MapA + static_cast<size_t>(first) * static_cast<size_t>(w);
    for (int32_t y = first; y < last; ++y, row += w) {
        const int32_t c = y < m ? q1 : q3;
        const int32_t d = std::abs(y - c);
        uint32_t entry = static_cast<uint32_t>(y) << 16;
        if (banded && d <= R) {
            const bool squeeze = (y < m) == inverse;
            const float v = curve.Offset(static_cast<float>(d), squeeze);
            const float p = y > c ? static_cast<float>(c) + v : static_cast<float>(c) - v;
            // Float error can put the outermost rows of a full-size band a
            // hair outside the frame; hold them at its edge.
            entry = ClampedFixedTrunc(p, h);
        }
        std::fill(row, row + w, entry);
    }
}

}  // namespace kzr
