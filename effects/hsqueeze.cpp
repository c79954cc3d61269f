#include "effects/hsqueeze.h"

#include "effects/exp_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// Identity entries for the columns [x0, x1) of row y, four at a time.
void Identity(uint32_t* mapX, uint32_t* mapY, size_t row, int32_t y, int64_t x0, int64_t x1) {
    const __m128i ey = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(y) << 16));
    const __m128i step = _mm_set1_epi32(4 << 16);
    __m128i ex = _mm_slli_epi32(
        _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(x0)), _mm_setr_epi32(0, 1, 2, 3)), 16);
    int64_t x = x0;
    for (; x + 4 <= x1; x += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mapX + row + static_cast<size_t>(x)), ex);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mapY + row + static_cast<size_t>(x)), ey);
        ex = _mm_add_epi32(ex, step);
    }
    for (; x < x1; ++x) {
        mapX[row + static_cast<size_t>(x)] = static_cast<uint32_t>(x) << 16;
        mapY[row + static_cast<size_t>(x)] = static_cast<uint32_t>(y) << 16;
    }
}

// ClampedFixedTrunc four at a time.  Entries of 2^31 and more (frames wider
// or taller than 32768, kWide) go through the signed conversion less 2^31.
template <bool kWide>
__m128i ClampedFixedTrunc4(__m128 p, __m128 size, __m128 last) {
    const __m128 big = _mm_cmpge_ps(p, size);
    const __m128 v =
        _mm_mul_ps(_mm_or_ps(_mm_and_ps(big, last), _mm_andnot_ps(big, p)), _mm_set1_ps(65536.0f));
    __m128i e = _mm_cvttps_epi32(v);
    if constexpr (kWide) {
        const __m128 upper = _mm_cmpge_ps(v, _mm_set1_ps(0x1p31f));
        const __m128i hi = _mm_add_epi32(_mm_cvttps_epi32(_mm_sub_ps(v, _mm_set1_ps(0x1p31f))),
                                         _mm_set1_epi32(INT32_MIN));
        e = _mm_castps_si128(_mm_or_ps(_mm_and_ps(upper, _mm_castsi128_ps(hi)),
                                       _mm_andnot_ps(upper, _mm_castsi128_ps(e))));
    }
    return _mm_and_si128(_mm_castps_si128(_mm_cmpge_ps(p, _mm_setzero_ps())), e);
}

__m128 Select4(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// One row's distances a0 .. a0 + kBlock - 1 from the lens centres, on the
// stack: the distance d, the curve's value s there, the sample point's
// column offset tx and row py, and the entries: the row entry ey, the same
// in every column at distance a, and the column entries ex of each lens,
// right of its centre (Centre + a) and left (Centre - a).  The left ones,
// ex[l][1] and eyLeft, are kept in column order, the entry of a at
// kBlock - 1 - (a - a0), so that every run of columns is one copy.
constexpr int64_t kBlock = 64;
struct Block {
    alignas(16) float d[kBlock], s[kBlock], tx[kBlock], py[kBlock];
    alignas(16) uint32_t ey[kBlock], eyLeft[kBlock], ex[2][2][kBlock];
};

// The distances a of the block whose columns lie in the columns of lens c,
// right of its centre (a = 0 included) or left, as [from, to].
struct Run {
    int64_t from, to;
};
Run RunOf(const LensColumns& c, bool left, int64_t a0, int64_t n) {
    if (left)
        return {std::max({a0, int64_t{1}, c.Centre - (c.Last - 1)}),
                std::min(a0 + n - 1, c.Centre - c.First)};
    return {std::max(a0, c.First - c.Centre), std::min(a0 + n - 1, c.Last - 1 - c.Centre)};
}

// d[i] = float(sqrt(q)), q = a^2 + dy^2 for a = a0 + i; q stays below 2^53
// (|a| and |dy| below 2^26), so it is exact in double as in int64_t.  Where
// every q of the block is below 2^24 it is exact in float too, and the
// correctly rounded float square root is the double one rounded to float
// (53 bits are more than twice 24 plus 2, so rounding twice cannot differ):
// four at a time.  n is a multiple of 4.
void Distances(int64_t a0, int64_t dy, int64_t n, float* d) {
    const int64_t far = a0 + n - 1;
    if (far * far + dy * dy < (int64_t{1} << 24)) {
        // Every square and sum an integer below 2^24.
        const __m128 dy2 = _mm_set1_ps(static_cast<float>(dy * dy)), four = _mm_set1_ps(4.0f);
        __m128 a = _mm_add_ps(_mm_set1_ps(static_cast<float>(a0)), _mm_setr_ps(0, 1, 2, 3));
        for (int64_t i = 0; i < n; i += 4) {
            _mm_store_ps(d + i, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(a, a), dy2)));
            a = _mm_add_ps(a, four);
        }
        return;
    }
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

