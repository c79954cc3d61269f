#include "imaging/sample.h"

#include "imaging/cpu_features.h"

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

namespace {

// Pixel i of a row and its right neighbour as 8 bytes; at the last column
// the pixel twice.
inline __m128i LoadPair(const uint8_t* row, uint32_t i, uint32_t lastCol) {
    if (i < lastCol)
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 4 * size_t{i}));
    return _mm_set1_epi32(static_cast<int>(LoadPixel(row, static_cast<int32_t>(i))));
}

void SampleSpanSimd(const ImageSurface* s, const uint32_t* mapX, const uint32_t* mapY, size_t count,
                    uint8_t* dst) {
    if (s->Width <= 0 || s->Height <= 0)
        return;
    const uint32_t width = static_cast<uint32_t>(s->Width),
                   height = static_cast<uint32_t>(s->Height);
    const uint32_t lastCol = width - 1;
    const size_t rowBytes = 4 * size_t{width};
    const __m128i zero = _mm_setzero_si128();
    for (size_t k = 0; k < count; ++k, dst += 4) {
        const uint32_t x = mapX[k], y = mapY[k];
        const uint32_t i = x >> 16, j = y >> 16;
        if (i >= width || j >= height)
            continue;
        const uint8_t* top = s->Pixels + rowBytes * j;
        const uint8_t* bottom = j + 1 < height ? top + rowBytes : top;
        // [p00 p01 p10 p11] widened to [p00 p01] and [p10 p11], regrouped as
        // a = [p00 | p10] and b = [p01 | p11], the lanes SampleSimd uses.
        const __m128i quad =
            _mm_unpacklo_epi64(LoadPair(top, i, lastCol), LoadPair(bottom, i, lastCol));
        const __m128i lo = _mm_unpacklo_epi8(quad, zero), hi = _mm_unpackhi_epi8(quad, zero);
        const __m128i a = _mm_unpacklo_epi64(lo, hi), b = _mm_unpackhi_epi64(lo, hi);
        const __m128i hx = _mm_set1_epi16(static_cast<int16_t>((x & 0xFFFF) >> 1));
        const __m128i hy = _mm_set1_epi16(static_cast<int16_t>((y & 0xFFFF) >> 1));
        const __m128i rows =
            _mm_add_epi16(a, _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(b, a), 1), hx));
        const __m128i bottomRow = _mm_unpackhi_epi64(rows, rows);
        const __m128i result = _mm_add_epi16(
            rows, _mm_mulhi_epi16(_mm_slli_epi16(_mm_sub_epi16(bottomRow, rows), 1), hy));
        const uint32_t packed =
            static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(result, result)));
        std::memcpy(dst, &packed, 4);
    }
}

}  // namespace

void SampleSpan(const ImageSurface* s, const uint32_t* mapX, const uint32_t* mapY, size_t count,
                uint8_t* dst) {
    if (s->CpuLevel >= 3) {
        SampleSpanSimd(s, mapX, mapY, count, dst);
        return;
    }
    for (size_t k = 0; k < count; ++k, dst += 4) {
        uint32_t pixel;
        std::memcpy(&pixel, dst, 4);
        SampleScalar(s, static_cast<int32_t>(mapX[k]), static_cast<int32_t>(mapY[k]), &pixel);
        std::memcpy(dst, &pixel, 4);
    }
}

void CopyFrom(ImageSurface* dst, const ImageSurface* src) {
    CopyRowsFrom(dst, src, 0, dst->Height);
}

void CopyRowsFrom(ImageSurface* dst, const ImageSurface* src, int32_t first, int32_t last) {
    if (dst->Pixels == nullptr || src->Pixels == nullptr || !SameSize(dst, src))
        return;
    first = first > 0 ? first : 0;
    last = last < dst->Height ? last : dst->Height;
    const int64_t rowBytes = static_cast<int64_t>(dst->BytesPerPixel) * dst->Width;
    const uint8_t* from = src->Pixels + int64_t{src->Pitch} * first;
    uint8_t* to = dst->Pixels + int64_t{dst->Pitch} * first;
    for (int32_t y = first; y < last; ++y) {
        if (rowBytes > 0)
            std::memmove(to, from, static_cast<size_t>(rowBytes));
        from += src->Pitch;
        to += dst->Pitch;
    }
}

bool HasAvx2() {
    static const bool has = CpuHasAvx2();
    return has;
}

}  // namespace kzr
