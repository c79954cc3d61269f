// Horizontal mirror: reflects one side of the picture onto the other about a
// vertical axis and repeats the mirrored pair of strips across the rest of
// the row.  No maps and no sampling: whole pixels are copied between the
// host's frame buffers.
#pragma once
#include "host/callbacks.h"

namespace kzr {

struct HMirror {
    static Status Prepare(EffectContext* ctx);
    static Status Process(EffectContext* ctx);

    static constexpr EffectSlots Slots() {
        return {&CreateFor<HMirror>, &DestroyNothing, &SetSource, &Process, nullptr, &Prepare,
                &DestroyNothing,     nullptr,         nullptr};
    }
};

}  // namespace kzr
