// The callback contract for every effect the module carries: null contexts,
// destroy twice, hosts that skip steps, sizes the map format cannot address,
// allocations that fail, and rebuilds on changed flags.
#if !defined(_WIN32)
#include <sys/resource.h>
#endif
#include <gtest/gtest.h>

#include <cstring>

#include "tests/test_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::vector<size_t> BuiltEffects() {
    std::vector<size_t> out;
    for (size_t i = 0; i < kzrtest::TheModule().EffectCount(); ++i)
        if (kzrtest::TheModule().Available(i))
            out.push_back(i);
    return out;
}

bool HasTables(const kzr::EffectDescriptor& fx) {
    return fx.StateSize > 16;
}

TEST(Lifecycle, NullContextIsRefusedEverywhere) {
    for (size_t i : BuiltEffects()) {
        const kzr::EffectSlots& s = kzrtest::TheModule().Effect(i).Slots;
        SCOPED_TRACE(kzrtest::TheModule().Effect(i).Id);
        EXPECT_EQ(s.Create(nullptr), kzr::kFail);
        EXPECT_EQ(s.Prepare(nullptr), kzr::kFail);
        EXPECT_EQ(s.SetSource(nullptr, nullptr), kzr::kFail);
        EXPECT_EQ(s.Process(nullptr), kzr::kFail);
        EXPECT_EQ(s.Unprepare(nullptr), kzr::kFail);
        EXPECT_EQ(s.Destroy(nullptr), kzr::kFail);
    }
}

TEST(Lifecycle, DestroyTwiceAndUnprepareThenDestroyAreSafe) {
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        SCOPED_TRACE(fx.Effect().Id);
        ASSERT_EQ(fx.Prepare(9, 7), kzr::kOk);
        kzr::EffectContext* ctx = &fx.Context();
        EXPECT_EQ(fx.Effect().Slots.Unprepare(ctx), kzr::kOk);
        if (HasTables(fx.Effect())) {
            EXPECT_EQ(kzrtest::StatePointer(fx, 0x10), nullptr);
        }
        EXPECT_EQ(fx.Effect().Slots.Destroy(ctx), kzr::kOk);
        EXPECT_EQ(fx.Effect().Slots.Destroy(ctx), kzr::kOk);
        // A null state is fine too.
        void* state = ctx->State;
        ctx->State = nullptr;
        EXPECT_EQ(fx.Effect().Slots.Destroy(ctx), kzr::kOk);
        ctx->State = state;
    }
}

TEST(Lifecycle, ProcessBeforePrepareDrawsNothing) {
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        if (!HasTables(fx.Effect()))
            continue;
        SCOPED_TRACE(fx.Effect().Id);
        fx.Context().Width = 9;
        fx.Context().Height = 7;
        const auto src = kzrtest::PatternFrame(9, 7);
        std::vector<uint8_t> dst(src.size(), 0xEE);
        EXPECT_EQ(fx.Render(src.data(), dst.data()), kzr::kFail);
        EXPECT_EQ(dst, std::vector<uint8_t>(src.size(), 0xEE));
        EXPECT_EQ(fx.OutstandingSurfaces(), 0);
    }
}

TEST(Lifecycle, PrepareAgainReplacesTheBuffers) {
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        SCOPED_TRACE(fx.Effect().Id);
        ASSERT_EQ(fx.Prepare(16, 9), kzr::kOk);
        ASSERT_EQ(fx.Prepare(37, 23), kzr::kOk);  // no Unprepare: the first buffers are released
        const auto src = kzrtest::PatternFrame(37, 23);
        std::vector<uint8_t> a(src.size(), 0), b(src.size(), 0);
        ASSERT_EQ(fx.Render(src.data(), a.data()), kzr::kOk);
        refhost::Instance fresh(kzrtest::TheModule(), i);
        ASSERT_EQ(fresh.Prepare(37, 23), kzr::kOk);
        ASSERT_EQ(fresh.Render(src.data(), b.data()), kzr::kOk);
        EXPECT_EQ(a, b);
    }
}

TEST(Lifecycle, FrameOfAnotherSizeIsRefused) {
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        if (!HasTables(fx.Effect()))
            continue;
        SCOPED_TRACE(fx.Effect().Id);
        ASSERT_EQ(fx.Prepare(16, 9), kzr::kOk);
        for (auto [w, h] : {std::pair{32u, 18u}, {16u, 10u}, {8u, 9u}}) {
            fx.Context().Width = w;
            fx.Context().Height = h;
            const auto src = kzrtest::PatternFrame(w, h);
            std::vector<uint8_t> dst(src.size(), 0xEE);
            fx.SetChanged(0);  // a rebuild must not write past the old buffers either
            EXPECT_EQ(fx.Render(src.data(), dst.data()), kzr::kFail) << w << "x" << h;
            EXPECT_EQ(dst, std::vector<uint8_t>(src.size(), 0xEE));
        }
    }
}

