// Whatever bits a host writes into the parameter blob and whatever frame size
// it asks for, no effect may read or write outside the buffers it was given,
// and every map entry must lie inside the frame.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "tests/test_util.h"

namespace {

enum class Axes { None, X, Y, XY };

// Which coordinates an effect's maps hold, by effect id.
Axes MapAxes(const std::string& id) {
    if (id == "Kzr_Dsp_Vi_HStretch" || id == "Kzr_Dsp_Vi_TriStretch") return Axes::X;
    if (id == "Kzr_Dsp_Vi_VStretch" || id == "Kzr_Dsp_Vi_Sshape") return Axes::Y;
    if (id == "Kzr_Dsp_Vi_HSqueeze" || id == "Kzr_Dsp_Vi_DoubleFishEye" ||
        id == "Kzr_Dsp_Vi_Drain" || id == "Kzr_Dsp_Vi_Square")
        return Axes::XY;
    return Axes::None;
}

float NastyFloat(std::mt19937& rng, float lo, float hi) {
    const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                             -std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             0.0f,
                             -0.0f,
                             -1.0f,
                             1e-40f,
                             -1e-40f,
                             1e30f,
                             -1e30f,
                             3.0e9f,
                             2.0f,
                             100.0f,
                             lo,
                             hi,
                             std::nextafter(lo, -1e9f),
                             std::nextafter(hi, 1e9f)};
    switch (rng() % 4) {
        case 0: {
            const uint32_t bits = rng();
            float f;
            std::memcpy(&f, &bits, 4);
            return f;
        }
        case 1:
            return lo + (hi - lo) * static_cast<float>(rng() % 10001) / 10000.0f;
        default:
            return special[rng() % (sizeof special / sizeof special[0])];
    }
}

void WriteNastyParams(refhost::Instance& fx, std::mt19937& rng) {
    const kzr::EffectDescriptor& e = fx.Effect();
    for (size_t i = 0; i < refhost::OwnParamCount(e); ++i) {
        const kzr::ParamDescriptor& p = e.Params[i];
        float lo[2], hi[2];
        std::memcpy(lo, p.MinValue, p.ValueSize);
        std::memcpy(hi, p.MaxValue, p.ValueSize);
        if (p.ValueType == kzr::kTypeBool) {
            const int32_t v = rng() % 3 == 0 ? static_cast<int32_t>(rng()) : static_cast<int32_t>(rng() % 2);
            fx.WriteRaw(i, &v, 4);
        } else if (p.ValueType == kzr::kTypePoint) {
            const float v[2] = {NastyFloat(rng, lo[0], hi[0]), NastyFloat(rng, lo[1], hi[1])};
            fx.WriteRaw(i, v, 8);
        } else {
            const float v = NastyFloat(rng, lo[0], hi[0]);
            fx.WriteRaw(i, &v, 4);
        }
    }
}

void CheckMaps(refhost::Instance& fx, uint32_t w, uint32_t h) {
    const Axes axes = MapAxes(fx.Effect().Id);
    if (axes == Axes::None || uint64_t{w} * h == 0) return;
    const auto* a = static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x10));
    ASSERT_NE(a, nullptr);
    const size_t n = size_t{w} * h;
    const uint32_t first = (axes == Axes::Y ? h : w) - 1;
    for (size_t i = 0; i < n; ++i) ASSERT_LE(a[i] >> 16, first) << "first map entry " << i;
    if (axes != Axes::XY) return;
    const auto* b = static_cast<const uint32_t*>(kzrtest::StatePointer(fx, 0x18));
    ASSERT_NE(b, nullptr);
    for (size_t i = 0; i < n; ++i) ASSERT_LE(b[i] >> 16, h - 1) << "second map entry " << i;
}

TEST(BadInput, RandomParameterBitsAndFrameSizes) {
    const uint32_t sides[] = {0, 1, 2, 3, 4, 5, 7, 9, 16, 17, 37};
    constexpr size_t kGuard = 64;
    std::mt19937 rng(20261206);
    for (size_t e = 0; e < kzrtest::TheModule().EffectCount(); ++e) {
        if (!kzrtest::TheModule().Available(e)) continue;
        for (int trial = 0; trial < 250; ++trial) {
            refhost::Instance fx(kzrtest::TheModule(), e);
            const uint32_t w = sides[rng() % std::size(sides)], h = sides[rng() % std::size(sides)];
            WriteNastyParams(fx, rng);
            fx.SetCpuLevel(static_cast<int>(rng() % 10));
            fx.SetTaskCount(static_cast<int>(rng() % 6) - 1);
            fx.SetReference(rng() % 3 == 0 ? rng() % 40 : 0, rng() % 3 == 0 ? rng() % 40 : 0);
            SCOPED_TRACE(std::string(fx.Effect().Id) + " " + std::to_string(w) + "x" +
                         std::to_string(h) + " trial " + std::to_string(trial));
            ASSERT_EQ(fx.Prepare(w, h), kzr::kOk);
            ASSERT_NO_FATAL_FAILURE(CheckMaps(fx, w, h));

            // Exactly-sized source (sanitizers catch over-reads); guard bytes
            // around the destination catch over-writes.
            const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
            const size_t bytes = size_t{w} * h * 4;
            std::vector<uint8_t> dst(bytes + 2 * kGuard, 0xA5);
            for (int frame = 0; frame < 2; ++frame) {
                ASSERT_EQ(fx.Render(src.data(), dst.data() + kGuard), kzr::kOk);
                for (size_t g = 0; g < kGuard; ++g) {
                    ASSERT_EQ(dst[g], 0xA5) << "written before the frame";
                    ASSERT_EQ(dst[kGuard + bytes + g], 0xA5) << "written after the frame";
                }
                // New bits flagged as changed: the next frame rebuilds.
                WriteNastyParams(fx, rng);
            }
            ASSERT_NO_FATAL_FAILURE(CheckMaps(fx, w, h));
            EXPECT_EQ(fx.OutstandingSurfaces(), 0);
        }
    }
}

}  // namespace
