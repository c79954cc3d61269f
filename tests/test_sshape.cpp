// S-shape: the map's numbers, band limits, odd heights, bands of no height,
// the full-size band at the frame edge, bad parameters and the two render
// paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_Sshape";
constexpr size_t kDegree = 0, kSize = 1, kInverse = 2;

struct SShapeMap {
    SShapeMap(uint32_t w, uint32_t h) : w(w), h(h) {}
    uint32_t w, h;
    refhost::Instance fx{kzrtest::TheModule(), kzrtest::EffectIndex(kId)};

    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    const uint32_t* Map() {
        const uint32_t* p = nullptr;
        std::memcpy(&p, static_cast<uint8_t*>(fx.State()) + 0x10, sizeof p);
        return p;
    }
    // The value of row y; every entry of the row must hold it.
    uint32_t Row(uint32_t y) {
        const uint32_t* row = Map() + uint64_t{y} * w;
        for (uint32_t x = 1; x < w; ++x)
            EXPECT_EQ(row[x], row[0]) << "column " << x << " row " << y;
        return row[0];
    }
    double At(uint32_t y) { return Row(y) / 65536.0; }
    void SetFloat(size_t index, float v) { fx.WriteRaw(index, &v, 4); }
    void SetInverse(int32_t on) { fx.WriteRaw(kInverse, &on, 4); }
    void ExpectInFrame() {
        for (uint64_t i = 0; i < uint64_t{w} * h; ++i)
            ASSERT_LT(Map()[i] >> 16, h) << "entry " << i;
    }
    void ExpectIdentity(uint32_t from, uint32_t to) {
        for (uint32_t y = from; y <= to; ++y)
            ASSERT_EQ(Row(y), y << 16) << "row " << y;
    }
};

TEST(SShape, DefaultsOnHeight1080) {
    // m 540, q1 270, q3 810, R 216.
    SShapeMap m(5, 1080);
    m.Prepare();
    EXPECT_EQ(m.fx.Context().MapFlagB, 1);
    m.ExpectIdentity(0, 53);
    m.ExpectIdentity(487, 593);
    m.ExpectIdentity(1027, 1079);
    EXPECT_NEAR(m.At(54), 53.99998, 0.00002);
    EXPECT_LT(m.Row(54), 54u << 16);
    EXPECT_NEAR(m.At(55), 56.05, 0.01);
    EXPECT_NEAR(m.At(100), 133.67, 0.01);
    EXPECT_NEAR(m.At(269), 269.61, 0.01);
    EXPECT_EQ(m.Row(270), 270u << 16);
    EXPECT_NEAR(m.At(271), 270.39, 0.01);
    EXPECT_EQ(m.Row(486), 486u << 16);
    EXPECT_NEAR(m.At(700), 659.69, 0.01);
    EXPECT_NEAR(m.At(809), 807.44, 0.01);
    EXPECT_EQ(m.Row(810), 810u << 16);
    EXPECT_NEAR(m.At(811), 812.56, 0.01);
    EXPECT_NEAR(m.At(1000), 1012.71, 0.01);
    // The magnification about row 270 is about 2.6 (one destination row
    // covers 1 / 2.6 of a source row).
    EXPECT_NEAR(1.0 / (m.At(271) - m.At(270)), 2.57, 0.05);
}

TEST(SShape, InverseSwapsTheBands) {
    SShapeMap m(3, 1080);
    m.SetInverse(1);
    m.Prepare();
    EXPECT_NEAR(m.At(100), 78.54, 0.01);
    EXPECT_NEAR(m.At(269), 267.44, 0.01);
    EXPECT_NEAR(m.At(271), 272.56, 0.01);
    EXPECT_NEAR(m.At(700), 742.88, 0.01);
    EXPECT_NEAR(m.At(809), 809.61, 0.01);
    EXPECT_NEAR(m.At(811), 810.39, 0.01);
    m.ExpectIdentity(0, 53);
    m.ExpectIdentity(487, 593);
    m.ExpectIdentity(1027, 1079);
}

TEST(SShape, WidthPlaysNoPart) {
    SShapeMap narrow(1, 1080), wide(1920, 1080);
    narrow.Prepare();
    wide.Prepare();
    for (uint32_t y = 0; y < 1080; ++y)
        ASSERT_EQ(narrow.Row(y), wide.Row(y)) << y;
}

TEST(SShape, OddHeightCentres) {
    // h 1079: m 539, q1 269, q3 809, R 215.
    SShapeMap m(4, 1079);
    m.Prepare();
    EXPECT_EQ(m.Row(269), 269u << 16);
    EXPECT_NE(m.Row(270), 270u << 16);
    EXPECT_EQ(m.Row(809), 809u << 16);
    EXPECT_NE(m.Row(810), 810u << 16);
    m.ExpectIdentity(0, 53);
    EXPECT_NE(m.Row(55), 55u << 16);
    m.ExpectIdentity(485, 593);
    EXPECT_NE(m.Row(595), 595u << 16);
    m.ExpectInFrame();
}

