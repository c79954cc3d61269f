// Whole-frame remaps in 16-bit lanes of 256-bit registers: eight
// destination pixels a step where all eight read inside the frame, four a
// step elsewhere.  Built with -mavx2; callers reach it only after HasAvx2().
#include <immintrin.h>

#include <cstring>

#include "imaging/pixel_run.h"
#include "imaging/point_copy.h"
#include "imaging/sample.h"

namespace kzr {
namespace {

inline __m128i LoadPair(const uint8_t* row, uint32_t i, uint32_t last) {
    // Pixel i and its right neighbour; at the last column the pixel twice.
    if (i < last)
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 4 * size_t{i}));
    int32_t p;
    std::memcpy(&p, row + 4 * size_t{i}, 4);
    return _mm_set1_epi32(p);
}

inline __m256i Lerp15(__m256i a, __m256i b, __m256i h) {
    return _mm256_add_epi16(a, _mm256_mulhi_epi16(_mm256_slli_epi16(_mm256_sub_epi16(b, a), 1), h));
}

// Low 16 bits of four 32-bit lanes spread over each pixel's four channels.
inline __m256i Spread(__m128i fractions15) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5,  //
                                            8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13);
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(fractions15), spread);
}

// Pairs (L0 R0 L1 R1 | L2 R2 L3 R3) of 8-bit channels interpolated in 16-bit
// lanes with one 15-bit fraction per pixel.
inline __m256i LerpPairs(__m256i pairs, __m256i h) {
    const __m256i left =
        _mm256_setr_epi8(0, -1, 1, -1, 2, -1, 3, -1, 8, -1, 9, -1, 10, -1, 11, -1,  //
                         0, -1, 1, -1, 2, -1, 3, -1, 8, -1, 9, -1, 10, -1, 11, -1);
    const __m256i right =
        _mm256_setr_epi8(4, -1, 5, -1, 6, -1, 7, -1, 12, -1, 13, -1, 14, -1, 15, -1,  //
                         4, -1, 5, -1, 6, -1, 7, -1, 12, -1, 13, -1, 14, -1, 15, -1);
    return Lerp15(_mm256_shuffle_epi8(pairs, left), _mm256_shuffle_epi8(pairs, right), h);
}

inline void StorePacked(uint8_t* dst, __m256i v) {
    const __m256i packed = _mm256_packus_epi16(v, v);  // r0 r1 r0 r1 | r2 r3 r2 r3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                     _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
}

// Steps of eight pixels p0 to p7 work on two halves, (p0 p1 | p4 p5) and
// (p2 p3 | p6 p7), so that packing their 16-bit results leaves the eight in
// order and the fractions come from the lanes of the map entries in place.

// The pixels at byte offsets o[0], o[1], o[4], o[5] (first half) or o[2],
// o[3], o[6], o[7] (second half) from base with their right neighbours.
inline __m256i LoadHalfPairs(const uint8_t* base, const uint32_t* o, int half) {
    const auto pair = [base](uint32_t offset) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + offset));
    };
    const auto high = [base](__m128i low, uint32_t offset) {
        return _mm_castpd_si128(
            _mm_loadh_pd(_mm_castsi128_pd(low), reinterpret_cast<const double*>(base + offset)));
    };
    o += 2 * half;
    return _mm256_set_m128i(high(pair(o[4]), o[5]), high(pair(o[0]), o[1]));
}

// The 15-bit fractions of a half's pixels from eight map entries, spread
// over each pixel's four channels.
inline __m256i HalfFractions(__m256i entries, int half) {
    const __m256i first = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5,  //
                                           0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5);
    const __m256i second =
        _mm256_setr_epi8(8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13,  //
                         8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13);
    return _mm256_srli_epi16(_mm256_shuffle_epi8(entries, half == 0 ? first : second), 1);
}

// Eight pixels from the 16-bit results of the two halves.
inline void StoreEight(uint8_t* dst, __m256i first, __m256i second) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_packus_epi16(first, second));
}

