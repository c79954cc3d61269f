// Worked examples of the lens, stretch, square and S-shape maps: the column
// or row entry of chosen pixels at chosen sizes and parameters, and the
// properties of each effect's map that no single example shows.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

// Horizontal squeeze: worked examples of its column and row maps.

TEST(HSqueeze, WorkedExamples) {
    kzrtest::CheckProbes(
        "Kzr_Dsp_Vi_HSqueeze",
        {
            // cx 960, cy 540, r 540: lens centres at columns 420 and 1500.
            {"", 1920, 1080, 'A', 420, 540, "x"},
            {"", 1920, 1080, 'B', 420, 540, "y", 421},
            {"", 1920, 1080, 'A', 1500, 540, "x"},
            {"", 1920, 1080, 'A', 421, 540, "420.229"},
            {"", 1920, 1080, 'A', 959, 540, "957.31"},
            {"", 1920, 1080, 'A', 960, 540, "960.0001"},
            {"", 1920, 1080, 'A', 961, 540, "962.69"},
            {"", 1920, 1080, 'A', 0, 540, "129.08"},
            {"", 1920, 1080, 'A', 420, 100, "x"},
            {"", 1920, 1080, 'B', 420, 100, "216.44"},
            {"", 1920, 1080, 'B', 420, 1079, "1077.31"},
            // Outside both circles.
            {"", 1920, 1080, 'A', 100, 100, "x"},
            {"", 1920, 1080, 'B', 100, 100, "y"},
            {"", 1920, 1080, 'A', 960, 0, "x"},
            {"Inverse=1", 1920, 1080, 'A', 420, 540, "x"},
            {"Inverse=1", 1920, 1080, 'A', 421, 540, "424.33"},
            {"Inverse=1", 1920, 1080, 'A', 959, 540, "959.63"},
            {"Inverse=1", 1920, 1080, 'B', 420, 100, "40.63"},
            {"Inverse=1", 1920, 1080, 'A', 0, 540, "=0", 100},
            // Portrait: r follows the smaller side, lens centres at columns 0 and 1080.
            {"", 1080, 1920, 'A', 0, 960, "=0"},
            {"", 1080, 1920, 'A', 1, 960, "0.229"},
            {"", 1080, 1920, 'B', 0, 520, "636.44"},
            // r 0: every pixel stays.
            {"Size=0.2", 4, 4, 'A', 0, 0, "x", 3, 3},
            {"Size=0.2", 4, 4, 'B', 0, 0, "y", 3, 3},
            {"", 1, 1, 'A', 0, 0, "x"},
            {"", 1, 1, 'B', 0, 0, "y"},
        });
}

// Horizontal stretch: worked examples of its column map.

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

// Vertical stretch: worked examples of its row map.

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

// Tri-stretch: worked examples of its column map, whose curve changes from
// row to row, and its band limits per half.

