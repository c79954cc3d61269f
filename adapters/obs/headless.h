// libobs without its user interface, for the OBS filters' test and
// benchmark: OpenGL on the X display in $DISPLAY (Xvfb with Mesa's software
// renderer will do), OBS modules loaded from files, sources drawn off screen
// on OBS's graphics thread right after its tick (where OBS draws its own
// views) and read back as RGBA bytes, and an asynchronous source that shows
// the frames it is fed, as a media source or a camera does.
#pragma once
#include <obs.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace kzr_obs {

// libobs could not be started here (no X display); tests skip.
class NoDisplay : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class Headless {
  public:
    // Starts libobs with a canvas of width x height at fps frames a second.
    // Throws NoDisplay without an X display, std::runtime_error when libobs
    // or its OpenGL renderer fails.  One per process.
    Headless(uint32_t width, uint32_t height, uint32_t fps);
    ~Headless();
    Headless(const Headless&) = delete;
    Headless& operator=(const Headless&) = delete;

    // Opens and initialises an OBS module (data: its data folder, or empty);
    // throws with libobs' reason.
    void LoadModule(const std::string& file, const std::string& data);
    // Loads the module `name` from libobs' default module folders (where an
    // installed OBS Studio finds it); throws when it is not there.
    void LoadInstalledModule(const std::string& name);

    // Draws `source` off screen on every frame from now on (null: none), as
    // an OBS view shows it; frames fed to an asynchronous source reach its
    // texture only while it is drawn.  Holds a reference to the source.
    void Show(obs_source_t* source, uint32_t width, uint32_t height);

    // Shows `source` and returns its next `frames` frames drawn off screen at width x
    // height, RGBA bytes each, rows packed (empty without `readBack`: drawn
    // only).  Before each frame is drawn, `before` (if any) runs on the
    // graphics thread with the frame's index.  Throws when the frames do not
    // come within `timeoutMs`.
    std::vector<std::vector<uint8_t>> Grab(obs_source_t* source, uint32_t width, uint32_t height,
                                           int frames, int timeoutMs = 20000,
                                           std::function<void(int)> before = {},
                                           bool readBack = true);

    // Mean time of mapping the stage surface right after staging, over the
    // frames read back so far, in nanoseconds: what waiting for the GPU costs
    // a reader that does not wait a frame.
    uint64_t MeanMapNs() const { return maps_ == 0 ? 0 : mapNs_ / maps_; }

    // Time OBS's render thread spent drawing the shown source (with its
    // filters) per frame during the last Grab: mean and worst, in nanoseconds.
    uint64_t MeanDrawNs() const { return drawn_ == 0 ? 0 : drawNs_ / drawn_; }
    uint64_t WorstDrawNs() const { return worstDrawNs_; }

    uint32_t Fps() const { return fps_; }

  private:
    static void Draw(void* self, uint32_t, uint32_t);
    void DrawOnce();

    void* display_ = nullptr;
    uint32_t fps_;
    std::mutex mutex_;
    std::condition_variable done_;
    obs_source_t* source_ = nullptr;  // shown
    uint32_t width_ = 0, height_ = 0;
    int wanted_ = 0, index_ = 0;
    bool readBack_ = true;
    std::function<void(int)> before_;
    std::vector<std::vector<uint8_t>> frames_;
    gs_texrender_t* texrender_ = nullptr;
    gs_stagesurf_t* stage_ = nullptr;
    uint64_t mapNs_ = 0, maps_ = 0;
    uint64_t drawNs_ = 0, drawn_ = 0, worstDrawNs_ = 0;
};

// What a kzr filter's "get_stats" procedure reports; each counter only grows.
struct FilterStats {
    int64_t frames = 0, rebuilds = 0, prepares = 0, failures = 0, workerNs = 0;
    int64_t renders = 0, renderNs = 0, renderNsMax = 0, targetNs = 0, dropped = 0;
};
FilterStats QueryStats(obs_source_t* filter);

// The asynchronous source type "kzr_headless_frames": shows what Feed gives it.
void RegisterFrameSource();
// A private source of that type, shown as soon as a frame arrives.
obs_source_t* CreateFrameSource(const char* name);
// Feeds one frame: BGRA, RGBA or BGRX with plane 0 only, NV12 or I420 with
// their planes packed; full range, BT.709.
void Feed(obs_source_t* source, video_format format, uint32_t width, uint32_t height,
          const std::vector<std::vector<uint8_t>>& planes);

}  // namespace kzr_obs
