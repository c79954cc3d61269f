// Vertical stretch: magnifies (or, inverted, squeezes) a horizontal band
// about a centre row; pixels move along their own column only.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct VStretch {
    using State = OneMapState;
    static constexpr PrepareFlag kFlag = PrepareFlag::B;
    static constexpr MapAxis kAxis = MapAxis::Y;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
};

extern template struct MapEffect<VStretch>;

}  // namespace kzr
