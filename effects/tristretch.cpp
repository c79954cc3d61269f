#include "effects/tristretch.h"

#include "effects/exp_curve.h"

#include <cmath>
#include <cstdlib>

namespace kzr {

template struct MapEffect<TriStretch>;

// Source column of every destination pixel of rows [first, last); every row
// has its own curve.
//
// Parameters: P1 curvature g reached at the top and bottom rows, P2 band size
// S (fraction of the height of the row's half), P3 inverse, P4 the position
// point (X, Y) as fractions of the frame.  The row through the point is left
// alone; a row at relative distance t from it (1 at the frame edge of its
// half) has curvature G = g t^2, and inside the band |x - cx| < R its offset
// from the centre column is
//   (exp(b / K) - 1) / G        (magnifies the centre), or
//   log(b G + 1) K              (squeezes it),
// with K = R / log(R G + 1), so both curves meet the identity at b = R.
// The upper half uses the first curve and the lower half the second; the
// inverse swaps them.
void TriStretch::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float g = ParamFloat(&ctx, 0);
    const float size = ParamFloat(&ctx, 1);
    const bool inverse = ParamBool(&ctx, 2);
    const Point2f pos = ParamPoint(&ctx, 3);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const float W = static_cast<float>(w);
    const int32_t cx = Bounded(TruncToInt(W * pos.x));
    const int32_t cy = Bounded(TruncToInt(static_cast<float>(h) * pos.y));
    // A curvature that is not a positive normal float has no curve: every
    // band stays unchanged.
    const bool curved = g > 0.0f && std::isnormal(g);

    uint32_t* row = st.MapA + static_cast<size_t>(first) * static_cast<size_t>(w);
    for (int32_t y = first; y < last; ++y, row += w) {
        const int32_t a = std::abs(y - cy);
        const int32_t E = y <= cy ? cy : h - cy;
        const int32_t R = curved ? Bounded(TruncToInt(static_cast<float>(E) * size)) : 0;
        // The position row maps to itself, and so does a band of no width
        // (whose constants would be 0 / 0).
        if (y == cy || R <= 0) {
            OwnColumns(row, 0, w);
            continue;
        }
        const float t = static_cast<float>(a) / static_cast<float>(E);
        const float gy = (t * g) * t;
        const double G = gy == 0.0f ? 1e-8 : static_cast<double>(gy);
        double arg = static_cast<double>(R) * G + 1.0;
        if (inverse)
            arg = static_cast<double>(static_cast<float>(arg));
        const double logArg = std::log(arg);
        // A curvature too weak to move the argument off 1 leaves a flat
        // curve (and K = R / 0): the row stays as it is.
        if (!(logArg > 0.0)) {
            OwnColumns(row, 0, w);
            continue;
        }
        const double invG = 1.0 / G;
        const double K = static_cast<double>(R) / logArg;
        const double invK = 1.0 / K;
        const bool magnify = (y < cy) != inverse;

        FillBandAboutColumn(row, w, cx, R, [&](int32_t d0, int32_t n, float* offset) {
            alignas(16) double dist[kBandBlock];
            for (int32_t i = 0; i < n; ++i)
                dist[i] = static_cast<double>(d0 + i);
            if (magnify)
                ExpMinusOneToFloat(dist, invK, invG, offset, static_cast<size_t>(n), ctx.CpuLevel);
            else
                LogOnePlusToFloat(dist, G, K, offset, static_cast<size_t>(n), ctx.CpuLevel);
        });
    }
}

}  // namespace kzr
