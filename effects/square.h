// Square: magnifies the picture about a centre point with a separate curve
// on each axis, so the magnified region is a frame-aligned rectangle.
// Columns move only horizontally and rows only vertically.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct Square {
    using State = TwoMapBuiltState;
    static constexpr PrepareFlag kFlag = PrepareFlag::A;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
};

extern template struct MapEffect<Square>;

}  // namespace kzr
