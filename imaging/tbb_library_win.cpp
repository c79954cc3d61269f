// Windows: oneTBB is a delay-loaded DLL that ships beside the module under a
// name of its own (KZR_TBB_DLL), so that a host which has loaded some other
// tbb12.dll neither lends us its copy nor receives ours.  Nothing of it is
// touched when the module loads.  On first use it is loaded by full path from
// the folder of this image, checked for every function the image imports
// from it, and all those imports are bound at once; the delay-load helper is
// told to use that handle instead of searching the DLL path.
#include <windows.h>
// after windows.h
#include <delayimp.h>

#include <string>

#include "imaging/tbb_library.h"

#ifndef KZR_TBB_DLL
#error "KZR_TBB_DLL must name the oneTBB DLL that ships with the module"
#endif

namespace kzr {
namespace {

constexpr char kTbbDll[] = KZR_TBB_DLL;

// The image (module or program) this code is linked into.
HMODULE Self() {
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&TbbLibraryReady), &self);
    return self;
}

// The DLL's full path in the folder of this image; empty when unknown.
std::wstring TbbPath() {
    const HMODULE self = Self();
    if (self == nullptr)
        return {};
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const auto size = static_cast<DWORD>(path.size());
        const DWORD n = GetModuleFileNameW(self, path.data(), size);
        if (n == 0)
            return {};
        if (n < size) {
            path.resize(n);
            break;
        }
        if (size >= 32768)  // longer than any Windows path
            return {};
        path.resize(size * 2);
    }
    path.erase(path.find_last_of(L"\\/") + 1);
    for (const char* c = kTbbDll; *c != '\0'; ++c)
        path.push_back(static_cast<wchar_t>(*c));
    return path;
}

// True when the DLL exports every function this image's delay-import table
// names for it, so binding them cannot fail halfway.  The table is found
// through the PE header's delay-import directory, as the helper that binds
// them finds it.
bool ExportsAllImports(HMODULE tbb) {
    const auto* base = reinterpret_cast<const BYTE*>(Self());
    if (base == nullptr)
        return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    if (dir.VirtualAddress == 0)  // no table recorded: nothing can be bound safely
        return false;
    bool found = false;
    for (auto* d = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(base + dir.VirtualAddress);
         d->DllNameRVA != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->DllNameRVA), kTbbDll) != 0)
            continue;
        found = true;
        for (auto* t = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->ImportNameTableRVA);
             t->u1.AddressOfData != 0; ++t) {
            const char* name =
                IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal)
                    ? MAKEINTRESOURCEA(IMAGE_ORDINAL(t->u1.Ordinal))
                    : reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + t->u1.AddressOfData)
                          ->Name;
            if (GetProcAddress(tbb, name) == nullptr)
                return false;
        }
    }
    return found;
}

// Loaded once and never released: oneTBB's worker threads idle in it until
// the process ends, also after a host has unloaded the module.
HMODULE TbbHandle() {
    static const HMODULE handle = [] {
        const std::wstring path = TbbPath();
        return path.empty() ? nullptr : LoadLibraryW(path.c_str());
    }();
    return handle;
}

// Asked by the delay-load helper before it loads a DLL: ours comes from
// TbbHandle, never from a search of the DLL path.
FARPROC WINAPI DelayLoadNotify(unsigned notify, PDelayLoadInfo info) {
    if (notify == dliNotePreLoadLibrary && info != nullptr && info->szDll != nullptr &&
        lstrcmpiA(info->szDll, kTbbDll) == 0)
        return reinterpret_cast<FARPROC>(TbbHandle());
    return nullptr;
}

}  // namespace

bool TbbLibraryReady() {
    static const bool ready = [] {
        const HMODULE tbb = TbbHandle();
        return tbb != nullptr && ExportsAllImports(tbb) &&
               SUCCEEDED(__HrLoadAllImportsForDll(kTbbDll));
    }();
    return ready;
}

}  // namespace kzr

// dlltool puts the descriptor of each delay-loaded DLL in a section ".text$2",
// which the linker sorts right in front of ".text$3": this all-zero record
// ends their table (cmake/pe-delay-directory.sh enters it in the PE header).
__attribute__((section(".text$3"), used,
               aligned(16))) static const ImgDelayDescr kDelayImportsEnd = {};
static_assert(sizeof(ImgDelayDescr) == 32);

// Asked by the delay-load helper before each step.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = kzr::DelayLoadNotify;
}
