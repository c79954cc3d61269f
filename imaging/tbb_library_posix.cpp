// POSIX: the module links oneTBB normally, so the library is there whenever
// the module is.
#include <dlfcn.h>
#include <tbb/task_arena.h>

#include "imaging/tbb_library.h"

namespace kzr {

// oneTBB's worker threads outlive every Run and idle inside the library.  A
// host that unloads this module would unload oneTBB with it (nothing else
// holds it) and pull the code from under them, so on first use the library
// is pinned for the life of the process.
bool TbbLibraryReady() {
    static const bool pinned = [] {
        Dl_info info{};
        const auto probe = reinterpret_cast<void*>(&tbb::detail::r1::max_concurrency);
        return dladdr(probe, &info) != 0 && info.dli_fname != nullptr &&
               dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }();
    (void)pinned;
    return true;
}

}  // namespace kzr