TEST(TriStretch, WorkedExamples) {
    kzrtest::CheckProbes(
        "Kzr_Dsp_Vi_TriStretch",
        {
            // cx 960, cy 540, R 432 in both halves: the band is columns 529 to 1391.
            {"", 1920, 1080, 'A', 0, 0, "x", 528, 1079},
            {"", 1920, 1080, 'A', 1392, 0, "x", 1919, 1079},
            {"", 1920, 1080, 'A', 0, 540, "x", 1919},
            {"", 1920, 1080, 'A', 529, 0, "530.52"},
            {"", 1920, 1080, 'A', 1391, 0, "1389.48"},
            {"", 1920, 1080, 'A', 961, 0, "960.263"},  // row 0: magnified
            {"", 1920, 1080, 'A', 700, 0, "814.46"},
            {"", 1920, 1080, 'A', 533, 0, "540.48"},
            {"", 1920, 1080, 'A', 532, 0, "538.01"},
            {"", 1920, 1080, 'A', 961, 1079, "963.767"},  // row 1079: squeezed
            {"", 1920, 1080, 'A', 700, 1079, "612.23"},
            {"", 1920, 1080, 'A', 1000, 539, "1000.00"},  // next to row 540: almost flat
            {"P3=1", 1920, 1080, 'A', 961, 0, "963.775"},
            {"P3=1", 1920, 1080, 'A', 961, 1079, "960.264"},
            {"P3=1", 1920, 1080, 'A', 0, 540, "x", 1919},
            // Portrait: cx 540, cy 960, R 768, every column inside the band.
            {"", 1080, 1920, 'A', 0, 0, "233.21"},
            {"", 1080, 1920, 'A', 0, 1919, "=0", 233},
            {"", 1080, 1920, 'A', 234, 1919, "0.72"},
            {"", 1080, 1920, 'A', 847, 1919, "=1079", 1079},
            {"", 1080, 1920, 'A', 846, 1919, "1079.28"},
            {"", 1080, 1920, 'A', 300, 1919, "57.09"},
            {"", 1080, 1920, 'A', 0, 960, "x", 1079},
            // cx 384, cy 216: R 172 above, 691 below.
            {"P4=0.2,0.2", 1920, 1080, 'A', 212, 0, "x", 212, 50},
            {"P4=0.2,0.2", 1920, 1080, 'A', 213, 0, "213.92"},
            {"P4=0.2,0.2", 1920, 1080, 'A', 555, 50, "554.35"},
            {"P4=0.2,0.2", 1920, 1080, 'A', 556, 0, "x", 556, 50},
            {"P4=0.2,0.2", 1920, 1080, 'A', 1074, 800, "1074.57"},
            {"P4=0.2,0.2", 1920, 1080, 'A', 1075, 800, "x", 1075, 1079},
            {"P4=0.2,0.2", 1920, 1080, 'A', 0, 216, "x", 1919},
            // cy 1: the upper half is one row high, R 0 there.
            {"Size=0.9;P4=0.5,0.05", 40, 20, 'A', 0, 0, "x", 39, 1},
            {"Size=0.9;P4=0.5,0.05", 40, 20, 'A', 15, 19, "14.51"},
            // Inverted, R G + 1 is rounded to float: next to the position row of
            // a tall frame it is exactly 1, and the rows keep their pixels.
            {"Degree=0.001;Size=0.2;P3=1", 16, 20000, 'A', 0, 9999, "x", 15, 10001},
        });
}

// Double fish-eye: worked examples of its maps, the pass-through outside the
// lenses and entries rounded at the frame edge.

constexpr const char* kFishEye = "Kzr_Dsp_Vi_DoubleFishEye";

TEST(DoubleFishEye, WorkedExamples) {
    kzrtest::CheckProbes(
        kFishEye, {
                      // r 540: lens centres (960, 0) and (960, 1080), touching at (960, 540).
                      {"", 1920, 1080, 'A', 960, 0, "x", 960, 1},
                      {"", 1920, 1080, 'B', 960, 0, "y"},
                      {"", 1920, 1080, 'B', 960, 1, "0.229"},
                      {"", 1920, 1080, 'A', 961, 0, "960.229"},
                      {"", 1920, 1080, 'B', 960, 270, "121.76"},
                      {"", 1920, 1080, 'B', 960, 539, "537.31"},
                      {"", 1920, 1080, 'B', 960, 540, "540.0001"},  // the upper lens' rim
                      {"", 1920, 1080, 'B', 960, 541, "542.69"},
                      {"", 1920, 1080, 'B', 960, 810, "958.24"},
                      {"", 1920, 1080, 'B', 960, 1079, "=1079"},  // 1079.77 held at the last row
                      {"", 1920, 1080, 'A', 100, 540, "=0"},      // outside: not sampled
                      {"", 1920, 1080, 'B', 1500, 540, "=0"},
                      {"Inverse=1", 1920, 1080, 'B', 960, 1, "4.333"},
                      {"Inverse=1", 1920, 1080, 'B', 960, 270, "406.14"},
                      {"Inverse=1", 1920, 1080, 'B', 960, 541, "540.37"},
                      {"Inverse=1", 1920, 1080, 'B', 960, 1079, "1075.67"},
                      // r 270: centres (960, 270) and (960, 810).
                      {"Size=1;Degree=0.1", 1920, 1080, 'A', 960, 270, "x"},
                      {"Size=1;Degree=0.1", 1920, 1080, 'B', 960, 810, "y"},
                      {"Size=1;Degree=0.1", 1920, 1080, 'A', 961, 270, "960.124"},
                      {"Size=1;Degree=0.1", 1920, 1080, 'A', 1500, 270, "=0"},
                      // The lower centre is row 1404, below the frame.
                      {"Position=0.5,0.8", 1920, 1080, 'B', 960, 964, "=1079", 960, 1079},
                      // r about 332.1, whole radius 332: centres (960, 208) and (960, 872).
                      {"Size=1.23", 1920, 1080, 'B', 960, 208, "y"},
                      {"Size=1.23", 1920, 1080, 'B', 960, 872, "y"},
                      {"Size=1.23", 1920, 1080, 'B', 960, 207, "207.69"},
                      {"Size=1.23", 1920, 1080, 'B', 960, 209, "208.31"},
                      {"Size=1.23", 1920, 1080, 'B', 960, 540, "539.87"},
                      {"", 1, 1, 'A', 0, 0, "x"},
                      {"", 1, 1, 'B', 0, 0, "y"},
                  });
}

