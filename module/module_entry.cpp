// The exported entry points: hand the host the module record and manage the
// language-resource library whose handle the host uses to look up texts.
#include "abi/descriptors.h"
#include "abi/exports.h"
#include "module/platform.h"
#include "module/resource_name.h"

using kzr::platform::PathChar;

namespace {

bool PresentCandidate(const PathChar* modulePath, const PathChar* suffix, PathChar* name) {
    return kzr::ComposeResourceName(modulePath, suffix, name, kzr::platform::kMaxPath) &&
           kzr::platform::PathExists(name);
}

}  // namespace

extern "C" uint32_t KZR_DSP_InitModule(const void** descriptor) {
    if (descriptor == nullptr)
        return kzr::kFail;
    kzr::ModuleDescriptor& module = kzr::TheModule();
    *descriptor = &module;
    if (module.ModuleHandle == nullptr)
        module.ModuleHandle = kzr::platform::SelfHandle();

    PathChar path[kzr::platform::kMaxPath] = {};
    PathChar language[kzr::platform::kMaxLanguage] = {};
    PathChar name[kzr::platform::kMaxPath] = {};
    const bool havePath = kzr::platform::SelfPath(path, kzr::platform::kMaxPath);
    kzr::platform::LanguageAbbreviation(language, kzr::platform::kMaxLanguage);
#if defined(_WIN32)
    static constexpr PathChar kFallback[] = L"RES";
#else
    static constexpr PathChar kFallback[] = "RES";
#endif
    const bool present = havePath && (PresentCandidate(path, language, name) ||
                                      PresentCandidate(path, kFallback, name));
    if (present) {
        void* handle = kzr::platform::LoadLibrary(name);
        // A repeated initialisation replaces the earlier library; release it
        // so its reference is not lost.
        void* earlier = module.ResourceHandle;
        module.ResourceHandle = handle != nullptr ? handle : module.ModuleHandle;
        if (earlier != nullptr && earlier != module.ModuleHandle)
            kzr::platform::FreeLibrary(earlier);
    } else if (module.ResourceHandle == nullptr) {
        module.ResourceHandle = module.ModuleHandle;
    }
    return kzr::kOk;
}

extern "C" uint32_t KZR_DSP_DeInitModule(void) {
    kzr::ModuleDescriptor& module = kzr::TheModule();
    if (module.ResourceHandle != module.ModuleHandle)
        kzr::platform::FreeLibrary(module.ResourceHandle);
    module.ResourceHandle = nullptr;
    return kzr::kOk;
}
