// Bit-exact behaviour of the bilinear samplers, the surface copy and the
// whole-frame remaps, against straightforward per-channel reference models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/coordmap.h"
#include "imaging/sample.h"

namespace {

using kzr::ImageSurface;

struct Frame {
    Frame(int w, int h) : px(static_cast<size_t>(w) * h) {
        s.Pixels = reinterpret_cast<uint8_t*>(px.data());
        s.Width = w;
        s.Height = h;
        s.Pitch = 4 * w;
        s.BytesPerPixel = 4;
    }
    uint32_t& at(int x, int y) { return px[static_cast<size_t>(y) * s.Width + x]; }
    std::vector<uint32_t> px;
    ImageSurface s{};
};

void Fill(Frame& f, std::mt19937& rng) {
    for (uint32_t& p : f.px)
        p = rng();
}

int Ch(uint32_t p, int c) {
    return static_cast<int>(p >> (8 * c) & 0xFF);
}

// Reference models, one channel at a time.
int Lerp16(int a, int b, int f) {
    return (a * 65536 + (b - a) * f) >> 16;
}
int Lerp15(int a, int b, int h) {
    const int prod = (2 * (b - a)) * h;  // fits easily in 32 bits
    return a + (prod >> 16);             // floor of the upper half
}

uint32_t Neighbour(Frame& f, int i, int j) {
    const int x = i < f.s.Width ? i : f.s.Width - 1;
    const int y = j < f.s.Height ? j : f.s.Height - 1;
    return f.at(x, y);
}

uint32_t ModelSample(Frame& f, int32_t x, int32_t y, bool simd) {
    const int i = x >> 16, j = y >> 16;
    const uint32_t p00 = Neighbour(f, i, j), p01 = Neighbour(f, i + 1, j),
                   p10 = Neighbour(f, i, j + 1), p11 = Neighbour(f, i + 1, j + 1);
    uint32_t out = 0;
    for (int c = 0; c < 4; ++c) {
        int v;
        if (simd) {
            const int hx = (x & 0xFFFF) >> 1, hy = (y & 0xFFFF) >> 1;
            v = Lerp15(Lerp15(Ch(p00, c), Ch(p01, c), hx), Lerp15(Ch(p10, c), Ch(p11, c), hx), hy);
        } else {
            const int fx = x & 0xFFFF, fy = y & 0xFFFF;
            v = Lerp16(Lerp16(Ch(p00, c), Ch(p01, c), fx), Lerp16(Ch(p10, c), Ch(p11, c), fx), fy);
        }
        out |= static_cast<uint32_t>(v & 0xFF) << (8 * c);
    }
    return out;
}

TEST(Sampler, OutsideTheFrameWritesNothing) {
    std::mt19937 rng(3);
    Frame f(5, 4);
    Fill(f, rng);
    const int32_t bad[][2] = {{-65536, 0},  {-1, 0},     {5 << 16, 0},
                              {0, 4 << 16}, {0, -65536}, {(5 << 16) + 1234, 3 << 16}};
    for (const auto& p : bad) {
        uint32_t out = 0x12345678;
        kzr::SampleSimd(&f.s, p[0], p[1], &out);
        EXPECT_EQ(out, 0x12345678u) << p[0] << "," << p[1];
        kzr::SampleScalar(&f.s, p[0], p[1], &out);
        EXPECT_EQ(out, 0x12345678u) << p[0] << "," << p[1];
    }
}

// Every position of the frame, the last column and row (whose neighbours
// repeat them) and whole-pixel positions among them.
TEST(Sampler, RandomPositionsMatchTheModels) {
    std::mt19937 rng(4);
    for (int size : {1, 2, 3, 9}) {
        Frame f(size + 2, size);
        Fill(f, rng);
        const auto pick = [&rng](int n) {
            const uint32_t r = rng() % 8, last = static_cast<uint32_t>(n - 1) << 16;
            return static_cast<int32_t>(r == 0   ? last | (rng() & 0xFFFF)
                                        : r == 1 ? (rng() % n) << 16
                                                 : rng() % (static_cast<uint32_t>(n) << 16));
        };
        for (int n = 0; n < 4000; ++n) {
            const int32_t x = pick(f.s.Width), y = pick(f.s.Height);
            uint32_t a = 0, b = 0;
            kzr::SampleSimd(&f.s, x, y, &a);
            kzr::SampleScalar(&f.s, x, y, &b);
            ASSERT_EQ(a, ModelSample(f, x, y, true)) << x << "," << y;
            ASSERT_EQ(b, ModelSample(f, x, y, false)) << x << "," << y;
        }
    }
}

TEST(Sampler, DispatchFollowsTheCpuLevel) {
    Frame f(2, 1);
    f.at(0, 0) = 0x000000FF;
    f.at(1, 0) = 0x00000000;
    // 255 -> 0 at f = 0x0001: the 16-bit form stays at 254, the 15-bit one at 255.
    uint32_t lo = 0, hi = 0;
    f.s.CpuLevel = 2;
    kzr::Sample(&f.s, 1, 0, &lo);
    f.s.CpuLevel = 3;
    kzr::Sample(&f.s, 1, 0, &hi);
    EXPECT_EQ(lo & 0xFF, 254u);
    EXPECT_EQ(hi & 0xFF, 255u);
}

TEST(CopyFrom, CopiesRowsAndHonoursPitch) {
    std::mt19937 rng(5);
    Frame src(6, 4), dst(6, 4);
    Fill(src, rng);
    kzr::CopyFrom(&dst.s, &src.s);
    EXPECT_EQ(dst.px, src.px);

    // Different sizes: nothing copied.
    Frame other(5, 4);
    kzr::CopyFrom(&other.s, &src.s);
    EXPECT_EQ(other.px, std::vector<uint32_t>(20, 0));

    // A negative pitch walks the rows upwards: a vertical flip.
    Frame flipped(6, 4);
    ImageSurface up = src.s;
    up.Pixels = src.s.Pixels + 3 * src.s.Pitch;
    up.Pitch = -src.s.Pitch;
    kzr::CopyFrom(&flipped.s, &up);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(flipped.at(x, y), src.at(x, 3 - y));

    // Null pixels: nothing happens.
    ImageSurface none = src.s;
    none.Pixels = nullptr;
    kzr::CopyFrom(&dst.s, &none);
    kzr::CopyFrom(&none, &src.s);
}

// The remaps must equal the per-pixel SIMD sampler exactly, including entries
// outside the frame (destination pixel kept) and the row tails.
class Remap : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kzr::HasAvx2())
            GTEST_SKIP() << "this processor has no AVX2";
    }
};

