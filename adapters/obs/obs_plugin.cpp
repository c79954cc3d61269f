// The OBS Studio module kzr-effects: each effect of KZR_PlugIn_6 as a video
// filter ("kzr_drain", ...) for every kind of source.
//
// The module is loaded from this file's folder or, installed, from
// KZR_OBS_MODULE_DIR relative to it.  Texts come from the module's
// data/locale/*.ini, which the build writes from the module's language
// libraries.
//
// A filter draws its target (the source, or the filter before it) into an
// RGBA texture, reads it back through a stage surface one frame later, when
// the GPU has long finished, and hands the mapped bytes to a FrameWorker,
// which renders the effect on its own thread straight into a mapped texture.
// The frame after that, the texture is unmapped (uploaded) and drawn from
// then on.  The render thread only draws, copies between GPU objects and maps
// or unmaps them; it never waits for the GPU or the effect.  The picture is
// two frames behind the source; while the worker is still busy with an
// earlier frame, newer captures replace the one waiting, so a slow effect
// lowers the filter's frame rate, never OBS's.  Until the first frame of a
// size is done the filter passes its input through.
#include <dlfcn.h>
#include <obs-module.h>
#include <unistd.h>
#include <util/platform.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "adapters/obs/frame_worker.h"
#include "adapters/obs/obs_controls.h"
#include "refhost/refhost.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("kzr-effects", "en-US")

namespace {

constexpr char kModuleFile[] = "KZR_PlugIn_6.so";
#ifdef KZR_OBS_MODULE_DIR
constexpr char kModuleDir[] = KZR_OBS_MODULE_DIR;
#else
constexpr char kModuleDir[] = "";
#endif

// The text of a resource key in OBS's language, or a name derived from the
// key when the locale files are missing.
std::string Text(const char* key) {
    if (key == nullptr)
        return {};
    const char* out = nullptr;
    if (obs_module_get_string(key, &out) && out != nullptr)
        return out;
    return refhost::NameFromKey(key);
}

// Everything an effect's filter type shares: its table entry and texts.
struct FilterType {
    kzr_obs::EffectEntry entry;
    std::string fallbackName;
    obs_source_info info{};
};

struct Plugin {
    std::unique_ptr<refhost::Module> module;
    std::vector<std::unique_ptr<FilterType>> types;
};

Plugin& ThePlugin() {
    static Plugin plugin;
    return plugin;
}

// KZR_PlugIn_6.so beside this file, else in KZR_OBS_MODULE_DIR relative to
// this file's folder.
std::string ModulePath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<const void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr)
        return kModuleFile;
    const std::string self = info.dli_fname;
    const std::string folder = self.substr(0, self.rfind('/') + 1);
    const std::string beside = folder + kModuleFile;
    if (kModuleDir[0] == '\0' || access(beside.c_str(), F_OK) == 0)
        return beside;
    return folder + kModuleDir + "/" + kModuleFile;
}

const char* TypeName(obs_data_type t) {
    switch (t) {
        case OBS_DATA_STRING:
            return "text";
        case OBS_DATA_NUMBER:
            return "a number";
        case OBS_DATA_BOOLEAN:
            return "true or false";
        case OBS_DATA_OBJECT:
            return "an object";
        case OBS_DATA_ARRAY:
            return "a list";
        default:
            return "empty";
    }
}

// ---- One filter instance ---------------------------------------------------

class Filter {
  public:
    Filter(const FilterType& type, obs_source_t* context)
        : type_(type),
          context_(context),
          worker_(*ThePlugin().module, type.entry,
                  [this](const std::string& problem) { Log(LOG_WARNING, problem); }),
          values_(type.entry.controls.size()) {
        proc_handler_t* ph = obs_source_get_proc_handler(context);
        proc_handler_add(ph,
                         "void get_stats(out int frames, out int rebuilds, out int prepares, "
                         "out int failures, out int worker_ns, out int renders, out int "
                         "render_ns, out int render_ns_max, out int target_ns, out int dropped)",
                         &Filter::GetStats, this);
    }

    ~Filter() {
        obs_enter_graphics();
        if (job_)
            worker_.Wait();
        ReleaseGpu();
        gs_texrender_destroy(capture_);
        obs_leave_graphics();
    }

    void Update(obs_data_t* settings) {
        const auto& controls = type_.entry.controls;
        for (size_t i = 0; i < controls.size(); ++i)
            values_[i] = Read(settings, controls[i]);
        worker_.SetValues(values_);
    }

