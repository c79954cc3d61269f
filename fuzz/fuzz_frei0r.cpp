// Fuzz target of the frei0r plug-ins: loads the ten kzr_<effect>.so files
// as a frei0r host does and plays constructs at any size, parameter values
// of any double (NaN, infinities, out of range) at any index, updates at
// any time, in place or into another buffer, with fenced frames.
#include <dlfcn.h>
extern "C" {
#include <frei0r.h>
}

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_input.h"

namespace {

struct Plugin {
    decltype(&f0r_init) init;
    decltype(&f0r_deinit) deinit;
    decltype(&f0r_get_plugin_info) info;
    decltype(&f0r_construct) construct;
    decltype(&f0r_destruct) destruct;
    decltype(&f0r_set_param_value) set;
    decltype(&f0r_get_param_value) get;
    decltype(&f0r_update) update;
    int params = 0;
};

constexpr const char* kEffects[] = {"hmirror",    "hsqueeze",      "hstretch", "vstretch",
                                    "tristretch", "doublefisheye", "drain",    "laser",
                                    "square",     "sshape"};
constexpr size_t kEffectCount = sizeof kEffects / sizeof kEffects[0];

template <class F>
F Symbol(void* lib, const char* name) {
    void* p = dlsym(lib, name);
    if (p == nullptr)
        std::abort();
    return reinterpret_cast<F>(p);
}

Plugin plugins[kEffectCount];
bool loaded[kEffectCount] = {};

// A well-behaved host ends every f0r_init with f0r_deinit; without it the
// plug-ins keep the module for the life of the process on purpose, which
// the leak check at exit would report.  Registered after each f0r_init, so
// it runs before the destructors of the plug-in's own statics.
void DeinitAll() {
    for (size_t i = 0; i < kEffectCount; ++i)
        if (loaded[i]) {
            plugins[i].deinit();
            loaded[i] = false;
        }
}

const Plugin& ThePlugin(size_t i) {
    Plugin& p = plugins[i];
    if (!loaded[i]) {
        const std::string path = std::string(KZR_FREI0R_DIR) + "/kzr_" + kEffects[i] + ".so";
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr)
            std::abort();
        p.init = Symbol<decltype(p.init)>(lib, "f0r_init");
        p.deinit = Symbol<decltype(p.deinit)>(lib, "f0r_deinit");
        p.info = Symbol<decltype(p.info)>(lib, "f0r_get_plugin_info");
        p.construct = Symbol<decltype(p.construct)>(lib, "f0r_construct");
        p.destruct = Symbol<decltype(p.destruct)>(lib, "f0r_destruct");
        p.set = Symbol<decltype(p.set)>(lib, "f0r_set_param_value");
        p.get = Symbol<decltype(p.get)>(lib, "f0r_get_param_value");
        p.update = Symbol<decltype(p.update)>(lib, "f0r_update");
        if (p.init() != 1 || std::atexit(DeinitAll) != 0)
            std::abort();
        f0r_plugin_info_t info{};
        p.info(&info);
        p.params = info.num_params;
        loaded[i] = true;
    }
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kzrfuzz::Input in(data, size);
    const Plugin& p = ThePlugin(in.Byte() % kEffectCount);
    // Any size up to 80x80; now and then one the module refuses.
    uint32_t w = in.Byte() % 81u, h = in.Byte() % 81u;
    if (in.Byte() == 0xFF)
        w = 65537u + in.Raw<uint16_t>();
    f0r_instance_t fx = p.construct(w, h);
    if (w > 65536u) {
        if (fx != nullptr)
            p.destruct(fx);
        return 0;
    }
    if (fx == nullptr)
        return 0;
    const size_t bytes = size_t{w} * h * 4;
    for (int step = 0; step < 16 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        if (op % 3 != 2) {
            // Any index, any double.
            const int index = static_cast<int8_t>(in.Byte()) % (p.params + 2);
            double v = in.Raw<double>();
            p.set(fx, &v, index);
            double back = 0;
            p.get(fx, &back, index);
        } else {
            kzrfuzz::FencedFrame src(bytes, op & 8, in.Byte());
            kzrfuzz::FencedFrame dst(bytes, op & 16, 0);
            const double time = in.Raw<double>();
            auto* s = reinterpret_cast<const uint32_t*>(src.Data());
            auto* d = reinterpret_cast<uint32_t*>(op & 32 ? src.Data() : dst.Data());
            p.update(fx, time, s, d);
        }
    }
    p.destruct(fx);
    return 0;
}
