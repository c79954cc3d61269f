#include "adapters/obs/frame_worker.h"

#include <chrono>
#include <cstring>
#include <exception>

namespace kzr_obs {
namespace {

void CopyRows(const uint8_t* src, size_t srcPitch, uint8_t* dst, size_t dstPitch, size_t row,
              uint32_t height) {
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(dst + dstPitch * y, src + srcPitch * y, row);
}

}  // namespace

FrameWorker::FrameWorker(const refhost::Module& module, const EffectEntry& entry, Logger log)
    : entry_(entry), fx_(module, entry.index), log_(std::move(log)) {
    const unsigned cores = std::thread::hardware_concurrency();
    fx_.SetTaskCount(cores == 0 ? 1 : static_cast<int>(cores));
    fx_.SetCpuLevel(refhost::DetectCpuLevel());
    values_.resize(entry.controls.size());
    pending_.resize(entry.controls.size());
    for (size_t i = 0; i < entry.controls.size(); ++i)
        values_[i] = pending_[i] = entry.controls[i].defaultValue;
    thread_ = std::thread([this] { Run(); });
}

FrameWorker::~FrameWorker() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void FrameWorker::SetValues(const std::vector<float>& values) {
    std::lock_guard lock(valuesMutex_);
    std::copy_n(values.begin(), std::min(values.size(), pending_.size()), pending_.begin());
    ++pendingGeneration_;
}

void FrameWorker::Start(const FrameJob& job) {
    {
        std::lock_guard lock(mutex_);
        job_ = job;
        state_.store(kQueued, std::memory_order_release);
    }
    wake_.notify_one();
}

bool FrameWorker::Finished() {
    int expected = kDone;
    return state_.compare_exchange_strong(expected, kIdle, std::memory_order_acq_rel);
}

void FrameWorker::Wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] {
        const int s = state_.load(std::memory_order_acquire);
        return s == kDone || s == kIdle;
    });
}

void FrameWorker::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || state_.load() == kQueued; });
        if (quit_)
            return;
        state_.store(kRunning, std::memory_order_release);
        const FrameJob job = job_;
        lock.unlock();
        const auto t0 = std::chrono::steady_clock::now();
        Render(job);
        stats_.busyNs += std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now() - t0)
                             .count();
        ++stats_.frames;
        lock.lock();
        state_.store(kDone, std::memory_order_release);
        done_.notify_all();
    }
}

void FrameWorker::Render(const FrameJob& job) {
    const size_t row = size_t{job.width} * 4;
    bool changed = false;
    {
        std::lock_guard lock(valuesMutex_);
        if (pendingGeneration_ != appliedGeneration_) {
            values_ = pending_;  // same size: no allocation
            appliedGeneration_ = pendingGeneration_;
            changed = true;
        }
    }
    try {
        if (changed)
            changed = ApplyValues(fx_, entry_.controls, values_.data());
        if (!prepared_ || job.width != preparedWidth_ || job.height != preparedHeight_) {
            if (prepared_)
                fx_.Unprepare();
            preparedWidth_ = job.width;
            preparedHeight_ = job.height;
            ++stats_.prepares;
            prepared_ = fx_.Prepare(job.width, job.height) == kzr::kOk;
            // The maps were just built from the current settings.
            fx_.ClearChanged();
            changed = false;
            if (!prepared_ && !refusedLogged_) {
                log_("the effect cannot be prepared for " + std::to_string(job.width) + "x" +
                     std::to_string(job.height) +
                     " frames (at most 65536 pixels across or down); frames pass unchanged");
                refusedLogged_ = true;
            }
        }
    } catch (const std::exception& e) {
        log_(e.what());
        prepared_ = false;
    }

    // Rows that are not packed go through buffers of the module's layout
    // (never with OBS's OpenGL renderer, whose surfaces are packed).
    const size_t bytes = row * job.height;
    const uint8_t* src = job.src;
    if (job.srcPitch != row) {
        packedSrc_.resize(bytes);
        CopyRows(job.src, job.srcPitch, packedSrc_.data(), row, row, job.height);
        src = packedSrc_.data();
    }
    uint8_t* out = job.dst;
    if (job.dstPitch != row) {
        packedDst_.resize(bytes);
        out = packedDst_.data();
    }
    std::memcpy(out, src, bytes);
    if (prepared_) {
        if (changed)
            ++stats_.rebuilds;
        // A refused frame leaves the destination as it was: the source.
        if (fx_.Render(src, out) != kzr::kOk)
            ++stats_.failures;
    }
    if (out != job.dst)
        CopyRows(out, row, job.dst, job.dstPitch, row, job.height);
}

}  // namespace kzr_obs
