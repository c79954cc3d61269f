// The rays of a row eight pixels at a time; built with -mavx2 and
// reached only after HasAvx2().  Every lane takes the steps of the
// per-pixel form: float products and sums, the square root of the float
// sum widened to double and rounded back, float quotients.
#include <immintrin.h>

#include <bit>

#include "imaging/rays.h"

namespace kzr::rays {
namespace {

// The column numbers x .. x + 7 as floats (exact below 2^24).
__m256 Columns(int32_t x) {
    return _mm256_cvtepi32_ps(
        _mm256_add_epi32(_mm256_set1_epi32(x), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}

// float(sqrt(double(q))) of eight floats.
__m256 SqrtThroughDouble(__m256 q) {
    const __m128 lo = _mm256_cvtpd_ps(_mm256_sqrt_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(q))));
    const __m128 hi = _mm256_cvtpd_ps(_mm256_sqrt_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(q, 1))));
    return _mm256_set_m128(hi, lo);
}

// TruncToInt of eight floats: the conversion gives INT_MIN for NaN and for
// values beyond the range either way, which the scalar form turns into 0
// and INT_MAX.
__m256i TruncFloats(__m256 v) {
    const __m256i t = _mm256_cvttps_epi32(v);
    const __m256i big =
        _mm256_castps_si256(_mm256_cmp_ps(v, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ));
    const __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    const __m256i top = _mm256_blendv_epi8(t, _mm256_set1_epi32(INT32_MAX), big);
    return _mm256_andnot_si256(nan, top);
}

// TruncDouble of four doubles.
__m128i TruncDoubles(__m256d v) {
    const __m128i t = _mm256_cvttpd_epi32(v);
    const __m256d bigD = _mm256_cmp_pd(v, _mm256_set1_pd(2147483647.0), _CMP_GE_OQ);
    const __m256d nanD = _mm256_cmp_pd(v, v, _CMP_UNORD_Q);
    // One 32-bit mask lane per double lane: the low half of each 64-bit mask.
    const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m128i big =
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(bigD), pick));
    const __m128i nan =
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(nanD), pick));
    const __m128i top = _mm_blendv_epi8(t, _mm_set1_epi32(INT32_MAX), big);
    return _mm_andnot_si128(nan, top);
}

// Columns: TruncDouble(double(v) + 0.5) of eight floats.
__m256i RoundColumns(__m256 v) {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m128i lo =
        TruncDoubles(_mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), half));
    const __m128i hi =
        TruncDoubles(_mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)), half));
    return _mm256_set_m128i(hi, lo);
}

}  // namespace

void RimPointsRowAvx2(const Rim& g, int32_t y, int32_t w, int32_t* point) {
    const float fyScalar = static_cast<float>(y) - g.cy;
    const __m256 a = _mm256_set1_ps(g.a), cxc = _mm256_set1_ps(g.cxc), cy = _mm256_set1_ps(g.cy);
    const __m256 Lf = _mm256_set1_ps(g.Lf), fy = _mm256_set1_ps(fyScalar);
    const __m256 fy2 = _mm256_mul_ps(fy, fy), rowPart = _mm256_mul_ps(Lf, fy);
    // The centre's own point, for a pixel at distance 0.
    const __m256i centreX = _mm256_set1_epi32(TruncDouble(static_cast<double>(g.cxc / g.a) + 0.5));
    const __m256i centreY = _mm256_set1_epi32(TruncToInt(g.cy));
    int32_t x = 0;
    for (; x + 8 <= w; x += 8, point += 16) {
        const __m256 fx = _mm256_sub_ps(_mm256_mul_ps(Columns(x), a), cxc);
        const __m256 r = SqrtThroughDouble(_mm256_add_ps(_mm256_mul_ps(fx, fx), fy2));
        const __m256 px =
            _mm256_div_ps(_mm256_add_ps(_mm256_div_ps(_mm256_mul_ps(Lf, fx), r), cxc), a);
        const __m256 py = _mm256_add_ps(_mm256_div_ps(rowPart, r), cy);
        const __m256i centre =
            _mm256_castps_si256(_mm256_cmp_ps(r, _mm256_setzero_ps(), _CMP_EQ_OQ));
        const __m256i ex = _mm256_blendv_epi8(RoundColumns(px), centreX, centre);
        const __m256i ey = _mm256_blendv_epi8(TruncFloats(py), centreY, centre);
        // (column, row) pairs: pixels 0-1, 4-5 in lo and 2-3, 6-7 in hi.
        const __m256i lo = _mm256_unpacklo_epi32(ex, ey), hi = _mm256_unpackhi_epi32(ex, ey);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(point),
                            _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(point + 8),
                            _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    // The last columns through the per-pixel form, which takes the same steps.
    RimPointsRow(g, y, x, w, point);
}

Inside InsideRowAvx2(const Ellipse& el, int32_t y, int32_t w) {
    const float fy = static_cast<float>(y);
    const float dy1 = fy - el.f1y, dy2 = fy - el.f2y;
    const __m256 f1x = _mm256_set1_ps(el.f1x), f2x = _mm256_set1_ps(el.f2x);
    const __m256 dy1s = _mm256_set1_ps(dy1 * dy1), dy2s = _mm256_set1_ps(dy2 * dy2);
    const __m256 threshold = _mm256_set1_ps(el.threshold);
    Inside in{0, -1, -1};
    for (int32_t x = 0; x < w; x += 8) {
        const __m256 fx = Columns(x);
        const __m256 dx1 = _mm256_sub_ps(fx, f1x), dx2 = _mm256_sub_ps(fx, f2x);
        const __m256 d1 = SqrtThroughDouble(_mm256_add_ps(_mm256_mul_ps(dx1, dx1), dy1s));
        const __m256 d2 = SqrtThroughDouble(_mm256_add_ps(_mm256_mul_ps(dx2, dx2), dy2s));
        // Inside unless the sum is greater: a NaN sum counts as inside.
        uint32_t mask = ~static_cast<uint32_t>(_mm256_movemask_ps(
                            _mm256_cmp_ps(_mm256_add_ps(d1, d2), threshold, _CMP_GT_OQ))) &
                        0xFFu;
        if (w - x < 8)
            mask &= (1u << (w - x)) - 1u;
        if (mask == 0)
            continue;
        if (in.begin < 0)
            in.begin = x + std::countr_zero(mask);
        in.end = x + 32 - std::countl_zero(mask);
        in.count += std::popcount(mask);
    }
    return in;
}

}  // namespace kzr::rays
