#include "imaging/multitask.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <type_traits>

#include "imaging/tbb_library.h"

namespace kzr {

// The object is nothing but its table of virtual operations.
static_assert(std::is_polymorphic_v<CMultiTaskManager>);
static_assert(sizeof(CMultiTaskManager) == sizeof(void*));

CMultiTaskManager::~CMultiTaskManager() = default;

RowBand BandOf(int32_t height, int32_t count, int32_t index) {
    if (height <= 0 || count <= 0 || index < 0 || index >= count)
        return {0, 0};
    return {static_cast<int32_t>(int64_t{height} * index / count),
            static_cast<int32_t>(int64_t{height} * (index + 1) / count)};
}

int32_t CMultiTaskManager::Run(int32_t count, void* context, TaskCallback callback) {
    if (count <= 0 || callback == nullptr)
        return 0;
    if (!TbbLibraryReady()) {
        // Without oneTBB's library the calling thread runs every task itself.
        for (int32_t i = 0; i < count; ++i)
            callback(context, i);
        return 0;
    }
    // Grain size 1: oneTBB may hand out every index as a slice of its own, so
    // a handful of coarse tasks spreads over the workers.
    tbb::parallel_for(
        tbb::blocked_range<int>(0, count, 1),
        [context, callback](const tbb::blocked_range<int>& slice) {
            for (int i = slice.begin(); i != slice.end(); ++i)
                callback(context, i);
        },
        tbb::auto_partitioner());
    return 0;
}

}  // namespace kzr