    void Render() {
        obs_source_t* target = obs_filter_get_target(context_);
        obs_source_t* parent = obs_filter_get_parent(context_);
        const uint32_t cx = target != nullptr ? obs_source_get_base_width(target) : 0;
        const uint32_t cy = target != nullptr ? obs_source_get_base_height(target) : 0;
        if (parent == nullptr || cx == 0 || cy == 0) {
            obs_source_skip_video_filter(context_);
            return;
        }
        // A source shown in several views is drawn several times a frame;
        // the pipeline moves once a frame.
        const uint64_t now = obs_get_video_frame_time();
        if (now != lastFrameTime_ || capture_ == nullptr) {
            lastFrameTime_ = now;
            const uint64_t t0 = os_gettime_ns();
            Advance(target, parent, cx, cy);
            const int64_t spent = static_cast<int64_t>(os_gettime_ns() - t0);
            ++renders_;
            renderNs_ += spent;
            if (spent > renderNsMax_)
                renderNsMax_ = spent;
        }
        Draw(cx, cy);
    }

  private:
    float Read(obs_data_t* settings, const kzr_obs::Control& c) {
        obs_data_item_t* item = obs_data_item_byname(settings, c.setting.c_str());
        const obs_data_type type = item != nullptr ? obs_data_item_gettype(item) : OBS_DATA_NULL;
        obs_data_item_release(&item);
        const bool isSwitch = c.kind == kzr_obs::Control::Kind::kSwitch;
        if (type == OBS_DATA_NULL)
            return c.defaultValue;
        if (type != (isSwitch ? OBS_DATA_BOOLEAN : OBS_DATA_NUMBER)) {
            Log(LOG_WARNING, "setting '" + c.setting + "' is " + TypeName(type) + ", not " +
                                 (isSwitch ? "true or false" : "a number") + "; using the default");
            return c.defaultValue;
        }
        if (isSwitch)
            return obs_data_get_bool(settings, c.setting.c_str()) ? 1.0f : 0.0f;
        const kzr_obs::Checked checked =
            kzr_obs::CheckNumber(c, obs_data_get_double(settings, c.setting.c_str()));
        if (!checked.problem.empty())
            Log(LOG_WARNING, "setting '" + c.setting + "' " + checked.problem);
        return checked.value;
    }

    void Log(int level, const std::string& text) const {
        blog(level, "[kzr-effects] %s filter '%s': %s", type_.entry.id.c_str(),
             obs_source_get_name(context_), text.c_str());
    }

    // Unmaps what the worker no longer uses and destroys the size-bound
    // objects.  Graphics context held, no job running.
    void ReleaseGpu() {
        if (job_) {
            gs_stagesurface_unmap(stage_[jobStage_]);
            gs_texture_unmap(output_[jobOutput_]);
            job_ = false;
        }
        for (gs_stagesurf_t*& s : stage_) {
            gs_stagesurface_destroy(s);
            s = nullptr;
        }
        for (gs_texture_t*& t : output_) {
            gs_texture_destroy(t);
            t = nullptr;
        }
        staged_ = shown_ = -1;
        width_ = height_ = 0;
    }

    bool Resize(uint32_t cx, uint32_t cy) {
        ReleaseGpu();
        for (gs_stagesurf_t*& s : stage_)
            s = gs_stagesurface_create(cx, cy, GS_RGBA);
        for (gs_texture_t*& t : output_)
            t = gs_texture_create(cx, cy, GS_RGBA, 1, nullptr, GS_DYNAMIC);
        if (stage_[0] == nullptr || stage_[1] == nullptr || output_[0] == nullptr ||
            output_[1] == nullptr) {
            Log(LOG_ERROR, "cannot create " + std::to_string(cx) + "x" + std::to_string(cy) +
                               " textures; the source passes unchanged");
            ReleaseGpu();
            return false;
        }
        width_ = cx;
        height_ = cy;
        return true;
    }

