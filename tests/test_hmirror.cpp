// Horizontal mirror: the source column that ends up in each destination
// column for the worked widths and axes, narrow and odd widths, and the bulk
// copy's handling of missing frames.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "tests/test_util.h"

namespace {

struct Mirror {
    Mirror() : fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_HMirror")) {}

    void Setup(bool inverse, float xOffset) {
        const int32_t inv = inverse ? 1 : 0;
        fx.WriteRaw(0, &inv, 4);
        fx.WriteRaw(1, &xOffset, 4);
    }

    refhost::Instance fx;
};

// A frame whose pixel (x, y) holds x + 65536 y, so every output pixel names
// the source pixel it came from.
std::vector<uint32_t> Numbered(uint32_t w, uint32_t h) {
    std::vector<uint32_t> px(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            px[size_t{y} * w + x] = x + (y << 16);
    return px;
}

// Mirrors a w x h numbered frame; returns the source columns of every row,
// or fails when a pixel came from another row.
std::vector<uint32_t> SourceColumns(bool inverse, float xOffset, uint32_t w, uint32_t h = 3) {
    Mirror m;
    m.Setup(inverse, xOffset);
    EXPECT_EQ(m.fx.Prepare(w, h), kzr::kOk);
    const auto src = Numbered(w, h);
    std::vector<uint32_t> dst(src.size(), 0xEEEEEEEE);
    EXPECT_EQ(m.fx.Render(src.data(), dst.data()), kzr::kOk);
    std::vector<uint32_t> columns(w);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t p = dst[size_t{y} * w + x];
            EXPECT_EQ(p >> 16, y) << "column " << x << " of row " << y << " came from row "
                                  << (p >> 16);
            if (y == 0)
                columns[x] = p & 0xFFFF;
            else
                EXPECT_EQ(p & 0xFFFF, columns[x]) << "rows differ at column " << x;
        }
    return columns;
}

struct MirrorCase {
    uint32_t width;
    float x;
    bool inverse;
    std::vector<uint32_t> columns;
};

TEST(HMirror, SourceColumnsOfTheWorkedRows) {
    const MirrorCase cases[] = {
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
    };
    for (const MirrorCase& c : cases) {
        SCOPED_TRACE("width " + std::to_string(c.width) + " X " + std::to_string(c.x) +
                     (c.inverse ? " inverse" : ""));
        EXPECT_EQ(SourceColumns(c.inverse, c.x, c.width), c.columns);
    }
}

TEST(HMirror, FullHdRowAtTheMiddle) {
    const auto columns = SourceColumns(false, 0.5f, 1920, 2);
    for (uint32_t x = 0; x < 960; ++x)
        ASSERT_EQ(columns[x], x);
    for (uint32_t i = 0; i < 960; ++i)
        ASSERT_EQ(columns[960 + i], 959 - i);
}

// Odd widths with the axis in the left part: the run has one step more than
// the row has room for, and that step is left out.
TEST(HMirror, OddWidthWithTheAxisInTheLeftPart) {
    // Inverse on at the middle of 9 (k = 4 <= 9 / 2): the step that would
    // write left of column 0 is dropped; column 4, the axis, keeps itself.
    EXPECT_EQ(SourceColumns(true, 0.5f, 9), (std::vector<uint32_t>{8, 7, 6, 5, 4, 5, 6, 7, 8}));
    // Inverse off with k = 2 (period 6): column 2k + 1 = 5 has no partner and
    // keeps its own source pixel; the fill repeats columns 0 to 5.
    EXPECT_EQ(SourceColumns(false, 0.3f, 9), (std::vector<uint32_t>{0, 1, 2, 1, 0, 5, 0, 1, 2}));
    // The same at width 5, k = 1 (period 4).
    EXPECT_EQ(SourceColumns(false, 0.2f, 5), (std::vector<uint32_t>{0, 1, 0, 3, 0}));
    EXPECT_EQ(SourceColumns(true, 0.5f, 5), (std::vector<uint32_t>{4, 3, 2, 3, 4}));
}

TEST(HMirror, WidthsBelowThreeAreCopied) {
    for (const uint32_t w : {1u, 2u})
        for (const bool inverse : {false, true})
            for (const float x : {0.0f, 0.5f, 1.0f}) {
                SCOPED_TRACE(std::to_string(w) + " " + std::to_string(x));
                std::vector<uint32_t> identity(w);
                std::iota(identity.begin(), identity.end(), 0u);
                EXPECT_EQ(SourceColumns(inverse, x, w), identity);
            }
}

// Whatever the parameter bits and the width, every pixel comes from its own
// row, and nothing outside the frame is touched (guard words around it).
TEST(HMirror, AnyAxisAndWidthStaysInItsRow) {
    const float inf = std::numeric_limits<float>::infinity();
    const float offsets[] = {-inf,  -1e30f, -0.5f, -0.0f, 0.0f,  0.1f, 0.45f,        0.5f,
                             0.55f, 0.9f,   1.0f,  1.5f,  1e30f, inf,  std::nanf("")};
    for (uint32_t w = 1; w <= 24; ++w)
        for (const float x : offsets)
            for (const bool inverse : {false, true}) {
                SCOPED_TRACE(std::to_string(w) + " " + std::to_string(x) + " " +
                             std::to_string(inverse));
                const uint32_t h = 3;
                Mirror m;
                m.Setup(inverse, x);
                ASSERT_EQ(m.fx.Prepare(w, h), kzr::kOk);
                const auto src = Numbered(w, h);
                std::vector<uint32_t> dst(src.size() + 2, 0xEEEEEEEE);
                ASSERT_EQ(m.fx.Render(src.data(), dst.data() + 1), kzr::kOk);
                EXPECT_EQ(dst.front(), 0xEEEEEEEE);
                EXPECT_EQ(dst.back(), 0xEEEEEEEE);
                for (uint32_t y = 0; y < h; ++y)
                    for (uint32_t c = 0; c < w; ++c) {
                        const uint32_t p = dst[1 + size_t{y} * w + c];
                        ASSERT_EQ(p >> 16, y) << "column " << c;
                        ASSERT_LT(p & 0xFFFF, w) << "column " << c;
                    }
            }
}

TEST(HMirror, IgnoresCpuLevelAndChangedFlags) {
    const uint32_t w = 37, h = 23;
    const auto src = kzrtest::PatternFrame(w, h);
    std::vector<uint8_t> out[3];
    for (int i = 0; i < 3; ++i) {
        Mirror m;
        m.fx.SetParam("XOffset", "0.3");
        m.fx.SetCpuLevel(i * 4);
        ASSERT_EQ(m.fx.Prepare(w, h), kzr::kOk);
        if (i == 2)
            m.fx.ClearChanged();
        out[i].assign(src.size(), 0);
        ASSERT_EQ(m.fx.Render(src.data(), out[i].data()), kzr::kOk);
        EXPECT_EQ(m.fx.OutstandingSurfaces(), 0);
    }
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[0], out[2]);
}

