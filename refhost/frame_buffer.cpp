#include "refhost/frame_buffer.h"

#include <atomic>
#include <fstream>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace refhost {
namespace {

std::atomic<bool> largePages{true};

}  // namespace

bool AdviseLargePages([[maybe_unused]] void* p, [[maybe_unused]] size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    return madvise(p, bytes, MADV_HUGEPAGE) == 0;
#else
    return false;
#endif
}

void SetLargePageFrames(bool on) {
    largePages.store(on, std::memory_order_relaxed);
}

bool LargePageFrames() {
    return largePages.load(std::memory_order_relaxed);
}

std::string LargePageMode() {
    std::string modes;
#if defined(__linux__)
    std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
    std::getline(in, modes);
#endif
    const size_t open = modes.find('['), close = modes.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return "";
    return modes.substr(open + 1, close - open - 1);
}

// Small buffers come from plain operator new: a 2 MiB boundary would only
// waste address space on them.  Large ones are aligned whether or not they
// ask for large pages, so their release never depends on the switch.
void* AllocateFrameBytes(size_t bytes) {
    if (!WantsLargePages(bytes))
        return ::operator new(bytes);
    void* p = ::operator new (bytes, std::align_val_t{kLargePage});
    if (LargePageFrames())
        AdviseLargePages(p, bytes);
    return p;
}

void FreeFrameBytes(void* p, size_t bytes) noexcept {
    if (!WantsLargePages(bytes))
        ::operator delete(p);
    else
        ::operator delete (p, std::align_val_t{kLargePage});
}

}  // namespace refhost
