#include "host/params.h"

#include <cstring>

#include "abi/descriptors.h"

namespace kzr {
namespace {

int32_t ReadParam(void* dst, int32_t index, const EffectContext* ctx, uint32_t size) {
    const EffectDescriptor* fx = ctx->Descriptor;
    if (fx == nullptr || ctx->ParamBlob == nullptr || index < 0 ||
        static_cast<uint32_t>(index) >= fx->ParamCount())
        return 0;
    if (fx->Params[index].ValueSize != size)
        return 0;
    size_t offset = 0;
    for (int32_t i = 0; i < index; ++i)
        offset += fx->Params[i].ValueSize;
    std::memcpy(dst, ctx->ParamBlob + offset, size);
    return 1;
}

}  // namespace

int32_t ReadParam4(void* dst, int32_t index, const EffectContext* ctx) {
    return ReadParam(dst, index, ctx, 4);
}

int32_t ReadParam8(void* dst, int32_t index, const EffectContext* ctx) {
    return ReadParam(dst, index, ctx, 8);
}

float ParamFloat(const EffectContext* ctx, int32_t index, float fallback) {
    float v = fallback;
    ReadParam4(&v, index, ctx);
    return v;
}

bool ParamBool(const EffectContext* ctx, int32_t index) {
    int32_t v = 0;
    ReadParam4(&v, index, ctx);
    return v != 0;
}

Point2f ParamPoint(const EffectContext* ctx, int32_t index, Point2f fallback) {
    Point2f p = fallback;
    ReadParam8(&p, index, ctx);
    return p;
}

bool AnyParamChanged(const EffectContext* ctx) {
    if (ctx->ParamChanged == nullptr || ctx->Descriptor == nullptr)
        return false;
    const uint32_t count = ctx->Descriptor->ParamCount();
    for (uint32_t i = 0; i < count; ++i)
        if (ctx->ParamChanged[i] != 0)
            return true;
    return false;
}

}  // namespace kzr
