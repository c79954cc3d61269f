#include "effects/doublefisheye.h"

#include "effects/column_run.h"
#include "imaging/exp_log.h"

#include <algorithm>
#include <cmath>

namespace kzr {

template struct MapEffect<DoubleFishEye>;

namespace {

// Placement of the two lenses: both centred on column cx, the upper one on
// row cy - ri, the lower one on row cy + ri.  r is the radius in float, ri
// its whole part.
struct LensGeometry {
    int32_t cx, cy;
    float r;
    int32_t ri;
    int32_t upperRow() const { return cy - ri; }
    int32_t lowerRow() const { return cy + ri; }
};

// P3 is the radius in quarters of the smaller frame side, P4 the touching
// point as fractions of the frame.
LensGeometry Geometry(const EffectContext& ctx) {
    const float size = ParamFloat(&ctx, 2);
    const Point2f pos = ParamPoint(&ctx, 3);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    LensGeometry g;
    g.cx = Bounded(TruncToInt(static_cast<float>(w) * pos.x));
    g.cy = Bounded(TruncToInt(static_cast<float>(h) * pos.y));
    g.r = static_cast<float>(std::min(w, h)) * size * 0.25f;
    // A radius that is not a number is no lens: the builder's float test and
    // the renderer's whole-radius test then agree on the touching point alone.
    if (std::isnan(g.r))
        g.r = 0.0f;
    g.ri = Bounded(TruncToInt(g.r));
    return g;
}

inline int64_t Squared(int64_t v) {
    return v * v;
}

// Position v on an axis of `size` pixels, clamped into [0, size): below 0 to
// 0, at or beyond size to the last pixel (between the last pixel and size
// the fraction stays).  The lower lens without inverse clamps to the last
// pixel itself.  Returns the 16.16 entry, rounded to nearest.
uint32_t Encode(float v, int32_t size, bool toLastPixel) {
    const float last = static_cast<float>(size - 1);
    if (v < 0.0f)
        v = 0.0f;
    else if (toLastPixel)
        v = std::min(v, last);
    else if (v >= static_cast<float>(size))
        v = last;
    // Rounding can carry a position just below size up to size itself,
    // outside the frame; such an entry stays at the last representable
    // position instead.
    const uint32_t limit = static_cast<uint32_t>((uint64_t{static_cast<uint32_t>(size)} << 16) - 1);
    return std::min(FixedNearest(v), limit);
}

}  // namespace

// Source column (MapA) and source row (MapB) of every pixel of rows
// [first, last) inside a lens; both entries are 0 outside the lenses, where
// Render does not sample.
//
// Parameters: P1 curve strength d, P2 inverse.  A pixel at distance dist
// from its lens centre samples the point on the same ray at
//   (exp(dist k) - 1) / d        (bulges the lens centre), or
//   log(dist d + 1) A            (inverse: pinches it),
// with k = log(r d + 1) / r and A = 1 / k, so both curves meet the identity
// at the rim.
void DoubleFishEye::BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last) {
    const float d = ParamFloat(&ctx, 0);
    const bool inverse = ParamBool(&ctx, 1);
    const LensGeometry lens = Geometry(ctx);
    const int32_t w = static_cast<int32_t>(ctx.Width), h = static_cast<int32_t>(ctx.Height);
    if (h <= 0 || w <= 0)
        return;

    const float r = lens.r;
    const float invd = 1.0f / d;
    const float rr = r * r;
    const float k =
        static_cast<float>(std::log(static_cast<double>(r * d + 1.0f)) / static_cast<double>(r));
    const float A =
        static_cast<float>(static_cast<double>(r) / std::log(static_cast<double>(r * d + 1.0f)));
    // Without a usable curve (a strength or radius outside (0, inf)) every
    // lens pixel keeps its own position.
    const bool curve = d > 0.0f && std::isfinite(d) && r > 0.0f && std::isfinite(r);

    const float fcx = static_cast<float>(lens.cx);
    const int64_t cx = lens.cx;
    // Columns cx + a and cx - a lie at the same distance from both lens
    // centres: they share the lens, the curve value and the row offset, and
    // their column offsets differ only in sign, which float multiplication and
    // division carry exactly.  So the curve is evaluated once per pair.
    // a runs over the distances of the frame's columns from cx.
    const int64_t aFirst = cx < 0 ? -cx : (cx > w - 1 ? cx - (w - 1) : 0);
    const int64_t aLast = std::max(cx, int64_t{w} - 1 - cx);
    // The columns of a row inside a lens are taken a block at a time: their
    // distances first, then the curve over the whole block in vector lanes,
    // then the entries.
    constexpr int32_t kBlock = 64;
    struct Column {
        int64_t q, dy;
        int32_t cc;
        bool lower;
    };
    Column cols[kBlock];
    float dists[kBlock], nds[kBlock];
    for (int32_t y = first; y < last; ++y) {
        uint32_t* mapX = st.MapA + static_cast<size_t>(y) * static_cast<size_t>(w);
        uint32_t* mapY = st.MapB + static_cast<size_t>(y) * static_cast<size_t>(w);
        std::fill(mapX, mapX + w, 0u);
        std::fill(mapY, mapY + w, 0u);
        const int64_t dyU = int64_t{y} - lens.upperRow(), dyL = int64_t{y} - lens.lowerRow();
        bool inLens = true;
        for (int64_t a0 = aFirst; inLens && a0 <= aLast; a0 += kBlock) {
            int32_t n = 0;
            for (; n < kBlock && a0 + n <= aLast; ++n) {
                const int64_t a = a0 + n;
                const int64_t qU = Squared(a) + Squared(dyU), qL = Squared(a) + Squared(dyL);
                if (rr >= static_cast<float>(qU)) {
                    cols[n] = {qU, dyU, lens.upperRow(), false};
                } else if (rr >= static_cast<float>(qL)) {
                    cols[n] = {qL, dyL, lens.lowerRow(), true};
                } else {
                    inLens = false;  // q grows with a: no column further out is in a lens
                    break;
                }
                dists[n] = static_cast<float>(
                    std::sqrt(static_cast<double>(static_cast<float>(cols[n].q))));
            }
            if (curve && inverse)
                LogOnePlusToFloat(dists, d, static_cast<double>(A), nds, static_cast<size_t>(n),
                                  ctx.CpuLevel);
            else if (curve)
                ExpMinusOneToFloat(dists, k, static_cast<double>(invd), nds, static_cast<size_t>(n),
                                   ctx.CpuLevel);
            for (int32_t i = 0; i < n; ++i) {
                const int64_t a = a0 + i, q = cols[i].q;
                const int32_t cc = cols[i].cc;
                // Offsets of the column cx + a; the column cx - a takes -tx.
                bool moved = false;
                float tx = 0.0f, py = 0.0f;
                if (q != 0 && curve) {
                    const float dist = dists[i], nd = nds[i];
                    tx = static_cast<float>(a) * nd / dist;
                    py = static_cast<float>(cols[i].dy) * nd / dist + static_cast<float>(cc);
                    moved = true;
                }
                const bool toLastPixel = cols[i].lower && !inverse;
                const auto write = [&](int64_t x, float t) {
                    if (x < 0 || x >= w)
                        return;
                    float sx = static_cast<float>(x), sy = static_cast<float>(y);
                    if (q == 0) {
                        sx = fcx;
                        sy = static_cast<float>(cc);
                    } else if (moved) {
                        const float px = t + fcx;
                        if (!std::isnan(px))
                            sx = px;
                        if (!std::isnan(py))
                            sy = py;
                    }
                    mapX[x] = Encode(sx, w, toLastPixel);
                    mapY[x] = Encode(sy, h, toLastPixel);
                };
                write(cx + a, tx);
                if (a != 0)
                    write(cx - a, -tx);
            }
        }
    }
}