TEST(Lifecycle, SizesTheMapFormatCannotAddressAreRefused) {
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        if (!HasTables(fx.Effect()))
            continue;
        SCOPED_TRACE(fx.Effect().Id);
        for (auto [w, h] :
             {std::pair{65537u, 1u}, {1u, 65537u}, {65536u, 65537u}, {0xFFFFFFFFu, 0xFFFFFFFFu}}) {
            EXPECT_EQ(fx.Prepare(w, h), kzr::kOutOfMemory) << w << "x" << h;
            EXPECT_EQ(kzrtest::StatePointer(fx, 0x10), nullptr);
        }
        fx.Context().Width = 2;
        fx.Context().Height = 2;
        uint32_t src[4] = {}, dst[4] = {1, 2, 3, 4};
        EXPECT_EQ(fx.Render(src, dst), kzr::kFail);
        EXPECT_EQ(dst[3], 4u);
    }
}

// On Windows the limit would be a job object's memory limit, which Wine (where
// the Windows tests run) does not enforce: allocation failures are tested on
// POSIX only.
#if !defined(_WIN32)
// Lowers the address-space limit while alive, so large allocations fail.
class AddressSpaceLimit {
  public:
    explicit AddressSpaceLimit(rlim_t bytes) {
        getrlimit(RLIMIT_AS, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_AS, &lower) == 0;
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved_); }
    bool ok() const { return ok_; }

  private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST(Lifecycle, FailedAllocationReportsOutOfMemoryAndKeepsNothing) {
    if (kSanitized)
        GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        if (!HasTables(fx.Effect()))
            continue;
        SCOPED_TRACE(fx.Effect().Id);
        // Under a 4 GB limit a 5.2 GB map never fits; of two 2.6 GB maps only
        // the first does (effects with a single map are not asked to fail then).
        std::vector<std::pair<uint32_t, uint32_t>> sizes = {{65536, 20000}};
        if (fx.Effect().StateSize >= 32)
            sizes.emplace_back(50000, 13000);
        for (auto [w, h] : sizes) {
            kzr::Status s;
            {
                AddressSpaceLimit limit(rlim_t{4} << 30);
                ASSERT_TRUE(limit.ok());
                s = fx.Prepare(w, h);
            }
            EXPECT_EQ(s, kzr::kOutOfMemory) << w << "x" << h;
            EXPECT_EQ(kzrtest::StatePointer(fx, 0x10), nullptr);
            if (fx.Effect().StateSize >= 32) {
                EXPECT_EQ(kzrtest::StatePointer(fx, 0x18), nullptr);
            }
            uint32_t dummy = 0;
            EXPECT_EQ(fx.Render(&dummy, &dummy), kzr::kFail);
        }
    }
}

#endif  // !_WIN32

TEST(Lifecycle, AnyChangedFlagRebuildsAndNoFlagKeepsTheMaps) {
    const uint32_t w = 37, h = 23;
    const auto src = kzrtest::PatternFrame(w, h);
    std::vector<uint8_t> dst(src.size());
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        if (!HasTables(fx.Effect()))
            continue;
        SCOPED_TRACE(fx.Effect().Id);
        ASSERT_EQ(fx.Prepare(w, h), kzr::kOk);
        const uint64_t before = kzrtest::TablesHash(fx, w, h);

        // Move the first own parameter without telling the module.
        const kzr::ParamDescriptor& p = fx.Effect().Params[0];
        std::vector<uint8_t> value(p.ValueSize);
        std::memcpy(value.data(), p.MaxValue, p.ValueSize);
        std::memcpy(fx.Blob(), value.data(), p.ValueSize);
        ASSERT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
        EXPECT_EQ(kzrtest::TablesHash(fx, w, h), before);

        // Flagging any parameter, even a host-only one, rebuilds from the blob.
        const size_t last = fx.Effect().ParamCount() - 1;
        fx.SetChanged(last);
        ASSERT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
        refhost::Instance expect(kzrtest::TheModule(), i);
        expect.WriteRaw(0, value.data(), value.size());
        expect.ClearChanged();
        ASSERT_EQ(expect.Prepare(w, h), kzr::kOk);
        EXPECT_EQ(kzrtest::TablesHash(fx, w, h), kzrtest::TablesHash(expect, w, h));
        EXPECT_NE(kzrtest::TablesHash(fx, w, h), before);
        // The host's flags are left for the host to clear.
        EXPECT_EQ(fx.OutstandingSurfaces(), 0);
    }
}

TEST(Lifecycle, ModuleNeverClearsTheChangedFlags) {
    for (size_t i : BuiltEffects()) {
        refhost::Instance fx(kzrtest::TheModule(), i);
        SCOPED_TRACE(fx.Effect().Id);
        ASSERT_EQ(fx.Prepare(5, 5), kzr::kOk);
        std::vector<uint32_t> flags(fx.Effect().ParamCount(), 7);
        uint32_t* saved = fx.Context().ParamChanged;
        fx.Context().ParamChanged = flags.data();
        const auto src = kzrtest::PatternFrame(5, 5);
        std::vector<uint8_t> dst(src.size());
        EXPECT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
        fx.Context().ParamChanged = saved;
        EXPECT_EQ(flags, std::vector<uint32_t>(flags.size(), 7));
    }
}

}  // namespace
