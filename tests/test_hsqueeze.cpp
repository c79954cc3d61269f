// Horizontal squeeze: the worked examples of its two maps, the radius-0
// lens, sizes at the edges and parameters outside their ranges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/test_util.h"

namespace {

struct Squeeze {
    Squeeze(uint32_t w, uint32_t h)
        : fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_HSqueeze")), w(w), h(h) {}

    void Set(const char* key, const char* value) { fx.SetParam(key, value); }
    void SetRawFloat(size_t index, float v) { fx.WriteRaw(index, &v, 4); }
    void SetRawPoint(float x, float y) {
        const float v[2] = {x, y};
        fx.WriteRaw(3, v, 8);
    }
    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    const uint32_t* MapA() { return static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x10)); }
    const uint32_t* MapB() { return static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x18)); }
    uint32_t EntryX(uint32_t x, uint32_t y) { return MapA()[size_t{y} * w + x]; }
    uint32_t EntryY(uint32_t x, uint32_t y) { return MapB()[size_t{y} * w + x]; }
    double Column(uint32_t x, uint32_t y) { return EntryX(x, y) / 65536.0; }
    double Row(uint32_t x, uint32_t y) { return EntryY(x, y) / 65536.0; }
    bool Unmoved(uint32_t x, uint32_t y) {
        return EntryX(x, y) == x << 16 && EntryY(x, y) == y << 16;
    }

    void ExpectInside() {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                ASSERT_LT(EntryX(x, y) >> 16, w) << x << "," << y;
                ASSERT_LT(EntryY(x, y) >> 16, h) << x << "," << y;
            }
    }
    void ExpectIdentity() {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_TRUE(Unmoved(x, y)) << x << "," << y;
    }

    refhost::Instance fx;
    uint32_t w, h;
};

TEST(HSqueeze, DefaultsOn1920x1080) {
    // cx = 960, cy = 540, r = 540: lens centres at columns 420 and 1500.
    Squeeze s(1920, 1080);
    s.Prepare();
    s.ExpectInside();
    EXPECT_EQ(s.EntryX(420, 540), 420u << 16);
    EXPECT_EQ(s.EntryY(420, 540), 540u << 16);
    EXPECT_EQ(s.EntryX(1500, 540), 1500u << 16);
    EXPECT_NEAR(s.Column(421, 540), 420.229, 0.0005);
    EXPECT_NEAR(s.Column(959, 540), 957.31, 0.005);
    EXPECT_NEAR(s.Column(961, 540), 962.69, 0.005);
    EXPECT_NEAR(s.Column(960, 540), 960.0001, 0.00005);
    EXPECT_NEAR(s.Column(0, 540), 129.08, 0.005);
    EXPECT_NEAR(s.Row(420, 100), 216.44, 0.005);
    EXPECT_NEAR(s.Row(420, 1079), 1077.31, 0.005);
    // On the lenses' row no pixel moves vertically; on a lens' column no
    // pixel moves horizontally.
    EXPECT_EQ(s.EntryY(421, 540), 540u << 16);
    EXPECT_EQ(s.EntryX(420, 100), 420u << 16);
    // About 4.4 times magnified at a lens centre, 2.7 times compressed at
    // the touching point.
    EXPECT_NEAR(1.0 / (s.Column(421, 540) - s.Column(420, 540)), 4.4, 0.05);
    EXPECT_NEAR(s.Column(961, 540) - s.Column(960, 540), 2.7, 0.05);
    // Outside both circles: q = 320^2 + 440^2 > 540^2.
    EXPECT_TRUE(s.Unmoved(100, 100));
    EXPECT_TRUE(s.Unmoved(960, 0));
}

TEST(HSqueeze, InverseOn1920x1080) {
    Squeeze s(1920, 1080);
    s.Set("Inverse", "1");
    s.Prepare();
    s.ExpectInside();
    EXPECT_EQ(s.EntryX(420, 540), 420u << 16);
    EXPECT_NEAR(s.Column(421, 540), 424.33, 0.005);
    EXPECT_NEAR(s.Column(959, 540), 959.63, 0.005);
    EXPECT_NEAR(s.Row(420, 100), 40.63, 0.005);
    // Positions left of the frame are clamped to column 0.
    EXPECT_EQ(s.EntryX(0, 540), 0u);
    EXPECT_EQ(s.EntryX(100, 540), 0u);
}

