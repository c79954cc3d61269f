// S-shape: worked examples of its row map, bands of no height, and the
// full-size band at the frame edge.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_Sshape";

TEST(SShape, WorkedExamples) {
    kzrtest::CheckProbes(kId, {
                                  // m 540, q1 270, q3 810, R 216; every column alike.
                                  {"", 3, 1080, 'A', 0, 0, "y", 2, 53},
                                  {"", 3, 1080, 'A', 0, 487, "y", 2, 593},
                                  {"", 3, 1080, 'A', 0, 1027, "y", 2, 1079},
                                  {"", 3, 1080, 'A', 0, 54, "53.99998", 2},
                                  {"", 3, 1080, 'A', 0, 55, "56.05"},
                                  {"", 3, 1080, 'A', 1, 100, "133.67"},
                                  {"", 3, 1080, 'A', 0, 269, "269.61"},
                                  {"", 3, 1080, 'A', 0, 270, "y", 2},
                                  {"", 3, 1080, 'A', 0, 271, "270.39"},
                                  {"", 3, 1080, 'A', 0, 700, "659.69"},
                                  {"", 3, 1080, 'A', 0, 809, "807.44"},
                                  {"", 3, 1080, 'A', 0, 810, "y"},
                                  {"", 3, 1080, 'A', 0, 811, "812.56"},
                                  {"", 3, 1080, 'A', 2, 1000, "1012.71"},
                                  {"P3=1", 1, 1080, 'A', 0, 100, "78.54"},
                                  {"P3=1", 1, 1080, 'A', 0, 269, "267.44"},
                                  {"P3=1", 1, 1080, 'A', 0, 271, "272.56"},
                                  {"P3=1", 1, 1080, 'A', 0, 700, "742.88"},
                                  {"P3=1", 1, 1080, 'A', 0, 809, "809.61"},
                                  {"P3=1", 1, 1080, 'A', 0, 811, "810.39"},
                                  {"P3=1", 1, 1080, 'A', 0, 487, "y", 0, 593},
                                  // Odd height 1079: m 539, q1 269, q3 809, R 215.
                                  {"", 2, 1079, 'A', 0, 269, "y"},
                                  {"", 2, 1079, 'A', 0, 270, "269.39"},
                                  {"", 2, 1079, 'A', 0, 809, "y"},
                                  {"", 2, 1079, 'A', 0, 810, "811.55"},
                                  {"", 2, 1079, 'A', 0, 0, "y", 1, 53},
                                  {"", 2, 1079, 'A', 0, 485, "y", 1, 593},
                                  {"", 2, 1079, 'A', 0, 595, "594.49"},
                                  // R = trunc(h S / 4) = 0: no band.
                                  {"", 3, 4, 'A', 0, 0, "y", 2, 3},
                                  {"", 3, 3, 'A', 0, 0, "y", 2, 2},
                                  {"Size=0.2", 2, 19, 'A', 0, 0, "y", 1, 18},
                              });
}

// With S = 1 the upper band reaches row 0, and its computed position can fall
// a hair above the frame; it is held at row 0 and the map stays in the frame.
TEST(SShape, FullSizeBandStaysInsideTheFrame) {
    for (const char* degree : {"0.001", "0.02", "0.1"})
        for (const char* inverse : {"0", "1"})
            for (uint32_t h = 4; h <= 400; ++h) {
                const auto fx = kzrtest::Prepared(
                    kId, 1, h, std::string("Size=1;P1=") + degree + ";P3=" + inverse);
                const uint32_t* map = kzrtest::MapAt(*fx, 0x10);
                ASSERT_LT(map[0], 1u << 16) << degree << " " << h;
                for (uint32_t y = 0; y < h; ++y)
                    ASSERT_LT(map[y] >> 16, h) << degree << " " << h << " row " << y;
            }
    kzrtest::CheckProbes(kId, {{"Degree=0.001;Size=1", 1, 24, 'A', 0, 0, "=0"}});
}

}  // namespace
