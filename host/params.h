// Parameter readers: copy one value out of the instance's packed parameter
// blob, whose layout follows the effect's parameter table.
#pragma once
#include <cstdint>

#include "abi/context.h"

namespace kzr {

// Copies the 4-byte value of parameter `index` to dst and returns 1; returns
// 0 and leaves dst alone when that parameter is not 4 bytes wide.
int32_t ReadParam4(void* dst, int32_t index, const EffectContext* ctx);

// The same for 8-byte values (a Position: x then y).
int32_t ReadParam8(void* dst, int32_t index, const EffectContext* ctx);

// Typed conveniences over the readers; the value stays `fallback` when the
// parameter has another size.
float ParamFloat(const EffectContext* ctx, int32_t index, float fallback = 0.0f);
bool ParamBool(const EffectContext* ctx, int32_t index);

struct Point2f {
    float x, y;
};
Point2f ParamPoint(const EffectContext* ctx, int32_t index, Point2f fallback = {0.5f, 0.5f});

// True when the host flagged any parameter of the instance as changed.
bool AnyParamChanged(const EffectContext* ctx);

}  // namespace kzr
