// What the processor lets the remaps use, asked of the processor itself;
// header-only, so a host can ask the same question.
#pragma once

namespace kzr {

// AVX2.
inline bool CpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

}  // namespace kzr
