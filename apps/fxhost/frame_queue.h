// Frames handed from one stage of a video render to the next, in order.
// The buffers travel through the queue and back through a second one, so a
// render reuses a fixed set of frames instead of allocating per frame.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "refhost/frame_buffer.h"

namespace fxhost {

class FrameQueue {
  public:
    using Frame = refhost::FramePixels;

    // capacity 0: unbounded.
    explicit FrameQueue(size_t capacity = 0) : capacity_(capacity) {}

    // Waits for room; false (and the frame kept by the caller) once aborted.
    bool Push(Frame& frame) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return aborted_ || capacity_ == 0 || frames_.size() < capacity_; });
        if (aborted_)
            return false;
        frames_.push_back(std::move(frame));
        ready_.notify_one();
        return true;
    }

    enum class Result { kFrame, kEnd, kAborted, kTimeout };

    // The oldest frame; kEnd once closed and drained.  With a timeout the
    // caller can look at other things (an interrupt) while it waits.
    Result Pop(Frame& frame, std::chrono::milliseconds timeout = std::chrono::milliseconds::max()) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto available = [&] { return aborted_ || closed_ || !frames_.empty(); };
        if (timeout == std::chrono::milliseconds::max())
            ready_.wait(lock, available);
        else if (!ready_.wait_for(lock, timeout, available))
            return Result::kTimeout;
        if (aborted_)
            return Result::kAborted;
        if (frames_.empty())
            return Result::kEnd;
        frame = std::move(frames_.front());
        frames_.pop_front();
        room_.notify_one();
        return Result::kFrame;
    }

    // No more frames will come; the ones queued can still be taken.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        ready_.notify_all();
    }

    // A stage failed: every waiting and later Push and Pop gives up.
    void Abort() {
        std::lock_guard<std::mutex> lock(mutex_);
        aborted_ = true;
        ready_.notify_all();
        room_.notify_all();
    }

  private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<Frame> frames_;
    bool closed_ = false, aborted_ = false;
};

}  // namespace fxhost
