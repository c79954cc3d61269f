// Callback slots of the ten effects, in descriptor order.  An effect whose
// slots are all null is not built into this module yet; hosts must not
// create instances of it.
#pragma once
#include "abi/descriptors.h"
#include "effects/doublefisheye.h"
#include "effects/drain.h"
#include "effects/hmirror.h"
#include "effects/hsqueeze.h"
#include "effects/hstretch.h"
#include "effects/laser.h"
#include "effects/square.h"
#include "effects/sshape.h"
#include "effects/tristretch.h"
#include "effects/vstretch.h"

namespace kzr {

inline constexpr EffectSlots kUnavailableSlots = {};

inline constexpr EffectSlots kHMirrorSlots = HMirror::Slots();
inline constexpr EffectSlots kHSqueezeSlots = MapEffect<HSqueeze>::Slots();
inline constexpr EffectSlots kHStretchSlots = MapEffect<HStretch>::Slots();
inline constexpr EffectSlots kVStretchSlots = MapEffect<VStretch>::Slots();
inline constexpr EffectSlots kTriStretchSlots = MapEffect<TriStretch>::Slots();
inline constexpr EffectSlots kDoubleFishEyeSlots = MapEffect<DoubleFishEye>::Slots();
inline constexpr EffectSlots kDrainSlots = MapEffect<Drain>::Slots();
inline constexpr EffectSlots kLaserSlots = Laser::Slots();
inline constexpr EffectSlots kSquareSlots = MapEffect<Square>::Slots();
inline constexpr EffectSlots kSshapeSlots = MapEffect<SShape>::Slots();

}  // namespace kzr
