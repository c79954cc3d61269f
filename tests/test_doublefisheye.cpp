// Double fish-eye: the worked examples of its maps, the pass-through outside
// the lenses, the map-built flag, sizes at the edges and parameters outside
// their ranges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/test_util.h"

namespace {

struct FishEye {
    FishEye(uint32_t w, uint32_t h)
        : fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_DoubleFishEye")), w(w), h(h) {}

    void Set(const char* key, const char* value) { fx.SetParam(key, value); }
    void SetRawFloat(size_t index, float v) { fx.WriteRaw(index, &v, 4); }
    void SetRawPoint(float x, float y) {
        const float v[2] = {x, y};
        fx.WriteRaw(3, v, 8);
    }
    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    const uint32_t* MapA() { return static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x10)); }
    const uint32_t* MapB() { return static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x18)); }
    uint32_t& Built() {
        return *reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(fx.State()) + 0x20);
    }
    uint32_t EntryX(uint32_t x, uint32_t y) { return MapA()[size_t{y} * w + x]; }
    uint32_t EntryY(uint32_t x, uint32_t y) { return MapB()[size_t{y} * w + x]; }
    double Column(uint32_t x, uint32_t y) { return EntryX(x, y) / 65536.0; }
    double Row(uint32_t x, uint32_t y) { return EntryY(x, y) / 65536.0; }
    bool Unmoved(uint32_t x, uint32_t y) {
        return EntryX(x, y) == x << 16 && EntryY(x, y) == y << 16;
    }
    bool Outside(uint32_t x, uint32_t y) { return EntryX(x, y) == 0 && EntryY(x, y) == 0; }

    void ExpectInside() {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                ASSERT_LT(EntryX(x, y) >> 16, w) << x << "," << y;
                ASSERT_LT(EntryY(x, y) >> 16, h) << x << "," << y;
            }
    }

    std::vector<uint8_t> Render(const std::vector<uint8_t>& src, uint8_t fill = 0xEE) {
        std::vector<uint8_t> out(src.size(), fill);
        EXPECT_EQ(fx.Render(src.data(), out.data()), kzr::kOk);
        EXPECT_EQ(fx.OutstandingSurfaces(), 0);
        return out;
    }

    refhost::Instance fx;
    uint32_t w, h;
};

bool SamePixel(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t i) {
    return std::memcmp(&a[4 * i], &b[4 * i], 4) == 0;
}

TEST(DoubleFishEye, DefaultsOn1920x1080) {
    // r = ri = 540: lens centres (960, 0) and (960, 1080), touching at (960, 540).
    FishEye s(1920, 1080);
    s.Prepare();
    s.ExpectInside();
    EXPECT_TRUE(s.Unmoved(960, 0));
    EXPECT_EQ(s.EntryX(960, 1), 960u << 16);
    EXPECT_NEAR(s.Row(960, 1), 0.229, 0.0005);
    EXPECT_NEAR(s.Column(961, 0), 960.229, 0.0005);
    EXPECT_NEAR(s.Row(960, 270), 121.76, 0.005);
    EXPECT_NEAR(s.Row(960, 539), 537.31, 0.005);
    EXPECT_NEAR(s.Row(960, 540), 540.0001, 0.00005);  // the upper lens' rim
    EXPECT_NEAR(s.Row(960, 541), 542.69, 0.005);
    EXPECT_NEAR(s.Row(960, 810), 958.24, 0.005);
    // 1079.77 clamped by the lower lens to the last row itself.
    EXPECT_EQ(s.EntryY(960, 1079), 1079u << 16);
    // About 4.4 times magnified at each lens centre.
    EXPECT_NEAR(1.0 / s.Row(960, 1), 4.4, 0.05);
    EXPECT_TRUE(s.Outside(100, 540));
    EXPECT_TRUE(s.Outside(1500, 540));
}

