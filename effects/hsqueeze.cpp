#include "effects/hsqueeze.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>

namespace kzr {

template struct MapEffect<HSqueeze>;

namespace {

// Lens radius r and the curve constants shared by every pixel of both lenses.
struct Lens {
    int64_t r2;  // r * r; a pixel at q <= r2 lies inside
    ExpCurve curve;
    bool inverse;
    int32_t cy;
};

// Writes the column and row entries of the pixels [x0, x1) of the rows
// [first, last) for the lens centred on column centre and row lens.cy.
void MapLens(const Lens& lens, int32_t centre, int32_t x0, int32_t x1, int32_t w, int32_t h,
             int32_t first, int32_t last, uint32_t* mapX, uint32_t* mapY) {
    const float fc = static_cast<float>(centre), fcy = static_cast<float>(lens.cy);
    for (int32_t y = first; y < last; ++y) {
        const int64_t dy = int64_t{y} - lens.cy;
        const int64_t row = int64_t{y} * w;
        for (int32_t x = x0; x < x1; ++x) {
            const int64_t dx = int64_t{x} - centre;
            const int64_t q = dx * dx + dy * dy;
            const int64_t i = row + x;
            if (q > lens.r2) {
                mapX[i] = static_cast<uint32_t>(x) << 16;
                mapY[i] = static_cast<uint32_t>(y) << 16;
                continue;
            }
            float px = fc, py = fcy;
            if (q != 0) {
                const float d = static_cast<float>(std::sqrt(static_cast<double>(q)));
                const float s = lens.inverse ? lens.curve.Squeeze(d) : lens.curve.Magnify(d);
                px = fc + (static_cast<float>(dx) * s) / d;
                py = fcy + (static_cast<float>(dy) * s) / d;
                // A curve that gives no number leaves the pixel in place.
                if (std::isnan(px) || std::isnan(py)) {
                    px = static_cast<float>(x);
                    py = static_cast<float>(y);
                }
            }
            mapX[i] = ClampedFixedTrunc(px, w);
            mapY[i] = ClampedFixedTrunc(py, h);
        }
    }
}

}  // namespace

// Column map in MapA, row map in MapB, rows [first, last).
//
// Parameters: P1 curvature g, P2 lens radius S (fraction of the smaller frame
// side), P3 inverse, P4 position point (X, Y).  The lenses are centred on row
// cy = H Y at columns cx - r and cx + r, cx = W X; pixels left of column cx
// belong to the left lens, the others to the right one.  Inside a lens a
// pixel at distance d from its centre samples the point on the same ray at
//   (exp(d / K) - 1) / g        (magnifies the lens centre), or
//   log(d g + 1) K              (inverse: compresses it),
// with K = r / log(r g + 1), so both curves meet the identity at the rim.
void HSqueeze::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float g = ParamFloat(&ctx, 0);
    const float size = ParamFloat(&ctx, 1);
    const bool inverse = ParamBool(&ctx, 2);
    const Point2f pos = ParamPoint(&ctx, 3);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const int32_t cx = Bounded(TruncToInt(static_cast<float>(w) * pos.x));
    const int32_t cy = Bounded(TruncToInt(static_cast<float>(h) * pos.y));
    // A curvature outside (0, inf) has no curve, and a radius below 1 no
    // lens: then only the touching point itself is "inside", and it stays.
    const bool curve = g > 0.0f && std::isfinite(g);
    const int32_t r =
        curve ? std::max(Bounded(TruncToInt(static_cast<float>(std::min(w, h)) * size)), 0) : 0;

    const Lens lens{int64_t{r} * r, ExpCurve(r, g), inverse, cy};

    // Column cx belongs to the right lens.
    MapLens(lens, cx - r, 0, std::min(cx, w), w, h, first, last, st.MapA, st.MapB);
    MapLens(lens, cx + r, std::max(cx, 0), w, w, h, first, last, st.MapA, st.MapB);
}

}  // namespace kzr
