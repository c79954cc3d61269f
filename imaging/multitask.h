// Runs a callback once for every index of [0, count) on the oneTBB worker
// pool (the calling thread takes part) and returns when all calls are done.
//
// The callback must write only data that belongs to its own index and read
// only data that stays unchanged while Run is in progress: indexes run
// concurrently and in no fixed order.
#pragma once
#include <cstdint>

namespace kzr {

// A task: the context given to Run and the task's index; the result is ignored.
using TaskCallback = int32_t (*)(void* context, int32_t index);

// Holds no state: scheduling, splitting and the threads are oneTBB's.  Create
// one as a local object around a Run call.
class CMultiTaskManager {
  public:
    CMultiTaskManager() = default;
    virtual ~CMultiTaskManager();

    // Calls callback(context, i) exactly once for every i in [0, count), in
    // increasing order within each slice that oneTBB hands out, and waits
    // for all of them.  A count of 0 or below (or a null callback) calls
    // nothing.  Exceptions of the callback cancel the remaining work and
    // propagate.  Always returns 0.
    int32_t Run(int32_t count, void* context, TaskCallback callback);
};

// Rows [first, last) of band `index` when `height` rows are split into
// `count` bands: first = height * index / count.
struct RowBand {
    int32_t first, last;
};
RowBand BandOf(int32_t height, int32_t count, int32_t index);

// Calls draw(first, last) for bands of rows that together cover [0, height)
// once: with taskCount above 1, min(taskCount, height) bands run on the task
// runner; otherwise, or when the runner cannot run them, one band of all
// rows on the calling thread.  draw must write only its own rows and must
// give the same rows again when called a second time.
template <class Draw>
void DrawInBands(int32_t taskCount, int32_t height, Draw&& draw) {
    const int32_t count = taskCount < height ? taskCount : height;
    if (count > 1) {
        struct Bands {
            Draw* draw;
            int32_t height, count;
        } bands{&draw, height, count};
        const TaskCallback task = [](void* context, int32_t index) -> int32_t {
            const Bands& b = *static_cast<const Bands*>(context);
            const RowBand band = BandOf(b.height, b.count, index);
            (*b.draw)(band.first, band.last);
            return 0;
        };
        try {
            CMultiTaskManager runner;
            runner.Run(count, &bands, task);
            return;
        } catch (...) {
            // Every band has finished or been cancelled by now: all rows
            // are drawn again on this thread.
        }
    }
    if (height > 0)
        draw(0, height);
}

}  // namespace kzr
