#include "adapters/obs/headless.h"

#include <X11/Xlib.h>
#include <obs-module.h>
#include <obs-nix-platform.h>
#include <util/platform.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kzr_obs {

Headless::Headless(uint32_t width, uint32_t height, uint32_t fps) : fps_(fps) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        throw NoDisplay("no X display (set DISPLAY, or run under xvfb-run)");
    display_ = display;
    obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
    obs_set_nix_platform_display(display);
    if (!obs_startup("en-US", nullptr, nullptr))
        throw std::runtime_error("obs_startup failed");
    obs_video_info ovi{};
    ovi.graphics_module = "libobs-opengl";
    ovi.fps_num = fps;
    ovi.fps_den = 1;
    ovi.base_width = ovi.output_width = width;
    ovi.base_height = ovi.output_height = height;
    ovi.output_format = VIDEO_FORMAT_RGBA;
    ovi.colorspace = VIDEO_CS_709;
    ovi.range = VIDEO_RANGE_FULL;
    ovi.scale_type = OBS_SCALE_BILINEAR;
    const int status = obs_reset_video(&ovi);
    if (status != OBS_VIDEO_SUCCESS) {
        obs_shutdown();
        throw std::runtime_error("obs_reset_video failed (" + std::to_string(status) +
                                 "): no OpenGL 3.3 on this display?");
    }
    obs_add_main_render_callback(&Headless::Draw, this);
}

Headless::~Headless() {
    obs_remove_main_render_callback(&Headless::Draw, this);
    obs_source_release(source_);
    obs_enter_graphics();
    gs_stagesurface_destroy(stage_);
    gs_texrender_destroy(texrender_);
    obs_leave_graphics();
    obs_shutdown();
    XCloseDisplay(static_cast<Display*>(display_));
}

void Headless::LoadModule(const std::string& file, const std::string& data) {
    obs_module_t* module = nullptr;
    const int status =
        obs_open_module(&module, file.c_str(), data.empty() ? nullptr : data.c_str());
    if (status != MODULE_SUCCESS)
        throw std::runtime_error("cannot open OBS module " + file + " (" + std::to_string(status) +
                                 ")");
    if (!obs_init_module(module))
        throw std::runtime_error("OBS module " + file + " failed to load (see its log lines)");
}

void Headless::LoadInstalledModule(const std::string& name) {
    struct Found {
        const std::string& name;
        std::string bin, data;
    } found{name, {}, {}};
    obs_find_modules2(
        [](void* param, const obs_module_info2* info) {
            auto* f = static_cast<Found*>(param);
            if (f->bin.empty() && f->name == info->name) {
                f->bin = info->bin_path;
                f->data = info->data_path != nullptr ? info->data_path : "";
            }
        },
        &found);
    if (found.bin.empty())
        throw std::runtime_error("libobs finds no module " + name + " in its module folders");
    LoadModule(found.bin, found.data);
}

std::vector<std::vector<uint8_t>> Headless::Grab(obs_source_t* source, uint32_t width,
                                                 uint32_t height, int frames, int timeoutMs,
                                                 std::function<void(int)> before, bool readBack) {
    Show(source, width, height);
    std::unique_lock lock(mutex_);
    wanted_ = frames;
    index_ = 0;
    before_ = std::move(before);
    readBack_ = readBack;
    frames_.clear();
    drawNs_ = drawn_ = worstDrawNs_ = 0;
    const bool ok = done_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return static_cast<int>(frames_.size()) >= wanted_; });
    wanted_ = 0;
    before_ = nullptr;
    if (!ok)
        throw std::runtime_error("OBS drew " + std::to_string(frames_.size()) + " of " +
                                 std::to_string(frames) + " frames in " +
                                 std::to_string(timeoutMs) + " ms");
    return std::move(frames_);
}

void Headless::Show(obs_source_t* source, uint32_t width, uint32_t height) {
    obs_source_t* previous;
    {
        std::lock_guard lock(mutex_);
        previous = source_;
        source_ = obs_source_get_ref(source);
        width_ = width;
        height_ = height;
    }
    obs_source_release(previous);
}

void Headless::Draw(void* self, uint32_t, uint32_t) {
    static_cast<Headless*>(self)->DrawOnce();
}