// Eight pixels a + (b - a) * fraction from 8-bit pixels a and b in order,
// with the fractions of the two halves, (p0 p1 | p4 p5) and (p2 p3 | p6 p7).
inline void LerpEight(__m256i a, __m256i b, __m256i first, __m256i second, uint8_t* dst) {
    const __m256i zero = _mm256_setzero_si256();
    StoreEight(dst, Lerp15(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero), first),
               Lerp15(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero), second));
}

inline int32_t Fixed(uint32_t index, int32_t offset) {
    return static_cast<int32_t>((index << 16) + static_cast<uint32_t>(offset));
}

inline void SingleSample(const ImageSurface* src, int32_t x, int32_t y, uint8_t* dst) {
    uint32_t scratch;
    std::memcpy(&scratch, dst, 4);
    SampleSimd(src, x, y, &scratch);
    std::memcpy(dst, &scratch, 4);
}

}  // namespace

void RemapX(const ImageSurface* src, int32_t rows, int32_t cols, int32_t dstSkip, int32_t offset,
            const uint32_t* map, uint8_t* dst) {
    RemapXRows(src, 0, rows, cols, dstSkip, offset, map, dst);
}

namespace {

// Four pixels of a row from their column entries (offset added): outside
// ones keep what dst holds, the last column repeats its pixel.
inline void RemapXFour(const ImageSurface* src, const uint8_t* row, int32_t y, int32_t offset,
                       const uint32_t* map, uint8_t* dst) {
    const uint32_t last = static_cast<uint32_t>(src->Width) - 1;
    const __m128i v = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(map)),
                                    _mm_set1_epi32(offset));
    const __m128i idx = _mm_srli_epi32(v, 16);
    if (_mm_movemask_epi8(_mm_cmpgt_epi32(idx, _mm_set1_epi32(static_cast<int32_t>(last)))) != 0) {
        for (int k = 0; k < 4; ++k)
            SingleSample(src, static_cast<int32_t>(map[k] + static_cast<uint32_t>(offset)),
                         Fixed(static_cast<uint32_t>(y), 0), dst + 4 * k);
        return;
    }
    alignas(16) uint32_t i[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(i), idx);
    const __m256i pairs =
        _mm256_set_m128i(_mm_unpacklo_epi64(LoadPair(row, i[2], last), LoadPair(row, i[3], last)),
                         _mm_unpacklo_epi64(LoadPair(row, i[0], last), LoadPair(row, i[1], last)));
    const __m256i h = Spread(_mm_srli_epi32(_mm_and_si128(v, _mm_set1_epi32(0xFFFF)), 1));
    StorePacked(dst, LerpPairs(pairs, h));
}

// Eight pixels whose source columns are the first one's or one of the seven
// after it, as in every magnified or unchanged stretch of a row: the left and
// right pixels are picked from two overlapping 32-byte loads instead of
// eight pair loads.  Draws nothing and returns false for wider spreads, out
// of order columns, or a window that would reach past the row (first column
// above windowLast).
inline bool RemapXEightFromWindow(const uint8_t* row, __m256i idx, __m256i v, int32_t windowLast,
                                  uint8_t* dst) {
    const int32_t first = _mm256_cvtsi256_si32(idx);
    const __m256i spread =
        _mm256_sub_epi32(idx, _mm256_broadcastd_epi32(_mm256_castsi256_si128(idx)));
    if (first > windowLast || !_mm256_testz_si256(spread, _mm256_set1_epi32(~7)))
        return false;
    const uint8_t* p = row + 4 * size_t{static_cast<uint32_t>(first)};
    const __m256i left = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), spread);
    const __m256i right = _mm256_permutevar8x32_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4)), spread);
    LerpEight(left, right, HalfFractions(v, 0), HalfFractions(v, 1), dst);
    return true;
}

}  // namespace

