// Drain: swirls the picture inside a circle around a chosen centre, like
// water running into a drain.  Every pixel inside keeps its distance from the
// centre and turns by an angle that is zero at the rim and grows with one
// over the distance towards the centre.  Pixels outside are copied.
//
// With a TaskCount above 1 the maps are built and the frame is rendered in
// bands of rows by the parallel task runner.
#pragma once
#include "host/callbacks.h"
#include "imaging/multitask.h"

namespace kzr {

struct Drain {
    using State = TwoMapBuiltState;
    static constexpr PrepareFlag kFlag = PrepareFlag::A;
    static void BuildMaps(const EffectContext& ctx, State& st);
    static Status Process(EffectContext* ctx);
};

extern template struct MapEffect<Drain>;

}  // namespace kzr
