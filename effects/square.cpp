#include "effects/square.h"

#include <algorithm>
#include <cmath>

namespace kzr {

template struct MapEffect<Square>;

namespace {

// Source positions of the pixels [from, to) of an axis of `size` pixels as
// 16.16 entries, written `stride` entries apart from `out` on.  With the
// centre c and the reach r (distance from c to the farther end of the axis),
// a pixel at distance t from the centre samples at distance
//   (exp(t k) - 1) / d,   k = log(r d + 1) / r,
// which is 0 at t = 0 and r at t = r, and below t in between: the centre is
// magnified by d / k.  Without a usable strength every pixel stays in place.
void AxisEntries(int32_t size, int32_t c, float d, bool curved, int32_t from, int32_t to,
                 uint32_t* out, int64_t stride) {
    if (!curved) {
        for (int32_t i = from; i < to; ++i, out += stride)
            *out = static_cast<uint32_t>(i) << 16;
        return;
    }
    const int32_t r = c > size / 2 ? c : size - c;
    const float fr = static_cast<float>(r);
    const float invd = 1.0f / d;
    const float k =
        static_cast<float>(std::log(static_cast<double>(fr * d + 1.0f)) / static_cast<double>(fr));
    const float C = static_cast<float>(c);
    for (int32_t i = from; i < to; ++i, out += stride) {
        const float t = static_cast<float>(i - c);
        const float tk = t <= 0.0f ? t * -1.0f * k : t * k;
        float off = static_cast<float>((std::exp(static_cast<double>(tk)) - 1.0) *
                                       static_cast<double>(invd));
        if (std::isnan(off))
            off = t <= 0.0f ? -t : t;
        const float s = t <= 0.0f ? C - off : off + C;
        *out = ClampedFixedTrunc(s, size);
    }
}

}  // namespace

// Source column (MapA) and row (MapB) of every destination pixel of rows
// [first, last).
//
// Parameters: P1 strength d, P2 the centre (px, py) as fractions of the
// frame.  The column depends on x only and the row on y only: the first row
// of MapA and the first column of MapB are computed and spread over the rows.
void Square::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float d = ParamFloat(&ctx, 0);
    const Point2f centre = ParamPoint(&ctx, 1);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const int32_t cx = Bounded(TruncToInt(static_cast<float>(w) * centre.x));
    const int32_t cy = Bounded(TruncToInt(static_cast<float>(h) * centre.y));
    // A strength that is not a positive normal float has no curve.
    const bool curved = d > 0.0f && std::isnormal(d);
    uint32_t* xs0 = st.MapA + int64_t{first} * w;
    AxisEntries(w, cx, d, curved, 0, w, xs0, 1);
    AxisEntries(h, cy, d, curved, first, last, st.MapB + int64_t{first} * w, w);

    for (int32_t y = first; y < last; ++y) {
        uint32_t* xs = st.MapA + int64_t{y} * w;
        uint32_t* ys = st.MapB + int64_t{y} * w;
        if (y > first)
            std::copy(xs0, xs0 + w, xs);
        std::fill(ys + 1, ys + w, ys[0]);
    }
}

}  // namespace kzr
