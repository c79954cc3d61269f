// S-shape: two opposite vertical bulges stacked one above the other.  A band
// about the quarter-height row is magnified and a band about the
// three-quarter-height row squeezed (swapped when inverted); pixels move
// along their own column only.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct SShape {
    using State = OneMapState;
    static constexpr PrepareFlag kFlag = PrepareFlag::B;
    static constexpr MapAxis kAxis = MapAxis::Y;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
};

extern template struct MapEffect<SShape>;

}  // namespace kzr