TEST_F(Remap, BothAxesMatchPerPixelSampling) {
    std::mt19937 rng(6);
    for (int trial = 0; trial < 120; ++trial) {
        const bool rows = trial % 2 == 1;  // RemapY, else RemapX
        const int w = 1 + static_cast<int>(rng() % 37), h = 1 + static_cast<int>(rng() % 9);
        // Exactly-sized heap buffers, so any read past the frame is caught.
        Frame src(w, h);
        Fill(src, rng);
        const uint32_t n = static_cast<uint32_t>(rows ? h : w);
        std::vector<uint32_t> map(static_cast<size_t>(w) * h);
        for (uint32_t& m : map) {
            const uint32_t r = rng() % 16;
            m = r == 0 ? rng() : r == 1 ? ((n - 1) << 16) | (rng() & 0xFFFF) : rng() % (n << 16);
        }
        // Maps whose rows hold one value, as the vertical effects build them,
        // some of them whole rows.
        if (rows && trial % 4 == 1)
            for (int y = 0; y < h; ++y)
                std::fill_n(map.begin() + static_cast<ptrdiff_t>(y) * w, w,
                            map[y * w] & (trial % 8 == 5 ? 0xFFFF0000u : 0xFFFFFFFFu));
        // Rows that walk through the source in small steps, as the stretches
        // build them: up or down, eight entries spanning fewer, exactly or
        // more than eight columns, and runs of whole columns.
        if (!rows && trial % 4 == 2)
            for (int y = 0; y < h; ++y) {
                const bool down = rng() % 4 == 0;
                const uint32_t step = rng() % 3 == 0 ? 0x10000 : rng() % 0x12000;
                uint32_t m = rng() % (n << 16) / (down ? 1 : 4);
                for (int x = 0; x < w; ++x, m = down ? m - step : m + step)
                    map[static_cast<size_t>(y) * w + x] = m;
            }
        // and rows of different entries that begin and end alike, some in
        // runs of five alike (four columns from one pair of rows).
        if (rows && trial % 4 == 3)
            for (int y = 0; y < h; ++y) {
                uint32_t* row = map.data() + static_cast<size_t>(y) * w;
                for (int x = 0; x < w && trial % 8 == 7; ++x)
                    row[x] = row[x - x % 5];
                row[w - 1] = row[0];
            }
        std::vector<uint32_t> expect(map.size()), got(map.size());
        for (auto& p : expect)
            p = rng();
        got = expect;  // entries outside the frame keep the destination pixel
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * w + x;
                const int32_t m = static_cast<int32_t>(map[i]);
                kzr::SampleSimd(&src.s, rows ? x << 16 : m, rows ? m : y << 16, &expect[i]);
            }
        (rows ? kzr::RemapY : kzr::RemapX)(&src.s, h, w, 0, 0, map.data(),
                                           reinterpret_cast<uint8_t*>(got.data()));
        ASSERT_EQ(got, expect) << w << "x" << h << (rows ? " rows" : " columns");
    }
}

