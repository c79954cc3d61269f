#include <windows.h>

#include "refhost/library.h"

namespace refhost::library {

const char kModuleFileName[] = "KZR_PlugIn_6.dll";

namespace {

std::string LastError() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n != 0 && text != nullptr ? std::string(text, n) : std::string();
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out + (out.empty() ? "" : " ") + "(error " + std::to_string(code) + ")";
}

// Full path of a loaded module (null: the program).
std::string ModulePath(HMODULE module) {
    NativePath path(MAX_PATH, L'\0');
    while (path.size() <= 32768) {
        const auto size = static_cast<DWORD>(path.size());
        const DWORD n = GetModuleFileNameW(module, path.data(), size);
        if (n == 0)
            return "";
        if (n < size) {
            path.resize(n);
            return FromNative(path);
        }
        path.resize(path.size() * 2);
    }
    return "";
}

}  // namespace

void* Open(const std::string& path, std::string* error) {
    HMODULE handle = LoadLibraryW(ToNative(path).c_str());
    if (handle == nullptr && error != nullptr)
        *error = LastError();
    return handle;
}

void* Symbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void Close(void* handle) {
    if (handle != nullptr)
        FreeLibrary(static_cast<HMODULE>(handle));
}

std::string PathOf(void* handle) {
    return handle != nullptr ? ModulePath(static_cast<HMODULE>(handle)) : "";
}

std::string ProgramFolder() {
    const std::string exe = ModulePath(nullptr);
    const size_t slash = exe.find_last_of("\\/");
    return slash == std::string::npos ? "" : exe.substr(0, slash + 1);
}

NativePath ToNative(const std::string& path) {
    if (path.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    NativePath out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), out.data(), n);
    return out;
}

std::string FromNative(const NativePath& path) {
    if (path.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

}  // namespace refhost::library
