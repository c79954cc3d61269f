// Square: the map's numbers, the shape of both maps on many frame sizes, bad
// parameters, the map-built flag and the render at both CPU levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_Square";
constexpr size_t kDegree = 0, kPosition = 1;

struct SquareMaps {
    SquareMaps(uint32_t w, uint32_t h) : w(w), h(h) {}
    uint32_t w, h;
    refhost::Instance fx{kzrtest::TheModule(), kzrtest::EffectIndex(kId)};

    void Prepare() { ASSERT_EQ(fx.Prepare(w, h), kzr::kOk); }
    uint8_t* State() { return static_cast<uint8_t*>(fx.State()); }
    const uint32_t* Map(size_t offset) {
        const uint32_t* p = nullptr;
        std::memcpy(&p, State() + offset, sizeof p);
        return p;
    }
    const uint32_t* Xs() { return Map(0x10); }
    const uint32_t* Ys() { return Map(0x18); }
    uint32_t Built() {
        uint32_t v = 0;
        std::memcpy(&v, State() + 0x20, 4);
        return v;
    }
    void SetBuilt(uint32_t v) { std::memcpy(State() + 0x20, &v, 4); }
    double Column(uint32_t x) { return Xs()[x] / 65536.0; }
    double Row(uint32_t y) { return Ys()[uint64_t{y} * w] / 65536.0; }
    void SetDegree(float d) { fx.WriteRaw(kDegree, &d, 4); }
    void SetCentre(float x, float y) {
        const float v[2] = {x, y};
        fx.WriteRaw(kPosition, v, 8);
    }

    // Column entries repeat in every row and row entries along every row;
    // both lie in the frame and never decrease along their axis.
    void ExpectShape() {
        const uint32_t* xs = Xs();
        const uint32_t* ys = Ys();
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const uint64_t i = uint64_t{y} * w + x;
                ASSERT_EQ(xs[i], xs[x]) << x << "," << y;
                ASSERT_EQ(ys[i], ys[uint64_t{y} * w]) << x << "," << y;
            }
        }
        for (uint32_t x = 0; x < w; ++x) {
            ASSERT_LT(xs[x] >> 16, w) << x;
            if (x > 0) {
                ASSERT_LE(xs[x - 1], xs[x]) << x;
            }
        }
        for (uint32_t y = 0; y < h; ++y) {
            ASSERT_LT(ys[uint64_t{y} * w] >> 16, h) << y;
            if (y > 0) {
                ASSERT_LE(ys[uint64_t{y - 1} * w], ys[uint64_t{y} * w]) << y;
            }
        }
    }
    void ExpectIdentity() {
        for (uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(Xs()[x], x << 16) << x;
        for (uint32_t y = 0; y < h; ++y)
            ASSERT_EQ(Ys()[uint64_t{y} * w], y << 16) << y;
    }
};

TEST(Square, DefaultsOnFullHd) {
    // cx 960, cy 540; reaches 960 and 540.
    SquareMaps m(1920, 1080);
    m.Prepare();
    EXPECT_EQ(m.fx.Context().MapFlagA, 1);
    EXPECT_EQ(m.Built(), 1u);
    EXPECT_EQ(m.Xs()[960], 960u << 16);
    EXPECT_EQ(m.Ys()[540 * 1920], 540u << 16);
    EXPECT_NEAR(m.Column(961), 960.157, 0.001);
    EXPECT_NEAR(m.Column(959), 959.843, 0.001);
    EXPECT_NEAR(1.0 / (m.Column(961) - m.Column(960)), 6.4, 0.05);
    EXPECT_NEAR(m.Column(480), 785.28, 0.01);
    EXPECT_NEAR(m.Column(1440), 1134.72, 0.01);
    EXPECT_EQ(m.Xs()[0], 8u);
    EXPECT_NEAR(m.Column(1919), 1916.84, 0.01);
    EXPECT_EQ(m.Ys()[0], 0u);
    EXPECT_NEAR(m.Row(1079), 1077.31, 0.01);
    m.ExpectShape();
}

TEST(Square, StrongerDegreeMagnifiesMore) {
    SquareMaps m(1920, 1080);
    m.fx.SetParam("P1", "0.1");
    m.Prepare();
    EXPECT_NEAR(m.Column(961), 960.048, 0.001);
    EXPECT_NEAR(m.Column(959), 959.952, 0.001);
    EXPECT_NEAR(1.0 / (m.Column(961) - m.Column(960)), 21.0, 0.5);
}

