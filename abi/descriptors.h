// Static records through which the host discovers the module, its effects
// and their parameters.  The host reads them in place: layouts are fixed.
#pragma once
#include <cstddef>
#include <cstdint>

#include "abi/status.h"

namespace kzr {

struct EffectContext;
struct EffectDescriptor;

using EffectCallback = Status (*)(EffectContext*);
using SetSourceCallback = Status (*)(void*, EffectContext*);

// Parameter value types.
enum ValueType : uint32_t {
    kTypeInt = 3,
    kTypeFloat = 5,
    kTypeBool = 8,
    kTypeRect = 13,
    kTypeString = 14,
    kTypePoint = 15,
};

struct ParamDescriptor {
    const char* Key;             // 0x00
    const char* NameKey;         // 0x08
    const char* DescKey;         // 0x10
    const void* MinValue;        // 0x18
    const void* MaxValue;        // 0x20
    const void* DefaultValue;    // 0x28
    const void* ExtraValues[3];  // 0x30
    uint64_t Reserved48;         // 0x48
    uint32_t Reserved50;         // 0x50
    uint32_t ValueType;          // 0x54
    uint32_t Presentation;       // 0x58
    uint32_t ValueSize;          // 0x5C
    uint32_t HostFlag;           // 0x60
    uint32_t Reserved64[3];      // 0x64
    uint32_t Number;             // 0x70
    uint32_t Group;              // 0x74
};
static_assert(offsetof(ParamDescriptor, NameKey) == 0x08);
static_assert(offsetof(ParamDescriptor, DescKey) == 0x10);
static_assert(offsetof(ParamDescriptor, MinValue) == 0x18);
static_assert(offsetof(ParamDescriptor, MaxValue) == 0x20);
static_assert(offsetof(ParamDescriptor, DefaultValue) == 0x28);
static_assert(offsetof(ParamDescriptor, ExtraValues) == 0x30);
static_assert(offsetof(ParamDescriptor, Reserved48) == 0x48);
static_assert(offsetof(ParamDescriptor, Reserved50) == 0x50);
static_assert(offsetof(ParamDescriptor, ValueType) == 0x54);
static_assert(offsetof(ParamDescriptor, Presentation) == 0x58);
static_assert(offsetof(ParamDescriptor, ValueSize) == 0x5C);
static_assert(offsetof(ParamDescriptor, HostFlag) == 0x60);
static_assert(offsetof(ParamDescriptor, Reserved64) == 0x64);
static_assert(offsetof(ParamDescriptor, Number) == 0x70);
static_assert(offsetof(ParamDescriptor, Group) == 0x74);
static_assert(sizeof(ParamDescriptor) == 120);

struct ModuleDescriptor {
    uint64_t FormatValue;             // 0x00
    const char* NameKey;              // 0x08
    const char* DescKey;              // 0x10
    const char* Author;               // 0x18
    const char* Vendor;               // 0x20
    void* ModuleHandle;               // 0x28
    void* ResourceHandle;             // 0x30
    uint64_t EffectCount;             // 0x38
    const EffectDescriptor* Effects;  // 0x40
    uint64_t Reserved48;              // 0x48
};
static_assert(offsetof(ModuleDescriptor, NameKey) == 0x08);
static_assert(offsetof(ModuleDescriptor, DescKey) == 0x10);
static_assert(offsetof(ModuleDescriptor, Author) == 0x18);
static_assert(offsetof(ModuleDescriptor, Vendor) == 0x20);
static_assert(offsetof(ModuleDescriptor, ModuleHandle) == 0x28);
static_assert(offsetof(ModuleDescriptor, ResourceHandle) == 0x30);
static_assert(offsetof(ModuleDescriptor, EffectCount) == 0x38);
static_assert(offsetof(ModuleDescriptor, Effects) == 0x40);
static_assert(offsetof(ModuleDescriptor, Reserved48) == 0x48);
static_assert(sizeof(ModuleDescriptor) == 80);

// The callback slots of an effect, in slot order.
struct EffectSlots {
    EffectCallback Create;        // slot 0
    EffectCallback Destroy;       // slot 1
    SetSourceCallback SetSource;  // slot 2
    EffectCallback Process;       // slot 3
    EffectCallback Slot4;         // slot 4, always null
    EffectCallback Prepare;       // slot 5
    EffectCallback Unprepare;     // slot 6, always Destroy
    EffectCallback Slot7;         // slot 7, always null
    EffectCallback Slot8;         // slot 8, always null
};
static_assert(sizeof(EffectSlots) == 72);

inline constexpr uint32_t kAttributeCount = 16;
inline constexpr uint32_t kParamCountAttribute = 15;

struct EffectDescriptor {
    const char* Id;                        // 0x00
    const char* NameKey;                   // 0x08
    const char* DescKey;                   // 0x10
    const char* Author;                    // 0x18
    const char* Vendor;                    // 0x20
    uint64_t FormatValue;                  // 0x28
    uint32_t Attributes[kAttributeCount];  // 0x30; [15] is ParamCount
    const ParamDescriptor* Params;         // 0x70
    const ModuleDescriptor* Module;        // 0x78
    uint64_t StateSize;                    // 0x80
    EffectSlots Slots;                     // 0x88
    const char* Subclass;                  // 0xD0

    uint32_t ParamCount() const { return Attributes[kParamCountAttribute]; }
};
static_assert(offsetof(EffectDescriptor, NameKey) == 0x08);
static_assert(offsetof(EffectDescriptor, DescKey) == 0x10);
static_assert(offsetof(EffectDescriptor, Author) == 0x18);
static_assert(offsetof(EffectDescriptor, Vendor) == 0x20);
static_assert(offsetof(EffectDescriptor, FormatValue) == 0x28);
static_assert(offsetof(EffectDescriptor, Attributes) == 0x30);
static_assert(offsetof(EffectDescriptor, Attributes) + 4 * kParamCountAttribute == 0x6C);
static_assert(offsetof(EffectDescriptor, Params) == 0x70);
static_assert(offsetof(EffectDescriptor, Module) == 0x78);
static_assert(offsetof(EffectDescriptor, StateSize) == 0x80);
static_assert(offsetof(EffectDescriptor, Slots) == 0x88);
static_assert(offsetof(EffectDescriptor, Slots) + offsetof(EffectSlots, Process) == 0xA0);
static_assert(offsetof(EffectDescriptor, Slots) + offsetof(EffectSlots, Prepare) == 0xB0);
static_assert(offsetof(EffectDescriptor, Slots) + offsetof(EffectSlots, Unprepare) == 0xB8);
static_assert(offsetof(EffectDescriptor, Subclass) == 0xD0);
static_assert(sizeof(EffectDescriptor) == 216);

inline constexpr uint32_t kEffectCount = 10;

// The one module record; KZR_DSP_InitModule hands out its address.
ModuleDescriptor& TheModule();

}  // namespace kzr
