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

}  // namespace kzr
