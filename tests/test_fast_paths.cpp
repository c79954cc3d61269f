// The fast paths against the per-pixel sampler, byte for byte: span remaps
// at every CpuLevel on random frames and maps (in range, on the edges and
// outside the frame), every effect drawn in bands of rows, and the maps and
// tables of every effect built in bands of rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "effects/exp_curve.h"
#include "host/params.h"
#include "imaging/coordmap.h"
#include "imaging/exp_log.h"
#include "imaging/frame_remap.h"
#include "imaging/point_copy.h"
#include "imaging/polar.h"
#include "imaging/sample.h"
#include "imaging/trig.h"
#include "test_util.h"

namespace {

// A coordinate on an axis of `size` pixels: mostly inside, some on the last
// pixel, some just outside or far outside (negative as well).
uint32_t RandomCoordinate(int32_t size, std::mt19937& rng) {
    const uint32_t frac = rng() & 0xFFFF;
    switch (rng() % 8) {
        case 0:
            return (uint32_t(size - 1) << 16) | frac;
        case 1:
            return (uint32_t(size) << 16) | frac;
        case 2:
            return static_cast<uint32_t>(-static_cast<int32_t>(rng() % 3 + 1) << 16) | frac;
        case 3:
            return rng();
        default:
            return ((rng() % uint32_t(size)) << 16) | frac;
    }
}

TEST(FastPaths, SpanRemapsEqualThePerPixelSampler) {
    std::mt19937 rng(7);
    const int32_t sizes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 5}, {7, 3}, {17, 13}, {64, 31}};
    for (int level : {0, 3, 8}) {
        for (auto [w, h] : sizes) {
            kzrtest::RandomFrame src(w, h, level, rng());
            for (size_t count :
                 {size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{37}, size_t{300}}) {
                for (size_t skew : {0, 1, 3}) {
                    // Half the spans mostly away from the edges, so runs of
                    // pixels whose neighbours all lie inside are common too.
                    const bool inner = rng() % 2 == 0;
                    const auto pick = [&](int32_t size) -> uint32_t {
                        if (inner && size > 1 && rng() % 16 != 0)
                            return ((rng() % uint32_t(size - 1)) << 16) | (rng() & 0xFFFF);
                        return RandomCoordinate(size, rng);
                    };
                    std::vector<uint32_t> mx(count + skew), my(count + skew);
                    for (size_t k = 0; k < mx.size(); ++k) {
                        mx[k] = pick(w);
                        my[k] = pick(h);
                    }
                    std::vector<uint8_t> want(4 * count + 3), got;
                    for (auto& b : want)
                        b = static_cast<uint8_t>(rng());
                    got = want;
                    for (size_t k = 0; k < count; ++k) {
                        uint32_t px;
                        std::memcpy(&px, want.data() + skew + 4 * k, 4);
                        kzr::Sample(&src.s, int32_t(mx[skew + k]), int32_t(my[skew + k]), &px);
                        std::memcpy(want.data() + skew + 4 * k, &px, 4);
                    }
                    kzr::RemapSpanTwoMaps(&src.s, mx.data() + skew, my.data() + skew, count,
                                          got.data() + skew);
                    ASSERT_EQ(got, want) << "level " << level << " " << w << "x" << h << " count "
                                         << count << " skew " << skew;
                    if (level >= 8 && kzr::HasAvx2()) {
                        got = std::vector<uint8_t>(want.size());
                        std::vector<uint8_t> simd = got;
                        kzr::SampleSpanAvx2(&src.s, mx.data(), my.data(), count, got.data());
                        src.s.CpuLevel = 3;
                        kzr::SampleSpan(&src.s, mx.data(), my.data(), count, simd.data());
                        src.s.CpuLevel = level;
                        ASSERT_EQ(got, simd);
                    }
                }
            }
        }
    }
}

// Points inside, on the edges and far outside the frame (clamped), odd
// counts and unaligned tables: the AVX2 copy gives the per-pixel bytes and
// keeps every fourth byte of the destination.
TEST(FastPaths, PointCopyEqualsThePerPixelCopy) {
    std::mt19937 rng(17);
    for (auto [w, h] : {std::pair{1, 1}, {3, 7}, {61, 17}}) {
        kzrtest::RandomFrame src(w, h, 0, rng());
        std::vector<uint32_t> rows(static_cast<size_t>(h));
        for (int32_t r = 0; r < h; ++r)
            rows[size_t(r)] = uint32_t(r * w);
        const kzr::PointSource s{src.pixels.data(), rows.data(), w, h};
        for (size_t count : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{100}})
            for (size_t skew : {0, 1}) {
                std::vector<int32_t> points(2 * (count + skew));
                for (int32_t& p : points)
                    p = rng() % 4 == 0 ? int32_t(rng()) : int32_t(rng() % uint32_t(w + h + 4)) - 2;
                std::vector<uint8_t> want(4 * count + 1);
                for (auto& b : want)
                    b = static_cast<uint8_t>(rng());
                kzr::CopyPoints(s, points.data() + 2 * skew, count, want.data() + 1, 0);
                for (int level : {8}) {
                    std::vector<uint8_t> got = want;
                    for (size_t i = 1; i < got.size(); ++i)    // bytes 0 to 2 are written,
                        got[i] ^= (i - 1) % 4 < 3 ? 0x5A : 0;  // byte 3 kept
                    kzr::CopyPoints(s, points.data() + 2 * skew, count, got.data() + 1, level);
                    ASSERT_EQ(got, want)
                        << w << "x" << h << " count " << count << " level " << level;
                }
            }
    }
}