TEST(SShape, BandsOfNoHeightMapToThemselves) {
    // R = trunc(h * S / 4) = 0: heights 1 to 4 at the default size, and
    // heights below 20 at size 0.2.
    for (uint32_t h : {1u, 2u, 3u, 4u}) {
        SShapeMap m(3, h);
        m.Prepare();
        m.ExpectIdentity(0, h - 1);
    }
    for (uint32_t h : {5u, 12u, 19u}) {
        SShapeMap m(2, h);
        m.SetFloat(kSize, 0.2f);
        m.Prepare();
        m.ExpectIdentity(0, h - 1);
    }
    SShapeMap m(2, 20);
    m.SetFloat(kSize, 0.2f);
    m.Prepare();
    m.ExpectInFrame();
}

TEST(SShape, FullSizeBandStaysInsideTheFrame) {
    // With S = 1 the upper band reaches row 0; its computed position can
    // fall a few 65536ths of a row above the frame (at h 24 with g 0.001 it
    // is about -0.00004) and is held at row 0.
    {
        SShapeMap m(3, 24);
        m.SetFloat(kDegree, 0.001f);
        m.SetFloat(kSize, 1.0f);
        m.Prepare();
        EXPECT_EQ(m.Row(0), 0u);
    }
    for (float g : {0.001f, 0.02f, 0.1f}) {
        for (int32_t inverse : {0, 1}) {
            for (uint32_t h = 4; h <= 400; ++h) {
                SCOPED_TRACE("g " + std::to_string(g) + " h " + std::to_string(h));
                SShapeMap m(1, h);
                m.SetFloat(kDegree, g);
                m.SetFloat(kSize, 1.0f);
                m.SetInverse(inverse);
                m.Prepare();
                m.ExpectInFrame();
                // Held at the edge, never moved away from it.
                ASSERT_LT(m.Row(0), 1u << 16);
            }
        }
    }
}

TEST(SShape, UnusableParametersLeaveThePictureAlone) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float g : {0.0f, -0.02f, 1.0e-45f, nan, inf, -inf}) {
        SShapeMap m(4, 200);
        m.SetFloat(kDegree, g);
        m.Prepare();
        SCOPED_TRACE(g);
        m.ExpectIdentity(0, 199);
    }
    for (float s : {0.0f, -1.0f, nan, -inf}) {
        SShapeMap m(4, 200);
        m.SetFloat(kSize, s);
        m.Prepare();
        SCOPED_TRACE(s);
        m.ExpectIdentity(0, 199);
    }
    // Bands far taller than the frame, extreme curvatures: inside the frame.
    for (int32_t inverse : {0, 1}) {
        for (auto [g, s] :
             {std::pair{0.02f, inf}, std::pair{0.02f, 1.0e30f}, std::pair{3.0e38f, 1.0f},
              std::pair{1.0e-30f, 1.0f}, std::pair{1.0e-30f, inf}, std::pair{3.0e38f, 50.0f}}) {
            SShapeMap m(4, 200);
            m.SetFloat(kDegree, g);
            m.SetFloat(kSize, s);
            m.SetInverse(inverse);
            m.Prepare();
            SCOPED_TRACE(std::to_string(g) + " " + std::to_string(s));
            m.ExpectInFrame();
        }
    }
}

TEST(SShape, TinyOddAndPortraitSizes) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {2, 2},   {3, 5},   {5, 3},  {9, 7},
                                                   {7, 9}, {37, 23}, {23, 37}, {1, 40}, {40, 1}};
    for (auto [w, h] : sizes) {
        for (int32_t inverse : {0, 1}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            SShapeMap m(w, h);
            m.SetInverse(inverse);
            m.Prepare();
            m.ExpectInFrame();
            // Both band centres map to themselves.
            EXPECT_EQ(m.Row(h / 4), (h / 4) << 16);
            EXPECT_EQ(m.Row(3 * h / 4), (3 * h / 4) << 16);
        }
    }
}

TEST(SShape, WholeFrameRemapGivesTheSamePictureAsSampling) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},   {2, 2},   {3, 5},     {9, 7},
                                                   {37, 23}, {23, 37}, {641, 479}, {360, 640}};
    for (auto [w, h] : sizes) {
        for (int32_t inverse : {0, 1}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            SShapeMap m(w, h);
            m.SetInverse(inverse);
            m.Prepare();
            const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
            std::vector<uint8_t> sampled(src.size(), 0xEE), remapped(src.size(), 0x11);
            m.fx.SetCpuLevel(3);
            ASSERT_EQ(m.fx.Render(src.data(), sampled.data()), kzr::kOk);
            m.fx.SetCpuLevel(8);
            ASSERT_EQ(m.fx.Render(src.data(), remapped.data()), kzr::kOk);
            EXPECT_EQ(sampled, remapped);
            if (h >= 23) {
                EXPECT_NE(sampled, src);
            }
            EXPECT_EQ(m.fx.OutstandingSurfaces(), 0);
        }
    }
}

}  // namespace
