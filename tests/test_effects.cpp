// What every effect must do, run over all ten: bit-identical maps and frames
// for the golden table, the callback contract (null contexts, repeated and
// skipped steps, sizes the maps cannot address, failed allocations, changed
// flags), bad parameter bits, and the same frame from every CpuLevel as from
// the per-pixel sampler it selects.  (Failed allocations are the allocation
// fault program's: tests/faults.)
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "imaging/sample.h"
#include "tests/test_util.h"

namespace {

enum class Maps { None, X, Y, XY };

struct EffectCase {
    const char* name;
    const char* id;
    uint8_t flagA, flagB;  // the context flags Prepare raises
    Maps maps;             // what the buffers at 0x10 and 0x18 hold
    bool samplesAll;       // every pixel is sampled through the maps
    // Own parameters that leave the picture alone when not usable, and
    // parameters that give a frame unlike the defaults.
    std::vector<size_t> inertWhenUnusable;
    const char* strong;
};

// Test names and failure messages show the effect, not the record's bytes.
void PrintTo(const EffectCase& c, std::ostream* os) {
    *os << c.name;
}

const EffectCase kEffects[] = {
    {"HMirror", "Kzr_Dsp_Vi_HMirror", 1, 0, Maps::None, false, {}, "XOffset=0.3"},
    {"HSqueeze", "Kzr_Dsp_Vi_HSqueeze", 1, 0, Maps::XY, true, {0, 1}, "Degree=0.1"},
    {"HStretch", "Kzr_Dsp_Vi_HStretch", 0, 0, Maps::X, true, {0, 1}, "Degree=0.1"},
    {"VStretch", "Kzr_Dsp_Vi_VStretch", 0, 1, Maps::Y, true, {0, 1}, "Degree=0.1;Inverse=1"},
    {"TriStretch", "Kzr_Dsp_Vi_TriStretch", 0, 1, Maps::X, true, {0, 1}, "P3=1"},
    {"DoubleFishEye", "Kzr_Dsp_Vi_DoubleFishEye", 1, 0, Maps::XY, false, {0, 2}, "Degree=0.1"},
    {"Drain", "Kzr_Dsp_Vi_Drain", 1, 0, Maps::XY, false, {1}, "P1=1.5;P4=0.3,0.7"},
    {"Laser", "DSP_VI_Laser", 0, 0, Maps::None, false, {}, "P1=0.2"},
    {"Square", "Kzr_Dsp_Vi_Square", 1, 0, Maps::XY, true, {0}, "P2=0.2,0.8"},
    {"SShape", "Kzr_Dsp_Vi_Sshape", 0, 1, Maps::Y, true, {0, 1}, "P3=1"},
};

bool HasTables(const kzr::EffectDescriptor& fx) {
    return fx.StateSize > 16;
}

uint64_t TablesHash(refhost::Instance& fx, uint32_t w, uint32_t h) {
    const std::vector<uint8_t> bytes = kzrtest::TableBytes(fx, w, h, false);
    return kzrtest::Fnv1a64(bytes.data(), bytes.size());
}

class EffectTest : public ::testing::TestWithParam<EffectCase> {
  protected:
    void SetUp() override {
        index = kzrtest::EffectIndex(GetParam().id);
        if (!kzrtest::TheModule().Available(index))
            GTEST_SKIP() << "the module carries no " << GetParam().id;
    }
    std::unique_ptr<refhost::Instance> Make() {
        return std::make_unique<refhost::Instance>(kzrtest::TheModule(), index);
    }
    size_t index = 0;
};

std::string CaseName(const ::testing::TestParamInfo<EffectCase>& info) {
    return info.param.name;
}

#define KZR_EFFECT_SUITE(Suite)         \
    class Suite : public EffectTest {}; \
    INSTANTIATE_TEST_SUITE_P(AllEffects, Suite, ::testing::ValuesIn(kEffects), CaseName)

// ---- Golden maps and frames ------------------------------------------------------

struct GoldenRow {
    std::vector<std::string> f;  // effect, w, h, cpu, tasks, refW, refH, params, mapA, mapB,
                                 // frame, maskCh3, mapBZeroed
    int line = 0;
    uint32_t U(int i) const { return static_cast<uint32_t>(std::stoul(f[i])); }
};

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, sep);)
        out.push_back(item);
    return out;
}

