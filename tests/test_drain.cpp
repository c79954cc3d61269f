// The drain effect: its maps at the documented sample points, the circle
// rule of the rendering, and the parallel path giving the sequential picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "effects/drain.h"
#include "tests/test_util.h"

namespace {

struct DrainFx {
    DrainFx() : fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_Drain")) {}
    const kzr::TwoMapBuiltState& St() {
        return *static_cast<const kzr::TwoMapBuiltState*>(fx.State());
    }
    size_t At(uint32_t x, uint32_t y) { return size_t{y} * fx.Context().Width + x; }
    // Source position of destination pixel (x, y), in pixels.
    double Sx(uint32_t x, uint32_t y) { return St().MapA[At(x, y)] / 65536.0; }
    double Sy(uint32_t x, uint32_t y) { return St().MapB[At(x, y)] / 65536.0; }
    refhost::Instance fx;
};

uint32_t Pixel(const std::vector<uint8_t>& frame, size_t i) {
    uint32_t p;
    std::memcpy(&p, frame.data() + 4 * i, 4);
    return p;
}

// Pixels within the whole radius ri of (cx, cy) are the sampler's result at
// their map entries, all others the source pixel.
void ExpectCircleRule(DrainFx& d, std::vector<uint8_t>& src, const std::vector<uint8_t>& dst,
                      int64_t cx, int64_t cy, int64_t ri) {
    const uint32_t w = d.fx.Context().Width, h = d.fx.Context().Height;
    const kzr::ImageSurface s{nullptr,
                              src.data(),
                              int32_t(w),
                              int32_t(h),
                              int32_t(w * 4),
                              4,
                              nullptr,
                              d.fx.Context().CpuLevel,
                              0};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = d.At(x, y);
            uint32_t expect = Pixel(src, i);
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= ri * ri)
                kzr::Sample(&s, int32_t(d.St().MapA[i]), int32_t(d.St().MapB[i]), &expect);
            ASSERT_EQ(Pixel(dst, i), expect) << x << "," << y;
        }
}

TEST(Drain, MapsTurnByTheDocumentedAngles) {
    struct Case {
        const char *degree, *inverse;
        uint32_t x, y;
        double sx, sy;
    } cases[] = {
        {"5", "0", 1230, 540, 1208.69, 645.14}, {"5", "0", 960, 270, 1065.14, 291.31},
        {"5", "0", 690, 540, 711.31, 434.86},   {"5", "0", 961, 540, 959.61, 540.92},
        {"5", "0", 1500, 540, 1500, 540},       {"5", "0", 960, 0, 960, 0},  // on the rim
        {"5", "1", 1230, 540, 1224.62, 486.36}, {"5", "1", 960, 270, 906.36, 275.38},
        {"1", "0", 1230, 540, 847.64, 785.51},  {"49", "0", 1230, 540, 1229.78, 551.02},
        {"50", "0", 1230, 540, 1230, 540},      {"50", "1", 700, 600, 700, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "D " << c.degree << " inverse " << c.inverse << " at "
                                          << c.x << "," << c.y);
        DrainFx d;
        d.fx.SetParam("P1", c.degree);
        d.fx.SetParam("P3", c.inverse);
        ASSERT_EQ(d.fx.Prepare(1920, 1080), kzr::kOk);
        EXPECT_EQ(d.fx.Context().MapFlagA, 1);
        EXPECT_EQ(d.St().MapA[d.At(960, 540)], 960u << 16);  // the centre, exactly
        EXPECT_EQ(d.St().MapB[d.At(960, 540)], 540u << 16);
        EXPECT_EQ(d.St().MapA[d.At(1600, 540)] | d.St().MapB[d.At(1600, 540)], 0u);  // outside
        EXPECT_NEAR(d.Sx(c.x, c.y), c.sx, 0.006);
        EXPECT_NEAR(d.Sy(c.x, c.y), c.sy, 0.006);
    }
}