void Headless::DrawOnce() {
    std::lock_guard lock(mutex_);
    if (source_ == nullptr)
        return;
    const bool grabbing = static_cast<int>(frames_.size()) < wanted_;
    if (grabbing && before_)
        before_(index_++);
    if (texrender_ == nullptr)
        texrender_ = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
    gs_texrender_reset(texrender_);
    if (!gs_texrender_begin(texrender_, width_, height_))
        return;
    vec4 clear;
    vec4_zero(&clear);
    gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
    gs_ortho(0.0f, static_cast<float>(width_), 0.0f, static_cast<float>(height_), -100.0f, 100.0f);
    gs_blend_state_push();
    gs_enable_blending(false);
    const uint64_t t0 = os_gettime_ns();
    obs_source_video_render(source_);
    const uint64_t spent = os_gettime_ns() - t0;
    gs_blend_state_pop();
    gs_texrender_end(texrender_);
    if (!grabbing)
        return;
    drawNs_ += spent;
    ++drawn_;
    worstDrawNs_ = std::max(worstDrawNs_, spent);
    if (!readBack_) {
        frames_.emplace_back();
        if (static_cast<int>(frames_.size()) >= wanted_)
            done_.notify_all();
        return;
    }
    if (stage_ == nullptr || gs_stagesurface_get_width(stage_) != width_ ||
        gs_stagesurface_get_height(stage_) != height_) {
        gs_stagesurface_destroy(stage_);
        stage_ = gs_stagesurface_create(width_, height_, GS_RGBA);
    }
    gs_stage_texture(stage_, gs_texrender_get_texture(texrender_));
    const uint64_t m0 = os_gettime_ns();
    uint8_t* data = nullptr;
    uint32_t linesize = 0;
    if (!gs_stagesurface_map(stage_, &data, &linesize))
        return;
    mapNs_ += os_gettime_ns() - m0;
    ++maps_;
    std::vector<uint8_t> frame(size_t{width_} * height_ * 4);
    for (uint32_t y = 0; y < height_; ++y)
        std::memcpy(frame.data() + size_t{width_} * 4 * y, data + size_t{linesize} * y,
                    size_t{width_} * 4);
    gs_stagesurface_unmap(stage_);
    frames_.push_back(std::move(frame));
    if (static_cast<int>(frames_.size()) >= wanted_)
        done_.notify_all();
}

FilterStats QueryStats(obs_source_t* filter) {
    calldata_t cd{};
    proc_handler_call(obs_source_get_proc_handler(filter), "get_stats", &cd);
    const auto get = [&](const char* name) { return calldata_int(&cd, name); };
    FilterStats s{get("frames"),    get("rebuilds"), get("prepares"),  get("failures"),
                  get("worker_ns"), get("renders"),  get("render_ns"), get("render_ns_max"),
                  get("target_ns"), get("dropped")};
    calldata_free(&cd);
    return s;
}

// ---- The fed source --------------------------------------------------------

void RegisterFrameSource() {
    obs_source_info info{};
    info.id = "kzr_headless_frames";
    info.type = OBS_SOURCE_TYPE_INPUT;
    info.output_flags = OBS_SOURCE_ASYNC_VIDEO;
    info.get_name = [](void*) { return "Fed frames"; };
    info.create = [](obs_data_t*, obs_source_t* source) -> void* { return source; };
    info.destroy = [](void*) {};
    obs_register_source(&info);
}

obs_source_t* CreateFrameSource(const char* name) {
    obs_source_t* source = obs_source_create_private("kzr_headless_frames", name, nullptr);
    obs_source_set_async_unbuffered(source, true);
    return source;
}

void Feed(obs_source_t* source, video_format format, uint32_t width, uint32_t height,
          const std::vector<std::vector<uint8_t>>& planes) {
    obs_source_frame frame{};
    frame.width = width;
    frame.height = height;
    frame.format = format;
    frame.full_range = true;
    frame.timestamp = os_gettime_ns();
    video_format_get_parameters(VIDEO_CS_709, VIDEO_RANGE_FULL, frame.color_matrix,
                                frame.color_range_min, frame.color_range_max);
    for (size_t i = 0; i < planes.size() && i < MAX_AV_PLANES; ++i) {
        frame.data[i] = const_cast<uint8_t*>(planes[i].data());
        const uint32_t planeWidth = i == 0 ? width : (width + 1) / 2;
        const uint32_t bytes = format == VIDEO_FORMAT_NV12 && i == 1 ? 2 : 1;
        frame.linesize[i] = format == VIDEO_FORMAT_NV12 || format == VIDEO_FORMAT_I420
                                ? planeWidth * bytes
                                : width * 4;
    }
    obs_source_output_video(source, &frame);
}

}  // namespace kzr_obs
