#include "effects/hsqueeze.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include <emmintrin.h>

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

// The largest distance a from a lens centre that row offset dy reaches
// inside the lens, a^2 + dy^2 <= r2; -1 when the row misses the lens.
int64_t RowReach(int64_t r2, int64_t dy) {
    const int64_t rest = r2 - dy * dy;
    if (rest < 0)
        return -1;
    int64_t a = static_cast<int64_t>(std::sqrt(static_cast<double>(rest)));
    while (a * a > rest)
        --a;
    while ((a + 1) * (a + 1) <= rest)
        ++a;
    return a;
}

// Identity entries for the columns [x0, x1) of row y.
void Identity(uint32_t* mapX, uint32_t* mapY, size_t row, int32_t y, int64_t x0, int64_t x1) {
    for (int64_t x = x0; x < x1; ++x) {
        mapX[row + static_cast<size_t>(x)] = static_cast<uint32_t>(x) << 16;
        mapY[row + static_cast<size_t>(x)] = static_cast<uint32_t>(y) << 16;
    }
}

// ClampedFixedTrunc four at a time.  Entries of 2^31 and more (frames wider
// than 32768) go through the signed conversion less 2^31.
__m128i ClampedFixedTrunc4(__m128 p, __m128 size, __m128 last) {
    const __m128 big = _mm_cmpge_ps(p, size);
    const __m128 v =
        _mm_mul_ps(_mm_or_ps(_mm_and_ps(big, last), _mm_andnot_ps(big, p)), _mm_set1_ps(65536.0f));
    const __m128 high = _mm_castsi128_ps(_mm_set1_epi32(INT32_MIN));
    const __m128 upper = _mm_cmpge_ps(v, _mm_set1_ps(0x1p31f));
    const __m128i lo = _mm_cvttps_epi32(v);
    const __m128i hi = _mm_add_epi32(_mm_cvttps_epi32(_mm_sub_ps(v, _mm_set1_ps(0x1p31f))),
                                     _mm_castps_si128(high));
    const __m128i e = _mm_castps_si128(_mm_or_ps(_mm_and_ps(upper, _mm_castsi128_ps(hi)),
                                                 _mm_andnot_ps(upper, _mm_castsi128_ps(lo))));
    return _mm_and_si128(_mm_castps_si128(_mm_cmpge_ps(p, _mm_setzero_ps())), e);
}

__m128 Select4(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// One row's distances a0 .. a0 + kBlock - 1 from the lens centres, on the
// stack: the distance d, the curve's value s there, the sample point's
// column offset tx and row py, and the entries: the row entry, the same in
// every column at distance a, and the column entries at Centre + a and
// Centre - a of each lens.
constexpr int64_t kBlock = 64;
struct Block {
    alignas(16) float d[kBlock], s[kBlock], tx[kBlock], py[kBlock];
    alignas(16) uint32_t ey[kBlock], ex[2][2][kBlock];
};

// d[i] = float(sqrt(q)), q = a^2 + dy^2 for a = a0 + i, two at a time; q
// stays below 2^53 (|a| and |dy| below 2^26), so it is exact in double as in
// int64_t.  n is even.
void Distances(int64_t a0, int64_t dy, int64_t n, float* d) {
    const __m128d dy2 = _mm_set1_pd(static_cast<double>(dy) * static_cast<double>(dy));
    const __m128d two = _mm_set1_pd(2.0);
    __m128d a = _mm_setr_pd(static_cast<double>(a0), static_cast<double>(a0 + 1));
    for (int64_t i = 0; i < n; i += 2) {
        const __m128d q = _mm_add_pd(_mm_mul_pd(a, a), dy2);
        _mm_storel_pi(reinterpret_cast<__m64*>(d + i), _mm_cvtpd_ps(_mm_sqrt_pd(q)));
        a = _mm_add_pd(a, two);
    }
}

// tx = (a * s) / d and py = cy + (dy * s) / d in float, four at a time, the
// operations of one pixel in the same order.  n is a multiple of 4.
void Offsets(int64_t a0, int64_t dy, float fcy, int64_t n, Block& b) {
    const __m128 fdy = _mm_set1_ps(static_cast<float>(dy)), cy = _mm_set1_ps(fcy);
    const __m128i four = _mm_set1_epi32(4);
    // a below 2^31: to float like the scalar conversion of a.
    __m128i a = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(a0)), _mm_setr_epi32(0, 1, 2, 3));
    for (int64_t i = 0; i < n; i += 4) {
        const __m128 s = _mm_load_ps(b.s + i), d = _mm_load_ps(b.d + i);
        _mm_store_ps(b.tx + i, _mm_div_ps(_mm_mul_ps(_mm_cvtepi32_ps(a), s), d));
        _mm_store_ps(b.py + i, _mm_add_ps(cy, _mm_div_ps(_mm_mul_ps(fdy, s), d)));
        a = _mm_add_epi32(a, four);
    }
}

