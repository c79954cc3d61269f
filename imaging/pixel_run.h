// Runs of 32-bit pixels copied in reverse order, four at a time in SSE2
// registers or eight at a time in AVX2 registers.
#pragma once
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

namespace kzr {

// out[j] = in[n - 1 - j] for the n pixels j in [0, n).  The two runs must not
// overlap.
inline void ReverseRun(uint8_t* out, const uint8_t* in, int32_t n) {
    int32_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * int64_t{n - 4 - j}));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * int64_t{j}),
                         _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3)));
    }
    for (; j < n; ++j)
        std::memcpy(out + 4 * int64_t{j}, in + 4 * int64_t{n - 1 - j}, 4);
}

// ReverseRun eight pixels at a time; needs HasAvx2().
void ReverseRunAvx2(uint8_t* out, const uint8_t* in, int32_t n);

}  // namespace kzr