TEST(Drain, SourcesKeepTheirDistanceAndDegreeFiftyDoesNotTurn) {
    for (const char* degree : {"3", "50"}) {
        DrainFx d;
        d.fx.SetParam("P1", degree);
        d.fx.SetParam("P2", "0.8");
        d.fx.SetParam("P4", "0.4,0.55");
        ASSERT_EQ(d.fx.Prepare(640, 480), kzr::kOk);
        // R = 192 around (256, 264): the circle lies inside the frame.
        for (uint32_t y = 0; y < 480; ++y)
            for (uint32_t x = 0; x < 640; ++x) {
                const double dx = x - 256.0, dy = y - 264.0, dist = std::hypot(dx, dy);
                if (dist > 192.0) {
                    ASSERT_EQ(d.Sx(x, y) + d.Sy(x, y), 0.0) << x << "," << y;
                } else if (degree[0] == '5') {
                    ASSERT_NEAR(d.Sx(x, y), x, 1e-3) << x << "," << y;
                    ASSERT_NEAR(d.Sy(x, y), y, 1e-3) << x << "," << y;
                } else {
                    ASSERT_NEAR(std::hypot(d.Sx(x, y) - 256, d.Sy(x, y) - 264), dist, 1e-3);
                }
            }
    }
}

TEST(Drain, RendersWithinTheWholeRadiusAndCopiesTheRest) {
    for (int cpuLevel : {0, 3}) {
        DrainFx d;
        d.fx.SetCpuLevel(cpuLevel);
        ASSERT_EQ(d.fx.Prepare(9, 7), kzr::kOk);
        // m = 7, R = 3.5, Ri = 3, centre (4, 3): entries within 3.5, samples within 3.
        for (uint32_t y = 0; y < 7; ++y)
            for (uint32_t x = 0; x < 9; ++x)
                EXPECT_EQ(d.Sx(x, y) > 0, (x - 4.0) * (x - 4.0) + (y - 3.0) * (y - 3.0) <= 12.25);
        auto src = kzrtest::PatternFrame(9, 7);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        ASSERT_EQ(d.fx.Render(src.data(), dst.data()), kzr::kOk);
        ExpectCircleRule(d, src, dst, 4, 3, 3);
    }
}

TEST(Drain, CentreInTheCornerClampsSourcesToTheEdges) {
    DrainFx d;
    d.fx.SetParam("P4", "0,0");
    ASSERT_EQ(d.fx.Prepare(64, 48), kzr::kOk);
    int clamped = 0;  // sources turned out of the frame land on column or row 0
    for (uint32_t y = 0; y < 48; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            const double dist = std::hypot(x, y), r = std::hypot(d.Sx(x, y), d.Sy(x, y));
            if (dist > 24.0)
                continue;
            const bool onEdge = d.Sx(x, y) == 0.0 || d.Sy(x, y) == 0.0;
            clamped += onEdge && dist > 0;
            ASSERT_TRUE(onEdge ? r <= dist + 1e-3 : std::abs(r - dist) < 1e-3) << x << "," << y;
        }
    EXPECT_GT(clamped, 50);
    auto src = kzrtest::PatternFrame(64, 48);
    std::vector<uint8_t> dst(src.size(), 0xEE);
    ASSERT_EQ(d.fx.Render(src.data(), dst.data()), kzr::kOk);
    ExpectCircleRule(d, src, dst, 0, 0, 24);
}

TEST(Drain, BandsSplitTheRowsWithoutGapOrOverlap) {
    EXPECT_EQ(kzr::DrainBand(1081, 2, 0).last, 540);
    EXPECT_EQ(kzr::DrainBand(1081, 2, 1).first, 540);
    for (int32_t h : {0, 1, 7, 1081})
        for (int32_t count = 1; count <= 9; ++count) {
            int32_t next = 0;
            for (int32_t n = 0; n < count; ++n) {
                EXPECT_EQ(kzr::DrainBand(h, count, n).first, next) << h << " " << count;
                next = kzr::DrainBand(h, count, n).last;
            }
            EXPECT_EQ(next, h);
        }
}

