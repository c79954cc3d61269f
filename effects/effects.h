// Callback slots of the ten effects, in descriptor order.  An effect whose
// slots are all null is not built into this module yet; hosts must not
// create instances of it.
#pragma once
#include "effects/hstretch.h"
#include "module/descriptors.h"

namespace kzr {

inline constexpr EffectSlots kUnavailableSlots = {};

inline constexpr EffectSlots kHMirrorSlots = kUnavailableSlots;
inline constexpr EffectSlots kHSqueezeSlots = kUnavailableSlots;
inline constexpr EffectSlots kHStretchSlots = MapEffect<HStretch>::Slots();
inline constexpr EffectSlots kVStretchSlots = kUnavailableSlots;
inline constexpr EffectSlots kTriStretchSlots = kUnavailableSlots;
inline constexpr EffectSlots kDoubleFishEyeSlots = kUnavailableSlots;
inline constexpr EffectSlots kDrainSlots = kUnavailableSlots;
inline constexpr EffectSlots kLaserSlots = kUnavailableSlots;
inline constexpr EffectSlots kSquareSlots = kUnavailableSlots;
inline constexpr EffectSlots kSshapeSlots = kUnavailableSlots;

}  // namespace kzr
