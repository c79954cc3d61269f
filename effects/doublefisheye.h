// Double fish-eye: two circular lenses of equal radius, one above the other,
// touching at the position point.  Each bulges the picture about its own
// centre (or, inverted, pinches it); outside the lenses the frame is passed
// through.  Only lens pixels are resampled, after a copy of the whole frame.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct DoubleFishEye {
    using State = TwoMapBuiltState;
    static constexpr PrepareFlag kFlag = PrepareFlag::A;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
    static void RenderRows(const EffectContext& ctx, const State& st, const FramePair& frames,
                           int32_t first, int32_t last);
};

extern template struct MapEffect<DoubleFishEye>;

}  // namespace kzr
