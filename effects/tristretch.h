// Tri-stretch: warps the picture sideways about a centre column with a
// strength that grows with the square of the distance from a position row.
// Above that row the band about the centre column is magnified, below it
// squeezed (swapped when inverted); pixels move along their own row only.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct TriStretch {
    using State = OneMapState;
    static constexpr PrepareFlag kFlag = PrepareFlag::B;
    static constexpr MapAxis kAxis = MapAxis::X;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
};

extern template struct MapEffect<TriStretch>;

}  // namespace kzr
