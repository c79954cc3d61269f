// Square: magnifies the picture about a centre point with a separate curve
// on each axis, so the magnified region is a frame-aligned rectangle.
// Columns move only horizontally and rows only vertically.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct Square {
    using State = TwoMapBuiltState;
    static constexpr PrepareFlag kFlag = PrepareFlag::A;
    static void BuildMaps(const EffectContext& ctx, State& st);
};

extern template struct MapEffect<Square>;

}  // namespace kzr
