// Tri-stretch: the map's numbers, its band limits per half, degenerate
// parameters and frame sizes, and the two render paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_TriStretch";
constexpr size_t kDegree = 0, kSize = 1, kInverse = 2, kPosition = 3;

struct TriStretchMap {
    explicit TriStretchMap(uint32_t w, uint32_t h) : w(w), h(h) {}
    uint32_t w, h;
    refhost::Instance fx{kzrtest::TheModule(), kzrtest::EffectIndex(kId)};

    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    const uint32_t* Map() {
        const uint32_t* p = nullptr;
        std::memcpy(&p, static_cast<uint8_t*>(fx.State()) + 0x10, sizeof p);
        return p;
    }
    uint32_t Entry(uint32_t x, uint32_t y) { return Map()[uint64_t{y} * w + x]; }
    double At(uint32_t x, uint32_t y) { return Entry(x, y) / 65536.0; }
    void SetFloat(size_t index, float v) { fx.WriteRaw(index, &v, 4); }
    void SetPoint(float x, float y) {
        const float v[2] = {x, y};
        fx.WriteRaw(kPosition, v, 8);
    }
    // Every entry's integer part names a column of the frame.
    void ExpectInFrame() {
        for (uint64_t i = 0; i < uint64_t{w} * h; ++i)
            ASSERT_LT(Map()[i] >> 16, w) << "entry " << i;
    }
    void ExpectRowIdentity(uint32_t y) {
        for (uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(Entry(x, y), x << 16) << "column " << x << " row " << y;
    }
    void ExpectIdentity() {
        for (uint32_t y = 0; y < h; ++y)
            ExpectRowIdentity(y);
    }
};

TEST(TriStretch, DefaultsOnFullHd) {
    TriStretchMap m(1920, 1080);
    m.Prepare();
    EXPECT_EQ(m.fx.Context().MapFlagB, 1);
    // cx 960, cy 540, R 432 in both halves: the band is columns 529 to 1391.
    for (uint32_t y = 0; y < 1080; ++y) {
        for (uint32_t x = 0; x <= 528; ++x)
            ASSERT_EQ(m.Entry(x, y), x << 16) << x << "," << y;
        for (uint32_t x = 1392; x < 1920; ++x)
            ASSERT_EQ(m.Entry(x, y), x << 16) << x << "," << y;
    }
    EXPECT_NE(m.Entry(529, 0), 529u << 16);
    EXPECT_NE(m.Entry(1391, 0), 1391u << 16);
    m.ExpectRowIdentity(540);

    // Row 0, full curvature, magnified about the centre column.
    EXPECT_NEAR(m.At(961, 0), 960.263, 0.001);
    EXPECT_NEAR(m.At(700, 0), 814.46, 0.01);
    EXPECT_NEAR(m.At(533, 0), 540.48, 0.01);
    EXPECT_NEAR(m.At(532, 0), 538.01, 0.01);
    // Row 1079, squeezed towards the centre column.
    EXPECT_NEAR(m.At(961, 1079), 963.767, 0.001);
    EXPECT_NEAR(m.At(700, 1079), 612.23, 0.01);
    // Row 539 has almost no curvature.
    for (uint32_t x = 0; x < 1920; ++x)
        ASSERT_NEAR(m.At(x, 539), x, 0.002) << x;
    m.ExpectInFrame();
}

TEST(TriStretch, InverseSwapsTheHalves) {
    TriStretchMap m(1920, 1080);
    m.fx.SetParam("P3", "1");
    m.Prepare();
    EXPECT_NEAR(m.At(961, 0), 963.775, 0.001);
    EXPECT_NEAR(m.At(961, 1079), 960.264, 0.001);
    m.ExpectRowIdentity(540);
}

TEST(TriStretch, PortraitBandWiderThanTheFrame) {
    // cx 540, cy 960, R 768: every column lies inside the band.
    TriStretchMap m(1080, 1920);
    m.Prepare();
    EXPECT_NEAR(m.At(0, 0), 233.21, 0.01);
    for (uint32_t x = 0; x <= 233; ++x)
        ASSERT_EQ(m.Entry(x, 1919), 0u) << x;
    EXPECT_NE(m.Entry(234, 1919), 0u);
    for (uint32_t x = 847; x < 1080; ++x)
        ASSERT_EQ(m.Entry(x, 1919), 1079u << 16) << x;
    EXPECT_LT(m.Entry(846, 1919), 1080u << 16);
    EXPECT_NE(m.Entry(846, 1919), 1079u << 16);
    EXPECT_NEAR(m.At(300, 1919), 57.09, 0.01);
    m.ExpectRowIdentity(960);
    m.ExpectInFrame();
}

TEST(TriStretch, EachHalfHasItsOwnBandWidth) {
    // Position (0.2, 0.2): cx 384, cy 216; R 172 above, 691 below.
    TriStretchMap m(1920, 1080);
    m.fx.SetParam("P4", "0.2,0.2");
    m.Prepare();
    for (uint32_t y : {0u, 50u}) {
        EXPECT_EQ(m.Entry(212, y), 212u << 16);
        EXPECT_NE(m.Entry(213, y), 213u << 16);
        EXPECT_NE(m.Entry(555, y), 555u << 16);
        EXPECT_EQ(m.Entry(556, y), 556u << 16);
    }
    for (uint32_t y : {800u, 1079u}) {
        EXPECT_NE(m.Entry(1074, y), 1074u << 16) << y;
        EXPECT_EQ(m.Entry(1075, y), 1075u << 16) << y;
    }
    m.ExpectRowIdentity(216);
    m.ExpectInFrame();
}

TEST(TriStretch, HalfWithoutBandMapsToItself) {
    // cy 1: the upper half is one row high, so R = trunc(1 * 0.9) = 0 there;
    // the lower half (19 rows, R 17) is warped.
    TriStretchMap m(40, 20);
    m.SetFloat(kSize, 0.9f);
    m.SetPoint(0.5f, 0.05f);
    m.Prepare();
    m.ExpectRowIdentity(0);
    m.ExpectRowIdentity(1);
    EXPECT_NE(m.Entry(15, 19), 15u << 16);
    m.ExpectInFrame();
}

TEST(TriStretch, InverseRowsTooWeakToCurveStayInPlace) {
    // Inverted, the log argument R G + 1 is rounded to float.  Next to the
    // position row of a tall frame, R G is 2000 * 1e-11: the argument rounds
    // to exactly 1, the curve is flat and the rows keep their pixels.
    TriStretchMap m(16, 20000);
    m.SetFloat(kDegree, 0.001f);
    m.SetFloat(kSize, 0.2f);
    m.fx.SetParam("P3", "1");
    m.Prepare();
    m.ExpectRowIdentity(9999);
    m.ExpectRowIdentity(10000);
    m.ExpectRowIdentity(10001);
    m.ExpectInFrame();
}

TEST(TriStretch, UnusableDegreeOrSizeLeavesThePictureAlone) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float g : {0.0f, -0.02f, 1.0e-45f, nan, inf, -inf}) {
        TriStretchMap m(64, 48);
        m.SetFloat(kDegree, g);
        m.Prepare();
        SCOPED_TRACE(g);
        m.ExpectIdentity();
    }
    for (float s : {0.0f, -0.5f, nan, -inf}) {
        TriStretchMap m(64, 48);
        m.SetFloat(kSize, s);
        m.Prepare();
        SCOPED_TRACE(s);
        m.ExpectIdentity();
    }
    // No curve to skip here: the map just has to stay inside the frame.
    for (int inverse : {0, 1}) {
        TriStretchMap big(64, 48);
        big.SetFloat(kSize, inf);
        big.fx.WriteRaw(kInverse, &inverse, 4);
        big.Prepare();
        big.ExpectInFrame();
        TriStretchMap strong(64, 48);
        strong.SetFloat(kDegree, 3.0e38f);
        strong.SetFloat(kSize, 1.0e30f);
        strong.fx.WriteRaw(kInverse, &inverse, 4);
        strong.Prepare();
        strong.ExpectInFrame();
    }
}

