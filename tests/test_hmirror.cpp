// Horizontal mirror: the source column that ends up in each destination
// column for the worked widths and axes, any axis staying in its row, and
// the bulk copy's handling of missing frames.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <numeric>

#include "tests/test_util.h"

namespace {

constexpr const char* kId = "Kzr_Dsp_Vi_HMirror";

// A frame whose pixel (x, y) holds x + 65536 y, so every output pixel names
// the source pixel it came from.
std::vector<uint32_t> Numbered(uint32_t w, uint32_t h) {
    std::vector<uint32_t> px(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            px[size_t{y} * w + x] = x + (y << 16);
    return px;
}

// Mirrors a numbered frame with raw parameter values into a destination with
// a guard word on each side; returns the source columns of the first row and
// fails when a pixel came from another row or the guards were written.
std::vector<uint32_t> SourceColumns(uint32_t w, float xOffset, bool inverse, uint32_t h = 3) {
    refhost::Instance fx(kzrtest::TheModule(), kzrtest::EffectIndex(kId));
    const int32_t inv = inverse;
    fx.WriteRaw(0, &inv, 4);
    fx.WriteRaw(1, &xOffset, 4);
    EXPECT_EQ(fx.Prepare(w, h), kzr::kOk);
    const auto src = Numbered(w, h);
    std::vector<uint32_t> dst(src.size() + 2, 0xEEEEEEEE);
    EXPECT_EQ(fx.Render(src.data(), dst.data() + 1), kzr::kOk);
    EXPECT_EQ(dst.front(), 0xEEEEEEEE);
    EXPECT_EQ(dst.back(), 0xEEEEEEEE);
    std::vector<uint32_t> columns(w);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t p = dst[1 + size_t{y} * w + x];
            EXPECT_EQ(p >> 16, y) << "column " << x << " of row " << y;
            EXPECT_LT(p & 0xFFFF, w) << "column " << x << " of row " << y;
            if (y == 0)
                columns[x] = p & 0xFFFF;
            else
                EXPECT_EQ(p & 0xFFFF, columns[x]) << "rows differ at column " << x;
        }
    return columns;
}

TEST(HMirror, SourceColumnsOfTheWorkedRows) {
    const struct {
        uint32_t width;
        float x;
        bool inverse;
        std::vector<uint32_t> columns;
    } cases[] = {
        {10, 0.5f, false, {0, 1, 2, 3, 4, 4, 3, 2, 1, 0}},
        {10, 0.5f, true, {9, 8, 7, 6, 5, 5, 6, 7, 8, 9}},
        {10, 0.3f, false, {0, 1, 2, 2, 1, 0, 0, 1, 2, 2}},
        {10, 0.3f, true, {5, 4, 3, 3, 4, 5, 5, 4, 3, 3}},
        {10, 0.7f, false, {6, 6, 5, 4, 4, 5, 6, 6, 5, 4}},
        {10, 0.7f, true, {7, 7, 8, 9, 9, 8, 7, 7, 8, 9}},
        {10, 0.0f, false, std::vector<uint32_t>(10, 0)},
        {10, 0.0f, true, std::vector<uint32_t>(10, 1)},
        {10, 1.0f, false, {7, 6, 6, 7, 7, 6, 6, 7, 7, 6}},
        {10, 1.0f, true, {8, 9, 9, 8, 8, 9, 9, 8, 8, 9}},
        {9, 0.5f, false, {1, 1, 2, 3, 4, 3, 2, 1, 0}},
        {9, 0.7f, false, {4, 4, 5, 6, 5, 5, 6, 5, 4}},
        {9, 0.7f, true, {8, 8, 7, 6, 7, 7, 6, 7, 8}},
        {3, 0.5f, false, {1, 1, 0}},
        // An odd width with the axis in the left part: the run's last step has
        // no partner in the row and is left out; that column keeps its pixel.
        {9, 0.5f, true, {8, 7, 6, 5, 4, 5, 6, 7, 8}},
        {9, 0.3f, false, {0, 1, 2, 1, 0, 5, 0, 1, 2}},
        {5, 0.2f, false, {0, 1, 0, 3, 0}},
        {5, 0.5f, true, {4, 3, 2, 3, 4}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SourceColumns(c.width, c.x, c.inverse), c.columns)
            << "width " << c.width << " X " << c.x << (c.inverse ? " inverse" : "");

    const auto full = SourceColumns(1920, 0.5f, false, 2);
    for (uint32_t i = 0; i < 960; ++i)
        ASSERT_TRUE(full[i] == i && full[960 + i] == 959 - i) << i;
}

TEST(HMirror, DefaultsMirrorTheLeftHalf) {
    const auto src = Numbered(10, 2);
    auto fx = kzrtest::Prepared(kId, 10, 2);
    std::vector<uint32_t> dst(src.size());
    ASSERT_EQ(fx->Render(src.data(), dst.data()), kzr::kOk);
    EXPECT_EQ(std::vector<uint32_t>(dst.begin(), dst.begin() + 10),
              (std::vector<uint32_t>{0, 1, 2, 3, 4, 4, 3, 2, 1, 0}));
}

// Whatever the axis bits and the width, every pixel comes from its own row
// and nothing outside the frame is written; below three columns the row is
// copied.
TEST(HMirror, AnyAxisAndWidthStaysInItsRow) {
    const float inf = std::numeric_limits<float>::infinity();
    for (uint32_t w = 1; w <= 24; ++w)
        for (const float x : {-inf, -1e30f, -0.5f, -0.0f, 0.0f, 0.1f, 0.45f, 0.5f, 0.55f, 0.9f,
                              1.0f, 1.5f, 1e30f, inf, std::nanf("")})
            for (const bool inverse : {false, true}) {
                const auto columns = SourceColumns(w, x, inverse);
                std::vector<uint32_t> identity(w);
                std::iota(identity.begin(), identity.end(), 0u);
                if (w < 3) {
                    EXPECT_EQ(columns, identity) << w;
                }
            }
}

TEST(HMirror, MissingFramesAreReportedAndSurvived) {
    const auto src = Numbered(10, 4);
    auto fx = kzrtest::Prepared(kId, 10, 4);
    std::vector<uint32_t> dst(src.size(), 0xEEEEEEEE);
    errno = 0;  // no source: the destination is zero-filled
    EXPECT_EQ(fx->Render(nullptr, dst.data()), kzr::kOk);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(dst, std::vector<uint32_t>(src.size(), 0));
    errno = 0;  // no destination: nothing is written
    EXPECT_EQ(fx->Render(src.data(), nullptr), kzr::kOk);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(src, Numbered(10, 4));
}

}  // namespace
