// One effect of KZR_PlugIn_6 as a frei0r filter plug-in.  This file is built
// once per effect, with KZR_FREI0R_EFFECT naming the effect ("drain") and
// KZR_FREI0R_NAME the plug-in ("kzr_drain", also its file name).
//
// The plug-in is a host of the module: it loads KZR_PlugIn_6.so from its own
// folder or the module's installed folder, so the ten plug-ins share one copy
// of the module and its language libraries, and drives the effect through the reference host.  The
// module stays loaded while f0r_init calls are not matched by f0r_deinit or any instance lives.
// Plug-in and parameter texts are the English ones.
#include <dlfcn.h>
#include <unistd.h>
// The frei0r header declares its functions without C linkage.
extern "C" {
#include <frei0r.h>
}

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapters/frei0r/frei0r_adapter.h"

namespace {

constexpr char kModuleFile[] = "KZR_PlugIn_6.so";
#ifdef KZR_FREI0R_MODULE_DIR
constexpr char kModuleDir[] = KZR_FREI0R_MODULE_DIR;
#else
constexpr char kModuleDir[] = "";
#endif

struct Plugin {
    std::mutex mutex;
    int inits = 0;      // f0r_init calls not yet matched by f0r_deinit
    int instances = 0;  // live instances
    std::unique_ptr<refhost::Module> module;
    size_t effect = 0;
    std::string failure;  // why the module could not be used

    // What the host reads; filled once and kept while the plug-in is
    // loaded, so the strings handed out stay valid.
    bool described = false;
    std::string author;
    std::string explanation;
    std::vector<kzr_frei0r::Control> controls;

    ~Plugin() {
        // A host that unloads the plug-in without f0r_deinit keeps the
        // module loaded: at process exit it may already be finalised.
        static_cast<void>(module.release());
    }
};

Plugin& ThePlugin() {
    static Plugin plugin;
    return plugin;
}

// KZR_PlugIn_6.so in the folder of this plug-in's own file; when it is not
// there, in KZR_FREI0R_MODULE_DIR relative to that folder (installed trees
// keep the module and its language libraries in a folder of their own).
std::string ModulePath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<const void*>(&f0r_construct), &info) == 0 ||
        info.dli_fname == nullptr)
        return kModuleFile;
    const std::string self = info.dli_fname;
    const size_t slash = self.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : self.substr(0, slash + 1);
    const std::string beside = folder + kModuleFile;
    if (kModuleDir[0] == '\0' || access(beside.c_str(), F_OK) == 0)
        return beside;
    return folder + kModuleDir + "/" + kModuleFile;
}

void Describe(Plugin& p) {
    if (p.described)
        return;
    refhost::Texts texts;
    try {
        texts = refhost::Texts::ForLanguage(*p.module, "ENU");
    } catch (const refhost::Error&) {
        // Without the English library the names come from the keys.
    }
    const kzr::EffectDescriptor& fx = p.module->Effect(p.effect);
    p.controls = kzr_frei0r::Controls(fx, texts);
    p.author = fx.Author;
    p.explanation = texts.Text(fx.DescKey);
    p.described = true;
}

// Loads the module when it is not loaded.  Caller holds the mutex.
bool Load(Plugin& p) {
    if (p.module != nullptr)
        return true;
    try {
        p.module = std::make_unique<refhost::Module>(ModulePath());
        p.effect = p.module->FindEffect(KZR_FREI0R_EFFECT);
        Describe(p);
        return true;
    } catch (const std::exception& e) {
        p.module.reset();
        if (p.failure.empty()) {
            p.failure = e.what();
            std::fprintf(stderr, "%s: %s\n", KZR_FREI0R_NAME, p.failure.c_str());
        }
        return false;
    }
}

// Unloads the module when nothing needs it any more.  Caller holds the mutex.
void UnloadIfUnused(Plugin& p) {
    if (p.inits == 0 && p.instances == 0)
        p.module.reset();
}

kzr_frei0r::Filter* AsFilter(f0r_instance_t instance) {
    return static_cast<kzr_frei0r::Filter*>(instance);
}

}  // namespace

// The frei0r entry points are the plug-in's only visible symbols.
#define F0R_EXPORT __attribute__((visibility("default")))

extern "C" {

F0R_EXPORT int f0r_init(void) {
    Plugin& p = ThePlugin();
    std::lock_guard lock(p.mutex);
    if (!Load(p))
        return 0;
    ++p.inits;
    return 1;
}

F0R_EXPORT void f0r_deinit(void) {
    Plugin& p = ThePlugin();
    std::lock_guard lock(p.mutex);
    if (p.inits > 0)
        --p.inits;
    UnloadIfUnused(p);
}

F0R_EXPORT void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    if (info == nullptr)
        return;
    Plugin& p = ThePlugin();
    std::lock_guard lock(p.mutex);
    if (!p.described && Load(p))
        UnloadIfUnused(p);
    info->name = KZR_FREI0R_NAME;
    info->author = p.described ? p.author.c_str() : "KZR";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = KZR_VERSION_MAJOR;
    info->minor_version = KZR_VERSION_MINOR;
    info->num_params = static_cast<int>(p.controls.size());
    info->explanation = p.described ? p.explanation.c_str() : p.failure.c_str();
}

F0R_EXPORT void f0r_get_param_info(f0r_param_info_t* info, int param_index) {
    if (info == nullptr)
        return;
    Plugin& p = ThePlugin();
    std::lock_guard lock(p.mutex);
    if (!p.described && Load(p))
        UnloadIfUnused(p);
    if (param_index < 0 || static_cast<size_t>(param_index) >= p.controls.size())
        return;
    const kzr_frei0r::Control& c = p.controls[static_cast<size_t>(param_index)];
    info->name = c.name.c_str();
    info->type = c.kind == kzr_frei0r::Control::Kind::kSwitch ? F0R_PARAM_BOOL : F0R_PARAM_DOUBLE;
    info->explanation = c.explanation.c_str();
}

F0R_EXPORT f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    Plugin& p = ThePlugin();
    {
        std::lock_guard lock(p.mutex);
        if (!Load(p))
            return nullptr;
        ++p.instances;
    }
    try {
        return new kzr_frei0r::Filter(*p.module, p.effect, p.controls, width, height);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", KZR_FREI0R_NAME, e.what());
    }
    std::lock_guard lock(p.mutex);
    --p.instances;
    UnloadIfUnused(p);
    return nullptr;
}

F0R_EXPORT void f0r_destruct(f0r_instance_t instance) {
    if (instance == nullptr)
        return;
    delete AsFilter(instance);
    Plugin& p = ThePlugin();
    std::lock_guard lock(p.mutex);
    --p.instances;
    UnloadIfUnused(p);
}

F0R_EXPORT void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int param_index) {
    if (instance == nullptr || param == nullptr)
        return;
    try {
        AsFilter(instance)->Set(param_index, *static_cast<const double*>(param));
    } catch (const std::exception&) {
        // The value stays as it was.
    }
}

F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int param_index) {
    if (instance != nullptr && param != nullptr)
        AsFilter(instance)->Get(param_index, static_cast<double*>(param));
}

F0R_EXPORT void f0r_update(f0r_instance_t instance, double /*time*/, const uint32_t* inframe,
                           uint32_t* outframe) {
    if (instance == nullptr || inframe == nullptr || outframe == nullptr)
        return;
    try {
        AsFilter(instance)->Update(inframe, outframe);
    } catch (const std::exception&) {
        // Out of memory for the copy of an in-place frame: no output.
    }
}

}  // extern "C"