const std::vector<GoldenRow>& GoldenRows() {
    static const std::vector<GoldenRow> rows = [] {
        std::ifstream in(KZR_GOLDEN_TSV);
        std::vector<GoldenRow> out;
        std::string line;
        std::getline(in, line);  // header
        for (int n = 2; std::getline(in, line); ++n)
            if (!line.empty())
                out.push_back({Split(line, '\t'), n});
        return out;
    }();
    return rows;
}

std::string Hex(uint64_t h) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// Golden values are written raw, exactly as the table spells them.
void WriteGoldenParams(refhost::Instance& fx, const std::string& params) {
    for (const std::string& item : Split(params, ';')) {
        const size_t eq = item.find('=');
        const size_t i = fx.FindParam(item.substr(0, eq));
        const std::string value = item.substr(eq + 1);
        const auto xy = Split(value, ',');
        if (fx.Effect().Params[i].ValueType == kzr::kTypeBool) {
            const int32_t v = std::stoi(value);
            fx.WriteRaw(i, &v, 4);
        } else {
            const float v[2] = {std::strtof(xy[0].c_str(), nullptr),
                                xy.size() > 1 ? std::strtof(xy[1].c_str(), nullptr) : 0.0f};
            fx.WriteRaw(i, v, 4 * xy.size());
        }
    }
    fx.ClearChanged();
}

KZR_EFFECT_SUITE(Golden);

TEST_P(Golden, MapsAndFramesAreBitIdentical) {
    ASSERT_EQ(GoldenRows().size(), 160u);
    int checked = 0;
    for (const GoldenRow& r : GoldenRows()) {
        if (r.f.size() != 13 || r.f[0] != GetParam().id)
            continue;
        const uint32_t w = r.U(1), h = r.U(2);
        SCOPED_TRACE("golden line " + std::to_string(r.line) + ": " + std::to_string(w) + "x" +
                     std::to_string(h) + " cpu " + r.f[3] + " " + r.f[7]);
        auto fx = Make();
        WriteGoldenParams(*fx, r.f[7]);
        fx->SetCpuLevel(std::stoi(r.f[3]));
        fx->SetTaskCount(std::stoi(r.f[4]));
        fx->SetReference(r.U(5), r.U(6));
        ASSERT_EQ(fx->Prepare(w, h), kzr::kOk);

        const bool laser = GetParam().id == std::string("DSP_VI_Laser");
        const size_t n = size_t{w} * h;
        if (r.f[8] != "-") {
            const void* a = kzrtest::StatePointer(*fx, 0x10);
            EXPECT_EQ(a ? Hex(kzrtest::Fnv1a64(a, (laser ? h : n) * 4)) : "null", r.f[8]);
        }
        if (r.f[9] != "-") {
            const void* b = kzrtest::StatePointer(*fx, 0x18);
            std::vector<int32_t> words(b ? (laser ? 2 * n : n) : 0);
            if (b)
                std::memcpy(words.data(), b, words.size() * 4);
            if (r.f[12] != "-") {  // a point the table leaves out
                const auto xy = Split(r.f[12], ',');
                const size_t i = std::stoull(xy[1]) * w + std::stoull(xy[0]);
                words[2 * i] = words[2 * i + 1] = 0;
            }
            EXPECT_EQ(b ? Hex(kzrtest::Fnv1a64(words.data(), words.size() * 4)) : "null", r.f[9]);
        }
        const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
        std::vector<uint8_t> dst = kzrtest::Rendered(*fx, src);
        if (r.f[11] == "1")
            for (size_t i = 3; i < dst.size(); i += 4)
                dst[i] = 0;
        EXPECT_EQ(Hex(kzrtest::Fnv1a64(dst.data(), dst.size())), r.f[10]);
        ++checked;
    }
    EXPECT_GE(checked, 10);
}

// ---- Lifecycle -------------------------------------------------------------------------

KZR_EFFECT_SUITE(Lifecycle);

