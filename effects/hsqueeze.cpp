#include "effects/hsqueeze.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

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

// The lens centred on column Centre owns the columns [First, Last) of the frame.
struct LensColumns {
    int64_t Centre, First, Last;
    // The distances a from the centre of this lens's columns, as [lo, hi].
    void Distances(int64_t& lo, int64_t& hi) const {
        if (First >= Last)
            return;
        const int64_t nearest =
            Centre < First ? First - Centre : (Centre >= Last ? Centre - (Last - 1) : 0);
        lo = std::min(lo, nearest);
        hi = std::max(hi, std::max(std::abs(First - Centre), std::abs(Last - 1 - Centre)));
    }
};

// Writes the column and row entries of the rows [first, last) for both
// lenses.  Every pixel outside a lens keeps its own position.  Inside, the
// sample point depends on the distance only through q = dx^2 + dy^2, and the
// column offset of -dx is the exact negation of that of dx, so the curve is
// evaluated once for the up to four columns at distance a from the centres.
void MapRows(const Lens& lens, const LensColumns (&lenses)[2], int32_t w, int32_t h, int32_t first,
             int32_t last, uint32_t* mapX, uint32_t* mapY) {
    int64_t aFirst = INT64_MAX, aLast = -1;
    for (const LensColumns& c : lenses)
        c.Distances(aFirst, aLast);
    const float fcy = static_cast<float>(lens.cy);
    for (int32_t y = first; y < last; ++y) {
        const int64_t dy = int64_t{y} - lens.cy;
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
        for (int32_t x = 0; x < w; ++x) {
            mapX[row + static_cast<size_t>(x)] = static_cast<uint32_t>(x) << 16;
            mapY[row + static_cast<size_t>(x)] = static_cast<uint32_t>(y) << 16;
        }
        for (int64_t a = aFirst; a <= aLast; ++a) {
            const int64_t q = a * a + dy * dy;
            if (q > lens.r2)
                break;  // q grows with a
            float tx = 0.0f, py = fcy;
            if (q != 0) {
                const float d = static_cast<float>(std::sqrt(static_cast<double>(q)));
                const float s = lens.inverse ? lens.curve.Squeeze(d) : lens.curve.Magnify(d);
                tx = (static_cast<float>(a) * s) / d;
                py = fcy + (static_cast<float>(dy) * s) / d;
            }
            for (const LensColumns& c : lenses) {
                const float fc = static_cast<float>(c.Centre);
                for (const int64_t sign : {int64_t{1}, int64_t{-1}}) {
                    const int64_t x = c.Centre + sign * a;
                    if (x < c.First || x >= c.Last || (sign < 0 && a == 0))
                        continue;
                    float px = q != 0 ? fc + (sign > 0 ? tx : -tx) : fc;
                    float qy = py;
                    // A curve that gives no number leaves the pixel in place.
                    if (std::isnan(px) || std::isnan(qy)) {
                        px = static_cast<float>(x);
                        qy = static_cast<float>(y);
                    }
                    mapX[row + static_cast<size_t>(x)] = ClampedFixedTrunc(px, w);
                    mapY[row + static_cast<size_t>(x)] = ClampedFixedTrunc(qy, h);
                }
            }
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
    const LensColumns lenses[2] = {{int64_t{cx} - r, 0, std::min(cx, w)},
                                   {int64_t{cx} + r, std::max(cx, 0), w}};
    MapRows(lens, lenses, w, h, first, last, st.MapA, st.MapB);
}

}  // namespace kzr
