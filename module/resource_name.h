// Naming rule of the language-resource library: the module's path cut at the
// first "." of its file name, then "_", a suffix and ".DLL".  A module at
// /opt/fx.1/KZR_PlugIn_6.so with suffix ENU gives /opt/fx.1/KZR_PlugIn_6_ENU.DLL.
#pragma once
#include <cstddef>

#include "module/platform.h"

namespace kzr {

// Writes the candidate name into out; false when it does not fit.
bool ComposeResourceName(const platform::PathChar* modulePath, const platform::PathChar* suffix,
                         platform::PathChar* out, size_t capacity);

}  // namespace kzr
