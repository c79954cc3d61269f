// Vertical stretch: the worked examples of its map, sizes at the edges,
// parameters outside their ranges and the two render paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/test_util.h"

namespace {

struct Stretch {
    explicit Stretch(uint32_t h, uint32_t w = 3)
        : fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_VStretch")), w(w), h(h) {}

    void Set(const char* key, const char* value) { fx.SetParam(key, value); }
    void SetRawFloat(size_t index, float v) { fx.WriteRaw(index, &v, 4); }
    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    const uint32_t* Map() { return static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x10)); }
    uint32_t Entry(uint32_t y, uint32_t x = 0) { return Map()[size_t{y} * w + x]; }
    double Row(uint32_t y) { return Entry(y) / 65536.0; }

    // Every entry of a row holds the same source row, inside the frame.
    void ExpectRowsUniformAndInside() {
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(Entry(y, x), Entry(y)) << "row " << y << " column " << x;
            ASSERT_LT(Entry(y) >> 16, h) << "row " << y;
        }
    }
    void ExpectIdentity() {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                ASSERT_EQ(Entry(y, x), y << 16) << "row " << y << " column " << x;
    }

    refhost::Instance fx;
    uint32_t w, h;
};

TEST(VStretch, DefaultsOn1080Rows) {
    Stretch s(1080, 1920);
    s.Prepare();
    s.ExpectRowsUniformAndInside();
    // c = 540, R = 432: rows 0 to 108 and 972 to 1079 are outside the band.
    for (uint32_t y = 0; y <= 108; ++y)
        ASSERT_EQ(s.Entry(y), y << 16) << y;
    for (uint32_t y = 972; y < 1080; ++y)
        ASSERT_EQ(s.Entry(y), y << 16) << y;
    EXPECT_EQ(s.Entry(540), 540u << 16);
    EXPECT_NEAR(s.Row(541), 540.14, 0.005);
    EXPECT_NEAR(s.Row(539), 539.86, 0.005);
    EXPECT_NEAR(s.Row(109), 111.25, 0.005);
    EXPECT_NEAR(s.Row(971), 968.75, 0.005);
    // A magnification of about 6.9 at the centre; rows never decrease.
    EXPECT_NEAR(1.0 / (s.Row(541) - s.Row(540)), 6.9, 0.05);
    for (uint32_t y = 1; y < 1080; ++y)
        ASSERT_LE(s.Entry(y - 1), s.Entry(y)) << y;
}

TEST(VStretch, InverseOn1080Rows) {
    Stretch s(1080);
    s.Set("Inverse", "1");
    s.Prepare();
    EXPECT_NEAR(s.Row(541), 546.76, 0.005);
    EXPECT_NEAR(s.Row(539), 533.24, 0.005);
    EXPECT_NEAR(s.Row(109), 108.31, 0.005);
}

TEST(VStretch, InverseBandPastTheTopIsClamped) {
    // c = 216, D = 864 (the farther edge is the bottom), R = 691.
    Stretch s(1080);
    s.Set("Inverse", "1");
    s.Set("YOffset", "0.2");
    s.Prepare();
    for (uint32_t y = 0; y <= 174; ++y)
        ASSERT_EQ(s.Entry(y), 0u) << y;
    EXPECT_GT(s.Entry(175), 0u);
    EXPECT_NE(s.Entry(906), 906u << 16);
    for (uint32_t y = 907; y < 1080; ++y)
        ASSERT_EQ(s.Entry(y), y << 16) << y;
}

TEST(VStretch, MiddleRowOfAnOddHeightTakesTheNearerEdge) {
    // Height 5, c = 2: the distance taken is 2, so R = trunc(2 * 0.8) = 1 and
    // no row lies inside the band.
    Stretch s(5, 4);
    s.Prepare();
    s.ExpectIdentity();
}

TEST(VStretch, PositionsBetweenTheLastRowAndTheHeightKeepTheirFraction) {
    Stretch s(27);
    s.Set("Degree", "0.1");
    s.Set("Size", "1");
    s.Set("YOffset", "0.65");
    s.Set("Inverse", "1");
    s.Prepare();
    EXPECT_NEAR(s.Row(24), 26.08, 0.005);
    EXPECT_EQ(s.Entry(25), 26u << 16);
    EXPECT_EQ(s.Entry(26), 26u << 16);
    for (uint32_t y = 1; y <= 24; ++y)
        ASSERT_LE(s.Entry(y - 1), s.Entry(y)) << y;
}

TEST(VStretch, PrepareRaisesFlagB) {
    Stretch s(4);
    s.Prepare();
    EXPECT_EQ(s.fx.Context().MapFlagB, 1);
    EXPECT_EQ(s.fx.Context().MapFlagA, 0);
}

TEST(VStretch, SmallOddAndPortraitSizes) {
    const uint32_t sizes[][2] = {{1, 1},   {2, 2},   {3, 5},  {9, 7},
                                 {37, 23}, {23, 37}, {1, 40}, {40, 1}};
    for (const auto& [w, h] : sizes) {
        for (const char* inverse : {"0", "1"}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " inverse " + inverse);
            Stretch s(h, w);
            s.Set("Inverse", inverse);
            s.Set("Size", "1");
            s.Prepare();
            s.ExpectRowsUniformAndInside();
        }
    }
}

// A curvature without a curve, or a band of no rows, leaves the picture
// unchanged.  (An infinite size is a band over the whole frame.)
TEST(VStretch, DegreeOrSizeOutOfRangeGivesTheIdentity) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const float bad : {0.0f, -0.05f, -inf, inf, nan}) {
        for (const size_t index : {size_t{0}, size_t{1}}) {
            if (index == 1 && bad == inf)
                continue;
            SCOPED_TRACE("P" + std::to_string(index + 1) + " = " + std::to_string(bad));
            Stretch s(41, 5);
            s.SetRawFloat(index, bad);
            s.Prepare();
            s.ExpectIdentity();
        }
    }
}

TEST(VStretch, RowRemapEqualsThePerPixelSampler) {
    for (const char* inverse : {"0", "1"}) {
        for (const auto& [w, h] : {std::pair{37u, 23u}, std::pair{23u, 37u}, std::pair{9u, 7u}}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " inverse " + inverse);
            const auto src = kzrtest::PatternFrame(w, h);
            std::vector<uint8_t> out[2];
            for (int i = 0; i < 2; ++i) {
                Stretch s(h, w);
                s.Set("Inverse", inverse);
                s.Set("Degree", "0.1");
                s.fx.SetCpuLevel(i == 0 ? 3 : 8);
                s.Prepare();
                out[i].assign(src.size(), 0xEE);
                ASSERT_EQ(s.fx.Render(src.data(), out[i].data()), kzr::kOk);
                EXPECT_EQ(s.fx.OutstandingSurfaces(), 0);
            }
            EXPECT_EQ(out[0], out[1]);
            EXPECT_NE(out[0], src);
        }
    }
}

}  // namespace
