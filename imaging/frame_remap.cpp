#include "imaging/frame_remap.h"

#include "imaging/sample.h"

namespace kzr {

void RemapFrame(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                const uint32_t* map, MapAxis axis) {
    if (src->CpuLevel >= 8 && HasAvx2()) {
        if (axis == MapAxis::X)
            RemapX(src, height, width, 0, 0, map, dst);
        else
            RemapY(src, height, width, 0, 0, map, dst);
        return;
    }
    auto* px = reinterpret_cast<uint32_t*>(dst);
    for (int32_t y = 0; y < height; ++y) {
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

void RemapFrameTwoMaps(const ImageSurface* src, uint8_t* dst, int32_t width, int32_t height,
                       const uint32_t* mapX, const uint32_t* mapY) {
    const uint64_t n = uint64_t(static_cast<uint32_t>(width)) * static_cast<uint32_t>(height);
    auto* px = reinterpret_cast<uint32_t*>(dst);
    for (uint64_t i = 0; i < n; ++i)
        Sample(src, static_cast<int32_t>(mapX[i]), static_cast<int32_t>(mapY[i]), px + i);
}

}  // namespace kzr