TEST(TriStretch, TinyOddAndPortraitSizes) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {2, 2},   {3, 5},   {5, 3},  {9, 7},
                                                   {7, 9}, {37, 23}, {23, 37}, {1, 40}, {40, 1}};
    for (auto [w, h] : sizes) {
        for (int inverse : {0, 1}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            TriStretchMap m(w, h);
            m.fx.WriteRaw(kInverse, &inverse, 4);
            m.Prepare();
            m.ExpectInFrame();
            // The row through the position point is never moved.
            m.ExpectRowIdentity(h / 2);
        }
    }
    // Frames of one and two pixels have no band at all.
    for (uint32_t side : {1u, 2u}) {
        TriStretchMap m(side, side);
        m.Prepare();
        m.ExpectIdentity();
    }
}

TEST(TriStretch, WholeFrameRemapGivesTheSamePictureAsSampling) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},   {2, 2},   {3, 5},     {9, 7},
                                                   {37, 23}, {23, 37}, {641, 479}, {360, 640}};
    for (auto [w, h] : sizes) {
        for (int inverse : {0, 1}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            TriStretchMap m(w, h);
            m.fx.WriteRaw(kInverse, &inverse, 4);
            m.Prepare();
            const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
            std::vector<uint8_t> sampled(src.size(), 0xEE), remapped(src.size(), 0x11);
            m.fx.SetCpuLevel(3);
            ASSERT_EQ(m.fx.Render(src.data(), sampled.data()), kzr::kOk);
            m.fx.SetCpuLevel(8);
            ASSERT_EQ(m.fx.Render(src.data(), remapped.data()), kzr::kOk);
            EXPECT_EQ(sampled, remapped);
            if (w >= 37) {
                EXPECT_NE(sampled, src);
            }
            EXPECT_EQ(m.fx.OutstandingSurfaces(), 0);
        }
    }
}

}  // namespace
