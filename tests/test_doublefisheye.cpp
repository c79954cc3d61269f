// Double fish-eye: worked examples of its maps, the pass-through outside the
// lenses and entries rounded at the frame edge.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_DoubleFishEye";

TEST(DoubleFishEye, WorkedExamples) {
    kzrtest::CheckProbes(
        kId, {
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
    auto fx = kzrtest::Prepared(kId, w, h, "Size=1.5;Degree=0.1");
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
    refhost::Instance fx(kzrtest::TheModule(), kzrtest::EffectIndex(kId));
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

}  // namespace
