// Horizontal stretch: the worked examples of its map.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

struct Stretch {
    explicit Stretch(uint32_t w, uint32_t h = 2)
        : fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch")), w(w), h(h) {}

    void Set(const char* key, const char* value) { fx.SetParam(key, value); }
    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    const uint32_t* Map() { return static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x10)); }
    double Column(uint32_t x, uint32_t y = 0) { return Map()[size_t{y} * w + x] / 65536.0; }

    refhost::Instance fx;
    uint32_t w, h;
};

TEST(HStretch, DefaultsOn1920) {
    Stretch s(1920, 3);
    s.Prepare();
    for (uint32_t x : {0u, 100u, 192u, 1728u, 1800u, 1919u}) EXPECT_EQ(s.Map()[x], x << 16) << x;
    EXPECT_EQ(s.Map()[960], 960u << 16);
    EXPECT_NEAR(s.Column(961), 960.18, 0.005);
    EXPECT_NEAR(s.Column(959), 959.82, 0.005);
    EXPECT_NEAR(s.Column(193), 194.97, 0.005);
    EXPECT_NEAR(s.Column(1727), 1920.0 - s.Column(193), 0.0001);  // mirrored about the centre
    EXPECT_NE(s.Map()[193], 193u << 16);
    EXPECT_NE(s.Map()[1727], 1727u << 16);
    // Every row alike; columns never decrease.
    EXPECT_EQ(std::memcmp(s.Map(), s.Map() + 1920, 1920 * 4), 0);
    EXPECT_EQ(std::memcmp(s.Map(), s.Map() + 2 * 1920, 1920 * 4), 0);
    for (uint32_t x = 1; x < 1920; ++x) EXPECT_LE(s.Map()[x - 1], s.Map()[x]) << x;
}

TEST(HStretch, InverseOn1920) {
    Stretch s(1920);
    s.Set("Inverse", "1");
    s.Prepare();
    EXPECT_NEAR(s.Column(961), 965.44, 0.005);
    EXPECT_NEAR(s.Column(959), 954.56, 0.005);
    EXPECT_NEAR(s.Column(193), 192.34, 0.005);
}

TEST(HStretch, InverseBandPastTheEdgesIsClamped) {
    Stretch left(1920);
    left.Set("Inverse", "1");
    left.Set("XOffset", "0.2");
    left.Prepare();
    for (uint32_t x = 0; x <= 296; ++x) ASSERT_EQ(left.Map()[x], 0u) << x;
    EXPECT_NEAR(left.Column(297), 2.09, 0.005);
    for (uint32_t x = 1612; x < 1920; ++x) ASSERT_EQ(left.Map()[x], x << 16) << x;

    Stretch right(1920);
    right.Set("Inverse", "1");
    right.Set("XOffset", "0.8");
    right.Prepare();
    for (uint32_t x = 1624; x < 1920; ++x) ASSERT_EQ(right.Map()[x], 1919u << 16) << x;
}

TEST(HStretch, PositionsBetweenTheLastPixelAndTheWidthKeepTheirFraction) {
    Stretch s(27);
    s.Set("Degree", "0.1");
    s.Set("Size", "1");
    s.Set("XOffset", "0.65");
    s.Set("Inverse", "1");
    s.Prepare();
    EXPECT_NEAR(s.Column(24), 26.08, 0.005);
    EXPECT_EQ(s.Map()[25], 26u << 16);
    EXPECT_EQ(s.Map()[26], 26u << 16);
}

TEST(HStretch, TinyWidths) {
    Stretch one(1, 3);
    one.Prepare();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(one.Map()[i], 0u);

    // Width 5: the centre column 2 is nearer the left edge, so the farther
    // distance is 3 and the band half-width trunc(3 * 0.8) = 2.
    Stretch five(5, 1);
    five.Prepare();
    EXPECT_EQ(five.Map()[0], 0u);
    EXPECT_EQ(five.Map()[2], 2u << 16);
    EXPECT_EQ(five.Map()[4], 4u << 16);
    EXPECT_GT(five.Map()[1], 1u << 16);  // magnified towards the centre
    EXPECT_LT(five.Map()[3], 3u << 16);
}

TEST(HStretch, FramesAtEveryCpuLevel) {
    const uint32_t w = 37, h = 23;
    const auto src = kzrtest::PatternFrame(w, h);
    std::vector<std::vector<uint8_t>> out;
    for (int level : {0, 3, 8}) {
        Stretch s(w, h);
        s.fx.SetCpuLevel(level);
        s.Prepare();
        out.emplace_back(src.size(), 0);
        ASSERT_EQ(s.fx.Render(src.data(), out.back().data()), kzr::kOk);
        // Identity columns copy the source pixel exactly, alpha included.
        for (uint32_t y = 0; y < h; ++y)
            EXPECT_EQ(std::memcmp(&out.back()[(y * w) * 4], &src[(y * w) * 4], 4), 0);
    }
    EXPECT_EQ(out[1], out[2]);  // the AVX2 remap equals the per-pixel SIMD sampler
}

}  // namespace
