// Pixels given by a distance and an angle about a centre, many at a time:
// the distance and the turned angle of a swirl, the source coordinates the
// library's cosine and sine give for them, and the 16.16 entries of those
// coordinates.  Each gives the bits of its per-pixel formula; n is any count
// and the arrays need no alignment.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kzr {

// The turn of a pixel at distance dist: a / dist - b, added to its angle
// (turn + theta) or, reversed, taken from it (theta - turn); without a twist
// the turn is +0.
struct Swirl {
    float a, b;
    bool twisted, reversed;
};

// dist[i] = sqrt(q[i]) and phi[i] = the angle theta[i] turned by the swirl,
// all in float, for i < n.
void SwirlAngles(const Swirl& swirl, const float* q, const float* theta, float* dist, float* phi,
                 size_t n);

// sx[i] = float(cos(phi[i]) dist[i] + cx) and sy[i] = float(sin(phi[i])
// dist[i] + cy) with phi and dist widened to double, for i < n: bit for bit
// what the library's cos and sin give, whatever the angle.
void PolarToFloat(const float* phi, const float* dist, double cx, double cy, float* sx, float* sy,
                  size_t n, int cpuLevel);

// e[i] = FixedNearest of v[i] kept in [0, last] (below zero and NaN to 0),
// for i < n.
void ClampedFixedNearest(const float* v, float last, uint32_t* e, size_t n);

}  // namespace kzr
