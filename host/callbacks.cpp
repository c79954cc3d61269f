#include "host/callbacks.h"

namespace kzr {
namespace {

template <class State>
Status DestroyMaps(EffectContext* ctx) {
    if (ctx == nullptr)
        return kFail;
    if (ctx->State == nullptr)
        return kOk;
    FreeMaps(*static_cast<State*>(ctx->State));
    return kOk;
}

}  // namespace

Status SetSource(void*, EffectContext* ctx) {
    if (ctx == nullptr)
        return kFail;
    if (ctx->State != nullptr)
        static_cast<FrameState*>(ctx->State)->SourceFrame = ctx->Frame;
    return kOk;
}

Status DestroyNothing(EffectContext* ctx) {
    return ctx == nullptr ? kFail : kOk;
}
Status DestroyOneMap(EffectContext* ctx) {
    return DestroyMaps<OneMapState>(ctx);
}
Status DestroyTwoMaps(EffectContext* ctx) {
    return DestroyMaps<TwoMapState>(ctx);
}

Status CommonCreate(EffectContext* ctx) {
    if (ctx == nullptr)
        return kFail;
    if (ctx->Host != nullptr)
        ctx->Host->OnCreate();
    const EffectDescriptor* fx = ctx->Descriptor;
    if (fx == nullptr || ctx->ParamBlob == nullptr)
        return kOk;
    uint8_t* pos = ctx->ParamBlob;
    for (uint32_t i = 0; i < fx->ParamCount(); ++i) {
        const ParamDescriptor& p = fx->Params[i];
        if (p.ValueSize != 0)
            std::memcpy(pos, p.DefaultValue, p.ValueSize);
        pos += p.ValueSize;
    }
    return kOk;
}

void RaisePrepareFlag(EffectContext* ctx, PrepareFlag flag) {
    if (flag == PrepareFlag::A)
        ctx->MapFlagA = 1;
    if (flag == PrepareFlag::B)
        ctx->MapFlagB = 1;
}

FramePair::FramePair(const EffectContext& ctx, uint64_t source, uint64_t dest)
    : factory_(ctx.Surfaces) {
    if (factory_ == nullptr)
        return;
    const int32_t pitch = static_cast<int32_t>(ctx.Width * 4);
    src = factory_->Wrap(source, ctx.Width, ctx.Height, pitch);
    dst = factory_->Wrap(dest, ctx.Width, ctx.Height, pitch);
    const auto fits = [&ctx](const ImageSurface* s) {
        return s != nullptr && s->Pixels != nullptr &&
               s->Width == static_cast<int32_t>(ctx.Width) &&
               s->Height == static_cast<int32_t>(ctx.Height);
    };
    usable_ = fits(src) && fits(dst);
    if (src != nullptr)
        SetCpuLevel(src, ctx.CpuLevel);
}

FramePair::~FramePair() {
    if (src != nullptr)
        factory_->Release(src);
    if (dst != nullptr)
        factory_->Release(dst);
}

}  // namespace kzr
