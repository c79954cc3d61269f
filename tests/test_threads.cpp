// Threads as hosts use them: one instance per thread, all ten effects at
// once, each at TaskCount 1 to 8, every picture equal to the one a single
// thread renders alone.  Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

constexpr uint32_t kW = 67, kH = 41;

std::vector<uint32_t> RenderAlone(size_t effect, int tasks, const std::vector<uint8_t>& src) {
    refhost::Instance fx(kzrtest::TheModule(), effect);
    fx.SetTaskCount(tasks);
    std::vector<uint32_t> out(size_t{kW} * kH);
    std::memcpy(out.data(), src.data(), src.size());
    if (fx.Prepare(kW, kH) != kzr::kOk || fx.Render(src.data(), out.data()) != kzr::kOk)
        out.clear();
    return out;
}

TEST(Threads, InstancesOfEveryEffectRenderInParallelAtEveryTaskCount) {
    const refhost::Module& module = kzrtest::TheModule();
    const std::vector<uint8_t> src = kzrtest::PatternFrame(kW, kH);
    std::vector<size_t> effects;
    for (size_t e = 0; e < module.EffectCount(); ++e)
        if (module.Available(e))
            effects.push_back(e);
    std::vector<std::vector<uint32_t>> expected;
    for (size_t e : effects)
        expected.push_back(RenderAlone(e, 1, src));

    for (int tasks = 1; tasks <= 8; ++tasks) {
        SCOPED_TRACE(tasks);
        std::vector<std::vector<uint32_t>> got(effects.size());
        std::vector<std::thread> threads;
        for (size_t k = 0; k < effects.size(); ++k)
            threads.emplace_back([&, k] {
                // Three frames each, so the instances overlap in time.
                for (int frame = 0; frame < 3; ++frame)
                    got[k] = RenderAlone(effects[k], tasks, src);
            });
        for (std::thread& t : threads)
            t.join();
        for (size_t k = 0; k < effects.size(); ++k) {
            ASSERT_FALSE(expected[k].empty());
            EXPECT_EQ(got[k], expected[k]) << module.Effect(effects[k]).Id;
        }
    }
}

}  // namespace
