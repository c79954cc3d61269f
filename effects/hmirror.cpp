#include "effects/hmirror.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "imaging/pixel_run.h"
#include "imaging/sample.h"

namespace kzr {
namespace {

// The bulk copy of the whole frame, with the checks of the C runtime's
// secure copy: no destination, nothing written; no source, the destination
// zero-filled.  Either fault is reported through errno (EINVAL).
void CopyFrame(uint8_t* dst, const uint8_t* src, size_t bytes) {
    if (bytes == 0)
        return;
    if (dst == nullptr) {
        errno = EINVAL;
        return;
    }
    if (src == nullptr) {
        std::memset(dst, 0, bytes);
        errno = EINVAL;
        return;
    }
    std::memmove(dst, src, bytes);
}

// Where the axis lies and how one row is mirrored and filled.  All column
// indices are within [0, w).
struct Plan {
    bool inverse;
    bool leftPart;   // the mirrored block starts at column 0, else it ends at w
    int32_t near;    // last column left of the axis
    int32_t far;     // first column right of the axis
    int32_t steps;   // mirror steps that stay inside the row
    int32_t period;  // width of the mirrored block, 2 x the run length
};

// Axis at column k = trunc(w X), at least 1 and at most w - 2; it lies
// just left of column k for an even width and on column k for an odd one.
// Needs w >= 3.
Plan MakePlan(int32_t w, bool inverse, float xOffset) {
    const int32_t m = TruncToInt(static_cast<float>(w) * xOffset);
    const int32_t k = std::clamp(m, 1, w - 2);
    const bool even = w % 2 == 0;
    Plan p;
    p.inverse = inverse;
    p.leftPart = inverse ? k <= w / 2 : k < w / 2;
    p.near = k - 1;
    p.far = even ? k : k + 1;
    const int32_t run = even ? (p.leftPart ? k : w - k) : (p.leftPart ? k + 1 : w - k - 1);
    p.period = 2 * run;
    // With an odd width and the axis in the left part, the run's last step
    // has no partner inside the row: it is left out, and the column it would
    // have written keeps its own source pixel.
    p.steps = std::min({run, p.near + 1, w - p.far});
    return p;
}

using ReverseFn = void (*)(uint8_t* out, const uint8_t* in, int32_t n);

void MirrorRow(const Plan& p, int32_t w, const uint8_t* src, uint8_t* dst, ReverseFn reverse) {
    // The mirrored run reads the source only.
    if (p.inverse)  // dst[near - i] = src[far + i]
        reverse(dst + 4 * int64_t{p.near - p.steps + 1}, src + 4 * int64_t{p.far}, p.steps);
    else  // dst[far + i] = src[near - i]
        reverse(dst + 4 * int64_t{p.far}, src + 4 * int64_t{p.near - p.steps + 1}, p.steps);
    // The fill reads and writes the destination only.
    if (p.leftPart) {
        // Columns [0, period) repeated to the right edge.
        for (int32_t x = p.period; x < w; x += p.period)
            std::memcpy(dst + 4 * int64_t{x}, dst + 4 * int64_t{x - p.period},
                        4 * size_t(std::min(p.period, w - x)));
    } else {
        // The columns right of e reflected across the left edge of column e,
        // one period at a time towards column 0.
        for (int32_t e = w - p.period; e > 0; e -= p.period) {
            const int32_t n = std::min(e, p.period);  // dst[e - 1 - i] = dst[e + i]
            reverse(dst + 4 * int64_t{e - n}, dst + 4 * int64_t{e}, n);
        }
    }
}

}  // namespace

Status HMirror::Prepare(EffectContext* ctx) {
    if (ctx == nullptr)
        return kFail;
    RaisePrepareFlag(ctx, PrepareFlag::A);
    return kOk;
}

// P1 inverse (off keeps the left side, on the right side), P2 axis position
// as a fraction of the width.  Both are read afresh for every frame.
Status HMirror::Process(EffectContext* ctx) {
    if (ctx == nullptr || ctx->State == nullptr)
        return kFail;
    FrameState& st = *static_cast<FrameState*>(ctx->State);
    st.DestFrame = ctx->Frame;
    const bool inverse = ParamBool(ctx, 0);
    const float xOffset = ParamFloat(ctx, 1);

    const uint64_t w = ctx->Width, h = ctx->Height;
    // A frame too large to address has no buffer to draw into.
    if (w > uint64_t{std::numeric_limits<int32_t>::max()} ||
        (h != 0 && w * 4 > std::numeric_limits<size_t>::max() / h))
        return kFail;
    const size_t rowBytes = static_cast<size_t>(w * 4);
    auto* dst = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(st.DestFrame));
    const auto* src = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(st.SourceFrame));
    const size_t frameBytes = rowBytes * h;
    // Without both frames, or below three columns (no axis with a column on
    // each side), the copy is the result.
    if (dst == nullptr || src == nullptr || w < 3) {
        CopyFrame(dst, src, frameBytes);
        return kOk;
    }

    const Plan plan = MakePlan(static_cast<int32_t>(w), inverse, xOffset);
    // The same bytes at every level: eight pixels a step with AVX2 from 8.
    const ReverseFn reverse = ctx->CpuLevel >= 8 && HasAvx2() ? &ReverseRunAvx2 : &ReverseRun;
    // Every row is copied and then mirrored on its own, so bands of rows
    // give the frame of one pass, unless the frame is drawn into its source.
    const bool inPlace = Overlap(src, frameBytes, dst, frameBytes);
    if (inPlace || h > uint64_t{std::numeric_limits<int32_t>::max()}) {
        CopyFrame(dst, src, frameBytes);
        for (uint64_t y = 0; y < h; ++y)
            MirrorRow(plan, static_cast<int32_t>(w), src + y * rowBytes, dst + y * rowBytes,
                      reverse);
        return kOk;
    }
    // Each row is copied and mirrored while it is still in the cache, so the
    // frame crosses the memory bus once each way; the copy leaves out the
    // columns [a, b) the mirrored run writes (the fill after it reads only
    // columns the copy or the run have written).
    const int32_t a = plan.inverse ? plan.near - plan.steps + 1 : plan.far;
    const size_t before = 4 * static_cast<size_t>(a);
    const size_t after = before + 4 * static_cast<size_t>(plan.steps);
    DrawInBands(ctx->TaskCount, static_cast<int32_t>(h), [&](int32_t first, int32_t last) {
        for (int32_t y = first; y < last; ++y) {
            const size_t at = static_cast<size_t>(y) * rowBytes;
            std::memcpy(dst + at, src + at, before);
            std::memcpy(dst + at + after, src + at + after, rowBytes - after);
            MirrorRow(plan, static_cast<int32_t>(w), src + at, dst + at, reverse);
        }
    });
    return kOk;
}

}  // namespace kzr
