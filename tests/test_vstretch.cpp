// Vertical stretch: worked examples of its row map.
#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(VStretch, WorkedExamples) {
    kzrtest::CheckProbes(
        "Kzr_Dsp_Vi_VStretch",
        {
            // c 540, R 432: rows up to 108 and from 972 stay; every column alike.
            {"", 4, 1080, 'A', 0, 0, "y", 3, 108},
            {"", 4, 1080, 'A', 0, 972, "y", 3, 1079},
            {"", 4, 1080, 'A', 0, 540, "y", 3},
            {"", 4, 1080, 'A', 0, 541, "540.14", 3},
            {"", 4, 1080, 'A', 2, 539, "539.86"},
            {"", 4, 1080, 'A', 1, 109, "111.25"},
            {"", 4, 1080, 'A', 3, 971, "968.75"},
            {"Inverse=1", 1, 1080, 'A', 0, 541, "546.76"},
            {"Inverse=1", 1, 1080, 'A', 0, 539, "533.24"},
            {"Inverse=1", 1, 1080, 'A', 0, 109, "108.31"},
            // c 216, the farther edge is the bottom, R 691; clamped at the top.
            {"Inverse=1;YOffset=0.2", 1, 1080, 'A', 0, 0, "=0", 0, 174},
            {"Inverse=1;YOffset=0.2", 1, 1080, 'A', 0, 175, "0.21"},
            {"Inverse=1;YOffset=0.2", 1, 1080, 'A', 0, 906, "906.73"},
            {"Inverse=1;YOffset=0.2", 1, 1080, 'A', 0, 907, "y", 0, 1079},
            // Height 5, c 2: the middle row takes the nearer edge, R 1, no band.
            {"", 4, 5, 'A', 0, 0, "y", 3, 4},
            {"Degree=0.1;Size=1;YOffset=0.65;Inverse=1", 2, 27, 'A', 0, 24, "26.08", 1},
            {"Degree=0.1;Size=1;YOffset=0.65;Inverse=1", 2, 27, 'A', 0, 25, "=26", 1, 26},
        });
}

}  // namespace
