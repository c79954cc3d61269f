// Status codes returned by the exports and every effect callback.
#pragma once
#include <cstdint>

namespace kzr {

using Status = uint32_t;

inline constexpr Status kOk = 0;
inline constexpr Status kFail = 0x80004005u;         // null context / nothing to draw with
inline constexpr Status kOutOfMemory = 0x8007000Eu;  // a buffer could not be allocated

}  // namespace kzr