// The entries of the block, four at a time, for the runs that are not
// empty: the sample point (Centre +- tx, py), or the pixel itself where the
// curve gave no number (tx or py NaN; the centre column is finite, so
// Centre +- tx is NaN exactly where tx is).
template <bool kWide>
void Entries(int64_t a0, int32_t y, const LensColumns (&lenses)[2], const Run (&runs)[2][2],
             int32_t w, int32_t h, int64_t n, Block& b) {
    const __m128 fw = _mm_set1_ps(static_cast<float>(w)),
                 lastX = _mm_set1_ps(static_cast<float>(w - 1));
    const __m128 fh = _mm_set1_ps(static_cast<float>(h)),
                 lastY = _mm_set1_ps(static_cast<float>(h - 1));
    const __m128 fy = _mm_set1_ps(static_cast<float>(y)), sign = _mm_set1_ps(-0.0f);
    const auto store = [&](uint32_t* e, int64_t i, bool left, __m128i v) {
        if (left)
            _mm_store_si128(reinterpret_cast<__m128i*>(e + kBlock - 4 - i),
                            _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3)));
        else
            _mm_store_si128(reinterpret_cast<__m128i*>(e + i), v);
    };
    for (int64_t i = 0; i < n; i += 4) {
        const __m128 tx = _mm_load_ps(b.tx + i), py = _mm_load_ps(b.py + i);
        const __m128 none = _mm_or_ps(_mm_cmpunord_ps(tx, tx), _mm_cmpunord_ps(py, py));
        const __m128i ey = ClampedFixedTrunc4<kWide>(Select4(none, fy, py), fh, lastY);
        store(b.ey, i, false, ey);
        store(b.eyLeft, i, true, ey);
        // a and the columns below 2^31: to float like the scalar conversions.
        const __m128i a =
            _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(a0 + i)), _mm_setr_epi32(0, 1, 2, 3));
        for (int l = 0; l < 2; ++l)
            for (const bool left : {false, true}) {
                if (runs[l][left].from > runs[l][left].to)
                    continue;
                const __m128i c = _mm_set1_epi32(static_cast<int32_t>(lenses[l].Centre));
                const __m128 fc = _mm_set1_ps(static_cast<float>(lenses[l].Centre));
                const __m128 column =
                    _mm_cvtepi32_ps(left ? _mm_sub_epi32(c, a) : _mm_add_epi32(c, a));
                const __m128 p = _mm_add_ps(fc, left ? _mm_xor_ps(tx, sign) : tx);
                store(b.ex[l][left], i, left,
                      ClampedFixedTrunc4<kWide>(Select4(none, column, p), fw, lastX));
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
    const bool wide = w > 32768 || h > 32768;
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
            Run runs[2][2];
            for (int l = 0; l < 2; ++l)
                for (const bool left : {false, true})
                    runs[l][left] = RunOf(lenses[l], left, a0, n);
            if (wide)
                Entries<true>(a0, y, lenses, runs, w, h, n4, b);
            else
                Entries<false>(a0, y, lenses, runs, w, h, n4, b);
            for (int l = 0; l < 2; ++l)
                for (const bool left : {false, true}) {
                    const Run& r = runs[l][left];
                    if (r.from > r.to)
                        continue;
                    // The run's first column and its entries' place in the block.
                    const int64_t x = left ? lenses[l].Centre - r.to : lenses[l].Centre + r.from;
                    const int64_t at = left ? kBlock - 1 - (r.to - a0) : r.from - a0;
                    const size_t count = static_cast<size_t>(r.to - r.from + 1) * 4;
                    std::memcpy(mapX + row + static_cast<size_t>(x), b.ex[l][left] + at, count);
                    std::memcpy(mapY + row + static_cast<size_t>(x), (left ? b.eyLeft : b.ey) + at,
                                count);
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
