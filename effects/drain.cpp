#include "effects/drain.h"

#include <cmath>
#include <cstring>
#include <new>

#include "effects/column_run.h"
#include "imaging/multitask.h"

namespace kzr {

template struct MapEffect<Drain>;

namespace {

// The circle: radius R = min(w, h) * S / 2 around (cx, cy) = (w px, h py).
// Parameters: P1 degree D, P2 size S, P3 inverse, P4 position (px, py).
struct Circle {
    int32_t w, h;
    int32_t cx, cy;
    float R;
};

Circle CircleOf(const EffectContext& ctx) {
    const float size = ParamFloat(&ctx, 1);
    const Point2f pos = ParamPoint(&ctx, 3);
    Circle c;
    c.w = static_cast<int32_t>(ctx.Width);
    c.h = static_cast<int32_t>(ctx.Height);
    const int32_t m = c.w < c.h ? c.w : c.h;
    c.cx = Bounded(TruncToInt(static_cast<float>(c.w) * pos.x));
    c.cy = Bounded(TruncToInt(static_cast<float>(c.h) * pos.y));
    c.R = static_cast<float>(m) * size * 0.5f;
    return c;
}

// A source position kept inside [0, last]; NaN goes to 0.
inline float ClampTo(float v, float last) {
    if (!(v >= 0.0f))
        return 0.0f;
    return last < v ? last : v;
}

inline int64_t Square(int64_t v) {
    return v * v;
}

// Rows [first, last) pixel by pixel, for a frame drawn into its own source:
// every sample sees the pixels written before it.  The squared distance is
// carried from pixel to pixel by adding the odd numbers 2d + 1.
void RenderRowsInOrder(const Drain::State& st, const FramePair& frames, const Circle& c,
                       int64_t ri2, int32_t first, int32_t last) {
    const uint8_t* in = PixelPointer(frames.src);
    uint8_t* out = PixelPointer(frames.dst);
    int64_t rowQ = Square(c.cx) + Square(int64_t{first} - c.cy);
    for (int32_t y = first; y < last; ++y) {
        const int64_t dy = int64_t{y} - c.cy;
        const size_t row = static_cast<size_t>(y) * static_cast<size_t>(c.w);
        int64_t q = rowQ;
        for (int32_t x = 0; x < c.w; ++x) {
            const size_t i = row + static_cast<size_t>(x);
            if (q <= ri2)
                Sample(frames.src, static_cast<int32_t>(st.MapA[i]),
                       static_cast<int32_t>(st.MapB[i]), reinterpret_cast<uint32_t*>(out + 4 * i));
            else
                std::memmove(out + 4 * i, in + 4 * i, 4);
            q += 2 * (int64_t{x} - c.cx) + 1;
        }
        rowQ += 2 * dy + 1;
    }
}

// Rows [first, last) of the frame: pixels within the whole radius are
// resampled through the maps, the others copied.  The pixels within the
// radius form one run of columns per row, |x - cx| <= k with
// k^2 <= Ri^2 - dy^2; the copies left and right of it and the run are
// drawn in the order of the pixels.
void RenderRows(const EffectContext& ctx, const Drain::State& st, const FramePair& frames,
                int32_t first, int32_t last) {
    const Circle c = CircleOf(ctx);
    const int64_t ri = TruncToInt(c.R);
    const int64_t ri2 = ri * ri;
    const uint8_t* in = PixelPointer(frames.src);
    uint8_t* out = PixelPointer(frames.dst);
    if (DrawsIntoSource(frames.src, out, c.w, c.h)) {
        RenderRowsInOrder(st, frames, c, ri2, first, last);
        return;
    }
    const size_t w = static_cast<size_t>(c.w);
    for (int32_t y = first; y < last; ++y) {
        const size_t row = static_cast<size_t>(y) * w;
        const ColumnRun run = RunWithin(ri2 - Square(int64_t{y} - c.cy), c.cx, c.w);
        const size_t x0 = static_cast<size_t>(run.first), x1 = static_cast<size_t>(run.last);
        if (x0 >= x1) {
            std::memcpy(out + 4 * row, in + 4 * row, 4 * w);
            continue;
        }
        std::memcpy(out + 4 * row, in + 4 * row, 4 * x0);
        RemapSpanTwoMaps(frames.src, st.MapA + row + x0, st.MapB + row + x0, x1 - x0,
                         out + 4 * (row + x0));
        std::memcpy(out + 4 * (row + x1), in + 4 * (row + x1), 4 * (w - x1));
    }
}

// What Process hands to every band task.
struct TaskRecord {
    const EffectContext* ctx;
    int32_t count;
    int32_t reserved;
};

// One band of rows; wraps and releases its own pair of surfaces.
int32_t RenderBandTask(void* record, int32_t index) {
    if (record == nullptr)
        return 0;
    const TaskRecord& task = *static_cast<const TaskRecord*>(record);
    const EffectContext& ctx = *task.ctx;
    const auto& st = *static_cast<const Drain::State*>(ctx.State);
    FramePair frames(ctx, st.SourceFrame, st.DestFrame);
    if (!frames.Usable())
        return 0;
    const RowBand band = DrainBand(static_cast<int32_t>(ctx.Height), task.count, index);
    RenderRows(ctx, st, frames, band.first, band.last);
    return 0;
}

}  // namespace

RowBand DrainBand(int32_t height, int32_t count, int32_t index) {
    return BandOf(height, count, index);
}

namespace {

// Where the builder takes each pixel's polar angle from: the library call
// alone, the call with the angle kept for later builds, or the angles kept
// by an earlier build of the same circle.
enum class Angles { Compute, ComputeAndKeep, Reuse };

// Source column (MapA) and row (MapB) of every pixel of rows [first, last)
// within the radius R; the entries outside are 0.  A pixel at distance dist keeps it and turns by
//   tw = (2 / D) (R / dist - 1)        (normal), or
//   tw = -(1 / D) (R / dist - 1)       (inverse: the other way, half as far);
// with 1 / D at 0.02 or below there is no twist.  The angle of a pixel
// depends on the circle alone, so a change of D or of the direction reuses
// the angles of the build before it.
template <Angles kAngles>
void BuildRowsOf(const EffectContext& ctx, Drain::State& st, float* kept, int32_t first,
                 int32_t last) {
    const float degree = ParamFloat(&ctx, 0);
    const bool inverse = ParamBool(&ctx, 2);
    const Circle c = CircleOf(ctx);

    const float invD = 1.0f / degree;
    const float RR = c.R * c.R;
    const float t2 = invD + invD;
    const float a2 = c.R * t2;
    const float a1 = c.R * invD;
    const bool twisted = static_cast<double>(invD) > 0.02;
    const float lastX = static_cast<float>(c.w - 1), lastY = static_cast<float>(c.h - 1);
    const double dcx = static_cast<double>(c.cx), dcy = static_cast<double>(c.cy);

    const size_t start = static_cast<size_t>(first) * static_cast<size_t>(c.w);
    uint32_t* mapX = st.MapA + start;
    uint32_t* mapY = st.MapB + start;
    float* angle = kept + (kAngles == Angles::Compute ? 0 : start);
    // Squared distance of the row's first pixel, carried in float from row 0
    // (exact only while below 2^24): the rows above the band are stepped
    // through, so the band starts with the value a single pass reaches.
    float rowQ = static_cast<float>(Square(c.cx) + Square(c.cy));
    for (int32_t y = 0; y < first; ++y)
        rowQ += static_cast<float>(2 * (y - c.cy) + 1);
    for (int32_t y = first; y < last; ++y) {
        const int32_t dy = y - c.cy;
        float q = rowQ;
        for (int32_t x = 0; x < c.w; ++x, ++mapX, ++mapY) {
            const int32_t dx = x - c.cx;
            if (RR < q) {
                *mapX = 0;
                *mapY = 0;
            } else if (dx == 0 && dy == 0) {
                *mapX = static_cast<uint32_t>(c.cx) << 16;
                *mapY = static_cast<uint32_t>(c.cy) << 16;
            } else {
                float theta;
                if constexpr (kAngles == Angles::Reuse) {
                    theta = angle[x];
                } else {
                    theta = static_cast<float>(
                        std::atan2(static_cast<double>(dy), static_cast<double>(dx)));
                    if constexpr (kAngles == Angles::ComputeAndKeep)
                        angle[x] = theta;
                }
                const float dist = static_cast<float>(std::sqrt(static_cast<double>(q)));
                float tw = 0.0f;
                if (twisted)
                    tw = inverse ? a1 / dist - invD : a2 / dist - t2;
                const float phi = inverse ? theta - tw : tw + theta;
                const float sx = static_cast<float>(
                    std::cos(static_cast<double>(phi)) * static_cast<double>(dist) + dcx);
                const float sy = static_cast<float>(
                    std::sin(static_cast<double>(phi)) * static_cast<double>(dist) + dcy);
                *mapX = FixedNearest(ClampTo(sx, lastX));
                *mapY = FixedNearest(ClampTo(sy, lastY));
            }
            q += static_cast<float>(2 * dx + 1);
        }
        rowQ += static_cast<float>(2 * dy + 1);
        if constexpr (kAngles != Angles::Compute)
            angle += c.w;
    }
}

}  // namespace

void Drain::BuildMaps(const EffectContext& ctx, State& st) {
    const Circle c = CircleOf(ctx);
    if (c.h <= 0 || c.w <= 0)
        return;
    // The circle the kept angles belong to; a tag of zero names no circle.
    uint32_t radiusBits;
    std::memcpy(&radiusBits, &c.R, 4);
    const uint64_t tag[2] = {
        uint64_t{static_cast<uint32_t>(c.cx)} << 32 | static_cast<uint32_t>(c.cy),
        uint64_t{1} << 32 | radiusBits};
    MapScratch* kept = nullptr;
    try {
        kept = &ScratchOf(st.MapA);
    } catch (const std::bad_alloc&) {
        // No room to keep the angles: every build computes them.
    }
    const bool reuse = kept != nullptr && kept->Tag[0] == tag[0] && kept->Tag[1] == tag[1];
    if (kept != nullptr && !reuse)
        kept->Tag[0] = kept->Tag[1] = 0;
    DrawInBands(ctx.TaskCount, c.h, [&](int32_t first, int32_t last) {
        if (kept == nullptr)
            BuildRowsOf<Angles::Compute>(ctx, st, nullptr, first, last);
        else if (reuse)
            BuildRowsOf<Angles::Reuse>(ctx, st, kept->Values, first, last);
        else
            BuildRowsOf<Angles::ComputeAndKeep>(ctx, st, kept->Values, first, last);
    });
    if (kept != nullptr) {
        kept->Tag[0] = tag[0];
        kept->Tag[1] = tag[1];
    }
}

Status Drain::Process(EffectContext* ctx) {
    if (ctx == nullptr || ctx->State == nullptr)
        return kFail;
    State& st = *static_cast<State*>(ctx->State);
    st.DestFrame = ctx->Frame;
    // Maps built for another frame size (or none at all): draw nothing.
    if (!MapsMatch(*ctx, st))
        return kFail;
    // The maps are brought up to date once, before any band is drawn, so no
    // task samples them while they are rewritten.
    MapEffect<Drain>::UpdateMaps(*ctx, st);

    const int32_t h = static_cast<int32_t>(ctx->Height);
    // Bands beyond the number of rows would all be empty.
    const int32_t tasks = ctx->TaskCount < h ? ctx->TaskCount : h;
    if (tasks > 1) {
        TaskRecord record{ctx, tasks, 0};
        try {
            CMultiTaskManager runner;
            runner.Run(tasks, &record, &RenderBandTask);
            return kOk;
        } catch (...) {
            // The worker pool could not run the bands (every band has
            // finished or been cancelled by now): draw on this thread.
        }
    }
    FramePair frames(*ctx, st.SourceFrame, st.DestFrame);
    if (frames.Usable())
        RenderRows(*ctx, st, frames, 0, h);
    return kOk;
}

}  // namespace kzr
