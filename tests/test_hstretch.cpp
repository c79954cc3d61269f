// Horizontal stretch: worked examples of its column map.
#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(HStretch, WorkedExamples) {
    kzrtest::CheckProbes(
        "Kzr_Dsp_Vi_HStretch",
        {
            // c 960, band half-width 768: columns up to 192 and from 1728 stay.
            {"", 1920, 3, 'A', 0, 0, "x", 192, 2},
            {"", 1920, 3, 'A', 1728, 0, "x", 1919, 2},
            {"", 1920, 3, 'A', 960, 2, "x"},
            {"", 1920, 3, 'A', 961, 1, "960.18"},
            {"", 1920, 3, 'A', 959, 0, "959.82"},
            {"", 1920, 3, 'A', 193, 2, "194.97"},
            {"", 1920, 3, 'A', 1727, 0, "1725.03"},
            {"Inverse=1", 1920, 1, 'A', 961, 0, "965.44"},
            {"Inverse=1", 1920, 1, 'A', 959, 0, "954.56"},
            {"Inverse=1", 1920, 1, 'A', 193, 0, "192.34"},
            // Positions past the edges are clamped.
            {"Inverse=1;XOffset=0.2", 1920, 1, 'A', 0, 0, "=0", 296},
            {"Inverse=1;XOffset=0.2", 1920, 1, 'A', 297, 0, "2.09"},
            {"Inverse=1;XOffset=0.2", 1920, 1, 'A', 1612, 0, "x", 1919},
            {"Inverse=1;XOffset=0.8", 1920, 1, 'A', 1624, 0, "=1919", 1919},
            // Between the last pixel and the width the fraction stays.
            {"Degree=0.1;Size=1;XOffset=0.65;Inverse=1", 27, 1, 'A', 24, 0, "26.08"},
            {"Degree=0.1;Size=1;XOffset=0.65;Inverse=1", 27, 1, 'A', 25, 0, "=26", 26},
            {"", 1, 3, 'A', 0, 0, "=0", 0, 2},
            // Width 5: the centre column 2 is nearer the left edge, so the
            // farther distance is 3 and the band half-width trunc(3 * 0.8) = 2.
            {"", 5, 1, 'A', 0, 0, "x"},
            {"", 5, 1, 'A', 1, 0, "1.010"},
            {"", 5, 1, 'A', 2, 0, "x"},
            {"", 5, 1, 'A', 3, 0, "2.990"},
            {"", 5, 1, 'A', 4, 0, "x"},
        });
}

}  // namespace
