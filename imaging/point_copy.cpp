#include "imaging/point_copy.h"

#include "imaging/sample.h"

namespace kzr {

void CopyPoints(const PointSource& s, const int32_t* points, size_t count, uint8_t* dst,
                int32_t cpuLevel) {
    if (cpuLevel >= 8 && HasAvx2()) {
        CopyPointsAvx2(s, points, count, dst);
        return;
    }
    for (size_t k = 0; k < count; ++k)
        CopyPoint(s, points + 2 * k, dst + 4 * k);
}

}  // namespace kzr
