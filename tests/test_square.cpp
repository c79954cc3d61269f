// Square: worked examples of its column and row maps, and the map-built
// flag in the state.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_Square";

TEST(Square, WorkedExamples) {
    kzrtest::CheckProbes(kId, {
                                  // cx 960, cy 540; reaches 960 and 540.
                                  {"", 1920, 1080, 'A', 960, 0, "x", 960, 1079},
                                  {"", 1920, 1080, 'B', 0, 540, "y", 1919, 540},
                                  {"", 1920, 1080, 'A', 961, 0, "960.157"},
                                  {"", 1920, 1080, 'A', 959, 7, "959.843"},
                                  {"", 1920, 1080, 'A', 480, 0, "785.28"},
                                  {"", 1920, 1080, 'A', 1440, 0, "1134.72"},
                                  {"", 1920, 1080, 'A', 0, 0, "0.00012"},
                                  {"", 1920, 1080, 'A', 1919, 0, "1916.84"},
                                  {"", 1920, 1080, 'B', 0, 0, "=0", 1919},
                                  {"", 1920, 1080, 'B', 5, 1079, "1077.31"},
                                  {"P1=0.1", 1920, 1080, 'A', 961, 0, "960.048"},
                                  {"P1=0.1", 1920, 1080, 'A', 959, 0, "959.952"},
                                  // cx 384 with reach 1536, cy 864 with reach 864.
                                  {"P2=0.2,0.8", 1920, 1080, 'A', 384, 0, "x"},
                                  {"P2=0.2,0.8", 1920, 1080, 'B', 0, 864, "y"},
                                  {"P2=0.2,0.8", 1920, 1080, 'A', 0, 0, "315.34"},
                                  {"P2=0.2,0.8", 1920, 1080, 'B', 0, 1079, "917.04"},
                                  {"P2=0.2,0.8", 1920, 1080, 'B', 0, 0, "0.0000"},
                                  // cx = cy = 2, reach 3 on both axes.
                                  {"", 5, 5, 'A', 0, 0, "0.020", 0, 4},
                                  {"", 5, 5, 'A', 1, 0, "1.019"},
                                  {"", 5, 5, 'A', 2, 0, "x"},
                                  {"", 5, 5, 'A', 3, 0, "2.981"},
                                  {"", 5, 5, 'A', 4, 0, "3.980"},
                                  {"", 5, 5, 'B', 0, 0, "0.020", 4},
                                  {"", 5, 5, 'B', 0, 3, "2.981"},
                              });
}

// The maps are rebuilt while the built flag at state offset 0x20 is 0, and
// only then or on a changed flag.
TEST(Square, MapsAreRebuiltWhileTheBuiltFlagIsZero) {
    auto fx = kzrtest::Prepared(kId, 64, 48);
    auto* built = static_cast<uint8_t*>(fx->State()) + 0x20;
    const auto src = kzrtest::PatternFrame(64, 48);
    const uint32_t before = kzrtest::MapAt(*fx, 0x10)[40];
    fx->SetParam("P1", "0.1");
    fx->ClearChanged();
    kzrtest::Rendered(*fx, src);
    EXPECT_EQ(kzrtest::MapAt(*fx, 0x10)[40], before);
    std::memset(built, 0, 4);
    kzrtest::Rendered(*fx, src);
    EXPECT_EQ(built[0], 1);
    EXPECT_LT(kzrtest::MapAt(*fx, 0x10)[40], before);
}

}  // namespace
