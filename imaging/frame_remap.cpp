#include "imaging/frame_remap.h"

#include "imaging/sample.h"

namespace kzr {
namespace {

size_t FrameBytes(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0)
        return 0;
    return 4 * size_t{static_cast<uint32_t>(width)} * static_cast<uint32_t>(height);
}

}  // namespace

bool DrawsIntoSource(const ImageSurface* src, const uint8_t* dst, int32_t width, int32_t height) {
    return Overlap(src->Pixels, FrameBytes(src->Width, src->Height), dst,
                   FrameBytes(width, height));
}

bool CanDrawInBands(const ImageSurface* src, const ImageSurface* dst) {
    const auto packed = [](const ImageSurface* s) {
        return s->BytesPerPixel == 4 && int64_t{s->Pitch} == 4 * int64_t{s->Width};
    };
    return packed(src) && packed(dst) &&
           !DrawsIntoSource(src, dst->Pixels, dst->Width, dst->Height);
}

void RemapFrame(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                const uint32_t* map, MapAxis axis) {
    RemapRows(src, dst, width, 0, height, map, axis);
}

void RemapRows(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t first, int32_t last,
               const uint32_t* map, MapAxis axis) {
    if (first >= last || width <= 0)
        return;
    const size_t start = size_t{static_cast<uint32_t>(first)} * static_cast<uint32_t>(width);
    map += start;
    dst += 4 * start;
    if (src->CpuLevel >= 8 && HasAvx2()) {
        if (axis == MapAxis::X)
            RemapXRows(src, first, last - first, width, 0, 0, map, dst);
        else
            RemapY(src, last - first, width, 0, 0, map, dst);
        return;
    }
    auto* px = reinterpret_cast<uint32_t*>(dst);
    for (int32_t y = first; y < last; ++y) {
        const int32_t fy = static_cast<int32_t>(static_cast<uint32_t>(y) << 16);
        for (int32_t x = 0; x < width; ++x, ++map, ++px) {
            if (axis == MapAxis::X)
                Sample(src, static_cast<int32_t>(*map), fy, px);
            else
                Sample(src, static_cast<int32_t>(static_cast<uint32_t>(x) << 16),
                       static_cast<int32_t>(*map), px);
        }
    }
}

void RemapSpanTwoMaps(const ImageSurface* src, const uint32_t* mapX, const uint32_t* mapY,
                      size_t count, uint8_t* dst) {
    if (Overlap(src->Pixels, FrameBytes(src->Width, src->Height), dst, 4 * count)) {
        // Drawn into its own source: every pixel in order, each sample
        // seeing the pixels written before it.
        auto* px = reinterpret_cast<uint32_t*>(dst);
        for (size_t k = 0; k < count; ++k, ++px)
            Sample(src, static_cast<int32_t>(mapX[k]), static_cast<int32_t>(mapY[k]), px);
        return;
    }
    if (src->CpuLevel >= 8 && HasAvx2())
        SampleSpanAvx2(src, mapX, mapY, count, dst);
    else
        SampleSpan(src, mapX, mapY, count, dst);
}

void RemapFrameTwoMaps(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                       const uint32_t* mapX, const uint32_t* mapY) {
    RemapRowsTwoMaps(src, dst, width, 0, height, mapX, mapY);
}

void RemapRowsTwoMaps(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t first,
                      int32_t last, const uint32_t* mapX, const uint32_t* mapY) {
    if (first >= last || width <= 0)
        return;
    const size_t start = size_t{static_cast<uint32_t>(first)} * static_cast<uint32_t>(width);
    const size_t n = size_t{static_cast<uint32_t>(last - first)} * static_cast<uint32_t>(width);
    RemapSpanTwoMaps(src, mapX + start, mapY + start, n, dst + 4 * start);
}

}  // namespace kzr