TEST(HMirror, HeightZeroWritesNothing) {
    Mirror m;
    ASSERT_EQ(m.fx.Prepare(10, 0), kzr::kOk);
    uint32_t src = 1, dst = 0xEEEEEEEE;
    EXPECT_EQ(m.fx.Render(&src, &dst), kzr::kOk);
    EXPECT_EQ(dst, 0xEEEEEEEEu);
}

TEST(HMirror, MissingFramesAreReportedAndSurvived) {
    const uint32_t w = 10, h = 4;
    const auto src = Numbered(w, h);
    {
        // No source: the destination is zero-filled.
        Mirror m;
        ASSERT_EQ(m.fx.Prepare(w, h), kzr::kOk);
        std::vector<uint32_t> dst(src.size(), 0xEEEEEEEE);
        errno = 0;
        EXPECT_EQ(m.fx.Render(nullptr, dst.data()), kzr::kOk);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(dst, std::vector<uint32_t>(src.size(), 0));
    }
    {
        // No destination: nothing is written, the source stays as it was.
        Mirror m;
        ASSERT_EQ(m.fx.Prepare(w, h), kzr::kOk);
        const auto before = src;
        errno = 0;
        EXPECT_EQ(m.fx.Render(src.data(), nullptr), kzr::kOk);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(src, before);
    }
}

TEST(HMirror, CallbacksAndContextFlag) {
    Mirror m;
    const kzr::EffectSlots& slots = m.fx.Effect().Slots;
    EXPECT_EQ(slots.Destroy, slots.Unprepare);
    EXPECT_EQ(slots.Slot4, nullptr);
    EXPECT_EQ(slots.Slot7, nullptr);
    EXPECT_EQ(slots.Slot8, nullptr);
    for (const kzr::EffectCallback cb : {slots.Create, slots.Destroy, slots.Process, slots.Prepare})
        EXPECT_EQ(cb(nullptr), kzr::kFail);
    EXPECT_EQ(slots.SetSource(nullptr, nullptr), kzr::kFail);

    ASSERT_EQ(m.fx.Prepare(8, 2), kzr::kOk);
    EXPECT_EQ(m.fx.Context().MapFlagA, 1);
    EXPECT_EQ(m.fx.Context().MapFlagB, 0);
    EXPECT_EQ(m.fx.Unprepare(), kzr::kOk);
}

}  // namespace