void RemapXRows(const ImageSurface* src, int32_t firstRow, int32_t rows, int32_t cols,
                int32_t dstSkip, int32_t offset, const uint32_t* map, uint8_t* dst) {
    if (src->Width <= 0)
        return;
    // Integer parts are at most 65535, so signed comparisons suffice; a
    // frame one pixel wide has no group whose right neighbours all exist.
    const __m256i edge = _mm256_set1_epi32(src->Width - 2);
    const int32_t windowLast = src->Width - 9;
    const __m256i offsetV = _mm256_set1_epi32(offset);
    alignas(32) uint32_t offsets[8];
    for (int32_t y = firstRow; y < firstRow + rows; ++y) {
        const uint8_t* row = src->Pixels + 4 * int64_t{src->Width} * y;
        int32_t x = 0;
        // Eight at a time where all eight have their right neighbour in
        // the row, the others four at a time.
        while (x + 8 <= cols) {
            const __m256i v = _mm256_add_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(map)), offsetV);
            const __m256i idx = _mm256_srli_epi32(v, 16);
            // The window's own test keeps all eight columns left of the last.
            if (RemapXEightFromWindow(row, idx, v, windowLast, dst)) {
                x += 8, map += 8, dst += 32;
                continue;
            }
            if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(idx, edge)) != 0) {
                RemapXFour(src, row, y, offset, map, dst);
                x += 4, map += 4, dst += 16;
                continue;
            }
            _mm256_store_si256(reinterpret_cast<__m256i*>(offsets), _mm256_slli_epi32(idx, 2));
            const auto half = [&](int n) {
                return LerpPairs(LoadHalfPairs(row, offsets, n), HalfFractions(v, n));
            };
            StoreEight(dst, half(0), half(1));
            x += 8, map += 8, dst += 32;
        }
        for (; x + 4 <= cols; x += 4, map += 4, dst += 16)
            RemapXFour(src, row, y, offset, map, dst);
        for (; x < cols; ++x, ++map, dst += 4)
            SingleSample(src, static_cast<int32_t>(*map + static_cast<uint32_t>(offset)),
                         Fixed(static_cast<uint32_t>(y), 0), dst);
        dst += dstSkip;
    }
}

namespace {

// Eight pixels of an upper and a lower row blended with the fractions of
// the two halves, (p0 p1 | p4 p5) and (p2 p3 | p6 p7): one 32-byte load
// per row, widened in place.
inline void BlendEight(const uint8_t* t, const uint8_t* b, __m256i first, __m256i second,
                       uint8_t* dst) {
    LerpEight(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t)),
              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), first, second, dst);
}

// Eight columns c to c + 7 read from one pair of rows, with no horizontal
// fraction.  Draws nothing and returns false unless all eight entries name
// the same row inside the frame.
inline bool RemapYEightFromOneRow(const ImageSurface* src, const uint32_t* map, int32_t c,
                                  uint8_t* dst) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(map));
    const __m256i j = _mm256_srli_epi32(v, 16);
    const __m256i j0 = _mm256_broadcastd_epi32(_mm256_castsi256_si128(j));
    const uint32_t lastRow = static_cast<uint32_t>(src->Height) - 1;
    const uint32_t row = static_cast<uint32_t>(_mm256_cvtsi256_si32(j));
    if (row > lastRow || _mm256_movemask_epi8(_mm256_cmpeq_epi32(j, j0)) != -1)
        return false;
    const size_t rowBytes = 4 * size_t{static_cast<uint32_t>(src->Width)};
    const uint8_t* t = src->Pixels + rowBytes * row + 4 * size_t{static_cast<uint32_t>(c)};
    BlendEight(t, row < lastRow ? t + rowBytes : t, HalfFractions(v, 0), HalfFractions(v, 1), dst);
    return true;
}