TEST_P(Lifecycle, NullContextIsRefusedAndDestroyMayRepeat) {
    const kzr::EffectSlots& s = kzrtest::TheModule().Effect(index).Slots;
    EXPECT_EQ(s.Create(nullptr), kzr::kFail);
    EXPECT_EQ(s.Prepare(nullptr), kzr::kFail);
    EXPECT_EQ(s.SetSource(nullptr, nullptr), kzr::kFail);
    EXPECT_EQ(s.Process(nullptr), kzr::kFail);
    EXPECT_EQ(s.Unprepare(nullptr), kzr::kFail);
    EXPECT_EQ(s.Destroy(nullptr), kzr::kFail);

    auto fx = Make();
    ASSERT_EQ(fx->Prepare(9, 7), kzr::kOk);
    EXPECT_EQ(fx->Context().MapFlagA, GetParam().flagA);
    EXPECT_EQ(fx->Context().MapFlagB, GetParam().flagB);
    kzr::EffectContext* ctx = &fx->Context();
    EXPECT_EQ(s.Unprepare(ctx), kzr::kOk);
    if (HasTables(fx->Effect())) {
        EXPECT_EQ(kzrtest::StatePointer(*fx, 0x10), nullptr);
    }
    EXPECT_EQ(s.Destroy(ctx), kzr::kOk);
    EXPECT_EQ(s.Destroy(ctx), kzr::kOk);
    void* state = ctx->State;
    ctx->State = nullptr;  // a null state is fine too
    EXPECT_EQ(s.Destroy(ctx), kzr::kOk);
    ctx->State = state;
}

// Prepare again without Unprepare: at another size the first buffers go; at
// the same size, after a parameter moved in the blob without a flag, the
// buffers follow the blob as a fresh instance's do.
TEST_P(Lifecycle, PrepareAgainReplacesTheBuffers) {
    auto fx = Make(), fresh = Make();
    ASSERT_EQ(fx->Prepare(16, 9), kzr::kOk);
    ASSERT_EQ(fx->Prepare(37, 23), kzr::kOk);
    const kzr::ParamDescriptor& p = fx->Effect().Params[0];
    for (auto* i : {fx.get(), fresh.get()}) {
        std::memcpy(i->Blob(), p.MaxValue, p.ValueSize);
        i->ClearChanged();  // so Process draws through the maps Prepare left
        ASSERT_EQ(i->Prepare(37, 23), kzr::kOk);
    }
    const auto src = kzrtest::PatternFrame(37, 23);
    EXPECT_EQ(kzrtest::Rendered(*fx, src), kzrtest::Rendered(*fresh, src));
}

