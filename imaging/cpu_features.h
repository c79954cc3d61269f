// What the processor and the operating system let the remaps use, asked of
// the processor itself; header-only, so a host can ask the same question.
#pragma once
#include <cpuid.h>

#include <cstdint>

namespace kzr {

// AVX2.
inline bool CpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

// AVX-512 F, BW, VL and VBMI, with the operating system saving the opmask
// registers and all 512 bits of the 32 vector registers on a task switch:
// XCR0 has the SSE, AVX, opmask, ZMM_Hi256 and Hi16_ZMM bits (1, 2, 5, 6, 7).
inline bool CpuHasAvx512() {
    __builtin_cpu_init();
    if (!CpuHasAvx2() || !__builtin_cpu_supports("avx512f") ||
        !__builtin_cpu_supports("avx512bw") || !__builtin_cpu_supports("avx512vl") ||
        !__builtin_cpu_supports("avx512vbmi"))
        return false;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_OSXSAVE) == 0)
        return false;
    uint32_t low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 0xE6) == 0xE6;
}

}  // namespace kzr
