// Horizontal stretch: magnifies (or, inverted, squeezes) a vertical band
// about a centre column; pixels move along their own row only.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct HStretch {
    using State = OneMapState;
    static constexpr PrepareFlag kFlag = PrepareFlag::None;
    static constexpr MapAxis kAxis = MapAxis::X;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
};

extern template struct MapEffect<HStretch>;

}  // namespace kzr
