// Pixel buffers for whole video frames.  An effect that reads its source
// along curves touches a different row, and so a different 4 KiB page, at
// nearly every pixel; with the processor's page cache missing all the time,
// a two-map effect at 1080p can take twice as long as on 2 MiB pages.  The
// kernel grants those pages only to memory that asks for them, so frames of
// 2 MiB and more start on a 2 MiB boundary and, on Linux, ask for them.
// Only a hint: where it is not granted the buffer behaves as any other.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace refhost {

inline constexpr size_t kLargePage = size_t{2} << 20;

// Whether buffers of this many bytes get the large-page treatment.
inline bool WantsLargePages(size_t bytes) {
    return bytes >= kLargePage;
}

// Asks for large pages for [p, p + bytes) where the platform has a way to;
// p must start a page.  False where the request was refused or impossible.
bool AdviseLargePages(void* p, size_t bytes);

// Process-wide switch, on by default: off, frames are still aligned but do
// not ask for large pages (to compare the two in a benchmark).  Affects the
// buffers allocated after the call.
void SetLargePageFrames(bool on);
bool LargePageFrames();

// The kernel's large-page mode, the bracketed word of
// /sys/kernel/mm/transparent_hugepage/enabled ("always", "madvise" or
// "never"); empty where the program does not run on Linux or the kernel has
// no such setting.
std::string LargePageMode();

// Storage of one large-page frame buffer, and its release.
void* AllocateFrameBytes(size_t bytes);
void FreeFrameBytes(void* p, size_t bytes) noexcept;

template <class T>
struct FrameAllocator {
    using value_type = T;

    FrameAllocator() = default;
    template <class U>
    FrameAllocator(const FrameAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(AllocateFrameBytes(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { FreeFrameBytes(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const FrameAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const FrameAllocator<U>&) const noexcept {
        return false;
    }
};

// RGBA pixels of one frame, rows packed.
using FramePixels = std::vector<uint32_t, FrameAllocator<uint32_t>>;

}  // namespace refhost