TEST(Drain, EveryTaskCountGivesTheSequentialPicture) {
    DrainFx d;
    d.fx.SetCpuLevel(3);
    ASSERT_EQ(d.fx.Prepare(1920, 1081), kzr::kOk);
    auto src = kzrtest::PatternFrame(1920, 1081);
    std::vector<uint8_t> sequential(src.size(), 0xEE);
    ASSERT_EQ(d.fx.Render(src.data(), sequential.data()), kzr::kOk);
    ExpectCircleRule(d, src, sequential, 960, 540, 540);
    for (int tasks : {2, 3, 4, 5, 8}) {
        d.fx.SetTaskCount(tasks);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        ASSERT_EQ(d.fx.Render(src.data(), dst.data()), kzr::kOk);
        EXPECT_TRUE(dst == sequential) << "TaskCount " << tasks;
        EXPECT_EQ(d.fx.OutstandingSurfaces(), 0);
    }
}

TEST(Drain, ParallelPathRebuildsChangedMapsAndRefusesOtherSizes) {
    auto src = kzrtest::PatternFrame(97, 61);
    for (int tasks : {2, 4, 100}) {  // 100: more tasks than rows
        DrainFx d, expect;
        d.fx.SetTaskCount(tasks);
        ASSERT_EQ(d.fx.Prepare(97, 61), kzr::kOk);
        std::vector<uint8_t> dst(src.size(), 0xEE), want(src.size(), 0xEE);
        for (DrainFx* fx : {&d, &expect}) {
            fx->fx.SetParam("P1", "1.5");
            fx->fx.SetParam("P4", "0.3,0.7");
        }
        ASSERT_EQ(d.fx.Render(src.data(), dst.data()), kzr::kOk);
        ASSERT_EQ(expect.fx.Prepare(97, 61), kzr::kOk);
        ASSERT_EQ(expect.fx.Render(src.data(), want.data()), kzr::kOk);
        EXPECT_EQ(dst, want) << tasks << " tasks";

        d.fx.Context().Height = 60;  // maps made for 61 rows
        std::fill(dst.begin(), dst.end(), 0xEE);
        d.fx.SetChanged(0);
        EXPECT_EQ(d.fx.Render(src.data(), dst.data()), kzr::kFail);
        EXPECT_EQ(dst, std::vector<uint8_t>(src.size(), 0xEE));
    }
}

TEST(Drain, OutOfRangeParametersStayInsideTheFrame) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    const float positions[][2] = {{0.5f, 0.5f}, {nan, 0.5f}, {-inf, inf}, {-4.0f, 9.0f}};
    for (auto [w, h] : {std::pair{13u, 11u}, {1u, 1u}, {2u, 5u}})
        for (float v : {0.0f, -3.0f, nan, inf, -inf, 1e30f})
            for (size_t param : {0, 1})
                for (const auto& pos : positions) {
                    DrainFx d;
                    d.fx.SetTaskCount(3);
                    d.fx.WriteRaw(param, &v, 4);
                    d.fx.WriteRaw(3, pos, 8);
                    ASSERT_EQ(d.fx.Prepare(w, h), kzr::kOk);
                    for (size_t i = 0; i < size_t{w} * h; ++i)
                        ASSERT_TRUE(d.St().MapA[i] >> 16 < w && d.St().MapB[i] >> 16 < h)
                            << "P" << param + 1 << "=" << v << " at " << pos[0] << "," << pos[1];
                    auto src = kzrtest::PatternFrame(w, h);
                    std::vector<uint8_t> dst(src.size() + 8, 0xEE);
                    ASSERT_EQ(d.fx.Render(src.data(), dst.data() + 4), kzr::kOk);
                    EXPECT_EQ(Pixel(dst, 0), 0xEEEEEEEEu);
                    EXPECT_EQ(Pixel(dst, w * h + 1), 0xEEEEEEEEu);
                }
}

}  // namespace