TEST_P(Lifecycle, FramesTheBuffersDoNotFitDrawNothing) {
    auto fx = Make();
    if (!HasTables(fx->Effect()))
        GTEST_SKIP() << "no buffers";
    const auto untouched = [&](uint32_t w, uint32_t h) {
        fx->Context().Width = w;
        fx->Context().Height = h;
        const auto src = kzrtest::PatternFrame(w, h);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        fx->SetChanged(0);  // a rebuild must not write past the old buffers either
        EXPECT_EQ(fx->Render(src.data(), dst.data()), kzr::kFail) << w << "x" << h;
        EXPECT_EQ(dst, std::vector<uint8_t>(src.size(), 0xEE)) << w << "x" << h;
        EXPECT_EQ(fx->OutstandingSurfaces(), 0);
    };
    untouched(9, 7);  // before Prepare
    ASSERT_EQ(fx->Prepare(16, 9), kzr::kOk);
    for (auto [w, h] : {std::pair{32u, 18u}, {16u, 10u}, {8u, 9u}})
        untouched(w, h);
    // Sizes the 16.16 entries cannot address.
    for (auto [w, h] : {std::pair{65537u, 1u}, {1u, 65537u}, {0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        EXPECT_EQ(fx->Prepare(w, h), kzr::kOutOfMemory) << w << "x" << h;
        EXPECT_EQ(kzrtest::StatePointer(*fx, 0x10), nullptr);
    }
    untouched(2, 2);
}

TEST_P(Lifecycle, AnyChangedFlagRebuildsAndTheHostClearsThem) {
    const uint32_t w = 37, h = 23;
    const auto src = kzrtest::PatternFrame(w, h);
    auto fx = Make();
    ASSERT_EQ(fx->Prepare(w, h), kzr::kOk);
    const uint64_t before = TablesHash(*fx, w, h);
    const std::vector<uint8_t> frameBefore = kzrtest::Rendered(*fx, src);

    // The first own parameter moves without a flag: the buffers stay.
    const kzr::ParamDescriptor& p = fx->Effect().Params[0];
    std::memcpy(fx->Blob(), p.MaxValue, p.ValueSize);
    fx->ClearChanged();
    kzrtest::Rendered(*fx, src);
    EXPECT_EQ(TablesHash(*fx, w, h), before);

    // Any flag, even a host-only parameter's, rebuilds from the blob, and
    // the module leaves the flags as they were.
    std::vector<uint32_t> flags(fx->Effect().ParamCount(), 0);
    flags.back() = 7;
    uint32_t* saved = fx->Context().ParamChanged;
    fx->Context().ParamChanged = flags.data();
    std::vector<uint8_t> frame(src.size(), 0xEE);
    ASSERT_EQ(fx->Render(src.data(), frame.data()), kzr::kOk);
    fx->Context().ParamChanged = saved;
    EXPECT_EQ(flags.back(), 7u);

    auto expect = Make();
    expect->WriteRaw(0, p.MaxValue, p.ValueSize);
    expect->ClearChanged();
    ASSERT_EQ(expect->Prepare(w, h), kzr::kOk);
    EXPECT_EQ(TablesHash(*fx, w, h), TablesHash(*expect, w, h));
    EXPECT_EQ(frame, kzrtest::Rendered(*expect, src));
    if (HasTables(fx->Effect())) {  // the mirror's first parameter is at its maximum already
        EXPECT_NE(frame, frameBefore);
    }
}

// ---- Bad parameters ---------------------------------------------------------------------

float NastyFloat(std::mt19937& rng, float lo, float hi) {
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    const float up = std::nextafter(hi, 1e9f), down = std::nextafter(lo, -1e9f);
    const float special[] = {nan,   -nan,   inf,    -inf, 0.0f,   -0.0f, -1.0f, 1e-40f, -1e-40f,
                             1e30f, -1e30f, 3.0e9f, 2.0f, 100.0f, lo,    hi,    down,   up};
    const uint32_t bits = rng();
    switch (rng() % 4) {
        case 0:
            return std::bit_cast<float>(bits);
        case 1:
            return lo + (hi - lo) * static_cast<float>(bits % 10001) / 10000.0f;
        default:
            return special[bits % std::size(special)];
    }
}

void WriteNastyParams(refhost::Instance& fx, std::mt19937& rng) {
    for (size_t i = 0; i < refhost::OwnParamCount(fx.Effect()); ++i) {
        const kzr::ParamDescriptor& p = fx.Effect().Params[i];
        float lo[2], hi[2];
        std::memcpy(lo, p.MinValue, p.ValueSize);
        std::memcpy(hi, p.MaxValue, p.ValueSize);
        if (p.ValueType == kzr::kTypeBool) {
            const int32_t v = static_cast<int32_t>(rng() % 3 == 0 ? rng() : rng() % 2);
            fx.WriteRaw(i, &v, 4);
        } else {
            const float v[2] = {NastyFloat(rng, lo[0], hi[0]), NastyFloat(rng, lo[1], hi[1])};
            fx.WriteRaw(i, v, p.ValueSize);
        }
    }
}

void ExpectMapsInFrame(refhost::Instance& fx, Maps maps, uint32_t w, uint32_t h) {
    if (maps == Maps::None || uint64_t{w} * h == 0)
        return;
    const uint32_t* a = kzrtest::MapAt(fx, 0x10);
    const uint32_t* b = maps == Maps::XY ? kzrtest::MapAt(fx, 0x18) : nullptr;
    ASSERT_NE(a, nullptr);
    for (size_t i = 0; i < size_t{w} * h; ++i) {
        ASSERT_LT(a[i] >> 16, maps == Maps::Y ? h : w) << "first map entry " << i;
        if (maps == Maps::XY) {
            ASSERT_LT(b[i] >> 16, h) << "second map entry " << i;
        }
    }
}

KZR_EFFECT_SUITE(BadParams);

// Whatever bits a host writes into the blob and whatever frame size it asks
// for, every map entry lies inside the frame and nothing outside the buffers
// is read (sanitizers see exactly-sized sources) or written (guard bytes).
TEST_P(BadParams, RandomBitsAndFrameSizesStayInside) {
    const uint32_t sides[] = {0, 1, 2, 3, 4, 5, 7, 9, 16, 17, 37};
    constexpr size_t kGuard = 64;
    std::mt19937 rng(20261206 + static_cast<uint32_t>(index));
    for (int trial = 0; trial < 250; ++trial) {
        auto fx = Make();
        const uint32_t w = sides[rng() % std::size(sides)], h = sides[rng() % std::size(sides)];
        WriteNastyParams(*fx, rng);
        fx->SetCpuLevel(static_cast<int>(rng() % 10));
        fx->SetTaskCount(static_cast<int>(rng() % 6) - 1);
        const auto side = [&rng] {
            const uint32_t r = rng() % 6;
            return r == 0 ? 0xFFFFFFFFu : r < 3 ? rng() % 40 : 0u;
        };
        fx->SetReference(side(), side());
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " trial " +
                     std::to_string(trial));
        ASSERT_EQ(fx->Prepare(w, h), kzr::kOk);
        ASSERT_NO_FATAL_FAILURE(ExpectMapsInFrame(*fx, GetParam().maps, w, h));
        const std::vector<uint8_t> src = kzrtest::PatternFrame(w, h);
        const size_t bytes = size_t{w} * h * 4;
        std::vector<uint8_t> dst(bytes + 2 * kGuard, 0xA5);
        for (int frame = 0; frame < 2; ++frame) {
            ASSERT_EQ(fx->Render(src.data(), dst.data() + kGuard), kzr::kOk);
            for (size_t g = 0; g < kGuard; ++g) {
                ASSERT_EQ(dst[g], 0xA5) << "written before the frame";
                ASSERT_EQ(dst[kGuard + bytes + g], 0xA5) << "written after the frame";
            }
            WriteNastyParams(*fx, rng);  // flagged: the next frame rebuilds
        }
        ASSERT_NO_FATAL_FAILURE(ExpectMapsInFrame(*fx, GetParam().maps, w, h));
        EXPECT_EQ(fx->OutstandingSurfaces(), 0);
    }
}

// A curvature or size that gives no curve (not positive, not a number)
// leaves every pixel where it is.
TEST_P(BadParams, UnusableCurveParametersLeaveThePictureAlone) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto src = kzrtest::PatternFrame(33, 21);
    for (size_t param : GetParam().inertWhenUnusable)
        for (float bad : {0.0f, -0.02f, nan, 1e-45f}) {
            SCOPED_TRACE("P" + std::to_string(param + 1) + " = " + std::to_string(bad));
            auto fx = Make();
            fx->WriteRaw(param, &bad, 4);
            ASSERT_EQ(fx->Prepare(33, 21), kzr::kOk);
            EXPECT_EQ(kzrtest::Rendered(*fx, src), src);
        }
}

