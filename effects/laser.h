// Laser: keeps the picture inside a circle (in display proportions, so an
// ellipse on frames with non-square pixels) around a chosen centre and turns
// everything outside into rays: each outside pixel takes the colour of the
// rim point on the line from the centre through it.
//
// The effect copies pixels by index through two tables built at Prepare and
// rebuilt when a parameter changes; it neither samples nor remaps.
#pragma once
#include <cstddef>
#include <cstdint>

#include "host/callbacks.h"

namespace kzr {

struct LaserState {
    uint64_t SourceFrame;   // 0x00
    uint64_t DestFrame;     // 0x08
    uint32_t* RowOffsets;   // 0x10, Height entries: y * Width
    int32_t* SourcePoints;  // 0x18, Width x Height (column, row) pairs
    uint32_t TablesBuilt;   // 0x20
    uint32_t Reserved;      // 0x24
    int32_t* InsideRuns;    // 0x28, per row the run of pixels inside the ellipse
};
static_assert(offsetof(LaserState, RowOffsets) == 0x10);
static_assert(offsetof(LaserState, SourcePoints) == 0x18);
static_assert(offsetof(LaserState, TablesBuilt) == 0x20);
static_assert(offsetof(LaserState, InsideRuns) == 0x28);
static_assert(sizeof(LaserState) == 48);

struct Laser {
    using State = LaserState;

    static Status Prepare(EffectContext* ctx);
    static Status Process(EffectContext* ctx);
    // Destroy and Unprepare: releases both tables.
    static Status Destroy(EffectContext* ctx);

    // Builds both tables for the context's size and parameters, replacing
    // any the state holds (and allocates the InsideRuns table that Process
    // fills).  When an allocation fails the state is left without tables and
    // kOutOfMemory is returned.
    static Status BuildTables(const EffectContext& ctx, State& st);

    // True when the state holds both tables, made for the context's size.
    static bool TablesMatch(const EffectContext& ctx, const State& st);

    static constexpr EffectSlots Slots() {
        return {&CreateFor<Laser>, &Destroy, &SetSource, &Process, nullptr,
                &Prepare,          &Destroy, nullptr,    nullptr};
    }
};

}  // namespace kzr