// A row of `count` pixels whose entries are all one value, as the vertical
// effects build every row: the blend of one pair of source rows with one
// fraction (a copy of the upper row where the fraction is 0), or nothing at
// all where that row lies outside the frame.  Returns false, drawing
// nothing, when the entries differ.  Reads and writes column by column in
// order, like the steps it stands for, so a frame drawn into its own source
// comes out the same.
inline bool RemapYConstantRow(const ImageSurface* src, const uint32_t* rowMap, int32_t count,
                              uint8_t* rowDst) {
    if (count <= 0 || rowMap[count - 1] != rowMap[0])
        return false;
    const uint32_t v = rowMap[0];
    const __m256i first = _mm256_set1_epi32(static_cast<int32_t>(v));
    __m256i differ = _mm256_setzero_si256();
    int32_t c = 0;
    for (; c + 8 <= count; c += 8)
        differ = _mm256_or_si256(
            differ, _mm256_xor_si256(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rowMap + c)), first));
    if (!_mm256_testz_si256(differ, differ))
        return false;
    for (; c < count; ++c)
        if (rowMap[c] != v)
            return false;
    const uint32_t lastRow = static_cast<uint32_t>(src->Height) - 1;
    const uint32_t row = v >> 16;
    if (row > lastRow)
        return true;
    const size_t rowBytes = 4 * size_t{static_cast<uint32_t>(src->Width)};
    const uint8_t* t = src->Pixels + rowBytes * row;
    const uint8_t* b = row < lastRow ? t + rowBytes : t;
    const auto h = static_cast<int16_t>((v & 0xFFFF) >> 1);
    if (h == 0) {
        std::memmove(rowDst, t, 4 * size_t{static_cast<uint32_t>(count)});
        return true;
    }
    const __m256i hy = _mm256_set1_epi16(h);
    for (c = 0; c + 8 <= count; c += 8)
        BlendEight(t + 4 * c, b + 4 * c, hy, hy, rowDst + 4 * c);
    for (; c < count; ++c)
        SingleSample(src, Fixed(static_cast<uint32_t>(c), 0), static_cast<int32_t>(v),
                     rowDst + 4 * c);
    return true;
}

}  // namespace