    void Advance(obs_source_t* target, obs_source_t* parent, uint32_t cx, uint32_t cy) {
        if (capture_ == nullptr)
            capture_ = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
        // 1. A finished frame becomes the one drawn.
        if (job_ && worker_.Finished()) {
            gs_stagesurface_unmap(stage_[jobStage_]);
            gs_texture_unmap(output_[jobOutput_]);
            shown_ = jobOutput_;
            job_ = false;
        }
        // A new size waits for a running job (its buffers are mapped), then
        // gets new objects; meanwhile the input passes through.
        if (cx != width_ || cy != height_) {
            if (job_ || !Resize(cx, cy)) {
                Capture(target, parent, cx, cy);
                return;
            }
        }
        // 2. The frame captured on an earlier frame goes to the worker.
        if (!job_ && staged_ >= 0) {
            const int out = shown_ == 0 ? 1 : 0;
            uint8_t *src = nullptr, *dst = nullptr;
            uint32_t srcPitch = 0, dstPitch = 0;
            if (gs_stagesurface_map(stage_[staged_], &src, &srcPitch)) {
                if (gs_texture_map(output_[out], &dst, &dstPitch)) {
                    worker_.Start({src, srcPitch, dst, dstPitch, cx, cy});
                    job_ = true;
                    jobStage_ = staged_;
                    jobOutput_ = out;
                } else {
                    gs_stagesurface_unmap(stage_[staged_]);
                }
            }
            staged_ = -1;
        } else if (staged_ >= 0) {
            ++dropped_;  // the worker is busy: this capture replaces the waiting one
        }
        // 3. This frame's capture, read back on a later frame.
        Capture(target, parent, cx, cy);
        const int next = job_ ? 1 - jobStage_ : (staged_ >= 0 ? staged_ : 0);
        gs_stage_texture(stage_[next], gs_texrender_get_texture(capture_));
        staged_ = next;
    }

    // Draws the target into the capture texture as it would draw itself: no
    // blending, so the texture holds exactly the bytes the target wrote.
    void Capture(obs_source_t* target, obs_source_t* parent, uint32_t cx, uint32_t cy) {
        const uint64_t t0 = os_gettime_ns();
        gs_texrender_reset(capture_);
        if (gs_texrender_begin_with_color_space(capture_, cx, cy, GS_CS_SRGB)) {
            vec4 clear;
            vec4_zero(&clear);
            gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
            gs_ortho(0.0f, static_cast<float>(cx), 0.0f, static_cast<float>(cy), -100.0f, 100.0f);
            gs_blend_state_push();
            gs_enable_blending(false);
            const uint32_t flags = obs_source_get_output_flags(parent);
            if (target == parent && (flags & (OBS_SOURCE_CUSTOM_DRAW | OBS_SOURCE_ASYNC)) == 0)
                obs_source_default_render(target);
            else
                obs_source_video_render(target);
            gs_blend_state_pop();
            gs_texrender_end(capture_);
        }
        targetNs_ += static_cast<int64_t>(os_gettime_ns() - t0);
    }

    void Draw(uint32_t cx, uint32_t cy) {
        gs_texture_t* tex = shown_ >= 0 && width_ == cx && height_ == cy
                                ? output_[shown_]
                                : gs_texrender_get_texture(capture_);
        if (tex == nullptr)
            return;
        gs_effect_t* effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
        const bool previous = gs_framebuffer_srgb_enabled();
        gs_enable_framebuffer_srgb(false);
        gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), tex);
        while (gs_effect_loop(effect, "Draw"))
            gs_draw_sprite(tex, 0, cx, cy);
        gs_enable_framebuffer_srgb(previous);
    }

    static void GetStats(void* data, calldata_t* cd) {
        auto* f = static_cast<Filter*>(data);
        const kzr_obs::WorkerStats& s = f->worker_.Stats();
        calldata_set_int(cd, "frames", s.frames.load());
        calldata_set_int(cd, "rebuilds", s.rebuilds.load());
        calldata_set_int(cd, "prepares", s.prepares.load());
        calldata_set_int(cd, "failures", s.failures.load());
        calldata_set_int(cd, "worker_ns", s.busyNs.load());
        calldata_set_int(cd, "renders", f->renders_.load());
        calldata_set_int(cd, "render_ns", f->renderNs_.load());
        calldata_set_int(cd, "render_ns_max", f->renderNsMax_.load());
        calldata_set_int(cd, "target_ns", f->targetNs_.load());
        calldata_set_int(cd, "dropped", f->dropped_.load());
    }

    const FilterType& type_;
    obs_source_t* context_;
    kzr_obs::FrameWorker worker_;
    std::vector<float> values_;

    gs_texrender_t* capture_ = nullptr;
    gs_stagesurf_t* stage_[2] = {nullptr, nullptr};
    gs_texture_t* output_[2] = {nullptr, nullptr};
    uint32_t width_ = 0, height_ = 0;
    int staged_ = -1;  // stage surface holding a capture not yet handed over
    int shown_ = -1;   // output texture drawn
    bool job_ = false;
    int jobStage_ = 0, jobOutput_ = 0;
    uint64_t lastFrameTime_ = 0;

    std::atomic<int64_t> renders_{0}, renderNs_{0}, renderNsMax_{0}, targetNs_{0}, dropped_{0};
};

// ---- The callbacks of a filter type ---------------------------------------