// The entries of the block, four at a time: the sample point (Centre +- tx,
// py), or the pixel itself where the curve gave no number (tx or py NaN;
// the centre column is finite, so Centre +- tx is NaN exactly where tx is).
void Entries(int64_t a0, int32_t y, const LensColumns (&lenses)[2], int32_t w, int32_t h, int64_t n,
             Block& b) {
    const __m128 fw = _mm_set1_ps(static_cast<float>(w)),
                 lastX = _mm_set1_ps(static_cast<float>(w - 1));
    const __m128 fh = _mm_set1_ps(static_cast<float>(h)),
                 lastY = _mm_set1_ps(static_cast<float>(h - 1));
    const __m128 fy = _mm_set1_ps(static_cast<float>(y)), sign = _mm_set1_ps(-0.0f);
    for (int64_t i = 0; i < n; i += 4) {
        const __m128 tx = _mm_load_ps(b.tx + i), py = _mm_load_ps(b.py + i);
        const __m128 none = _mm_or_ps(_mm_cmpunord_ps(tx, tx), _mm_cmpunord_ps(py, py));
        _mm_store_si128(reinterpret_cast<__m128i*>(b.ey + i),
                        ClampedFixedTrunc4(Select4(none, fy, py), fh, lastY));
        // a and the columns below 2^31: to float like the scalar conversions.
        const __m128i a =
            _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(a0 + i)), _mm_setr_epi32(0, 1, 2, 3));
        for (int l = 0; l < 2; ++l) {
            const __m128i c = _mm_set1_epi32(static_cast<int32_t>(lenses[l].Centre));
            const __m128 fc = _mm_set1_ps(static_cast<float>(lenses[l].Centre));
            const __m128 right = _mm_cvtepi32_ps(_mm_add_epi32(c, a));
            const __m128 left = _mm_cvtepi32_ps(_mm_sub_epi32(c, a));
            _mm_store_si128(
                reinterpret_cast<__m128i*>(b.ex[l][0] + i),
                ClampedFixedTrunc4(Select4(none, right, _mm_add_ps(fc, tx)), fw, lastX));
            _mm_store_si128(
                reinterpret_cast<__m128i*>(b.ex[l][1] + i),
                ClampedFixedTrunc4(Select4(none, left, _mm_add_ps(fc, _mm_xor_ps(tx, sign))), fw,
                                   lastX));
        }
    }
}

// Writes the column and row entries of the rows [first, last) for both
// lenses.  Every pixel outside a lens keeps its own position.  Inside, the
// sample point depends on the distance only through q = dx^2 + dy^2, and the
// column offset of -dx is the exact negation of that of dx, so the curve is
// evaluated once for the up to four columns at distance a from the centres:
// a block of distances at a time, whose columns then form one run on each
// side of each centre.
void MapRows(const Lens& lens, const LensColumns (&lenses)[2], int32_t w, int32_t h, int32_t first,
             int32_t last, int32_t cpuLevel, uint32_t* mapX, uint32_t* mapY) {
    int64_t aFirst = INT64_MAX, aLast = -1;
    for (const LensColumns& c : lenses)
        c.Distances(aFirst, aLast);
    const float fcy = static_cast<float>(lens.cy);
    Block b;
    for (int32_t y = first; y < last; ++y) {
        const int64_t dy = int64_t{y} - lens.cy;
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
        const int64_t reach = std::min(RowReach(lens.r2, dy), aLast);
        // The columns outside the lenses keep their place; every column of
        // a lens within reach of its centre is written below.
        int64_t next = 0;
        if (reach >= aFirst)
            for (const LensColumns& c : lenses) {
                const int64_t lo = std::max(c.First, c.Centre - reach);
                const int64_t hi = std::min(c.Last - 1, c.Centre + reach);
                if (lo <= hi) {
                    Identity(mapX, mapY, row, y, next, lo);
                    next = hi + 1;
                }
            }
        Identity(mapX, mapY, row, y, next, w);

        for (int64_t a0 = aFirst; a0 <= reach; a0 += kBlock) {
            const int64_t n = std::min(kBlock, reach - a0 + 1);
            // The lanes run over n rounded up to 4; the entries past n are
            // computed and never written.
            const int64_t n4 = (n + 3) / 4 * 4;
            Distances(a0, dy, n4, b.d);
            lens.curve.Values(b.d, b.s, static_cast<size_t>(n), lens.inverse, cpuLevel);
            std::fill(b.s + n, b.s + n4, 0.0f);
            // The centre itself (q = 0) gets 0 / 0 and so stays in place,
            // which is where it samples.
            Offsets(a0, dy, fcy, n4, b);
            Entries(a0, y, lenses, w, h, n4, b);
            for (int l = 0; l < 2; ++l) {
                const LensColumns& c = lenses[l];
                // The block's distances whose columns lie in this lens's
                // columns, right of the centre (a = 0 included) and left.
                const int64_t rFrom = std::max(a0, c.First - c.Centre);
                const int64_t rTo = std::min(a0 + n - 1, c.Last - 1 - c.Centre);
                for (int64_t a = rFrom; a <= rTo; ++a) {
                    mapX[row + static_cast<size_t>(c.Centre + a)] = b.ex[l][0][a - a0];
                    mapY[row + static_cast<size_t>(c.Centre + a)] = b.ey[a - a0];
                }
                const int64_t lFrom = std::max({a0, int64_t{1}, c.Centre - (c.Last - 1)});
                const int64_t lTo = std::min(a0 + n - 1, c.Centre - c.First);
                for (int64_t a = lFrom; a <= lTo; ++a) {
                    mapX[row + static_cast<size_t>(c.Centre - a)] = b.ex[l][1][a - a0];
                    mapY[row + static_cast<size_t>(c.Centre - a)] = b.ey[a - a0];
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
    MapRows(lens, lenses, w, h, first, last, ctx.CpuLevel, st.MapA, st.MapB);
}

}  // namespace kzr
