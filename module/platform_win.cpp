// Windows side of the platform layer: the attach handler records the
// module's instance handle; paths, the user's language, file tests and
// library loading are the kernel's wide-character calls.
#include <windows.h>

#include "abi/descriptors.h"
#include "module/platform.h"

// <windows.h> maps LoadLibrary to LoadLibraryW; here it names our own function.
#undef LoadLibrary

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        kzr::TheModule().ModuleHandle = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

// The linker's symbol at the start of this image: its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kzr::platform {

static_assert(kMaxPath == MAX_PATH);

void* SelfHandle() {
    return &__ImageBase;
}

bool SelfPath(PathChar* buf, size_t capacity) {
    if (capacity == 0)
        return false;
    const DWORD size = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(SelfHandle()), buf, size);
    // n == size: the path was cut to fit.
    return n != 0 && n < size;
}

void LanguageAbbreviation(PathChar* buf, size_t capacity) {
    if (capacity == 0)
        return;
    const int size = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buf, size) == 0)
        buf[0] = L'\0';
}

bool PathExists(const PathChar* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

void* LoadLibrary(const PathChar* path) {
    return ::LoadLibraryW(path);
}

void FreeLibrary(void* handle) {
    if (handle != nullptr)
        ::FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace kzr::platform