// In OBS's current language; the name derived from the key without locale files.
const char* GetName(void* typeData) {
    const auto* type = static_cast<FilterType*>(typeData);
    const char* out = nullptr;
    if (obs_module_get_string(type->entry.nameKey, &out) && out != nullptr)
        return out;
    return type->fallbackName.c_str();
}

void* Create(obs_data_t* settings, obs_source_t* source) {
    auto* type = static_cast<FilterType*>(obs_source_get_type_data(source));
    try {
        auto* f = new Filter(*type, source);
        f->Update(settings);
        return f;
    } catch (const std::exception& e) {
        blog(LOG_ERROR, "[kzr-effects] %s filter '%s' cannot be created: %s",
             type->entry.id.c_str(), obs_source_get_name(source), e.what());
        return nullptr;
    }
}

void Destroy(void* data) {
    delete static_cast<Filter*>(data);
}

void Update(void* data, obs_data_t* settings) {
    static_cast<Filter*>(data)->Update(settings);
}

void VideoRender(void* data, gs_effect_t*) {
    static_cast<Filter*>(data)->Render();
}

enum gs_color_space ColorSpace(void*, size_t, const enum gs_color_space*) {
    return GS_CS_SRGB;
}

void GetDefaults(void* typeData, obs_data_t* settings) {
    for (const kzr_obs::Control& c : static_cast<FilterType*>(typeData)->entry.controls) {
        if (c.kind == kzr_obs::Control::Kind::kSwitch)
            obs_data_set_default_bool(settings, c.setting.c_str(), c.defaultValue != 0);
        else
            obs_data_set_default_double(settings, c.setting.c_str(), c.defaultValue);
    }
}

obs_properties_t* GetProperties(void*, void* typeData) {
    const auto* type = static_cast<FilterType*>(typeData);
    obs_properties_t* props = obs_properties_create();
    obs_properties_add_text(props, "kzr_description", Text(type->entry.descKey).c_str(),
                            OBS_TEXT_INFO);
    for (const kzr_obs::Control& c : type->entry.controls) {
        std::string label = Text(c.nameKey);
        if (c.kind == kzr_obs::Control::Kind::kPositionX)
            label += " X";
        else if (c.kind == kzr_obs::Control::Kind::kPositionY)
            label += " Y";
        obs_property_t* p = c.kind == kzr_obs::Control::Kind::kSwitch
                                ? obs_properties_add_bool(props, c.setting.c_str(), label.c_str())
                                : obs_properties_add_float_slider(
                                      props, c.setting.c_str(), label.c_str(), c.lo, c.hi, c.step);
        if (c.descKey != nullptr)
            obs_property_set_long_description(p, Text(c.descKey).c_str());
    }
    return props;
}

std::unique_ptr<FilterType> MakeType(const refhost::Module& module, size_t index) {
    auto t = std::make_unique<FilterType>();
    t->entry = kzr_obs::DescribeEffect(module, index);
    t->fallbackName = refhost::NameFromKey(t->entry.nameKey);
    obs_source_info& info = t->info;
    info.id = t->entry.id.c_str();
    info.type = OBS_SOURCE_TYPE_FILTER;
    info.output_flags = OBS_SOURCE_VIDEO;
    info.get_name = GetName;
    info.create = Create;
    info.destroy = Destroy;
    info.update = Update;
    info.video_render = VideoRender;
    info.video_get_color_space = ColorSpace;
    info.get_defaults2 = GetDefaults;
    info.get_properties2 = GetProperties;
    info.type_data = t.get();
    return t;
}

}  // namespace

MODULE_EXPORT const char* obs_module_name(void) {
    return "KZR effects";
}

MODULE_EXPORT const char* obs_module_description(void) {
    return obs_module_text("IDS_Module_Desc");
}

bool obs_module_load(void) {
    Plugin& p = ThePlugin();
    const std::string path = ModulePath();
    try {
        p.module = std::make_unique<refhost::Module>(path);
        for (size_t i = 0; i < p.module->EffectCount(); ++i)
            if (p.module->Available(i))
                p.types.push_back(MakeType(*p.module, i));
    } catch (const std::exception& e) {
        blog(LOG_ERROR, "[kzr-effects] %s", e.what());
        p.types.clear();
        p.module.reset();
        return false;
    }
    for (const auto& t : p.types)
        obs_register_source(&t->info);
    blog(LOG_INFO, "[kzr-effects] %zu video filters from %s", p.types.size(), path.c_str());
    return true;
}

void obs_module_unload(void) {
    Plugin& p = ThePlugin();
    p.types.clear();
    p.module.reset();
}
