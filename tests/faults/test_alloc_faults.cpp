// Allocation failures everywhere: this program replaces the global
// allocation operator so that, while armed, the n-th allocation of a buffer
// (256 bytes or more: maps, tables, the task runner's) throws, for every n
// that create, prepare, a rebuild after a parameter change and process
// reach.  Each callback must report its failure status or succeed, keep no
// half-built buffer, leave the instance usable, and the next good prepare
// must render the very frame an undisturbed instance renders.  Leaks are
// LeakSanitizer's to find in the sanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "refhost/refhost.h"

namespace {

constexpr size_t kCountedSize = 256;
std::atomic<bool> gArmed{false};
std::atomic<long> gCountdown{0};
std::atomic<bool> gFired{false};

void* Allocate(size_t n) {
    if (n >= kCountedSize && gArmed.load() && gCountdown.fetch_sub(1) == 1) {
        gFired = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t n) {
    return Allocate(n);
}
void* operator new[](size_t n) {
    return Allocate(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

constexpr uint32_t kW = 40, kH = 24;

const refhost::Module& TheModule() {
    static const refhost::Module module(KZR_MODULE_PATH);
    return module;
}

std::vector<uint32_t> Source() {
    std::vector<uint32_t> px(size_t{kW} * kH);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint32_t>(i * 2654435761u);
    return px;
}

// Moves the effect's first number parameter to another value in its range.
void ChangeParameter(refhost::Instance& fx) {
    for (size_t p = 0; p < refhost::OwnParamCount(fx.Effect()); ++p)
        if (fx.Effect().Params[p].ValueType == kzr::kTypeFloat) {
            float lo, hi;
            std::memcpy(&lo, fx.Effect().Params[p].MinValue, 4);
            std::memcpy(&hi, fx.Effect().Params[p].MaxValue, 4);
            fx.SetFloat(p, lo + (hi - lo) * 0.3f);
            return;
        }
}

std::vector<uint32_t> Render(refhost::Instance& fx, const std::vector<uint32_t>& src) {
    std::vector<uint32_t> out = src;
    EXPECT_EQ(fx.Render(src.data(), out.data()), kzr::kOk);
    return out;
}

bool Acceptable(kzr::Status s) {
    return s == kzr::kOk || s == kzr::kOutOfMemory || s == kzr::kFail;
}

class AllocationFaults : public ::testing::TestWithParam<int> {};

TEST_P(AllocationFaults, EveryFailureIsReportedAndRecoveredFrom) {
    const int tasks = GetParam();
    const std::vector<uint32_t> src = Source();
    for (size_t e = 0; e < TheModule().EffectCount(); ++e) {
        if (!TheModule().Available(e))
            continue;
        SCOPED_TRACE(TheModule().Effect(e).Id);
        // The frame an undisturbed instance renders after the same calls.
        refhost::Instance reference(TheModule(), e);
        reference.SetTaskCount(tasks);
        ASSERT_EQ(reference.Prepare(kW, kH), kzr::kOk);
        ChangeParameter(reference);
        const std::vector<uint32_t> expected = Render(reference, src);

        for (long n = 1;; ++n) {
            SCOPED_TRACE(n);
            refhost::Instance fx(TheModule(), e);
            fx.SetTaskCount(tasks);
            std::vector<uint32_t> out = src;
            gFired = false;
            gCountdown = n;
            gArmed = true;
            const kzr::Status prepared = fx.Prepare(kW, kH);
            const kzr::Status first = fx.Render(src.data(), out.data());
            ChangeParameter(fx);
            const kzr::Status rebuilt = fx.Render(src.data(), out.data());
            gArmed = false;
            EXPECT_TRUE(Acceptable(prepared) && Acceptable(first) && Acceptable(rebuilt))
                << prepared << " " << first << " " << rebuilt;
            EXPECT_EQ(fx.OutstandingSurfaces(), 0);
            if (!gFired) {
                // Every allocation of the sequence has been failed once.
                // Effects that keep buffers allocate them, so their
                // sequences must have met failures (else nothing was tested).
                if (fx.Effect().StateSize > sizeof(kzr::FrameState)) {
                    EXPECT_GT(n, 1);
                }
                EXPECT_EQ(prepared, kzr::kOk);
                EXPECT_EQ(out, expected);
                break;
            }
            // A failed prepare holds no buffers, so a frame cannot be drawn.
            if (prepared == kzr::kOutOfMemory) {
                EXPECT_EQ(first, kzr::kFail);
            }
            // The instance recovers with a good prepare.
            ASSERT_EQ(fx.Prepare(kW, kH), kzr::kOk);
            EXPECT_EQ(Render(fx, src), expected);
            EXPECT_EQ(fx.Destroy(), kzr::kOk);
            ASSERT_LT(n, 1000) << "the sequence allocates without end";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TaskCounts, AllocationFaults, ::testing::Values(1, 4));

}  // namespace