void RemapY(const ImageSurface* src, int32_t rows, int32_t cols, int32_t dstSkip, int32_t offset,
            const uint32_t* map, uint8_t* dst) {
    if (src->Width <= 0 || src->Height <= 0)
        return;
    const int32_t width = src->Width;
    const uint32_t lastCol = static_cast<uint32_t>(width) - 1;
    const uint32_t lastRow = static_cast<uint32_t>(src->Height) - 1;
    const int64_t rowBytes = 4 * int64_t{width};
    const int32_t grouped = cols < width - 1 ? cols : width - 1;
    const int32_t singles = cols < width ? cols : width;
    const __m128i lastRowV = _mm_set1_epi32(static_cast<int32_t>(lastRow));
    const __m128i fracMask = _mm_set1_epi32(0xFFFF);
    const __m256i hx = _mm256_set1_epi16(static_cast<int16_t>((offset & 0xFFFF) >> 1));
    const bool wholeColumns = (offset & 0xFFFF) == 0;
    for (int32_t y = 0; y < rows; ++y) {
        const uint32_t* rowMap = map;
        uint8_t* rowDst = dst;
        int32_t c = 0;
        if (offset == 0 && RemapYConstantRow(src, rowMap, singles, rowDst))
            c = singles;
        for (; c + 4 <= grouped; c += 4) {
            if (wholeColumns && c + 8 <= grouped &&
                RemapYEightFromOneRow(src, rowMap + c, c, rowDst + 4 * c)) {
                c += 4;  // and four more by the loop
                continue;
            }
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowMap + c));
            const __m128i j = _mm_srli_epi32(v, 16);
            if (_mm_movemask_epi8(_mm_cmpgt_epi32(j, lastRowV)) != 0) {
                for (int k = 0; k < 4; ++k)
                    SingleSample(src, Fixed(c + k, offset), static_cast<int32_t>(rowMap[c + k]),
                                 rowDst + 4 * (c + k));
                continue;
            }
            alignas(16) uint32_t jj[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(jj), j);
            // Four columns read from one pair of rows, with no horizontal
            // fraction (every caller's case): one load per row.
            if (wholeColumns &&
                _mm_movemask_epi8(_mm_cmpeq_epi32(j, _mm_shuffle_epi32(j, 0))) == 0xFFFF) {
                const uint8_t* t = src->Pixels + rowBytes * jj[0] + 4 * int64_t{c};
                const uint8_t* b = jj[0] < lastRow ? t + rowBytes : t;
                const __m256i t16 =
                    _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
                const __m256i b16 =
                    _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
                const __m256i hy = Spread(_mm_srli_epi32(_mm_and_si128(v, fracMask), 1));
                StorePacked(rowDst + 4 * c, Lerp15(t16, b16, hy));
                continue;
            }
            __m128i top[4], bottom[4];
            for (int k = 0; k < 4; ++k) {
                const uint8_t* t = src->Pixels + rowBytes * jj[k];
                const uint8_t* b = jj[k] < lastRow ? t + rowBytes : t;
                top[k] = LoadPair(t, static_cast<uint32_t>(c + k), lastCol);
                bottom[k] = LoadPair(b, static_cast<uint32_t>(c + k), lastCol);
            }
            const __m256i tp = _mm256_set_m128i(_mm_unpacklo_epi64(top[2], top[3]),
                                                _mm_unpacklo_epi64(top[0], top[1]));
            const __m256i bp = _mm256_set_m128i(_mm_unpacklo_epi64(bottom[2], bottom[3]),
                                                _mm_unpacklo_epi64(bottom[0], bottom[1]));
            const __m256i t16 = LerpPairs(tp, hx);
            const __m256i b16 = LerpPairs(bp, hx);
            const __m256i hy = Spread(_mm_srli_epi32(_mm_and_si128(v, fracMask), 1));
            StorePacked(rowDst + 4 * c, Lerp15(t16, b16, hy));
        }
        for (; c < singles; ++c)
            SingleSample(src, Fixed(c, offset), static_cast<int32_t>(rowMap[c]), rowDst + 4 * c);
        map += cols;
        dst += 4 * int64_t{cols} + dstSkip;
    }
}

namespace {

// Four pixels of a span, any positions: outside ones keep what dst holds,
// the last column and row repeat their pixel.
inline void SampleFour(const ImageSurface* src, const uint32_t* mapX, const uint32_t* mapY,
                       uint8_t* dst) {
    const uint32_t lastCol = static_cast<uint32_t>(src->Width) - 1;
    const uint32_t lastRow = static_cast<uint32_t>(src->Height) - 1;
    const size_t rowBytes = 4 * size_t{static_cast<uint32_t>(src->Width)};
    const uint8_t* pixels = src->Pixels;
    // Integer parts are at most 65535, so signed comparisons suffice.
    const __m128i lastColV = _mm_set1_epi32(static_cast<int32_t>(lastCol));
    const __m128i lastRowV = _mm_set1_epi32(static_cast<int32_t>(lastRow));
    const __m128i one = _mm_set1_epi32(1);
    const __m128i fracMask = _mm_set1_epi32(0xFFFF);
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mapX));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mapY));
    const __m128i i = _mm_srli_epi32(x, 16), j = _mm_srli_epi32(y, 16);
    const __m128i outside =
        _mm_or_si128(_mm_cmpgt_epi32(i, lastColV), _mm_cmpgt_epi32(j, lastRowV));
    if (_mm_movemask_epi8(outside) != 0) {
        // Some position lies outside: the pixels one by one, the outside
        // ones keeping what dst holds.
        for (int n = 0; n < 4; ++n)
            SingleSample(src, static_cast<int32_t>(mapX[n]), static_cast<int32_t>(mapY[n]),
                         dst + 4 * n);
        return;
    }
    // Pairs (top left, top right) and (bottom left, bottom right) of the
    // four pixels; at the last column or row the edge rule repeats it.
    const bool interior =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi32(_mm_add_epi32(i, one), lastColV),
                                       _mm_cmpgt_epi32(_mm_add_epi32(j, one), lastRowV))) == 0;
    __m128i top[4], bottom[4];
    for (int n = 0; n < 4; ++n) {
        const uint32_t col = mapX[n] >> 16, row = mapY[n] >> 16;
        const uint8_t* t = pixels + rowBytes * row;
        if (interior) {
            top[n] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + 4 * size_t{col}));
            bottom[n] =
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t + rowBytes + 4 * size_t{col}));
        } else {
            const uint8_t* b = row < lastRow ? t + rowBytes : t;
            top[n] = LoadPair(t, col, lastCol);
            bottom[n] = LoadPair(b, col, lastCol);
        }
    }
    const __m256i tp =
        _mm256_set_m128i(_mm_unpacklo_epi64(top[2], top[3]), _mm_unpacklo_epi64(top[0], top[1]));
    const __m256i bp = _mm256_set_m128i(_mm_unpacklo_epi64(bottom[2], bottom[3]),
                                        _mm_unpacklo_epi64(bottom[0], bottom[1]));
    const __m256i hx = Spread(_mm_srli_epi32(_mm_and_si128(x, fracMask), 1));
    const __m256i hy = Spread(_mm_srli_epi32(_mm_and_si128(y, fracMask), 1));
    StorePacked(dst, Lerp15(LerpPairs(tp, hx), LerpPairs(bp, hx), hy));
}