TEST(Square, OffCentreUsesTheFartherReach) {
    // cx 384 with reach 1536, cy 864 with reach 864.
    SquareMaps m(1920, 1080);
    m.fx.SetParam("P2", "0.2,0.8");
    m.Prepare();
    EXPECT_EQ(m.Xs()[384], 384u << 16);
    EXPECT_EQ(m.Ys()[864 * 1920], 864u << 16);
    EXPECT_NEAR(m.Column(0), 315.34, 0.01);
    EXPECT_NEAR(m.Row(1079), 917.04, 0.01);
    // Row 0 is the full reach away from the centre and keeps its place.
    EXPECT_NEAR(m.Row(0), 0.0, 0.0001);
    m.ExpectShape();
}

TEST(Square, FiveByFive) {
    // cx = cy = 2, reach 3 on both axes.
    SquareMaps m(5, 5);
    m.Prepare();
    const double expected[] = {0.0195, 1.019, 2.0, 2.981, 3.980};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(m.Column(i), expected[i], 0.001) << i;
        EXPECT_NEAR(m.Row(i), expected[i], 0.001) << i;
    }
    EXPECT_EQ(m.Xs()[2], 2u << 16);
}

TEST(Square, TinyOddAndPortraitSizes) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},  {2, 2},  {3, 5},      {5, 3},
                                                   {9, 7},  {7, 9},  {37, 23},    {23, 37},
                                                   {1, 40}, {40, 1}, {1080, 1920}};
    for (auto [w, h] : sizes) {
        for (auto [px, py] :
             {std::pair{0.5f, 0.5f}, std::pair{0.2f, 0.8f}, std::pair{0.8f, 0.2f}}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " at " + std::to_string(px) +
                         "," + std::to_string(py));
            SquareMaps m(w, h);
            m.SetCentre(px, py);
            m.Prepare();
            m.ExpectShape();
            const uint32_t cx = static_cast<uint32_t>(static_cast<float>(w) * px);
            const uint32_t cy = static_cast<uint32_t>(static_cast<float>(h) * py);
            EXPECT_EQ(m.Xs()[uint64_t{cy} * w + cx], cx << 16);
            EXPECT_EQ(m.Ys()[uint64_t{cy} * w + cx], cy << 16);
        }
    }
}

TEST(Square, UnusableParameters) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float d : {0.0f, -0.02f, 1.0e-45f, nan, inf, -inf}) {
        SCOPED_TRACE(d);
        SquareMaps m(37, 23);
        m.SetDegree(d);
        m.Prepare();
        m.ExpectIdentity();
    }
    for (float d : {3.0e38f, 1.0e-30f}) {
        SCOPED_TRACE(d);
        SquareMaps m(37, 23);
        m.SetDegree(d);
        m.Prepare();
        m.ExpectShape();
    }
}

TEST(Square, MapsFollowTheBuiltFlagAndChangedParameters) {
    SquareMaps m(64, 48);
    m.Prepare();
    const std::vector<uint8_t> src = kzrtest::PatternFrame(64, 48);
    std::vector<uint8_t> dst(src.size());
    const uint32_t before = m.Xs()[40];

    // A new value without a changed flag: the stored maps are used as they are.
    m.SetDegree(0.1f);
    m.fx.ClearChanged();
    ASSERT_EQ(m.fx.Render(src.data(), dst.data()), kzr::kOk);
    EXPECT_EQ(m.Xs()[40], before);

    // Maps not marked as built are built before the frame is drawn.
    m.SetBuilt(0);
    ASSERT_EQ(m.fx.Render(src.data(), dst.data()), kzr::kOk);
    EXPECT_EQ(m.Built(), 1u);
    const uint32_t strong = m.Xs()[40];
    EXPECT_LT(strong, before);

    // A changed flag on a common parameter the builder never reads rebuilds too.
    m.SetDegree(0.02f);
    m.fx.ClearChanged();
    m.fx.SetChanged(m.fx.Effect().ParamCount() - 1);
    ASSERT_EQ(m.fx.Render(src.data(), dst.data()), kzr::kOk);
    EXPECT_EQ(m.Xs()[40], before);
}

TEST(Square, SamePictureAtBothCpuLevels) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1},   {2, 2},   {3, 5},     {9, 7},
                                                   {37, 23}, {23, 37}, {641, 479}, {360, 640}};
    for (auto [w, h] : sizes) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        SquareMaps m(w, h);
        m.Prepare();
        const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
        std::vector<uint8_t> level3(src.size(), 0xEE), level8(src.size(), 0x11);
        m.fx.SetCpuLevel(3);
        ASSERT_EQ(m.fx.Render(src.data(), level3.data()), kzr::kOk);
        m.fx.SetCpuLevel(8);
        ASSERT_EQ(m.fx.Render(src.data(), level8.data()), kzr::kOk);
        EXPECT_EQ(level3, level8);
        if (w >= 9) {
            EXPECT_NE(level3, src);
        }
        EXPECT_EQ(m.fx.OutstandingSurfaces(), 0);
    }
}

}  // namespace
