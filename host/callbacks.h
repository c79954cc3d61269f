// The callbacks that all effects share or build alike, written once:
//
//   - SetSource and the Destroy/Unprepare families are single functions;
//   - Create, Prepare and Process are templates instantiated once per effect,
//     so every effect still has its own function pointers.
//
// A map effect is described by a traits type Fx:
//
//   struct Fx {
//       using State = OneMapState | TwoMapState | TwoMapBuiltState;
//       static constexpr PrepareFlag kFlag;         // context byte Prepare sets
//       static constexpr MapAxis kAxis;             // one-map effects only
//       static void BuildMaps(const EffectContext&, State&);  // the map builder
//       // or, in its place, a builder of the map rows [first, last) alone:
//       // the maps are then built in bands of rows, TaskCount of them at a
//       // time.  A band writes only its own rows and reads no entries of
//       // others, starts from what a single pass would hold at its first
//       // row, and gives the same entries when built a second time;
//       static void BuildRows(const EffectContext&, State&, int32_t first, int32_t last);
//       // A Process after a parameter change builds and draws band by band,
//       // so the draw of rows [first, last) must read no map entries of
//       // other rows.
//       // optional: a renderer of the rows [first, last) replacing the
//       // standard remap (Process may split a frame into bands of rows),
//       static void RenderRows(const EffectContext&, const State&,
//                              const FramePair&, int32_t first, int32_t last);
//       // optional: a whole Process of the effect's own (it should still
//       // refuse maps of another size, see MapEffect::Process);
//       static Status Process(EffectContext*);
//   };
//
// MapEffect<Fx> provides Create, Prepare, Process and the descriptor slots.
#pragma once
#include <cstring>
#include <new>

#include "abi/context.h"
#include "abi/descriptors.h"
#include "abi/status.h"
#include "host/params.h"
#include "imaging/coordmap.h"
#include "imaging/frame_remap.h"
#include "imaging/multitask.h"
#include "imaging/sample.h"

namespace kzr {

enum class PrepareFlag { None, A, B };

Status SetSource(void* unused, EffectContext* ctx);
Status DestroyNothing(EffectContext* ctx);
Status DestroyOneMap(EffectContext* ctx);
Status DestroyTwoMaps(EffectContext* ctx);

// Writes the defaults of every parameter into the blob, packed in table order.
Status CommonCreate(EffectContext* ctx);

// The common Create, instantiated per effect so each has its own slot value.
template <class Fx>
Status CreateFor(EffectContext* ctx) {
    return CommonCreate(ctx);
}
// Sets the context byte that an effect's Prepare raises.
void RaisePrepareFlag(EffectContext* ctx, PrepareFlag flag);

// The source and destination frames of one Process call wrapped as surfaces
// (source first), released in reverse order of need: source, then destination.
class FramePair {
  public:
    FramePair(const EffectContext& ctx, uint64_t source, uint64_t dest);
    ~FramePair();
    FramePair(const FramePair&) = delete;
    FramePair& operator=(const FramePair&) = delete;

    // Both surfaces exist, have pixels and the context's size.
    bool Usable() const { return usable_; }

    ImageSurface* src = nullptr;
    ImageSurface* dst = nullptr;

  private:
    SurfaceFactory* factory_;
    bool usable_ = false;
};

template <class State>
inline constexpr bool kHasMapB = requires(State s) {
    s.MapB;
};
template <class State>
inline constexpr bool kHasBuiltFlag = requires(State s) {
    s.MapBuilt;
};

template <class State>
inline void FreeMaps(State& st) {
    FreeMap(st.MapA);
    st.MapA = nullptr;
    if constexpr (kHasMapB<State>) {
        FreeMap(st.MapB);
        st.MapB = nullptr;
    }
}

template <class State>
inline bool MapsMatch(const EffectContext& ctx, const State& st) {
    bool ok = MapMatches(st.MapA, ctx.Width, ctx.Height);
    if constexpr (kHasMapB<State>)
        ok = ok && MapMatches(st.MapB, ctx.Width, ctx.Height);
    return ok;
}

template <class Fx>
struct MapEffect {
    using State = typename Fx::State;

    static Status Create(EffectContext* ctx) { return CreateFor<Fx>(ctx); }

    static Status Prepare(EffectContext* ctx) {
        if (ctx == nullptr)
            return kFail;
        RaisePrepareFlag(ctx, Fx::kFlag);
        if (ctx->State == nullptr)
            return kFail;
        State& st = *static_cast<State*>(ctx->State);
        // A host that prepares again without unpreparing gets its old maps
        // rewritten when they have the frame's size (no fresh pages to fault
        // in), and released rather than leaked when they have not.
        if (!MapsMatch(*ctx, st)) {
            FreeMaps(st);
            if (!MapSizeSupported(ctx->Width, ctx->Height))
                return kOutOfMemory;
            try {
                st.MapA = AllocateMap(ctx->Width, ctx->Height);
                if constexpr (kHasMapB<State>)
                    st.MapB = AllocateMap(ctx->Width, ctx->Height);
            } catch (const std::bad_alloc&) {
                FreeMaps(st);
                return kOutOfMemory;
            }
        }
        BuildMaps(*ctx, st);
        MarkBuilt(st);
        return kOk;
    }

