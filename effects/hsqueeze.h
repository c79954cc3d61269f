// Horizontal squeeze: two equal circular lenses side by side, touching at the
// position point; each moves the pixels inside its circle radially about its
// own centre, so the picture between the lenses is squeezed together (or,
// inverted, pulled apart).
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct HSqueeze {
    using State = TwoMapState;
    static constexpr PrepareFlag kFlag = PrepareFlag::A;
    static void BuildRows(const EffectContext& ctx, State& st, int32_t first, int32_t last);
};

extern template struct MapEffect<HSqueeze>;

}  // namespace kzr
