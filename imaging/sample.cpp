#include "imaging/sample.h"

#include <emmintrin.h>

#include <cstring>

namespace kzr {
namespace {

inline uint32_t LoadPixel(const uint8_t* row, int32_t x) {
    uint32_t p;
    std::memcpy(&p, row + 4 * static_cast<int64_t>(x), 4);
    return p;
}

// Integer parts are taken as unsigned, so every index of the 16.16 format is
// usable and negative coordinates fall outside any surface up to 32768 wide.
inline bool Inside(const ImageSurface* s, uint32_t i, uint32_t j) {
    return s->Width > 0 && s->Height > 0 && i < static_cast<uint32_t>(s->Width) &&
           j < static_cast<uint32_t>(s->Height);
}

// The four neighbours of (i, j) with the edge rule applied.
struct Quad {
    uint32_t p00, p01, p10, p11;
};

inline Quad Neighbours(const ImageSurface* s, uint32_t i, uint32_t j) {
    const int64_t rowBytes = 4 * static_cast<int64_t>(s->Width);
    const uint8_t* top = s->Pixels + rowBytes * j;
    const uint8_t* bottom = j + 1 < static_cast<uint32_t>(s->Height) ? top + rowBytes : top;
    const int32_t i1 = static_cast<int32_t>(i + 1 < static_cast<uint32_t>(s->Width) ? i + 1 : i);
    const int32_t i0 = static_cast<int32_t>(i);
    return {LoadPixel(top, i0), LoadPixel(top, i1), LoadPixel(bottom, i0), LoadPixel(bottom, i1)};
}

inline int32_t Lerp16(int32_t a, int32_t b, int32_t f) {
    return ((a << 16) + (b - a) * f) >> 16;
}

}  // namespace

void SampleScalar(const ImageSurface* s, int32_t x, int32_t y, uint32_t* out) {
    const uint32_t i = static_cast<uint32_t>(x) >> 16, j = static_cast<uint32_t>(y) >> 16;
    if (!Inside(s, i, j))
        return;
    const int32_t fx = x & 0xFFFF, fy = y & 0xFFFF;
    const Quad q = Neighbours(s, i, j);
    uint32_t result = 0;
    for (int c = 0; c < 4; ++c) {
        const int shift = 8 * c;
        const auto ch = [shift](uint32_t p) { return static_cast<int32_t>((p >> shift) & 0xFF); };
        const int32_t top = Lerp16(ch(q.p00), ch(q.p01), fx);
        const int32_t bottom = Lerp16(ch(q.p10), ch(q.p11), fx);
        result |= static_cast<uint32_t>(Lerp16(top, bottom, fy) & 0xFF) << shift;
    }
    std::memcpy(out, &result, 4);
}

void SampleSimd(const ImageSurface* s, int32_t x, int32_t y, uint32_t* out) {
    const uint32_t i = static_cast<uint32_t>(x) >> 16, j = static_cast<uint32_t>(y) >> 16;
    if (!Inside(s, i, j))
        return;
    const int16_t hx = static_cast<int16_t>((x & 0xFFFF) >> 1);
    const int16_t hy = static_cast<int16_t>((y & 0xFFFF) >> 1);
    const Quad q = Neighbours(s, i, j);
    const __m128i zero = _mm_setzero_si128();
    // a = [p00 | p10], b = [p01 | p11], one channel per 16-bit lane.
    const __m128i a =
        _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(q.p00)),
                                             _mm_cvtsi32_si128(static_cast<int>(q.p10))),
                          zero);
    const __m128i b =
        _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(q.p01)),
                                             _mm_cvtsi32_si128(static_cast<int>(q.p11))),
                          zero);
    // Horizontal pass on both pairs at once: a + (((b - a) << 1) * hx) >> 16.
    const __m128i rows = _mm_add_epi16(
        a, _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(b, a), 1), _mm_set1_epi16(hx)));
    // Vertical pass: top in the low half, bottom in the high half.
    const __m128i bottom = _mm_unpackhi_epi64(rows, rows);
    const __m128i result = _mm_add_epi16(
        rows, _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(bottom, rows), 1), _mm_set1_epi16(hy)));
    const uint32_t packed =
        static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(result, result)));
    std::memcpy(out, &packed, 4);
}

void CopyFrom(ImageSurface* dst, const ImageSurface* src) {
    if (dst->Pixels == nullptr || src->Pixels == nullptr || !SameSize(dst, src))
        return;
    const int64_t rowBytes = static_cast<int64_t>(dst->BytesPerPixel) * dst->Width;
    const uint8_t* from = src->Pixels;
    uint8_t* to = dst->Pixels;
    for (int32_t y = 0; y < dst->Height; ++y) {
        if (rowBytes > 0)
            std::memmove(to, from, static_cast<size_t>(rowBytes));
        from += src->Pitch;
        to += dst->Pitch;
    }
}

bool HasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

}  // namespace kzr
