#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include "refhost/library.h"

namespace refhost::library {

const char kModuleFileName[] = "KZR_PlugIn_6.so";

void* Open(const std::string& path, std::string* error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr && error != nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : "unknown error";
    }
    return handle;
}

void* Symbol(void* handle, const char* name) {
    return dlsym(handle, name);
}

void Close(void* handle) {
    if (handle != nullptr)
        dlclose(handle);
}

std::string PathOf(void* handle) {
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return "";
    return map->l_name;
}

std::string ProgramFolder() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    const std::string exe(buf, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

NativePath ToNative(const std::string& path) {
    return path;
}

std::string FromNative(const NativePath& path) {
    return path;
}

}  // namespace refhost::library
