// The parallel task runner: every index of [0, count) exactly once, nothing
// for empty counts, exceptions of a task propagated.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "imaging/multitask.h"

#if defined(__SANITIZE_THREAD__)
// oneTBB passes tasks between threads inside its uninstrumented library, so
// ThreadSanitizer sees neither that synchronisation nor the ordering of the
// scheduler's own objects (task nodes, ranges, partitioner state, the copies
// of the runner's body) in oneTBB's inline code.  Those reports are not
// races.  The runner declares the ordering of the tasks against the caller,
// so races in the tasks, between tasks or with the caller, are still found.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race_top:tbb::detail::\n"
           "race_top:/oneapi/tbb/\n"
           "race_top:imaging/multitask.cpp\n"
           "race:tbb::detail::d1::node::node\n"
           "race:tbb::detail::d1::tree_node\n"
           "race:tbb::detail::d1::wait_node\n"
           "race:tbb::detail::d1::wait_context\n"
           "race:tbb::detail::d1::fold_tree\n"
           "race:check_being_stolen\n"
           "race:mark_task_stolen\n";
}
#endif

namespace {

struct Tally {
    explicit Tally(int n) : seen(static_cast<size_t>(n)) {}
    std::vector<std::atomic<int>> seen;
    std::atomic<int> calls{0}, outside{0};
};

int32_t Count(void* context, int32_t index) {
    auto* t = static_cast<Tally*>(context);
    t->calls.fetch_add(1);
    if (index < 0 || static_cast<size_t>(index) >= t->seen.size())
        t->outside.fetch_add(1);
    else
        t->seen[static_cast<size_t>(index)].fetch_add(1);
    return 7;  // ignored
}

TEST(MultiTask, EmptyOrNegativeCountCallsNothing) {
    Tally t(1);
    kzr::CMultiTaskManager runner;
    for (int32_t count : {0, -1, INT32_MIN})
        EXPECT_EQ(runner.Run(count, &t, &Count), 0) << count;
    EXPECT_EQ(runner.Run(5, &t, nullptr), 0);
    EXPECT_EQ(t.calls.load(), 0);
}

TEST(MultiTask, EveryIndexIsSeenExactlyOncePerRun) {
    kzr::CMultiTaskManager runner;
    for (int round = 0; round < 200; ++round) {
        const int count = round == 0 ? 1 : (round == 1 ? 5000 : 1 + (round * 37) % 97);
        Tally t(count);
        ASSERT_EQ(runner.Run(count, &t, &Count), 0);
        // Run has returned, so every call has finished.
        ASSERT_EQ(t.calls.load(), count) << "round " << round;
        ASSERT_EQ(t.outside.load(), 0) << "round " << round;
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(t.seen[static_cast<size_t>(i)].load(), 1) << i << " of " << count;
    }
}

int32_t Throw(void* context, int32_t index) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    if (index == 3)
        throw std::runtime_error("task 3 failed");
    return 0;
}

TEST(MultiTask, ExceptionOfATaskLeavesRun) {
    std::atomic<int> calls{0};
    kzr::CMultiTaskManager runner;
    EXPECT_THROW(runner.Run(8, &calls, &Throw), std::runtime_error);
    EXPECT_GE(calls.load(), 1);
    EXPECT_LE(calls.load(), 8);
    Tally t(4);  // still usable
    EXPECT_EQ(runner.Run(4, &t, &Count), 0);
    EXPECT_EQ(t.calls.load(), 4);
}

}  // namespace