// ---- CpuLevel ------------------------------------------------------------------------------

KZR_EFFECT_SUITE(CpuLevels);

// Levels 0 to 2 give the scalar sampler's frame, 3 and up the SSE2
// sampler's, and the whole-frame AVX2 remaps from level 8 the same frame.
// Effects that sample every pixel are compared with sampling through their
// maps pixel by pixel.
TEST_P(CpuLevels, EveryLevelGivesTheFrameOfItsSampler) {
    for (auto [w, h] : {std::pair{37u, 23u}, {23u, 37u}, {641u, 479u}, {2u, 2u}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const auto src = kzrtest::PatternFrame(w, h);
        auto fx = kzrtest::Prepared(GetParam().id, w, h, GetParam().strong);
        std::vector<uint8_t> frames[10];
        for (int level = 0; level < 10; ++level) {
            fx->SetCpuLevel(level);
            frames[level] = kzrtest::Rendered(*fx, src);
        }
        for (int level = 1; level < 10; ++level)
            EXPECT_EQ(frames[level], frames[level < 3 ? 0 : 3]) << "level " << level;
        if (w >= 37) {
            EXPECT_NE(frames[3], src);
        }
        if (!GetParam().samplesAll)
            continue;
        const uint32_t* a = kzrtest::MapAt(*fx, 0x10);
        const uint32_t* b = GetParam().maps == Maps::XY ? kzrtest::MapAt(*fx, 0x18) : nullptr;
        for (int level : {0, 3}) {
            const kzr::ImageSurface s = kzrtest::SurfaceOf(src.data(), w, h, level);
            std::vector<uint8_t> expect(src.size(), 0xEE);
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const size_t i = size_t{y} * w + x;
                    const int32_t sx =
                        GetParam().maps == Maps::Y ? int32_t(x << 16) : int32_t(a[i]);
                    const int32_t sy =
                        b ? int32_t(b[i])
                          : (GetParam().maps == Maps::Y ? int32_t(a[i]) : int32_t(y << 16));
                    kzr::Sample(&s, sx, sy, reinterpret_cast<uint32_t*>(&expect[4 * i]));
                }
            EXPECT_EQ(frames[level], expect) << "level " << level;
        }
    }
}

}  // namespace