TEST(HSqueeze, RadiusFollowsTheSmallerSide) {
    // 1080 x 1920: cx = 540, cy = 960, r = 540 again, lens centres at
    // columns 0 and 1080; pixels sit at the same offsets from their centres
    // as in the landscape frame (up to the rounding of the centre's sum).
    Squeeze land(1920, 1080), port(1080, 1920);
    land.Prepare();
    port.Prepare();
    port.ExpectInside();
    EXPECT_EQ(port.EntryX(0, 960), 0u);
    EXPECT_NEAR(port.Column(1, 960), 0.229, 0.0005);
    EXPECT_NEAR(port.Column(1, 960) - 0.0, land.Column(421, 540) - 420.0, 4 / 65536.0);
    EXPECT_NEAR(port.Row(0, 520) - 960.0, land.Row(420, 100) - 540.0, 4 / 65536.0);
}

TEST(HSqueeze, RadiusZeroLeavesEveryPixel) {
    // 4 x 4 at Size 0.2 and 1 x 1 at the default Size 0.5 both give r = 0.
    Squeeze small(4, 4);
    small.Set("Size", "0.2");
    small.Prepare();
    small.ExpectIdentity();
    Squeeze one(1, 1);
    one.Prepare();
    one.ExpectIdentity();
}

TEST(HSqueeze, PrepareRaisesFlagA) {
    Squeeze s(4, 4);
    s.Prepare();
    EXPECT_EQ(s.fx.Context().MapFlagA, 1);
    EXPECT_EQ(s.fx.Context().MapFlagB, 0);
}

TEST(HSqueeze, SmallOddAndPortraitSizes) {
    const uint32_t sizes[][2] = {{1, 1},   {2, 2},   {3, 5},  {9, 7},
                                 {37, 23}, {23, 37}, {1, 40}, {40, 1}};
    for (const auto& [w, h] : sizes)
        for (const char* inverse : {"0", "1"})
            for (const char* pos : {"0.2,0.2", "0.8,0.5", "0.5,0.8"}) {
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " inverse " + inverse +
                             " position " + pos);
                Squeeze s(w, h);
                s.Set("Inverse", inverse);
                s.Set("Degree", "0.1");
                s.Set("Position", pos);
                s.Prepare();
                s.ExpectInside();
            }
}

TEST(HSqueeze, DegreeOrSizeOutOfRangeGivesTheIdentity) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const float bad : {0.0f, -0.02f, -inf, inf, nan})
        for (const size_t index : {size_t{0}, size_t{1}}) {
            if (index == 1 && bad == inf)
                continue;  // a lens over the whole frame
            SCOPED_TRACE("P" + std::to_string(index + 1) + " = " + std::to_string(bad));
            Squeeze s(33, 21);
            s.SetRawFloat(index, bad);
            s.Prepare();
            s.ExpectIdentity();
        }
}

TEST(HSqueeze, FramesAtCpuLevels3And8AreEqual) {
    const uint32_t w = 37, h = 23;
    const auto src = kzrtest::PatternFrame(w, h);
    std::vector<uint8_t> out[2];
    for (int i = 0; i < 2; ++i) {
        Squeeze s(w, h);
        s.Set("Degree", "0.1");
        s.fx.SetCpuLevel(i == 0 ? 3 : 8);
        s.Prepare();
        out[i].assign(src.size(), 0xEE);
        ASSERT_EQ(s.fx.Render(src.data(), out[i].data()), kzr::kOk);
        EXPECT_EQ(s.fx.OutstandingSurfaces(), 0);
    }
    EXPECT_EQ(out[0], out[1]);
    // The pixel at a lens centre samples itself exactly.
    const size_t centre = (size_t{11} * w + 18 - 11) * 4;
    EXPECT_EQ(std::vector<uint8_t>(&out[0][centre], &out[0][centre] + 4),
              std::vector<uint8_t>(&src[centre], &src[centre] + 4));
}

}  // namespace
