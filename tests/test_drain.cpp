// The drain effect: its maps at worked sample points, the circle rule of the
// rendering (into another frame and into its own source), and rebuilds that
// reuse the angles of the build before.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "effects/drain.h"
#include "imaging/sample.h"
#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_Drain";

TEST(Drain, MapsTurnByTheWorkedAngles) {
    kzrtest::CheckProbes(kId,
                         {
                             {"", 1920, 1080, 'A', 960, 540, "x"},  // the centre, exactly
                             {"", 1920, 1080, 'B', 960, 540, "y"},
                             {"", 1920, 1080, 'A', 1600, 540, "=0"},  // outside the circle
                             {"", 1920, 1080, 'B', 1600, 540, "=0"},
                             {"", 1920, 1080, 'A', 1230, 540, "1208.69"},
                             {"", 1920, 1080, 'B', 1230, 540, "645.14"},
                             {"", 1920, 1080, 'A', 960, 270, "1065.14"},
                             {"", 1920, 1080, 'B', 960, 270, "291.31"},
                             {"", 1920, 1080, 'A', 690, 540, "711.31"},
                             {"", 1920, 1080, 'B', 690, 540, "434.86"},
                             {"", 1920, 1080, 'A', 961, 540, "959.61"},
                             {"", 1920, 1080, 'B', 961, 540, "540.92"},
                             {"", 1920, 1080, 'A', 1500, 540, "x"},  // on the rim
                             {"", 1920, 1080, 'B', 960, 0, "y"},
                             {"P3=1", 1920, 1080, 'A', 1230, 540, "1224.62"},
                             {"P3=1", 1920, 1080, 'B', 1230, 540, "486.36"},
                             {"P3=1", 1920, 1080, 'A', 960, 270, "906.36"},
                             {"P3=1", 1920, 1080, 'B', 960, 270, "275.38"},
                             {"P1=1", 1920, 1080, 'A', 1230, 540, "847.64"},
                             {"P1=1", 1920, 1080, 'B', 1230, 540, "785.51"},
                             {"P1=49", 1920, 1080, 'A', 1230, 540, "1229.78"},
                             {"P1=49", 1920, 1080, 'B', 1230, 540, "551.02"},
                             {"P1=50", 1920, 1080, 'A', 1230, 540, "x"},  // 1 / D at 0.02: no twist
                             {"P1=50;P3=1", 1920, 1080, 'B', 700, 600, "y"},
                         });
}

// Sources keep their distance from the centre; pixels within the whole
// radius are the sampler's result at their entries, the others the source.
TEST(Drain, RendersWithinTheWholeRadiusAndCopiesTheRest) {
    struct Case {
        const char* params;
        uint32_t w, h;
        int cpu;
        double cx, cy, r;
        bool inside;  // the circle lies inside the frame: no source is clamped
    } cases[] = {{"", 9, 7, 0, 4, 3, 3.5, false},
                 {"", 9, 7, 3, 4, 3, 3.5, false},
                 {"P1=3;P2=0.8;P4=0.4,0.55", 640, 480, 3, 256, 264, 192, true},
                 {"P4=0,0", 64, 48, 3, 0, 0, 24, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        auto fx = kzrtest::Prepared(kId, c.w, c.h, c.params);
        fx->SetCpuLevel(c.cpu);
        auto src = kzrtest::PatternFrame(c.w, c.h);
        const auto dst = kzrtest::Rendered(*fx, src);
        const uint32_t* a = kzrtest::MapAt(*fx, 0x10);
        const uint32_t* b = kzrtest::MapAt(*fx, 0x18);
        const kzr::ImageSurface s = kzrtest::SurfaceOf(src.data(), c.w, c.h, c.cpu);
        const double ri = std::trunc(c.r);
        for (uint32_t y = 0; y < c.h; ++y)
            for (uint32_t x = 0; x < c.w; ++x) {
                const size_t i = size_t{y} * c.w + x;
                const double dist = std::hypot(x - c.cx, y - c.cy);
                const double sdist = std::hypot(a[i] / 65536.0 - c.cx, b[i] / 65536.0 - c.cy);
                if (dist > c.r)
                    ASSERT_EQ(a[i] | b[i], 0u) << x << "," << y;
                else if (c.inside)
                    ASSERT_NEAR(sdist, dist, 1e-3) << x << "," << y;
                else  // clamped to the edges, so towards the centre
                    ASSERT_LE(sdist, dist + 1e-3) << x << "," << y;
                uint32_t expect;
                std::memcpy(&expect, &src[4 * i], 4);
                if (dist <= ri)
                    kzr::Sample(&s, int32_t(a[i]), int32_t(b[i]), &expect);
                ASSERT_EQ(std::memcmp(&dst[4 * i], &expect, 4), 0) << x << "," << y;
            }
        // Drawn into its own source, pixel by pixel in order: every sample
        // sees the pixels written before it.
        auto inPlace = src, expect = src;
        ASSERT_EQ(fx->Render(inPlace.data(), inPlace.data()), kzr::kOk);
        const kzr::ImageSurface e = kzrtest::SurfaceOf(expect.data(), c.w, c.h, c.cpu);
        for (uint32_t y = 0; y < c.h; ++y)
            for (uint32_t x = 0; x < c.w; ++x) {
                const size_t i = size_t{y} * c.w + x;
                if (std::hypot(x - c.cx, y - c.cy) <= ri)
                    kzr::Sample(&e, int32_t(a[i]), int32_t(b[i]),
                                reinterpret_cast<uint32_t*>(&expect[4 * i]));
            }
        EXPECT_TRUE(inPlace == expect);
    }
}

// A rebuild of the same circle reuses the angles the build before it kept;
// a moved or resized circle computes them again.  Either way the maps are
// those of a fresh instance, whether the rebuild comes from Prepare or from
// a keyframe in Process, on one task or three.
TEST(Drain, RebuildsGiveTheMapsOfAFreshInstance) {
    constexpr uint32_t w = 641, h = 359;
    const auto src = kzrtest::PatternFrame(w, h);
    const std::pair<const char*, const char*> steps[] = {
        {"P1", "3"}, {"P3", "1"}, {"P4", "0.3,0.6"}, {"P1", "1.5"}, {"P2", "0.7"}, {"P1", "20"}};
    for (int tasks : {1, 3}) {
        auto fx = kzrtest::Prepared(kId, w, h, "", tasks);
        std::string params;
        for (int n = 0; const auto& [key, value] : steps) {
            params += std::string(params.empty() ? "" : ";") + key + "=" + value;
            SCOPED_TRACE(params);
            fx->SetParam(key, value);
            if (n++ % 2 == 0)
                ASSERT_EQ(fx->Prepare(w, h), kzr::kOk);
            else
                kzrtest::Rendered(*fx, src);
            auto fresh = kzrtest::Prepared(kId, w, h, params);
            for (size_t map : {0x10, 0x18})
                ASSERT_EQ(std::memcmp(kzrtest::MapAt(*fx, map), kzrtest::MapAt(*fresh, map),
                                      size_t{w} * h * 4),
                          0)
                    << tasks << " tasks, map at " << map;
        }
    }
}

}  // namespace