TEST(DoubleFishEye, InverseOn1920x1080) {
    FishEye s(1920, 1080);
    s.Set("Inverse", "1");
    s.Prepare();
    s.ExpectInside();
    EXPECT_NEAR(s.Row(960, 1), 4.333, 0.0005);
    EXPECT_NEAR(s.Row(960, 270), 406.14, 0.005);
    EXPECT_NEAR(s.Row(960, 541), 540.37, 0.005);
    EXPECT_NEAR(s.Row(960, 1079), 1075.67, 0.005);
}

TEST(DoubleFishEye, SmallerLensesStrongerCurve) {
    // S 1, d 0.1: r = 270, centres (960, 270) and (960, 810).
    FishEye s(1920, 1080);
    s.Set("Size", "1");
    s.Set("Degree", "0.1");
    s.Prepare();
    EXPECT_TRUE(s.Unmoved(960, 270));
    EXPECT_TRUE(s.Unmoved(960, 810));
    EXPECT_NEAR(s.Column(961, 270), 960.124, 0.0005);
    EXPECT_NEAR(1.0 / (s.Column(961, 270) - 960.0), 8.0, 0.1);
    EXPECT_TRUE(s.Outside(100, 540));
    EXPECT_TRUE(s.Outside(1500, 270));
}

TEST(DoubleFishEye, LowerLensBelowTheFrameSmearsTheLastRow) {
    // cy = 864, the lower centre is row 1404.
    FishEye s(1920, 1080);
    s.Set("Position", "0.5,0.8");
    s.Prepare();
    s.ExpectInside();
    for (uint32_t y = 964; y < 1080; ++y)
        ASSERT_EQ(s.EntryY(960, y), 1079u << 16) << y;
}

TEST(DoubleFishEye, RadiusWithAFraction) {
    // S 1.23: r ~ 332.1, ri = 332, centres (960, 208) and (960, 872).
    FishEye s(1920, 1080);
    s.Set("Size", "1.23");
    s.Prepare();
    EXPECT_TRUE(s.Unmoved(960, 208));
    EXPECT_TRUE(s.Unmoved(960, 872));
    EXPECT_NEAR(s.Row(960, 207), 207.69, 0.005);
    EXPECT_NEAR(s.Row(960, 209), 208.31, 0.005);
    EXPECT_NEAR(s.Row(960, 540), 539.87, 0.005);  // upper lens, distance 332
}

TEST(DoubleFishEye, SinglePixelMapsToItself) {
    FishEye s(1, 1);
    s.Prepare();
    EXPECT_TRUE(s.Unmoved(0, 0));
    const auto src = kzrtest::PatternFrame(1, 1);
    EXPECT_EQ(s.Render(src), src);
}

TEST(DoubleFishEye, OnlyLensPixelsAreResampled) {
    const uint32_t w = 64, h = 48;
    FishEye s(w, h);
    s.Set("Size", "1.5");  // r = 18, ri = 18
    s.Set("Degree", "0.1");
    s.Prepare();
    const auto src = kzrtest::PatternFrame(w, h);
    const auto out = s.Render(src);
    const int cx = 32, cy = 24, ri = 18;
    int changed = 0;
    for (int y = 0; y < int(h); ++y)
        for (int x = 0; x < int(w); ++x) {
            const size_t i = size_t(y) * w + x;
            const int qU = (x - cx) * (x - cx) + (y - cy + ri) * (y - cy + ri);
            const int qL = (x - cx) * (x - cx) + (y - cy - ri) * (y - cy - ri);
            if (qU > ri * ri && qL > ri * ri)
                ASSERT_TRUE(SamePixel(out, src, i)) << x << "," << y;
            else
                changed += !SamePixel(out, src, i);
        }
    EXPECT_GT(changed, 100);
    // The lens centres sample themselves.
    EXPECT_TRUE(SamePixel(out, src, size_t(cy - ri) * w + cx));
    EXPECT_TRUE(SamePixel(out, src, size_t(cy + ri) * w + cx));
}

