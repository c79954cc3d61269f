#include "imaging/polar.h"

#include <emmintrin.h>

#include <cmath>

#include "imaging/coordmap.h"
#include "imaging/trig.h"

namespace kzr {

namespace {

// The per-pixel formulas every vector step below must equal.
inline float TurnedAngle(const Swirl& swirl, float theta, float dist) {
    const float turn = swirl.twisted ? swirl.a / dist - swirl.b : 0.0f;
    return swirl.reversed ? theta - turn : turn + theta;
}

inline float LibrarySource(double t, float dist, double centre) {
    return static_cast<float>(t * static_cast<double>(dist) + centre);
}

inline float ClampTo(float v, float last) {
    if (!(v >= 0.0f))
        return 0.0f;
    return last < v ? last : v;
}

inline __m128 LoadPair(const float* p) {
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

}  // namespace

void SwirlAngles(const Swirl& swirl, const float* q, const float* theta, float* dist, float* phi,
                 size_t n) {
    const __m128 a = _mm_set1_ps(swirl.a), b = _mm_set1_ps(swirl.b);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        // The float square root is the double one rounded to float: with
        // 53 bits against 2 * 24 + 2 the double rounding cannot differ.
        const __m128 d = _mm_sqrt_ps(_mm_loadu_ps(q + i));
        const __m128 turn = swirl.twisted ? _mm_sub_ps(_mm_div_ps(a, d), b) : _mm_setzero_ps();
        const __m128 t = _mm_loadu_ps(theta + i);
        _mm_storeu_ps(dist + i, d);
        _mm_storeu_ps(phi + i, swirl.reversed ? _mm_sub_ps(t, turn) : _mm_add_ps(turn, t));
    }
    for (; i < n; ++i) {
        dist[i] = std::sqrt(q[i]);
        phi[i] = TurnedAngle(swirl, theta[i], dist[i]);
    }
}

// SinCos is within 2^-51 of the exact sine and cosine, the library within
// one unit in the last place (2^-53), so the two give source coordinates
// that differ by far less than the margin 2^-40 (dist + |centre| + 1).
// When every value within the margin turns into the same float, the
// library's value does too; otherwise (a few pixels in ten thousand), and
// for angles beyond SinCos's range, the library is asked.
void PolarToFloat(const float* phi, const float* dist, double cx, double cy, float* sx, float* sy,
                  size_t n, int cpuLevel) {
    constexpr size_t kBlock = 64;
    double sines[kBlock], cosines[kBlock];
    const __m128d vcx = _mm_set1_pd(cx), vcy = _mm_set1_pd(cy);
    const __m128d slackX = _mm_set1_pd(std::fabs(cx) + 1.0);
    const __m128d slackY = _mm_set1_pd(std::fabs(cy) + 1.0);
    const __m128d scale = _mm_set1_pd(0x1p-40), limit = _mm_set1_pd(kSinCosLimit);
    const __m128d noSign = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    for (size_t first = 0; first < n; first += kBlock) {
        const size_t count = n - first < kBlock ? n - first : kBlock;
        const float* p = phi + first;
        const float* r = dist + first;
        float* ox = sx + first;
        float* oy = sy + first;
        // Angles past the limit give unspecified values; they are replaced below.
        SinCos(p, sines, cosines, count, cpuLevel);
        size_t i = 0;
        for (; i + 2 <= count; i += 2) {
            const __m128d d = _mm_cvtps_pd(LoadPair(r + i));
            const __m128d a = _mm_cvtps_pd(LoadPair(p + i));
            const __m128d vx = _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(cosines + i), d), vcx);
            const __m128d vy = _mm_add_pd(_mm_mul_pd(_mm_loadu_pd(sines + i), d), vcy);
            const __m128d mx = _mm_mul_pd(_mm_add_pd(d, slackX), scale);
            const __m128d my = _mm_mul_pd(_mm_add_pd(d, slackY), scale);
            const __m128 fx = _mm_cvtpd_ps(vx), fy = _mm_cvtpd_ps(vy);
            const __m128 same =
                _mm_and_ps(_mm_and_ps(_mm_cmpeq_ps(_mm_cvtpd_ps(_mm_sub_pd(vx, mx)), fx),
                                      _mm_cmpeq_ps(_mm_cvtpd_ps(_mm_add_pd(vx, mx)), fx)),
                           _mm_and_ps(_mm_cmpeq_ps(_mm_cvtpd_ps(_mm_sub_pd(vy, my)), fy),
                                      _mm_cmpeq_ps(_mm_cvtpd_ps(_mm_add_pd(vy, my)), fy)));
            const int sure =
                _mm_movemask_ps(same) & _mm_movemask_pd(_mm_cmple_pd(_mm_and_pd(a, noSign), limit));
            _mm_storel_pi(reinterpret_cast<__m64*>(ox + i), fx);
            _mm_storel_pi(reinterpret_cast<__m64*>(oy + i), fy);
            if ((sure & 3) == 3)
                continue;
            for (size_t lane = i; lane < i + 2; ++lane)
                if ((sure >> (lane - i) & 1) == 0) {
                    const double angle = static_cast<double>(p[lane]);
                    ox[lane] = LibrarySource(std::cos(angle), r[lane], cx);
                    oy[lane] = LibrarySource(std::sin(angle), r[lane], cy);
                }
        }
        for (; i < count; ++i) {
            const double angle = static_cast<double>(p[i]);
            ox[i] = LibrarySource(std::cos(angle), r[i], cx);
            oy[i] = LibrarySource(std::sin(angle), r[i], cy);
        }
    }
}

void ClampedFixedNearest(const float* v, float last, uint32_t* e, size_t n) {
    size_t i = 0;
    // Four at a time while the scaled positions fit 32-bit integers.
    if (last < 32768.0f) {
        const __m128 top = _mm_set1_ps(last), scale = _mm_set1_ps(65536.0f);
        for (; i + 4 <= n; i += 4) {
            const __m128 x = _mm_loadu_ps(v + i);
            const __m128 kept = _mm_min_ps(_mm_and_ps(x, _mm_cmpge_ps(x, _mm_setzero_ps())), top);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(e + i),
                             _mm_cvtps_epi32(_mm_mul_ps(kept, scale)));
        }
    }
    for (; i < n; ++i)
        e[i] = FixedNearest(ClampTo(v[i], last));
}

}  // namespace kzr
