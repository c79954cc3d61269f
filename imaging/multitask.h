// Runs a callback once for every index of [0, count) on the oneTBB worker
// pool (the calling thread takes part) and returns when all calls are done.
//
// The callback must write only data that belongs to its own index and read
// only data that stays unchanged while Run is in progress: indexes run
// concurrently and in no fixed order.
#pragma once
#include <atomic>
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

// The bands of rows of one frame handed out to its tasks: the frame is cut
// into kBandsPerTask bands per task, and each task takes the next band left
// until there is none.  A task that starts late (a worker thread still waking
// up, as it is when a host's frames come with the caches cold, or one whose
// core is busy with other work) takes fewer bands, and the others do not wait
// for its share.
inline constexpr int32_t kBandsPerTask = 8;

class BandQueue {
  public:
    BandQueue(int32_t height, int32_t tasks)
        : height_(height),
          count_(tasks < height / kBandsPerTask ? tasks * kBandsPerTask : height) {}
    // The next band left, or false when every band has been handed out.
    bool Next(RowBand& band) {
        const int32_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= count_)
            return false;
        band = BandOf(height_, count_, index);
        return true;
    }

  private:
    const int32_t height_, count_;
    std::atomic<int32_t> next_{0};
};

// Calls draw(first, last) for bands of rows that together cover [0, height)
// once: with taskCount above 1, min(taskCount, height) tasks on the task
// runner take the bands of a BandQueue; otherwise, or when the runner cannot
// run them, one band of all rows on the calling thread.  draw must write only
// its own rows and must give the same rows again when called a second time.
template <class Draw>
void DrawInBands(int32_t taskCount, int32_t height, Draw&& draw) {
    const int32_t tasks = taskCount < height ? taskCount : height;
    if (tasks > 1) {
        struct Shared {
            Draw* draw;
            BandQueue bands;
        } shared{&draw, BandQueue(height, tasks)};
        const TaskCallback task = [](void* context, int32_t) -> int32_t {
            Shared& s = *static_cast<Shared*>(context);
            for (RowBand band; s.bands.Next(band);)
                (*s.draw)(band.first, band.last);
            return 0;
        };
        try {
            CMultiTaskManager runner;
            runner.Run(tasks, &shared, task);
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