TEST(FastPaths, RowFormsOfTheFrameRemapsEqualTheWholeFrame) {
    std::mt19937 rng(11);
    for (int level : {0, 3, 8}) {
        for (auto [w, h] : {std::pair{5, 7}, {33, 9}, {1, 4}}) {
            kzrtest::RandomFrame src(w, h, level, rng());
            std::vector<uint32_t> mx(size_t(w) * h), my(mx.size());
            for (size_t k = 0; k < mx.size(); ++k) {
                mx[k] = RandomCoordinate(w, rng) % (uint32_t(w) << 16);
                my[k] = RandomCoordinate(h, rng) % (uint32_t(h) << 16);
            }
            for (kzr::MapAxis axis : {kzr::MapAxis::X, kzr::MapAxis::Y}) {
                std::vector<uint8_t> whole(4 * mx.size(), 0x5A), bands = whole;
                const uint32_t* map = axis == kzr::MapAxis::X ? mx.data() : my.data();
                kzr::RemapFrame(&src.s, whole.data(), w, h, map, axis);
                for (int32_t y = 0; y < h; y += 2)
                    kzr::RemapRows(&src.s, bands.data(), w, y, std::min(y + 2, h), map, axis);
                ASSERT_EQ(bands, whole) << level << " " << w << "x" << h;
            }
            std::vector<uint8_t> whole(4 * mx.size(), 0x5A), bands = whole;
            kzr::RemapFrameTwoMaps(&src.s, whole.data(), w, h, mx.data(), my.data());
            for (int32_t y = 0; y < h; y += 3)
                kzr::RemapRowsTwoMaps(&src.s, bands.data(), w, y, std::min(y + 3, h), mx.data(),
                                      my.data());
            ASSERT_EQ(bands, whole);
        }
    }
}

// Every effect with parameters away from the defaults and a change before
// the second frame (the tables are rebuilt inside Process); on the tall frame
// the centre moves to its far corner, where the squared distance the drain
// carries from row to row in float is rounded (to a value a band could not
// compute from its first row alone).
struct BandCase {
    const char* name;
    const char* id;
    const char* params;
    const char* change;  // "key=value"
    const char* corner;
};

void PrintTo(const BandCase& c, std::ostream* os) {
    *os << c.name;
}

const BandCase kBandCases[] = {
    {"HMirror", "Kzr_Dsp_Vi_HMirror", "P1=1;P2=0.35", "P1=0", ""},
    {"HSqueeze", "Kzr_Dsp_Vi_HSqueeze", "P1=0.05;P2=0.3;P3=1;P4=0.35,0.6", "P3=0", ""},
    {"HStretch", "Kzr_Dsp_Vi_HStretch", "P1=0.05;P2=0.6;P3=1;P4=0.35", "P3=0", ""},
    {"VStretch", "Kzr_Dsp_Vi_VStretch", "P1=0.05;P2=0.6;P3=0;P4=0.35", "P3=1", ""},
    {"TriStretch", "Kzr_Dsp_Vi_TriStretch", "P1=0.05;P2=0.6;P3=1;P4=0.35,0.6", "P3=0", ""},
    {"DoubleFishEye", "Kzr_Dsp_Vi_DoubleFishEye", "P1=0.05;P2=1;P3=1.5;P4=0.35,0.6", "P2=0", ""},
    {"Drain", "Kzr_Dsp_Vi_Drain", "P1=3;P2=0.9;P3=1;P4=0.35,0.6", "P3=0", ";P4=1,1"},
    {"Laser", "DSP_VI_Laser", "P1=0.3;P2=0.35,0.6", "P1=0.6", ";P2=1,1"},
    {"Square", "Kzr_Dsp_Vi_Square", "P1=0.05;P2=0.35,0.6", "P1=0.01", ""},
    {"SShape", "Kzr_Dsp_Vi_Sshape", "P1=0.05;P2=0.6;P3=0", "P3=1", ""},
};

class ThreadsFastPaths : public ::testing::TestWithParam<BandCase> {};

