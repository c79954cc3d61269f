// The 32-bit frame surface that the host's SurfaceFactory hands out.  The
// module reads and writes these fields in place, so the layout is fixed.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kzr {

struct ImageSurface {
    void* HostReserved0;    // 0x00, the host's
    uint8_t* Pixels;        // 0x08, pixel (0, 0)
    int32_t Width;          // 0x10
    int32_t Height;         // 0x14
    int32_t Pitch;          // 0x18, bytes from one row to the next
    int32_t BytesPerPixel;  // 0x1C
    void* HostReserved1;    // 0x20, the host's
    int32_t CpuLevel;       // 0x28
    uint32_t Padding;       // 0x2C
};
static_assert(offsetof(ImageSurface, Pixels) == 0x08);
static_assert(offsetof(ImageSurface, Width) == 0x10);
static_assert(offsetof(ImageSurface, Height) == 0x14);
static_assert(offsetof(ImageSurface, Pitch) == 0x18);
static_assert(offsetof(ImageSurface, BytesPerPixel) == 0x1C);
static_assert(offsetof(ImageSurface, HostReserved1) == 0x20);
static_assert(offsetof(ImageSurface, CpuLevel) == 0x28);
static_assert(sizeof(ImageSurface) == 0x30);

}  // namespace kzr