    static Status Process(EffectContext* ctx) {
        if (ctx == nullptr)
            return kFail;
        if (ctx->State == nullptr)
            return kFail;
        State& st = *static_cast<State*>(ctx->State);
        st.DestFrame = ctx->Frame;
        // Maps built for another frame size (or none at all): draw nothing.
        if (!MapsMatch(*ctx, st))
            return kFail;
        const bool rebuild = NeedsRebuild(*ctx, st);
        FramePair frames(*ctx, st.SourceFrame, st.DestFrame);
        const int32_t h = static_cast<int32_t>(ctx->Height);
        // A frame drawn into its own source is drawn in one band, in order.
        const bool banded = frames.Usable() && CanDrawInBands(frames.src, frames.dst);
        if constexpr (kBuildsRows) {
            // A keyframe builds and draws each band in one go: the draw of a
            // band reads only that band's map rows, which are still in the
            // core's cache, and the tasks start once rather than twice.
            if (rebuild && banded) {
                DrawInBands(ctx->TaskCount, h, [&](int32_t first, int32_t last) {
                    Fx::BuildRows(*ctx, st, first, last);
                    DrawRows(*ctx, st, frames, first, last);
                });
                MarkBuilt(st);
                return kOk;
            }
        }
        if (rebuild) {
            BuildMaps(*ctx, st);
            MarkBuilt(st);
        }
        if (!frames.Usable())
            return kOk;
        DrawInBands(banded ? ctx->TaskCount : 1, h,
                    [&](int32_t first, int32_t last) { DrawRows(*ctx, st, frames, first, last); });
        return kOk;
    }

    static constexpr bool kBuildsRows = requires(const EffectContext& ctx, State& st) {
        Fx::BuildRows(ctx, st, 0, 0);
    };

    // Rows [first, last) of the frame, through the effect's own renderer or
    // the standard remap.
    static void DrawRows(const EffectContext& ctx, const State& st, const FramePair& frames,
                         int32_t first, int32_t last) {
        const int32_t w = static_cast<int32_t>(ctx.Width);
        if constexpr (requires { Fx::RenderRows(ctx, st, frames, first, last); }) {
            Fx::RenderRows(ctx, st, frames, first, last);
        } else if constexpr (kHasMapB<State>) {
            RemapRowsTwoMaps(frames.src, PixelPointer(frames.dst), w, first, last, st.MapA,
                             st.MapB);
        } else {
            RemapRows(frames.src, PixelPointer(frames.dst), w, first, last, st.MapA, Fx::kAxis);
        }
    }

    // Builds the maps for the context's size and parameters: in bands of
    // rows when the effect builds rows, else through its whole builder.
    static void BuildMaps(const EffectContext& ctx, State& st) {
        if constexpr (kBuildsRows) {
            DrawInBands(ctx.TaskCount, static_cast<int32_t>(ctx.Height),
                        [&](int32_t first, int32_t last) { Fx::BuildRows(ctx, st, first, last); });
        } else {
            Fx::BuildMaps(ctx, st);
        }
    }

    // The maps must be built again when they never were or a parameter changed.
    static bool NeedsRebuild(const EffectContext& ctx, const State& st) {
        bool rebuild = AnyParamChanged(&ctx);
        if constexpr (kHasBuiltFlag<State>)
            rebuild = rebuild || st.MapBuilt == 0;
        return rebuild;
    }
    static void MarkBuilt(State& st) {
        if constexpr (kHasBuiltFlag<State>)
            st.MapBuilt = 1;
    }
    // Rebuilds the maps when they were never built or a parameter changed.
    static void UpdateMaps(const EffectContext& ctx, State& st) {
        if (!NeedsRebuild(ctx, st))
            return;
        BuildMaps(ctx, st);
        MarkBuilt(st);
    }

    static constexpr EffectCallback Destroy() {
        if constexpr (kHasMapB<State>)
            return &DestroyTwoMaps;
        else
            return &DestroyOneMap;
    }

    // The effect's own Process when its traits supply one, else the standard one.
    static constexpr EffectCallback ProcessSlot() {
        if constexpr (requires { Fx::Process(static_cast<EffectContext*>(nullptr)); })
            return &Fx::Process;
        else
            return &Process;
    }

    static constexpr EffectSlots Slots() {
        return {&Create,  Destroy(), &SetSource, ProcessSlot(), nullptr,
                &Prepare, Destroy(), nullptr,    nullptr};
    }
};

}  // namespace kzr