// The frame is copied whole, then only pixels within the whole radius of a
// lens centre are resampled; the centres sample themselves.
TEST(DoubleFishEye, OnlyLensPixelsAreResampled) {
    const uint32_t w = 64, h = 48;
    const int cx = 32, cy = 24, ri = 18;
    auto fx = kzrtest::Prepared(kFishEye, w, h, "Size=1.5;Degree=0.1");
    const auto src = kzrtest::PatternFrame(w, h);
    const auto out = kzrtest::Rendered(*fx, src, 0x00);
    EXPECT_EQ(out, kzrtest::Rendered(*fx, src, 0xFF));
    const auto same = [&](int x, int y) {
        return std::memcmp(&out[(size_t(y) * w + x) * 4], &src[(size_t(y) * w + x) * 4], 4) == 0;
    };
    int changed = 0;
    for (int y = 0; y < int(h); ++y)
        for (int x = 0; x < int(w); ++x) {
            const int dx2 = (x - cx) * (x - cx);
            const bool inside = dx2 + (y - cy + ri) * (y - cy + ri) <= ri * ri ||
                                dx2 + (y - cy - ri) * (y - cy - ri) <= ri * ri;
            if (!inside) {
                ASSERT_TRUE(same(x, y)) << x << "," << y;
            }
            changed += !same(x, y);
        }
    EXPECT_GT(changed, 100);
    EXPECT_TRUE(same(cx, cy - ri) && same(cx, cy + ri));
}

// Rounding to the nearest entry can carry a position just below the width
// up to the width itself; such an entry stays inside the frame.
TEST(DoubleFishEye, RoundingNeverLeavesTheFrame) {
    refhost::Instance fx(kzrtest::TheModule(), kzrtest::EffectIndex(kFishEye));
    const float degree = 0x1.3e5cfp-2f, size = 0x1.35f3eap+4f;
    const float pos[2] = {0x1.74c5a8p+0f, 0x1.196f8ep+2f};
    fx.WriteRaw(0, &degree, 4);
    fx.WriteRaw(2, &size, 4);
    fx.WriteRaw(3, pos, 8);
    ASSERT_EQ(fx.Prepare(12, 12), kzr::kOk);
    for (size_t i = 0; i < 144; ++i) {
        ASSERT_LT(kzrtest::MapAt(fx, 0x10)[i] >> 16, 12u) << i;
        ASSERT_LT(kzrtest::MapAt(fx, 0x18)[i] >> 16, 12u) << i;
    }
}

// Square: worked examples of its column and row maps, and the map-built
// flag in the state.

constexpr const char* kSquare = "Kzr_Dsp_Vi_Square";

TEST(Square, WorkedExamples) {
    kzrtest::CheckProbes(kSquare, {
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
    auto fx = kzrtest::Prepared(kSquare, 64, 48);
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

// S-shape: worked examples of its row map, bands of no height, and the
// full-size band at the frame edge.

constexpr const char* kSShape = "Kzr_Dsp_Vi_Sshape";

TEST(SShape, WorkedExamples) {
    kzrtest::CheckProbes(kSShape, {
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
                    kSShape, 1, h, std::string("Size=1;P1=") + degree + ";P3=" + inverse);
                const uint32_t* map = kzrtest::MapAt(*fx, 0x10);
                ASSERT_LT(map[0], 1u << 16) << degree << " " << h;
                for (uint32_t y = 0; y < h; ++y)
                    ASSERT_LT(map[y] >> 16, h) << degree << " " << h << " row " << y;
            }
    kzrtest::CheckProbes(kSShape, {{"Degree=0.001;Size=1", 1, 24, 'A', 0, 0, "=0"}});
}

}  // namespace
