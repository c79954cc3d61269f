// Records shared with the host: the per-instance context, the head of the
// per-instance state block and the host services reached through tables of
// virtual operations.  Offsets are part of the binary interface.
#pragma once
#include <cstddef>
#include <cstdint>

#include "abi/surface.h"

namespace kzr {

struct EffectDescriptor;

// Host object whose first virtual operation Create calls.  No virtual
// destructor: the table holds exactly the host's operations, in slot order.
class HostObject {
  public:
    virtual int32_t OnCreate() = 0;  // slot 0; result ignored
};

// Host service that wraps frame handles as ImageSurfaces.  Slots 1 and 2 are
// never called by the module; they are declared to keep Release in slot 3.
class SurfaceFactory {
  public:
    virtual ImageSurface* Wrap(uint64_t frame, uint32_t width, uint32_t height,
                               int32_t pitch) = 0;    // slot 0
    virtual void Reserved1() = 0;                     // slot 1
    virtual void Reserved2() = 0;                     // slot 2
    virtual void Release(ImageSurface* surface) = 0;  // slot 3
};

struct EffectContext {
    uint64_t HostReserved00;                 // 0x00
    const EffectDescriptor* Descriptor;      // 0x08
    HostObject* Host;                        // 0x10
    uint64_t HostReserved18;                 // 0x18
    void* State;                             // 0x20
    uint64_t Frame;                          // 0x28
    uint8_t HostReserved30[0x74 - 0x30];     // 0x30
    uint32_t Width;                          // 0x74
    uint32_t Height;                         // 0x78
    uint8_t HostReserved7C[0x90 - 0x7C];     // 0x7C
    uint8_t* ParamBlob;                      // 0x90
    uint64_t HostReserved98;                 // 0x98
    uint32_t* ParamChanged;                  // 0xA0
    uint64_t HostReservedA8;                 // 0xA8
    uint32_t RefWidth;                       // 0xB0
    uint32_t RefHeight;                      // 0xB4
    uint8_t HostReservedB8[0xD0 - 0xB8];     // 0xB8
    int32_t TaskCount;                       // 0xD0
    uint8_t HostReservedD4[0xE0 - 0xD4];     // 0xD4
    uint8_t MapFlagA;                        // 0xE0
    uint8_t HostReservedE1[0x104 - 0xE1];    // 0xE1
    int32_t CpuLevel;                        // 0x104
    uint8_t HostReserved108[0x110 - 0x108];  // 0x108
    uint8_t MapFlagB;                        // 0x110
    uint8_t HostReserved111[0x160 - 0x111];  // 0x111
    SurfaceFactory* Surfaces;                // 0x160
    uint64_t HostReserved168;                // 0x168
};
static_assert(offsetof(EffectContext, Descriptor) == 0x08);
static_assert(offsetof(EffectContext, Host) == 0x10);
static_assert(offsetof(EffectContext, State) == 0x20);
static_assert(offsetof(EffectContext, Frame) == 0x28);
static_assert(offsetof(EffectContext, Width) == 0x74);
static_assert(offsetof(EffectContext, Height) == 0x78);
static_assert(offsetof(EffectContext, ParamBlob) == 0x90);
static_assert(offsetof(EffectContext, ParamChanged) == 0xA0);
static_assert(offsetof(EffectContext, RefWidth) == 0xB0);
static_assert(offsetof(EffectContext, RefHeight) == 0xB4);
static_assert(offsetof(EffectContext, TaskCount) == 0xD0);
static_assert(offsetof(EffectContext, MapFlagA) == 0xE0);
static_assert(offsetof(EffectContext, CpuLevel) == 0x104);
static_assert(offsetof(EffectContext, MapFlagB) == 0x110);
static_assert(offsetof(EffectContext, Surfaces) == 0x160);
static_assert(sizeof(EffectContext) == 0x170);

// Every effect's state block begins with the two frame handles.
struct FrameState {
    uint64_t SourceFrame;  // 0x00
    uint64_t DestFrame;    // 0x08
};
static_assert(offsetof(FrameState, DestFrame) == 0x08);
static_assert(sizeof(FrameState) == 16);

// One-map effects (horizontal/vertical stretch, tri-stretch, S-shape).
struct OneMapState {
    uint64_t SourceFrame;  // 0x00
    uint64_t DestFrame;    // 0x08
    uint32_t* MapA;        // 0x10
};
static_assert(offsetof(OneMapState, MapA) == 0x10);
static_assert(sizeof(OneMapState) == 24);

// Two-map effect without a built flag (horizontal squeeze).
struct TwoMapState {
    uint64_t SourceFrame;  // 0x00
    uint64_t DestFrame;    // 0x08
    uint32_t* MapA;        // 0x10
    uint32_t* MapB;        // 0x18
};
static_assert(offsetof(TwoMapState, MapA) == 0x10);
static_assert(offsetof(TwoMapState, MapB) == 0x18);
static_assert(sizeof(TwoMapState) == 32);

// Two-map effects that remember whether their maps were built
// (double fish-eye, drain, square).
struct TwoMapBuiltState {
    uint64_t SourceFrame;  // 0x00
    uint64_t DestFrame;    // 0x08
    uint32_t* MapA;        // 0x10
    uint32_t* MapB;        // 0x18
    uint32_t MapBuilt;     // 0x20
    uint32_t Padding;      // 0x24
};
static_assert(offsetof(TwoMapBuiltState, MapBuilt) == 0x20);
static_assert(sizeof(TwoMapBuiltState) == 40);

}  // namespace kzr