// The frame is copied whole, then every pixel within the whole radius of a
// lens centre is resampled through the maps.  Both lenses are centred on
// column cx, so in every row the pixels of either lens form the one run of
// columns |x - cx| <= k with k^2 <= R2 - min(dyU^2, dyL^2).
void DoubleFishEye::RenderRows(const EffectContext& ctx, const State& st, const FramePair& frames,
                               int32_t first, int32_t last) {
    CopyRowsFrom(frames.dst, frames.src, first, last);
    const LensGeometry lens = Geometry(ctx);
    const int32_t w = static_cast<int32_t>(ctx.Width);
    const int64_t R2 = Squared(lens.ri);
    uint8_t* out = PixelPointer(frames.dst);
    for (int32_t y = first; y < last; ++y) {
        const int64_t dyU = int64_t{y} - lens.upperRow(), dyL = int64_t{y} - lens.lowerRow();
        const ColumnRun run = RunWithin(R2 - std::min(Squared(dyU), Squared(dyL)), lens.cx, w);
        if (run.first >= run.last)
            continue;
        const size_t i =
            static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(run.first);
        RemapSpanTwoMaps(frames.src, st.MapA + i, st.MapB + i,
                         static_cast<size_t>(run.last - run.first), out + 4 * i);
    }
}

}  // namespace kzr
