// The laser effect: its tables, the ellipse in display proportions and rays
// of three bytes outside it.  (Its failed allocations are the allocation
// fault program's: tests/faults.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "effects/laser.h"
#include "tests/test_util.h"

namespace {

struct LaserFx {
    LaserFx() : fx(kzrtest::TheModule(), kzrtest::EffectIndex("DSP_VI_Laser")) {}
    kzr::LaserState& St() { return *static_cast<kzr::LaserState*>(fx.State()); }
    uint32_t w = 0, h = 0;
    std::pair<int32_t, int32_t> Point(uint32_t x, uint32_t y) {
        const size_t i = size_t{y} * w + x;
        return {St().SourcePoints[2 * i], St().SourcePoints[2 * i + 1]};
    }
    // Prepares for width x height and renders the pattern into a frame of 0xEE.
    void Run(uint32_t width, uint32_t height) {
        w = width, h = height;
        ASSERT_EQ(fx.Prepare(w, h), kzr::kOk);
        src = kzrtest::PatternFrame(w, h);
        dst.assign(src.size(), 0xEE);
        ASSERT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
        ASSERT_EQ(fx.OutstandingSurfaces(), 0);
    }
    const uint8_t* S(uint32_t x, uint32_t y) const { return &src[(size_t{y} * w + x) * 4]; }
    const uint8_t* D(uint32_t x, uint32_t y) const { return &dst[(size_t{y} * w + x) * 4]; }
    // Pixel (x, y) kept all four bytes of its own source pixel.
    bool Kept(uint32_t x, uint32_t y) const { return std::memcmp(D(x, y), S(x, y), 4) == 0; }
    // Pixel (x, y) took bytes 0 to 2 of source pixel (sx, sy); byte 3 untouched.
    bool Ray(uint32_t x, uint32_t y, int32_t sx, int32_t sy) const {
        return std::memcmp(D(x, y), S(uint32_t(sx), uint32_t(sy)), 3) == 0 && D(x, y)[3] == 0xEE;
    }
    refhost::Instance fx;
    std::vector<uint8_t> src, dst;
};

TEST(Laser, DefaultsKeepACircleAndDrawRaysFromItsRim) {
    LaserFx l;
    l.Run(1920, 1080);
    EXPECT_EQ(l.St().TablesBuilt, 1u);
    for (uint32_t y = 0; y < 1080; ++y)
        ASSERT_EQ(l.St().RowOffsets[y], y * 1920);
    // a = 1, centre (960, 540), M = 1101, L = 440.
    EXPECT_EQ(l.Point(1401, 540), std::make_pair(1400, 540));
    EXPECT_EQ(l.Point(1919, 540), std::make_pair(1400, 540));
    EXPECT_EQ(l.Point(0, 0), std::make_pair(577, 324));
    EXPECT_EQ(l.Point(960, 0), std::make_pair(960, 100));
    for (uint32_t y = 0; y < 1080; ++y)
        for (uint32_t x = 0; x < 1920; ++x) {
            const int64_t dx = int64_t{x} - 960, dy = int64_t{y} - 540;
            const auto [sx, sy] = l.Point(x, y);
            ASSERT_TRUE(dx * dx + dy * dy <= 440 * 440 ? l.Kept(x, y) : l.Ray(x, y, sx, sy))
                << x << "," << y;
        }
}

TEST(Laser, ReferenceSizeMakesTheCircleAnEllipse) {
    LaserFx wide;  // W' = 1920, a = 4/3: semi-axes 330 across, 440 down around (720, 540)
    wide.fx.SetReference(16, 9);
    wide.Run(1440, 1080);
    EXPECT_EQ(wide.Point(1439, 540), std::make_pair(1050, 540));
    EXPECT_TRUE(wide.Ray(1439, 540, 1050, 540));
    EXPECT_TRUE(wide.Kept(1045, 540) && wide.Kept(395, 540));
    EXPECT_TRUE(wide.Kept(720, 105) && wide.Kept(720, 975));
    EXPECT_FALSE(wide.Kept(1056, 540) || wide.Kept(384, 540));
    EXPECT_FALSE(wide.Kept(720, 94) || wide.Kept(720, 986));

    LaserFx narrow;  // W' = 640, a = 8/9, L = 160: semi-axes 180 across around (360, 240)
    narrow.fx.SetReference(4, 3);
    narrow.Run(720, 480);
    for (uint32_t x = 0; x < 720; ++x) {
        const bool ok = x <= 170   ? narrow.Ray(x, 240, 180, 240)
                        : x < 360  ? true
                        : x <= 540 ? narrow.Kept(x, 240)
                                   : narrow.Ray(x, 240, 540, 240);
        EXPECT_TRUE(ok) << "column " << x;
    }
}

TEST(Laser, PercentageAndCentreExtremes) {
    LaserFx zero;  // L = 0: the centre pixel paints every other pixel
    zero.fx.SetParam("P1", "0");
    zero.Run(64, 48);
    for (uint32_t y = 0; y < 48; ++y)
        for (uint32_t x = 0; x < 64; ++x)
            ASSERT_TRUE(x == 32 && y == 24 ? zero.Kept(x, y) : zero.Ray(x, y, 32, 24));

    LaserFx one;  // L = M = 1101: only (0, 0) is outside, and is its own ray
    one.fx.SetParam("P1", "1");
    one.Run(1920, 1080);
    std::vector<uint8_t> expect = one.src;
    expect[3] = 0xEE;
    EXPECT_EQ(one.Point(0, 0), std::make_pair(0, 0));
    EXPECT_TRUE(one.dst == expect);

    // The far corner lies at (w, h), not at the last pixel: M = trunc(sqrt(1920^2
    // + h^2)) is 2202 (L = 880) at h = 1080 and 2203 (L = 881) at h = 1081.
    for (const auto& [h, L] : {std::pair{1080u, 880u}, {1081u, 881u}}) {
        LaserFx corner;
        corner.fx.SetParam("P2", "0,0");
        corner.Run(1920, h);
        EXPECT_TRUE(corner.Kept(L, 0) && corner.Kept(0, L)) << h;
        EXPECT_TRUE(corner.Ray(L + 1, 0, L, 0) && corner.Ray(0, L + 1, 0, L)) << h;
    }
}

TEST(Laser, RimPointsBeyondTheFrameAreClampedIntoIt) {
    // With the centre off the frame and a small radius every pixel is a ray
    // from a rim point beyond one edge.
    struct {
        float pos[2];
        int axis;
        int32_t edge;
    } cases[] = {
        {{-0.5f, 0.5f}, 0, 0}, {{1.5f, 0.5f}, 0, 63}, {{0.5f, -1}, 1, 0}, {{0.5f, 2}, 1, 47}};
    for (const auto& c : cases) {
        LaserFx l;
        const float p = 0.2f;
        l.fx.WriteRaw(0, &p, 4);
        l.fx.WriteRaw(1, c.pos, 8);
        l.Run(64, 48);
        for (uint32_t y = 0; y < 48; ++y)
            for (uint32_t x = 0; x < 64; ++x) {
                const auto [sx, sy] = l.Point(x, y);
                const int32_t v = c.axis == 0 ? sx : sy;
                ASSERT_TRUE(c.edge == 0 ? v < 0 : v > c.edge) << x << "," << y;
                ASSERT_TRUE(l.Ray(x, y, std::clamp(sx, 0, 63), std::clamp(sy, 0, 47)))
                    << x << "," << y;
            }
    }
}

}  // namespace