TEST_F(Remap, DestinationSkipAndOffset) {
    std::mt19937 rng(8);
    const int w = 11, h = 3, skip = 8;  // two spare pixels after each row
    Frame src(w, h);
    Fill(src, rng);
    std::vector<uint32_t> map(static_cast<size_t>(w) * h);
    for (uint32_t& m : map)
        m = rng() % (static_cast<uint32_t>(w - 2) << 16);
    const int32_t offset = 0x18000;  // one and a half pixels
    std::vector<uint32_t> got(static_cast<size_t>(w + 2) * h, 0xABABABAB), expect = got;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            kzr::SampleSimd(&src.s, static_cast<int32_t>(map[y * w + x] + offset), y << 16,
                            &expect[static_cast<size_t>(y) * (w + 2) + x]);
    kzr::RemapX(&src.s, h, w, skip, offset, map.data(), reinterpret_cast<uint8_t*>(got.data()));
    EXPECT_EQ(got, expect);
}

}  // namespace

namespace {

// The 16.16 rounding of the map builders against the C library's rounding
// and the cast: random bit patterns (NaN, infinities, denormals, negatives
// and values past 2^63 included), and every tie k + 1/2 of the map range.
TEST(MapEntries, FixedNearestEqualsTheLibraryRounding) {
    const auto reference = [](float p) {
        return static_cast<uint32_t>(static_cast<int64_t>(std::nearbyint(p * 65536.0f)));
    };
    std::mt19937 rng(11);
    for (int n = 0; n < 1 << 20; ++n) {
        const uint32_t bits = rng();
        float p;
        std::memcpy(&p, &bits, 4);
        if (std::isfinite(p * 65536.0f) && std::fabs(p * 65536.0f) >= 0x1p63f)
            continue;  // the cast of such values is undefined in C++
        ASSERT_EQ(kzr::FixedNearest(p), reference(p)) << std::hexfloat << p;
    }
    for (uint32_t k = 0; k < 65536u * 128; k += 127) {
        const float tie = (static_cast<float>(k) + 0.5f) / 65536.0f;
        ASSERT_EQ(kzr::FixedNearest(tie), reference(tie)) << k;
        ASSERT_EQ(kzr::FixedNearest(tie), k + (k & 1)) << k;  // ties to even
    }
    EXPECT_EQ(kzr::FixedNearest(std::nanf("")), 0u);
    EXPECT_EQ(kzr::FixedNearest(-1.5f / 65536.0f), uint32_t(-2));
}

}  // namespace
