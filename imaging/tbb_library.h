// oneTBB's library as the task runner needs it: loaded, and kept loaded for
// the life of the process, before the first task is handed to it.
#pragma once

namespace kzr {

// Makes sure oneTBB's library is loaded and stays loaded.  Checked once per
// process; false when the library cannot be loaded, and then the task runner
// runs every task itself, on the calling thread.
bool TbbLibraryReady();

}  // namespace kzr