// Tables built at Prepare and rebuilt inside Process, and the frames drawn
// through them, at TaskCount 2, 3, 8 and 70 (more tasks than rows) and every
// CpuLevel, equal those of TaskCount 1 byte for byte.
TEST_P(ThreadsFastPaths, EveryTaskCountBuildsAndDrawsAsOne) {
    const BandCase& c = GetParam();
    for (auto [w, h] : {std::pair{1u, 1u}, {7u, 3u}, {61u, 97u}, {100u, 4500u}}) {
        const std::string params = std::string(c.params) + (h == 4500 ? c.corner : "");
        const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
        for (int level : h == 4500 ? std::vector{8} : std::vector{0, 3, 8}) {
            std::vector<uint8_t> want;
            for (int tasks : {1, 2, 3, 8, 70}) {
                auto fx = kzrtest::Prepared(c.id, w, h, params, tasks);
                fx->SetCpuLevel(level);
                fx->ClearChanged();  // the first frame draws through the tables of Prepare
                std::vector<uint8_t> got;
                for (int step = 0; step < 2; ++step) {
                    if (step == 1)
                        fx->SetParam(std::string(c.change, 2), c.change + 3);
                    const std::vector<uint8_t> frame = kzrtest::Rendered(*fx, src, 0x5A);
                    const std::vector<uint8_t> tables = kzrtest::TableBytes(*fx, w, h);
                    got.insert(got.end(), frame.begin(), frame.end());
                    got.insert(got.end(), tables.begin(), tables.end());
                }
                if (tasks == 1)
                    want = got;
                else  // compared whole: a byte-wise print of a failure would be huge
                    ASSERT_TRUE(got == want)
                        << w << "x" << h << " level " << level << " tasks " << tasks;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllEffects, ThreadsFastPaths, ::testing::ValuesIn(kBandCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Lens builders against the per-pixel formulas -------------------------------------

using Entry = std::pair<uint32_t, uint32_t>;  // column and row entries of one pixel

// The centre pixel that the position parameter p places in the frame.
std::pair<int32_t, int32_t> CentreOf(const kzr::EffectContext& ctx, int32_t p) {
    const kzr::Point2f pos = kzr::ParamPoint(&ctx, p);
    return {kzr::Bounded(kzr::TruncToInt(float(ctx.Width) * pos.x)),
            kzr::Bounded(kzr::TruncToInt(float(ctx.Height) * pos.y))};
}

// The squeeze's sample point of pixel (x, y), computed for that pixel alone.
Entry SqueezePixel(const kzr::EffectContext& ctx, int32_t x, int32_t y) {
    const float g = kzr::ParamFloat(&ctx, 0), size = kzr::ParamFloat(&ctx, 1);
    const bool inverse = kzr::ParamBool(&ctx, 2);
    const int32_t w = int32_t(ctx.Width), h = int32_t(ctx.Height);
    const auto [cx, cy] = CentreOf(ctx, 3);
    const bool curve = g > 0.0f && std::isfinite(g);
    const int32_t r =
        curve ? std::max(kzr::Bounded(kzr::TruncToInt(float(std::min(w, h)) * size)), 0) : 0;
    const int32_t centre = x < cx ? cx - r : cx + r;
    const int64_t dx = int64_t{x} - centre, dy = int64_t{y} - cy;
    const int64_t q = dx * dx + dy * dy;
    if (q > int64_t{r} * r)
        return {uint32_t(x) << 16, uint32_t(y) << 16};
    float px = float(centre), py = float(cy);
    if (q != 0) {
        const kzr::ExpCurve c(r, g);
        const float d = float(std::sqrt(double(q)));
        const float s = inverse ? c.Squeeze(d) : c.Magnify(d);
        px = float(centre) + (float(dx) * s) / d;
        py = float(cy) + (float(dy) * s) / d;
        if (std::isnan(px) || std::isnan(py))
            px = float(x), py = float(y);
    }
    return {kzr::ClampedFixedTrunc(px, w), kzr::ClampedFixedTrunc(py, h)};
}

// The horizontal stretch's column entry of pixel (x, y), computed for that
// pixel alone (its only map: the second entry is 0).
Entry HStretchPixel(const kzr::EffectContext& ctx, int32_t x, int32_t) {
    const float k = kzr::ParamFloat(&ctx, 0), size = kzr::ParamFloat(&ctx, 1);
    const bool inverse = kzr::ParamBool(&ctx, 2);
    const int32_t w = int32_t(ctx.Width);
    const int32_t c = kzr::Bounded(kzr::TruncToInt(float(w) * kzr::ParamFloat(&ctx, 3)));
    const float D = float(c > w / 2 ? c : w - c);
    const int32_t R = k > 0.0f && std::isfinite(k) ? kzr::TruncToInt(D * size) : 0;
    const int32_t d = std::abs(x - c);
    if (d >= R)
        return {uint32_t(x) << 16, 0};
    const float v = kzr::ExpCurve(R, k).Offset(float(d), inverse);
    return {kzr::ClampedFixedTrunc(x > c ? float(c) + v : float(c) - v, w), 0};
}

// The tri-stretch's column entry of pixel (x, y), computed for that pixel
// alone with the library's exp and log (its only map: the second entry is 0).
Entry TriStretchPixel(const kzr::EffectContext& ctx, int32_t x, int32_t y) {
    const float g = kzr::ParamFloat(&ctx, 0), size = kzr::ParamFloat(&ctx, 1);
    const bool inverse = kzr::ParamBool(&ctx, 2);
    const int32_t w = int32_t(ctx.Width), h = int32_t(ctx.Height);
    const auto [cx, cy] = CentreOf(ctx, 3);
    const int32_t E = y <= cy ? cy : h - cy;
    const bool curved = g > 0.0f && std::isnormal(g);
    const int32_t R = curved ? kzr::Bounded(kzr::TruncToInt(float(E) * size)) : 0;
    const int32_t b = std::abs(x - cx);
    const Entry keep{uint32_t(x) << 16, 0};
    if (y == cy || R <= 0 || b >= R)
        return keep;
    const float t = float(std::abs(y - cy)) / float(E);
    const float gy = (t * g) * t;
    const double G = gy == 0.0f ? 1e-8 : double(gy);
    const double arg = inverse ? double(float(double(R) * G + 1.0)) : double(R) * G + 1.0;
    if (!(std::log(arg) > 0.0))
        return keep;
    const double K = double(R) / std::log(arg);
    float v = (y < cy) != inverse ? float((std::exp(double(b) * (1.0 / K)) - 1.0) * (1.0 / G))
                                  : float(std::log(double(b) * G + 1.0) * K);
    v = std::isnan(v) ? float(b) : v;
    return {kzr::ClampedFixedTrunc(x > cx ? float(cx) + v : float(cx) - v, w), 0};
}

// The fish-eye's entries of pixel (x, y), computed for that pixel alone.
Entry FishEyePixel(const kzr::EffectContext& ctx, int32_t x, int32_t y) {
    const float d = kzr::ParamFloat(&ctx, 0), size = kzr::ParamFloat(&ctx, 2);
    const bool inverse = kzr::ParamBool(&ctx, 1);
    const int32_t w = int32_t(ctx.Width), h = int32_t(ctx.Height);
    const auto [cx, cy] = CentreOf(ctx, 3);
    float r = float(std::min(w, h)) * size * 0.25f;
    r = std::isnan(r) ? 0.0f : r;
    const int32_t ri = kzr::Bounded(kzr::TruncToInt(r));
    const float k = float(std::log(double(r * d + 1.0f)) / double(r));
    const float A = float(double(r) / std::log(double(r * d + 1.0f)));
    const bool curve = d > 0.0f && std::isfinite(d) && r > 0.0f && std::isfinite(r);
    const int64_t dx = int64_t{x} - cx, dyU = int64_t{y} - (cy - ri), dyL = int64_t{y} - (cy + ri);
    const int64_t qU = dx * dx + dyU * dyU, qL = dx * dx + dyL * dyL;
    const bool lower = !(r * r >= float(qU));
    if (lower && !(r * r >= float(qL)))
        return {0, 0};
    const int64_t q = lower ? qL : qU, dy = lower ? dyL : dyU;
    const float cc = float(lower ? cy + ri : cy - ri);
    float sx = float(x), sy = float(y);
    if (q == 0) {
        sx = float(cx), sy = cc;
    } else if (curve) {
        const float dist = float(std::sqrt(double(float(q))));
        const float nd = inverse ? float(std::log(double(dist * d + 1.0f)) * double(A))
                                 : float((std::exp(double(dist * k)) - 1.0) * double(1.0f / d));
        const float px = float(dx) * nd / dist + float(cx), py = float(dy) * nd / dist + cc;
        sx = std::isnan(px) ? sx : px;
        sy = std::isnan(py) ? sy : py;
    }
    const auto encode = [&](float v, int32_t n) {
        if (v < 0.0f)
            v = 0.0f;
        else if (lower && !inverse)
            v = std::min(v, float(n - 1));
        else if (v >= float(n))
            v = float(n - 1);
        return std::min(kzr::FixedNearest(v), uint32_t((uint64_t(uint32_t(n)) << 16) - 1));
    };
    return {encode(sx, w), encode(sy, h)};
}

// The drain's entries of pixel (x, y), computed for that pixel alone with the
// library's atan2, sqrt, cos and sin.  The squared distance is carried in
// float from the frame's first pixel, pixel by pixel; while every distance
// in the frame stays below 2^24 that is the exact value.
Entry DrainPixel(const kzr::EffectContext& ctx, int32_t x, int32_t y) {
    const float degree = kzr::ParamFloat(&ctx, 0), size = kzr::ParamFloat(&ctx, 1);
    const bool inverse = kzr::ParamBool(&ctx, 2);
    const int32_t w = int32_t(ctx.Width), h = int32_t(ctx.Height);
    const auto [cx, cy] = CentreOf(ctx, 3);
    const float R = float(std::min(w, h)) * size * 0.5f;
    const int64_t dx = int64_t{x} - cx, dy = int64_t{y} - cy;
    const int64_t far = std::max(std::abs(int64_t{cx}), std::abs(int64_t{w} - cx)) +
                        std::max(std::abs(int64_t{cy}), std::abs(int64_t{h} - cy));
    float q = float(dx * dx + dy * dy);
    if (far * far >= (int64_t{1} << 24)) {
        q = float(int64_t{cx} * cx + int64_t{cy} * cy);
        for (int64_t row = 0; row < y; ++row)
            q += float(2 * (row - cy) + 1);
        for (int64_t col = 0; col < x; ++col)
            q += float(2 * (col - cx) + 1);
    }
    if (R * R < q)
        return {0, 0};
    if (dx == 0 && dy == 0)
        return {uint32_t(cx) << 16, uint32_t(cy) << 16};
    const float theta = float(std::atan2(double(dy), double(dx)));
    const float dist = float(std::sqrt(double(q)));
    const float invD = 1.0f / degree, t2 = invD + invD;
    float tw = 0.0f;
    if (double(invD) > 0.02)
        tw = inverse ? (R * invD) / dist - invD : (R * t2) / dist - t2;
    const float phi = inverse ? theta - tw : tw + theta;
    const auto encode = [&](double t, int32_t centre, int32_t n) {
        const float v = float(t * double(dist) + double(centre));
        return kzr::FixedNearest(!(v >= 0.0f) ? 0.0f : std::min(v, float(n - 1)));
    };
    return {encode(std::cos(double(phi)), cx, w), encode(std::sin(double(phi)), cy, h)};
}

// Random parameter bits: within range, special values or any bits.
void WriteRandomParams(refhost::Instance& fx, std::mt19937& rng) {
    const float specials[] = {NAN,    INFINITY, -INFINITY, 0.0f, -0.0f,
                              1e-40f, 1e30f,    -0.5f,     2.0f, 1.0f};
    const kzr::EffectDescriptor& e = fx.Effect();
    for (size_t p = 0; p < refhost::OwnParamCount(e); ++p) {
        float v[2];
        for (int c = 0; c < 2; ++c) {
            float lo, hi;
            std::memcpy(&lo, static_cast<const char*>(e.Params[p].MinValue) + 4 * c, 4);
            std::memcpy(&hi, static_cast<const char*>(e.Params[p].MaxValue) + 4 * c, 4);
            const uint32_t bits = rng(), mode = rng() % 10;
            v[c] = lo + (hi - lo) * float(bits % 1000) / 1000.0f;
            if (e.Params[p].ValueType == kzr::kTypeBool || mode == 9)
                std::memcpy(&v[c], &bits, 4);
            else if (mode >= 6)
                v[c] = specials[bits % std::size(specials)];
        }
        fx.WriteRaw(p, v, e.Params[p].ValueSize);
    }
}

// Random parameters, sizes and CpuLevels (0 and 8); every entry of the maps
// equals the one computed for its pixel alone.  The squeeze also builds
// frames hundreds of pixels across (many blocks of distances per row) and
// wider than 32768 (entries of 2^31 and more).
TEST(FastPaths, LensBuildersEqualTheirPerPixelFormulas) {
    std::mt19937 rng(99);
    const struct {
        const char* id;
        Entry (*pixel)(const kzr::EffectContext&, int32_t, int32_t);
        bool wide, huge, twoMaps;  // rows of many blocks; frames wider than 32768
    } effects[] = {{"Kzr_Dsp_Vi_HSqueeze", &SqueezePixel, true, true, true},
                   {"Kzr_Dsp_Vi_DoubleFishEye", &FishEyePixel, true, false, true},
                   {"Kzr_Dsp_Vi_HStretch", &HStretchPixel, true, false, false},
                   {"Kzr_Dsp_Vi_TriStretch", &TriStretchPixel, true, false, false},
                   {"Kzr_Dsp_Vi_Drain", &DrainPixel, false, false, true}};
    for (const auto& [id, pixel, wide, huge, twoMaps] : effects)
        for (int run = 0; run < 300; ++run) {
            refhost::Instance fx(kzrtest::TheModule(), kzrtest::EffectIndex(id));
            fx.SetCpuLevel(run % 2 ? 8 : 0);
            WriteRandomParams(fx, rng);
            uint32_t w = 1 + rng() % 70, h = 1 + rng() % 70;
            if (wide && run % 10 == 0) {
                w = huge && run % 20 == 0 ? 32768 + rng() % 9000 : 1 + rng() % 700;
                h = 1 + rng() % (huge ? 40 : 300);
                // Lenses by the right edge, of radius 4096 to 12288 (distances
                // on both sides of 2^12) every other time.
                const float right[2] = {1.0f - float(rng() % 100) / 2000.0f, 0.5f};
                const float radius = float(4096 + rng() % 8192) / float(h);
                if (w > 32768)
                    fx.WriteRaw(3, right, sizeof right);
                if (w > 32768 && run % 40 == 0)
                    fx.WriteRaw(1, &radius, sizeof radius);
            }
            ASSERT_EQ(fx.Prepare(w, h), kzr::kOk);
            const uint32_t* a = kzrtest::MapAt(fx, 0x10);
            const uint32_t* b = twoMaps ? kzrtest::MapAt(fx, 0x18) : nullptr;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const Entry want = pixel(fx.Context(), int32_t(x), int32_t(y));
                    ASSERT_EQ(Entry(a[y * w + x], b ? b[y * w + x] : 0), want)
                        << id << " run " << run << " level " << run % 2 * 8 << " " << w << "x" << h
                        << " at " << x << "," << y << " parameters " << fx.FormatParam(0) << " "
                        << fx.FormatParam(1) << " " << fx.FormatParam(2) << " "
                        << fx.FormatParam(3);
                }
        }
}

// The tables every effect builds (and the laser's runs of inside pixels,
// found at the first frame) are the same at CpuLevel 0, 3 and 8 for random
// parameters and widths around the vector steps; the frames of the SSE2 and
// the AVX2 levels are the same too.
TEST_P(ThreadsFastPaths, EveryCpuLevelBuildsTheSameTables) {
    if (!kzr::HasAvx2())
        GTEST_SKIP() << "no AVX2 here: only the per-pixel and SSE2 builders run";
    std::mt19937 rng(31);
    for (int run = 0; run < 60; ++run) {
        const uint32_t w = 1 + rng() % (run % 2 ? 40 : 300), h = 1 + rng() % 30;
        const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
        const uint32_t seed = rng();
        std::vector<uint8_t> tables[3], frames[3];
        for (int i = 0; i < 3; ++i) {
            refhost::Instance fx(kzrtest::TheModule(), kzrtest::EffectIndex(GetParam().id));
            std::mt19937 params(seed);
            WriteRandomParams(fx, params);
            fx.SetCpuLevel((int[]){0, 3, 8}[i]);
            fx.ClearChanged();
            ASSERT_EQ(fx.Prepare(w, h), kzr::kOk);
            frames[i] = kzrtest::Rendered(fx, src, 0x5A);
            tables[i] = kzrtest::TableBytes(fx, w, h);
        }
        ASSERT_TRUE(tables[0] == tables[1] && tables[0] == tables[2])
            << "run " << run << " " << w << "x" << h;
        ASSERT_TRUE(frames[1] == frames[2]) << "run " << run << " " << w << "x" << h;
    }
}

// The vector sine and cosine stay within 2^-51 of the library's, over the
// whole range they take and near the quadrant boundaries, two and four at a
// time with the same bits (odd counts end in a partial step).
TEST(FastPaths, SinCosStaysNearTheLibrary) {
    std::mt19937 rng(5);
    const float limit = float(kzr::kSinCosLimit);
    std::uniform_real_distribution<float> wide(-limit, limit), narrow(-8.0f, 8.0f);
    std::vector<float> x = {0.0f, -0.0f, 1e-40f, -1e-30f, limit, -limit};
    for (int k = -200; k <= 200; ++k) {
        const float edge = float(k * 0.78539816339744830962);
        x.insert(x.end(), {edge, std::nextafter(edge, 1e9f), std::nextafter(edge, -1e9f)});
    }
    while (x.size() < 300003)
        x.push_back(x.size() % 2 ? wide(rng) : narrow(rng));
    const size_t n = x.size();
    std::vector<double> s(n), c(n), s8(n), c8(n);
    kzr::SinCos(x.data(), s.data(), c.data(), n, 0);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_LE(std::fabs(s[i] - std::sin(double(x[i]))), 0x1p-51) << "sin " << x[i];
        ASSERT_LE(std::fabs(c[i] - std::cos(double(x[i]))), 0x1p-51) << "cos " << x[i];
    }
    if (!kzr::HasAvx2())
        GTEST_SKIP() << "no AVX2 here: the four-at-a-time form is not checked";
    kzr::SinCos(x.data(), s8.data(), c8.data(), n, 8);
    EXPECT_EQ(std::memcmp(s.data(), s8.data(), n * 8), 0);
    EXPECT_EQ(std::memcmp(c.data(), c8.data(), n * 8), 0);
}

// Random float bits.
float RandomBits(std::mt19937& rng) {
    const uint32_t u = rng();
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// The vector exponential and logarithm stay within 2^-50 of the library's
// over the range each takes and are NaN outside it (random bits, the ends,
// values near 1), two and four at a time with the same bits.
TEST(FastPaths, ExpAndLogStayNearTheLibrary) {
    const struct {
        void (*fast)(const float*, double*, size_t, int);
        double (*exact)(double);
        float lo, hi;  // the range, open
    } kernels[] = {{&kzr::ExpOfFloats, [](double v) { return std::exp(v); }, -700.0f, 700.0f},
                   {&kzr::LogOfFloats, [](double v) { return std::log(v); }, 0.0f, INFINITY}};
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> wide(-720.0f, 720.0f), near(0.5f, 2.0f);
    std::vector<float> x = {0.0f,     -0.0f,     1e-40f, 1.0f,    std::nextafter(1.0f, 2.0f),
                            699.99f,  -699.99f,  700.0f, -700.0f, NAN,
                            INFINITY, -INFINITY, 3e38f,  1e-45f};
    while (x.size() < 200003)
        x.push_back(x.size() % 3 == 0   ? RandomBits(rng)
                    : x.size() % 3 == 1 ? wide(rng)
                                        : near(rng));
    std::vector<double> out(x.size()), out8(x.size());
    for (const auto& k : kernels) {
        k.fast(x.data(), out.data(), x.size(), 0);
        for (size_t i = 0; i < x.size(); ++i) {
            const double want = k.exact(double(x[i]));
            if (x[i] > k.lo && x[i] < k.hi)
                ASSERT_LE(std::fabs(out[i] - want), 0x1p-50 * std::fabs(want)) << x[i];
            else
                ASSERT_TRUE(std::isnan(out[i])) << x[i];
        }
    }
    if (!kzr::HasAvx2())
        GTEST_SKIP() << "no AVX2 here: the four-at-a-time form is not checked";
    for (const auto& k : kernels) {
        k.fast(x.data(), out.data(), x.size(), 0);
        k.fast(x.data(), out8.data(), x.size(), 8);
        EXPECT_EQ(std::memcmp(out.data(), out8.data(), x.size() * 8), 0);
    }
}

// The curves over arrays are the scalar ones bit for bit at CpuLevel 0 and
// 8: radii and curvatures from the usable ones to the extremes, random and
// special distances, odd counts.  The margin is put to the test by factors
// that make the library's value fall exactly halfway between two floats.
TEST(FastPaths, ExpCurveValuesAreTheScalarCurves) {
    const int32_t radii[] = {1, 2, 7, 540, 2160, 65536, 1 << 24};
    const float curvatures[] = {1e-6f, 0.001f, 0.02f,  0.1f,   1.0f,
                                50.0f, 1e6f,   1e-30f, 1e-40f, 3e38f};
    const auto same = [](float a, float b) { return std::memcmp(&a, &b, 4) == 0; };
    for (const int level : {0, 8}) {
        if (level == 8 && !kzr::HasAvx2())
            GTEST_SKIP() << "no AVX2 here: the four-at-a-time form is not checked";
        std::mt19937 rng(21);
        for (const int32_t r : radii)
            for (const float g : curvatures) {
                const kzr::ExpCurve c(r, g);
                std::uniform_real_distribution<float> span(0.0f, 1.2f * float(r));
                std::vector<float> d = {0.0f, 1.0f, float(r), 1e-45f, NAN, INFINITY};
                for (size_t i = 0, n = 200 + rng() % 64; i < n; ++i)
                    d.push_back(i % 2 ? span(rng) : std::sqrt(float(rng() % (uint32_t(r) + 1))));
                std::vector<float> v(d.size());
                for (const bool squeeze : {false, true}) {
                    c.Values(d.data(), v.data(), d.size(), squeeze, level);
                    for (size_t i = 0; i < d.size(); ++i)
                        ASSERT_TRUE(same(v[i], squeeze ? c.Squeeze(d[i]) : c.Magnify(d[i])))
                            << "level " << level << " r " << r << " k " << g << " squeeze "
                            << squeeze << " d " << d[i];
                }
            }
        // Factors that put the exact value next to the midpoint between two
        // floats, the argument formed in float and in double.
        std::uniform_real_distribution<float> arg(0.001f, 20.0f), target(1.0f, 1e6f);
        const auto check = [&](auto x, bool squeeze) {
            using In = decltype(x);
            const double u = squeeze ? double(x + In{1}) : double(x);
            const double exact = squeeze ? std::log(u) : std::exp(u) - 1.0;
            const float f = target(rng);  // the midpoint above f, over the exact value
            const double m = (double(f) + double(std::nextafter(f, INFINITY) - f) / 2) / exact;
            float got;
            if (squeeze)
                kzr::LogOnePlusToFloat(&x, In{1}, m, &got, 1, level);
            else
                kzr::ExpMinusOneToFloat(&x, In{1}, m, &got, 1, level);
            return ::testing::AssertionResult(same(got, float(exact * m)))
                   << "level " << level << " x " << x << " factor " << m << " squeeze " << squeeze
                   << " in " << sizeof(In) * 8 << " bits";
        };
        for (int i = 0; i < 4000; ++i) {
            const bool squeeze = i % 2 != 0;
            const float x = squeeze ? std::exp(arg(rng)) - 1.0f : arg(rng);
            ASSERT_TRUE(check(x, squeeze));
            ASSERT_TRUE(check(double(x) + double(arg(rng)) * 0x1p-30, squeeze));
        }
    }
}

// The vector polar angles, rounded to float, are the library's bit for bit:
// every point of a square around the origin (the origin, the axes and the
// diagonals included) and random points up to 2^20 away, at CpuLevel 0 and 8.
TEST(FastPaths, Atan2ToFloatIsTheLibrarys) {
    std::vector<int32_t> y, x;
    for (int32_t v = -700; v <= 700; ++v)
        for (int32_t u = -700; u <= 700; ++u)
            y.push_back(v), x.push_back(u);
    std::mt19937 rng(3);
    for (int i = 0; i < 200001; ++i) {
        y.push_back(int32_t(rng() % (2u << 20)) - (1 << 20));
        x.push_back(int32_t(rng() % (2u << 20)) - (1 << 20));
    }
    std::vector<float> t(x.size());
    for (int level : {0, 8}) {
        kzr::Atan2ToFloat(y.data(), x.data(), t.data(), x.size(), level);
        for (size_t i = 0; i < x.size(); ++i) {
            const float want = float(std::atan2(double(y[i]), double(x[i])));
            ASSERT_EQ(std::memcmp(&t[i], &want, 4), 0)
                << "level " << level << " at (" << x[i] << ", " << y[i] << "): " << t[i]
                << " against " << want;
        }
    }
}

// The polar kernels over odd counts, unaligned arrays and random bits
// (NaN, infinities, angles far beyond the vector range), against their
// per-pixel formulas with the library's sine and cosine.
TEST(FastPaths, PolarKernelsEqualTheirPerPixelFormulas) {
    std::mt19937 rng(13);
    const auto bits = [&] {
        const uint32_t u = rng();
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    };
    // NaNs of any sign and payload count as one: the entries make 0 of all.
    const auto same = [](float a, float b) {
        return std::memcmp(&a, &b, 4) == 0 || (std::isnan(a) && std::isnan(b));
    };
    for (int round = 0; round < 400; ++round) {
        const size_t n = rng() % 150, skew = rng() % 3;
        std::vector<float> q(n + skew), theta(n + skew), dist(n + skew), phi(n + skew);
        std::vector<float> sx(n + skew), sy(n + skew);
        std::vector<uint32_t> e(n + skew);
        std::uniform_real_distribution<float> span(-2000.0f, 2000.0f);
        for (size_t i = skew; i < n + skew; ++i) {
            const bool odd = rng() % 8 == 0;
            q[i] = odd ? bits() : span(rng) * span(rng);
            theta[i] = odd ? bits() : span(rng) / 300.0f;
        }
        const kzr::Swirl swirl{span(rng), span(rng) / 100.0f, rng() % 4 != 0, rng() % 2 == 0};
        const double cx = std::floor(span(rng)), cy = std::floor(span(rng));
        const float last = rng() % 2 ? 1919.0f : 40000.0f;
        const int level = rng() % 2 ? 8 : 0;
        kzr::SwirlAngles(swirl, &q[skew], &theta[skew], &dist[skew], &phi[skew], n);
        kzr::PolarToFloat(&phi[skew], &dist[skew], cx, cy, &sx[skew], &sy[skew], n, level);
        kzr::ClampedFixedNearest(&sx[skew], last, &e[skew], n);
        for (size_t i = skew; i < n + skew; ++i) {
            const float d = std::sqrt(q[i]);
            const float turn = swirl.twisted ? swirl.a / d - swirl.b : 0.0f;
            const float p = swirl.reversed ? theta[i] - turn : turn + theta[i];
            ASSERT_TRUE(same(dist[i], d) && same(phi[i], p)) << "round " << round << " at " << i;
            const float wx = float(std::cos(double(p)) * double(d) + cx);
            const float wy = float(std::sin(double(p)) * double(d) + cy);
            ASSERT_TRUE(same(sx[i], wx) && same(sy[i], wy))
                << "round " << round << ": angle " << p << " distance " << d;
            const float kept = sx[i] >= 0.0f ? std::min(sx[i], last) : 0.0f;
            ASSERT_EQ(e[i], kzr::FixedNearest(kept)) << "round " << round << ": " << sx[i];
        }
    }
}

}  // namespace
