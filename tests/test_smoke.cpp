#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(Smoke, HStretchRenders) {
    refhost::Instance fx(kzrtest::TheModule(), kzrtest::EffectIndex("Kzr_Dsp_Vi_HStretch"));
    auto src = kzrtest::PatternFrame(64, 32);
    std::vector<uint8_t> dst(src.size());
    ASSERT_EQ(fx.Prepare(64, 32), kzr::kOk);
    ASSERT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
    EXPECT_EQ(fx.OutstandingSurfaces(), 0);
}