TEST(DoubleFishEye, MapsAreRebuiltWhileTheBuiltFlagIsZero) {
    const uint32_t w = 40, h = 30;
    FishEye s(w, h);
    s.Prepare();
    EXPECT_EQ(s.Built(), 1u);
    EXPECT_EQ(s.fx.Context().MapFlagA, 1);
    const std::vector<uint32_t> before(s.MapB(), s.MapB() + w * h);
    const auto src = kzrtest::PatternFrame(w, h);

    // A new value the host has not flagged: the stored maps stay.
    const float degree = 0.1f;
    s.fx.WriteRaw(0, &degree, 4);
    s.fx.ClearChanged();
    s.Render(src);
    EXPECT_EQ(std::vector<uint32_t>(s.MapB(), s.MapB() + w * h), before);

    // With the built flag cleared the next frame rebuilds them.
    s.Built() = 0;
    s.Render(src);
    EXPECT_EQ(s.Built(), 1u);
    EXPECT_NE(std::vector<uint32_t>(s.MapB(), s.MapB() + w * h), before);
}

TEST(DoubleFishEye, SmallOddAndPortraitSizes) {
    const uint32_t sizes[][2] = {{1, 1},   {2, 2},   {3, 5},  {9, 7},
                                 {37, 23}, {23, 37}, {1, 40}, {40, 1}};
    for (const auto& [w, h] : sizes)
        for (const char* inverse : {"0", "1"})
            for (const char* size : {"0.5", "2", "3.5"}) {
                SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " inverse " + inverse +
                             " size " + size);
                FishEye s(w, h);
                s.Set("Inverse", inverse);
                s.Set("Size", size);
                s.Set("Degree", "0.1");
                s.Prepare();
                s.ExpectInside();
                const auto src = kzrtest::PatternFrame(w, h);
                // Every pixel is written, whatever the destination held.
                EXPECT_EQ(s.Render(src, 0x00), s.Render(src, 0xFF));
            }
}

// Strength or radius outside (0, inf): every lens pixel keeps its own
// position, so the frame comes out unchanged.
TEST(DoubleFishEye, DegreeOrSizeOutOfRangeGivesTheIdentity) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const uint32_t w = 33, h = 21;
    const auto src = kzrtest::PatternFrame(w, h);
    for (const float bad : {0.0f, -0.02f, -inf, inf, nan})
        for (const size_t index : {size_t{0}, size_t{2}}) {
            SCOPED_TRACE("P" + std::to_string(index + 1) + " = " + std::to_string(bad));
            FishEye s(w, h);
            s.SetRawFloat(index, bad);
            s.Prepare();
            s.ExpectInside();
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x)
                    ASSERT_TRUE(s.Outside(x, y) || s.Unmoved(x, y)) << x << "," << y;
            EXPECT_EQ(s.Render(src), src);
        }
}

// Rounding to the nearest entry can carry a position just below the width
// up to the width itself; such an entry stays inside the frame.
TEST(DoubleFishEye, RoundingNeverLeavesTheFrame) {
    FishEye s(12, 12);
    s.SetRawFloat(0, 0x1.3e5cfp-2f);
    s.SetRawFloat(2, 0x1.35f3eap+4f);
    s.SetRawPoint(0x1.74c5a8p+0f, 0x1.196f8ep+2f);
    s.Prepare();
    s.ExpectInside();
}

TEST(DoubleFishEye, FramesAtCpuLevels3And8AreEqual) {
    const uint32_t w = 37, h = 23;
    const auto src = kzrtest::PatternFrame(w, h);
    std::vector<uint8_t> out[2];
    for (int i = 0; i < 2; ++i) {
        FishEye s(w, h);
        s.Set("Degree", "0.1");
        s.fx.SetCpuLevel(i == 0 ? 3 : 8);
        s.Prepare();
        out[i] = s.Render(src);
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_NE(out[0], src);
}

}  // namespace