// The squeeze, the fish-eye and the drain read their source along curves
// that cross a row or more between neighbouring pixels, which the
// processor's own prefetchers do not follow; asking for the rows of every
// other pixel this far ahead hides most of the wait (a source line holds
// sixteen pixels, so the skipped ones mostly share it).  Positions outside
// the frame make a useless request, never a fault.  (Written out where it
// is used: a function holding only prefetches counts as one without
// effects, and the compiler drops its calls.)
constexpr size_t kPrefetchAhead = 256;

}  // namespace

void SampleSpanAvx2(const ImageSurface* src, const uint32_t* mapX, const uint32_t* mapY,
                    size_t count, uint8_t* dst) {
    if (src->Width <= 0 || src->Height <= 0)
        return;
    const uint32_t width = static_cast<uint32_t>(src->Width);
    const uint32_t height = static_cast<uint32_t>(src->Height);
    const size_t rowBytes = 4 * size_t{width};
    size_t k = 0;
    // Eight at a time where all eight have their four neighbours inside the
    // frame, with the neighbours' byte offsets worked out in 32-bit lanes
    // (so only for frames of at most 4 GiB); the others four at a time.
    if (size_t{height} * rowBytes <= (size_t{1} << 32)) {
        const uint8_t* top = src->Pixels;
        const uint8_t* bottom = src->Pixels + rowBytes;
        // Integer parts are at most 65535, so signed comparisons suffice.
        const __m256i edgeX = _mm256_set1_epi32(static_cast<int32_t>(width) - 2);
        const __m256i edgeY = _mm256_set1_epi32(static_cast<int32_t>(height) - 2);
        const __m256i stride = _mm256_set1_epi32(static_cast<int32_t>(rowBytes));
        alignas(32) uint32_t offsets[8];
        while (k + 8 <= count) {
            if (k + kPrefetchAhead + 8 <= count) {
                const uintptr_t base = reinterpret_cast<uintptr_t>(top);
                for (size_t n = k + kPrefetchAhead; n < k + kPrefetchAhead + 8; n += 2) {
                    const uintptr_t at =
                        base + (mapY[n] >> 16) * rowBytes + 4 * size_t{mapX[n] >> 16};
                    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
                    _mm_prefetch(reinterpret_cast<const char*>(at + rowBytes), _MM_HINT_T0);
                }
            }
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mapX + k));
            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mapY + k));
            const __m256i i = _mm256_srli_epi32(x, 16), j = _mm256_srli_epi32(y, 16);
            if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpgt_epi32(i, edgeX),
                                                     _mm256_cmpgt_epi32(j, edgeY))) != 0) {
                SampleFour(src, mapX + k, mapY + k, dst + 4 * k);
                k += 4;
                continue;
            }
            _mm256_store_si256(
                reinterpret_cast<__m256i*>(offsets),
                _mm256_add_epi32(_mm256_mullo_epi32(j, stride), _mm256_slli_epi32(i, 2)));
            const auto half = [&](int n) {
                const __m256i hx = HalfFractions(x, n);
                return Lerp15(LerpPairs(LoadHalfPairs(top, offsets, n), hx),
                              LerpPairs(LoadHalfPairs(bottom, offsets, n), hx),
                              HalfFractions(y, n));
            };
            StoreEight(dst + 4 * k, half(0), half(1));
            k += 8;
        }
    }
    for (; k + 4 <= count; k += 4)
        SampleFour(src, mapX + k, mapY + k, dst + 4 * k);
    for (; k < count; ++k)
        SingleSample(src, static_cast<int32_t>(mapX[k]), static_cast<int32_t>(mapY[k]),
                     dst + 4 * k);
}

