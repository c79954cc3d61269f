#include "effects/laser.h"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>

#include "imaging/multitask.h"
#include "imaging/point_copy.h"
#include "imaging/rays.h"
#include "imaging/sample.h"

namespace kzr {
namespace {

using rays::Ellipse;
using rays::Inside;
using rays::Rim;

int32_t Bounded64(int64_t v) {
    constexpr int64_t kLimit = int64_t{1} << 24;
    return static_cast<int32_t>(v < -kLimit ? -kLimit : (v > kLimit ? kLimit : v));
}

// trunc(sqrt(dx^2 + dy^2)), the squares and the sum exact in 64 bits.
int32_t CornerDistance(int64_t dx, int64_t dy) {
    return TruncDouble(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
}

// The circle in display units and its centre in pixel units.
//
// Parameters: P1 percentage P (radius as a fraction of the largest
// centre-to-corner distance), P2 position (px, py).  The display width is
// the corrected width W' = h RW / RH; a pixel column x lies at x a in display
// units, with the aspect factor a = (RW h) / (RH w).
struct Geometry {
    int32_t w, h;
    float a;      // aspect factor
    int32_t cxc;  // centre column in display units (tables)
    int32_t cxp;  // centre column in pixels (inside test)
    int32_t cy;   // centre row
    float Lf;     // radius in display units
};

Geometry GeometryOf(const EffectContext& ctx) {
    const float percentage = ParamFloat(&ctx, 0);
    const Point2f pos = ParamPoint(&ctx, 1);
    Geometry g;
    g.w = static_cast<int32_t>(ctx.Width);
    g.h = static_cast<int32_t>(ctx.Height);
    const int64_t w = g.w, h = g.h;
    const int64_t refW = ctx.RefWidth != 0 ? int64_t{ctx.RefWidth} : w;
    const int64_t refH = ctx.RefHeight != 0 ? int64_t{ctx.RefHeight} : h;
    int64_t wide = w;
    if (w * refH != h * refW)
        wide = refH != 0 ? h * refW / refH : 0;
    const int32_t wc = Bounded64(wide);
    g.a = static_cast<float>(refW * h) / static_cast<float>(refH * w);

    g.cxc = Bounded(TruncToInt(static_cast<float>(wc) * pos.x));
    g.cxp = Bounded(TruncToInt(static_cast<float>(g.w) * pos.x));
    g.cy = Bounded(TruncToInt(static_cast<float>(g.h) * pos.y));

    // Corners at W' and h, not W' - 1 and h - 1.
    const int64_t left = g.cxc, right = int64_t{wc} - g.cxc;
    const int64_t top = g.cy, bottom = h - g.cy;
    int32_t m = CornerDistance(left, top);
    for (int32_t d :
         {CornerDistance(left, bottom), CornerDistance(top, right), CornerDistance(right, bottom)})
        m = d > m ? d : m;
    g.Lf = static_cast<float>(TruncToInt(percentage * static_cast<float>(m)));
    return g;
}

void FreeTables(LaserState& st) {
    FreeMap(st.RowOffsets);
    st.RowOffsets = nullptr;
    FreeMap(reinterpret_cast<uint32_t*>(st.SourcePoints));
    st.SourcePoints = nullptr;
    FreeMap(reinterpret_cast<uint32_t*>(st.InsideRuns));
    st.InsideRuns = nullptr;
}

// The inside test: the ellipse with horizontal semi-axis L / a and vertical
// semi-axis L, by the sum of the distances to its foci.
Ellipse EllipseOf(const Geometry& g) {
    const float a = g.a, Lf = g.Lf;
    float A, B;
    if (a < 1.0f) {
        A = Lf / a;
        B = Lf;
    } else {
        A = Lf;
        B = Lf / a;
    }
    const float e = static_cast<float>(std::sqrt(static_cast<double>(A * A - B * B)));
    const float cx = static_cast<float>(g.cxp), cy = static_cast<float>(g.cy);
    Ellipse el{cx, cy, cx, cy, A + A};
    if (a < 1.0f) {
        el.f1x = cx + e;
        el.f2x = cx - e;
    } else {
        el.f1y = cy + e;
        el.f2y = cy - e;
    }
    return el;
}

// The InsideRuns table: a header of kRunsHeader entries holding the ellipse
// it was filled for (kRunsValid, then the bits of the five floats), then a
// (first, last) pair per row: the row's pixels inside the ellipse are the
// columns [first, last), or, with first = kIrregularRow, not one run (float
// rounding on the rim), so that row is tested pixel by pixel.
constexpr int32_t kRunsHeader = 8;
constexpr int32_t kRunsValid = 1;
constexpr int32_t kIrregularRow = -1;
static_assert(sizeof(Ellipse) <= 4 * (kRunsHeader - 1));

uint32_t RunsEntries(uint32_t height) {
    return height + kRunsHeader / 2;
}

int32_t* RowRuns(int32_t* runs) {
    return runs + kRunsHeader;
}

bool RunsFor(const int32_t* runs, const Ellipse& el) {
    return runs[0] == kRunsValid && std::memcmp(runs + 1, &el, sizeof el) == 0;
}

// Fills the runs of rows [first, last) with the exact per-pixel test.
void FillRuns(int32_t* rowRuns, const Ellipse& el, int32_t w, int32_t first, int32_t last,
              bool avx2) {
    for (int32_t y = first; y < last; ++y) {
        const Inside in = avx2 ? InsideRowAvx2(el, y, w) : InsideRow(el, y, w);
        int32_t* run = rowRuns + 2 * int64_t{y};
        if (in.count == 0) {
            run[0] = run[1] = 0;
        } else if (in.count == in.end - in.begin) {
            run[0] = in.begin;
            run[1] = in.end;
        } else {
            run[0] = run[1] = kIrregularRow;
        }
    }
}

// Outside pixels take the first three bytes of their rim points; the fourth
// byte of the destination keeps what it held.
PointSource RimPoints(const LaserState& st, const Geometry& g, const uint8_t* in) {
    return {in, st.RowOffsets, g.w, g.h};
}

// Rows [first, last) pixel by pixel in order, with the inside test of every
// pixel (for a frame drawn into its own source, or without a runs table).
void DrawRowsInOrder(const LaserState& st, const Geometry& g, const Ellipse& el, const uint8_t* in,
                     uint8_t* out, int32_t first, int32_t last) {
    const size_t w = static_cast<size_t>(g.w);
    const PointSource rim = RimPoints(st, g, in);
    for (int32_t y = first; y < last; ++y) {
        size_t i = static_cast<size_t>(y) * w;
        const int32_t* point = st.SourcePoints + 2 * i;
        for (int32_t x = 0; x < g.w; ++x, ++i, point += 2) {
            if (el.Outside(x, y))
                CopyPoint(rim, point, out + 4 * i);
            else
                std::memmove(out + 4 * i, in + 4 * i, 4);
        }
    }
}

// Rows [first, last) through the runs: the pixels left and right of a row's
// run take their rim points, the run is copied as it is.
void DrawRows(const LaserState& st, const Geometry& g, const Ellipse& el, const int32_t* rowRuns,
              const uint8_t* in, uint8_t* out, int32_t first, int32_t last, int32_t cpuLevel) {
    const size_t w = static_cast<size_t>(g.w);
    const PointSource rim = RimPoints(st, g, in);
    for (int32_t y = first; y < last; ++y) {
        const int32_t* run = rowRuns + 2 * int64_t{y};
        if (run[0] == kIrregularRow) {
            DrawRowsInOrder(st, g, el, in, out, y, y + 1);
            continue;
        }
        const size_t row = static_cast<size_t>(y) * w;
        const size_t x0 = static_cast<size_t>(run[0]), x1 = static_cast<size_t>(run[1]);
        const int32_t* points = st.SourcePoints + 2 * row;
        CopyPoints(rim, points, x0, out + 4 * row, cpuLevel);
        std::memcpy(out + 4 * (row + x0), in + 4 * (row + x0), 4 * (x1 - x0));
        const size_t x = x1 < x0 ? x0 : x1;
        CopyPoints(rim, points + 2 * x, w - x, out + 4 * (row + x), cpuLevel);
    }
}

// The rim points of rows [first, last).
void FillPoints(int32_t* points, const Geometry& g, int32_t first, int32_t last, bool avx2) {
    const Rim rim{g.a, static_cast<float>(g.cxc), static_cast<float>(g.cy), g.Lf};
    const size_t w = static_cast<size_t>(g.w);
    for (int32_t y = first; y < last; ++y) {
        int32_t* row = points + 2 * static_cast<size_t>(y) * w;
        if (avx2)
            RimPointsRowAvx2(rim, y, g.w, row);
        else
            RimPointsRow(rim, y, 0, g.w, row);
    }
}

}  // namespace

Status Laser::BuildTables(const EffectContext& ctx, State& st) {
    // Tables of the frame's size are rewritten in place; others are
    // released and made anew.
    if (!TablesMatch(ctx, st) ||
        !MapMatches(reinterpret_cast<const uint32_t*>(st.InsideRuns), 2, RunsEntries(ctx.Height))) {
        FreeTables(st);
        if (!MapSizeSupported(ctx.Width, ctx.Height))
            return kOutOfMemory;
        try {
            st.RowOffsets = AllocateMap(1, ctx.Height);
            st.SourcePoints = reinterpret_cast<int32_t*>(AllocateMap(2 * ctx.Width, ctx.Height));
            st.InsideRuns = reinterpret_cast<int32_t*>(AllocateMap(2, RunsEntries(ctx.Height)));
        } catch (const std::bad_alloc&) {
            // No released or half-made table stays reachable.
            FreeTables(st);
            return kOutOfMemory;
        }
    }
    const Geometry g = GeometryOf(ctx);
    // Filled by the first Process that draws.
    st.InsideRuns[0] = 0;
    // y * w stays below 2^32 for every addressable frame.
    for (int32_t y = 0; y < g.h; ++y)
        st.RowOffsets[y] = static_cast<uint32_t>(static_cast<uint64_t>(y) * ctx.Width);
    if (g.h < 1)
        return kOk;

    // Every row's points depend on the row alone.
    const bool avx2 = ctx.CpuLevel >= 8 && HasAvx2();
    DrawInBands(ctx.TaskCount, g.h, [&](int32_t first, int32_t last) {
        FillPoints(st.SourcePoints, g, first, last, avx2);
    });
    return kOk;
}

bool Laser::TablesMatch(const EffectContext& ctx, const State& st) {
    return MapSizeSupported(ctx.Width, ctx.Height) && MapMatches(st.RowOffsets, 1, ctx.Height) &&
           MapMatches(reinterpret_cast<const uint32_t*>(st.SourcePoints), 2 * ctx.Width,
                      ctx.Height);
}

Status Laser::Prepare(EffectContext* ctx) {
    if (ctx == nullptr || ctx->State == nullptr)
        return kFail;
    State& st = *static_cast<State*>(ctx->State);
    // Tables of an earlier Prepare are reused or released, never dropped.
    const Status status = BuildTables(*ctx, st);
    if (status != kOk)
        return status;
    st.TablesBuilt = 1;
    return kOk;
}

Status Laser::Process(EffectContext* ctx) {
    if (ctx == nullptr || ctx->State == nullptr)
        return kFail;
    State& st = *static_cast<State*>(ctx->State);
    st.DestFrame = ctx->Frame;
    // No tables, or tables made for another frame size: draw nothing.
    if (!TablesMatch(*ctx, st))
        return kFail;
    if (st.TablesBuilt == 0 || AnyParamChanged(ctx)) {
        // Out of memory leaves the instance without tables until the next
        // Prepare.
        const Status status = BuildTables(*ctx, st);
        if (status != kOk)
            return status;
        st.TablesBuilt = 1;
    }

    const Geometry g = GeometryOf(*ctx);
    const Ellipse el = EllipseOf(g);

    FramePair frames(*ctx, st.SourceFrame, st.DestFrame);
    if (!frames.Usable())
        return kOk;
    const uint8_t* in = PixelPointer(frames.src);
    uint8_t* out = PixelPointer(frames.dst);
    // The inside test depends on the geometry alone, so its runs are found
    // once for every new ellipse and kept for the frames after.
    int32_t* runs = st.InsideRuns;
    if (runs == nullptr ||
        !MapMatches(reinterpret_cast<const uint32_t*>(runs), 2, RunsEntries(ctx->Height))) {
        runs = nullptr;
    } else if (!RunsFor(runs, el)) {
        runs[0] = 0;
        DrawInBands(ctx->TaskCount, g.h, [&](int32_t first, int32_t last) {
            FillRuns(RowRuns(runs), el, g.w, first, last, ctx->CpuLevel >= 8 && HasAvx2());
        });
        std::memcpy(runs + 1, &el, sizeof el);
        runs[0] = kRunsValid;
    }
    if (runs == nullptr || DrawsIntoSource(frames.src, out, g.w, g.h)) {
        DrawRowsInOrder(st, g, el, in, out, 0, g.h);
        return kOk;
    }
    const int32_t tasks = CanDrawInBands(frames.src, frames.dst) ? ctx->TaskCount : 1;
    DrawInBands(tasks, g.h, [&](int32_t first, int32_t last) {
        DrawRows(st, g, el, RowRuns(runs), in, out, first, last, ctx->CpuLevel);
    });
    return kOk;
}

Status Laser::Destroy(EffectContext* ctx) {
    if (ctx == nullptr)
        return kFail;
    if (ctx->State != nullptr)
        FreeTables(*static_cast<State*>(ctx->State));
    return kOk;
}

}  // namespace kzr
