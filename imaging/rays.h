// The laser's two loops over every pixel of a row: the rim point each pixel
// takes, and which pixels lie inside the ellipse.  The per-pixel forms are
// the reference; the AVX2 forms take eight pixels at a time through the
// same float and double operations in the same order (square roots and
// divisions are exact in every width), so they give the same entries.
#pragma once
#include <cmath>
#include <cstdint>

#include "imaging/coordmap.h"

namespace kzr::rays {

// The circle in display units: a pixel column x lies at x a, the centre at
// (cxc, cy), the radius is Lf.
struct Rim {
    float a, cxc, cy, Lf;
};

// The rim points of the columns [first, last) of row y (point holds the
// first column's pair), in the direction of every pixel: display distance Lf
// from the centre.  Columns are rounded, rows truncated.
inline void RimPointsRow(const Rim& g, int32_t y, int32_t first, int32_t last, int32_t* point) {
    const float fy = static_cast<float>(y) - g.cy;
    for (int32_t x = first; x < last; ++x, point += 2) {
        const float fx = static_cast<float>(x) * g.a - g.cxc;
        const float r = static_cast<float>(std::sqrt(static_cast<double>(fx * fx + fy * fy)));
        if (r == 0.0f) {
            // The centre itself has no direction: it is its own point.
            point[0] = TruncDouble(static_cast<double>(g.cxc / g.a) + 0.5);
            point[1] = TruncToInt(g.cy);
            continue;
        }
        point[0] = TruncDouble(static_cast<double>(((g.Lf * fx) / r + g.cxc) / g.a) + 0.5);
        point[1] = TruncToInt((g.Lf * fy) / r + g.cy);
    }
}

// The inside test: the ellipse by the sum of the distances to its foci.
struct Ellipse {
    float f1x, f1y, f2x, f2y;
    float threshold;

    bool Outside(int32_t x, int32_t y) const {
        const float fx = static_cast<float>(x), fy = static_cast<float>(y);
        const float dx1 = fx - f1x, dx2 = fx - f2x;
        const float dy1 = fy - f1y, dy2 = fy - f2y;
        const float d1 = static_cast<float>(std::sqrt(static_cast<double>(dx1 * dx1 + dy1 * dy1)));
        const float d2 = static_cast<float>(std::sqrt(static_cast<double>(dx2 * dx2 + dy2 * dy2)));
        return d1 + d2 > threshold;
    }
};

// The pixels of a row inside the ellipse: how many, the first and one past
// the last (-1 and -1 when there are none).
struct Inside {
    int32_t count, begin, end;
};

inline Inside InsideRow(const Ellipse& el, int32_t y, int32_t w) {
    Inside in{0, -1, -1};
    for (int32_t x = 0; x < w; ++x) {
        if (el.Outside(x, y))
            continue;
        if (in.begin < 0)
            in.begin = x;
        in.end = x + 1;
        ++in.count;
    }
    return in;
}

// The same eight pixels at a time; they need HasAvx2().
void RimPointsRowAvx2(const Rim& g, int32_t y, int32_t w, int32_t* point);  // columns [0, w)
Inside InsideRowAvx2(const Ellipse& el, int32_t y, int32_t w);

}  // namespace kzr::rays
