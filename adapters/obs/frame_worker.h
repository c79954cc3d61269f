// The thread on which an OBS filter runs its effect, so OBS's render thread
// never waits for the module.  Nothing of libobs is used here.
//
// The render thread hands over one frame at a time: a source it may read and
// a destination it does not touch until the job has finished (in the filter
// they are a mapped stage surface and a mapped texture).  The worker copies
// the source into the destination, then renders the effect from the source
// into the destination, so bytes an effect leaves alone (the laser keeps the
// alpha outside its circle) carry the source's values, as in fxhost render.
// Frames are RGBA, 4 bytes a pixel, alpha in byte 3.
//
// Settings arrive from any thread as one value per control; the worker
// writes them into the instance before its next frame, raising changed flags
// only for values that differ, so one change rebuilds the maps once.  A frame
// of another size than the last prepares the instance again.  Buffers are
// allocated only then (and only when a frame's rows are not packed), so
// steady rendering allocates nothing.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapters/obs/obs_controls.h"
#include "refhost/refhost.h"

namespace kzr_obs {

struct FrameJob {
    const uint8_t* src = nullptr;
    uint32_t srcPitch = 0;
    uint8_t* dst = nullptr;
    uint32_t dstPitch = 0;
    uint32_t width = 0, height = 0;
};

// Counters for the filter's statistics; each only grows.
struct WorkerStats {
    std::atomic<int64_t> frames{0};    // frames rendered (or passed through)
    std::atomic<int64_t> rebuilds{0};  // frames rendered with changed settings
    std::atomic<int64_t> prepares{0};  // Prepare calls (first frame, size changes)
    std::atomic<int64_t> failures{0};  // frames the module refused (passed through)
    std::atomic<int64_t> busyNs{0};    // time spent rendering
};

class FrameWorker {
  public:
    using Logger = std::function<void(const std::string&)>;

    // The instance gets one task per processor core and the processor's
    // CpuLevel.  `log` receives problems (a refused size), once each.
    FrameWorker(const refhost::Module& module, const EffectEntry& entry, Logger log);
    ~FrameWorker();
    FrameWorker(const FrameWorker&) = delete;
    FrameWorker& operator=(const FrameWorker&) = delete;

    // One value per control, used from the next frame on.  Any thread.
    void SetValues(const std::vector<float>& values);

    // Render thread.  Start requires Idle(); Finished() is true once per
    // finished job, after which the job's buffers belong to the caller
    // again and the worker is idle.
    bool Idle() const { return state_.load(std::memory_order_acquire) == kIdle; }
    void Start(const FrameJob& job);
    bool Finished();
    // Blocks until a started job has finished (then Finished() is true).
    void Wait();

    const WorkerStats& Stats() const { return stats_; }

  private:
    enum State { kIdle, kQueued, kRunning, kDone };
    void Run();
    void Render(const FrameJob& job);

    const EffectEntry& entry_;
    refhost::Instance fx_;
    Logger log_;

    std::mutex valuesMutex_;
    std::vector<float> pending_;
    uint64_t pendingGeneration_ = 0;
    uint64_t appliedGeneration_ = 0;
    std::vector<float> values_;  // the worker's copy

    uint32_t preparedWidth_ = 0, preparedHeight_ = 0;
    bool prepared_ = false;
    bool refusedLogged_ = false;
    std::vector<uint8_t> packedSrc_, packedDst_;  // only for rows that are not packed

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::atomic<int> state_{kIdle};
    FrameJob job_;
    bool quit_ = false;
    WorkerStats stats_;
    std::thread thread_;
};

}  // namespace kzr_obs