void CopyPointsAvx2(const PointSource& s, const int32_t* points, size_t count, uint8_t* dst) {
    size_t k = 0;
    // Eight at a time while every pixel index fits the gather's signed
    // 32-bit lanes.
    if (s.width > 0 && s.height > 0 &&
        uint64_t{static_cast<uint32_t>(s.width)} * static_cast<uint32_t>(s.height) <= 0x7FFFFFFF) {
        const __m256i lastX = _mm256_set1_epi32(s.width - 1);
        const __m256i lastY = _mm256_set1_epi32(s.height - 1);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i alpha = _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u));
        const __m256i width = _mm256_set1_epi32(s.width);
        const auto* pixels = reinterpret_cast<const int*>(s.pixels);
        for (; k + 8 <= count; k += 8) {
            // Pairs (x0 y0 x1 y1 | x2 y2 x3 y3) and (x4 y4 ... | ...) into
            // the columns and rows of the eight, in order.
            const __m256 a = _mm256_castsi256_ps(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(points + 2 * k)));
            const __m256 b = _mm256_castsi256_ps(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(points + 2 * k + 8)));
            const auto ordered = [](__m256 v) {
                return _mm256_permute4x64_epi64(_mm256_castps_si256(v), _MM_SHUFFLE(3, 1, 2, 0));
            };
            const __m256i x = ordered(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
            const __m256i y = ordered(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
            const __m256i sx = _mm256_max_epi32(_mm256_min_epi32(x, lastX), zero);
            const __m256i sy = _mm256_max_epi32(_mm256_min_epi32(y, lastY), zero);
            // The row offsets are y * width (the table's own rule), worked
            // out here rather than gathered.
            const __m256i from = _mm256_add_epi32(_mm256_mullo_epi32(sy, width), sx);
            const __m256i src = _mm256_i32gather_epi32(pixels, from, 4);
            uint8_t* out = dst + 4 * k;
            const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(out));
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(out),
                _mm256_or_si256(_mm256_andnot_si256(alpha, src), _mm256_and_si256(alpha, old)));
        }
    }
    for (; k < count; ++k)
        CopyPoint(s, points + 2 * k, dst + 4 * k);
}

void ReverseRunAvx2(uint8_t* out, const uint8_t* in, int32_t n) {
    const __m256i reversed = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    int32_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * int64_t{n - 8 - j}));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * int64_t{j}),
                            _mm256_permutevar8x32_epi32(v, reversed));
    }
    // The last n - j pixels of out are the first n - j of in, reversed.
    ReverseRun(out + 4 * int64_t{j}, in, n - j);
}

}  // namespace kzr
