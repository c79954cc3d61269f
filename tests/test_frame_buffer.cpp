// Frame buffers of the reference host: aligned and asking for 2 MiB pages
// where they are large, as the kernel itself reports the mapping.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "refhost/frame_buffer.h"

namespace {

// The kernel's "THPeligible" flag of the mapping holding p: 1 where large
// pages may back it, 0 where not, -1 where the kernel does not say.
int LargePageEligible([[maybe_unused]] const void* p) {
#if defined(__linux__)
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<uintptr_t>(p);
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        uintptr_t first = 0, end = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> first >> dash >> end && dash == '-' &&
            line.find(':') > line.find(' ')) {
            inside = first <= at && at < end;
            continue;
        }
        if (inside && line.rfind("THPeligible:", 0) == 0)
            return std::stoi(line.substr(12));
    }
#endif
    return -1;
}

TEST(FrameBuffer, LargeFramesAreAlignedAndAskForLargePages) {
    const size_t n = size_t{1920} * 1080;
    refhost::FramePixels frame(n, 0x01020304u);
    ASSERT_EQ(frame.size(), n);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(frame.data()) % refhost::kLargePage, 0u);
    EXPECT_EQ(frame.front(), 0x01020304u);
    EXPECT_EQ(frame.back(), 0x01020304u);

    // Small buffers are plain allocations and need no large boundary.
    refhost::FramePixels small(64 * 48, 7u);
    EXPECT_EQ(small[64 * 48 - 1], 7u);

    const std::string mode = refhost::LargePageMode();
    if (mode != "madvise")
        GTEST_SKIP() << "the kernel hands out large pages only on request where its mode is "
                        "madvise; here it is \""
                     << (mode.empty() ? "unknown" : mode) << "\"";
    if (LargePageEligible(frame.data()) < 0)
        GTEST_SKIP() << "this kernel does not report THPeligible in /proc/self/smaps";
    EXPECT_EQ(LargePageEligible(frame.data()), 1);
    EXPECT_EQ(LargePageEligible(frame.data() + n - 1), 1);

    // Switched off, a new frame does not ask, and freeing it still works.
    refhost::SetLargePageFrames(false);
    refhost::FramePixels plain(n);
    refhost::SetLargePageFrames(true);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(plain.data()) % refhost::kLargePage, 0u);
    EXPECT_EQ(LargePageEligible(plain.data()), 0);
}

}  // namespace
