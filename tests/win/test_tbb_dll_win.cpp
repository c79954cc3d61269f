// oneTBB ships beside the module as a DLL of its own, delay-loaded: the
// module loads without touching it, loads it on the drain's first parallel
// frame, and without it renders the same pictures on the calling thread.
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "imaging/tbb_library.h"
#include "refhost/library.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// The drain at its defaults, rendered with a task count.
std::vector<uint8_t> Drain(const refhost::Module& module, int taskCount) {
    refhost::Instance fx(module, kzrtest::EffectIndex("Kzr_Dsp_Vi_Drain"));
    fx.SetCpuLevel(3);
    fx.SetTaskCount(taskCount);
    EXPECT_EQ(fx.Prepare(641, 481), kzr::kOk);
    const auto src = kzrtest::PatternFrame(641, 481);
    std::vector<uint8_t> dst(src.size(), 0xEE);
    EXPECT_EQ(fx.Render(src.data(), dst.data()), kzr::kOk);
    EXPECT_EQ(fx.OutstandingSurfaces(), 0);
    return dst;
}

bool Loaded(const fs::path& path) {
    return GetModuleHandleW(path.c_str()) != nullptr;
}

TEST(WinTbbDll, LoadedOnFirstUseAndOptional) {
    const fs::path built = fs::path(KZR_MODULE_PATH);
    const fs::path root =
        fs::temp_directory_path() / ("kzr_tbb_" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(root);
    // One copy of the module with the DLL beside it, one without.
    const fs::path with = root / L"with", without = root / L"without";
    for (const fs::path& dir : {with, without}) {
        fs::create_directories(dir);
        fs::copy_file(built, dir / built.filename());
    }
    fs::copy_file(built.parent_path() / KZR_TBB_DLL, with / KZR_TBB_DLL);
    {
        const auto withDll = std::make_unique<refhost::Module>(
            refhost::library::FromNative((with / built.filename()).wstring()));
        const auto withoutDll = std::make_unique<refhost::Module>(
            refhost::library::FromNative((without / built.filename()).wstring()));
        EXPECT_FALSE(Loaded(with / KZR_TBB_DLL)) << "loaded with the module";

        const std::vector<uint8_t> sequential = Drain(*withDll, 1);
        EXPECT_FALSE(Loaded(with / KZR_TBB_DLL)) << "loaded for a sequential frame";
        EXPECT_TRUE(Drain(*withDll, 2) == sequential) << "TaskCount 2 with the DLL";
        EXPECT_TRUE(Loaded(with / KZR_TBB_DLL)) << "not loaded from beside the module";
        EXPECT_TRUE(Drain(*withoutDll, 2) == sequential) << "TaskCount 2 without the DLL";
        EXPECT_TRUE(Drain(*withoutDll, 5) == sequential) << "TaskCount 5 without the DLL";

        // Every other effect works the same without the DLL.
        const auto src = kzrtest::PatternFrame(64, 48);
        for (size_t i = 0; i < withDll->EffectCount(); ++i) {
            SCOPED_TRACE(withDll->Effect(i).Id);
            std::vector<uint8_t> pictures[2];
            const refhost::Module* modules[2] = {withDll.get(), withoutDll.get()};
            for (int k = 0; k < 2; ++k) {
                refhost::Instance fx(*modules[k], i);
                fx.SetCpuLevel(3);
                ASSERT_EQ(fx.Prepare(64, 48), kzr::kOk);
                pictures[k].assign(src.size(), 0xEE);
                ASSERT_EQ(fx.Render(src.data(), pictures[k].data()), kzr::kOk);
            }
            EXPECT_TRUE(pictures[0] == pictures[1]);
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
}

// This program links the task runner as the module does, with the DLL
// beside it: the DLL loads, exports all it must and its imports are bound.
TEST(WinTbbDll, BoundBesideTheProgram) {
    EXPECT_TRUE(kzr::TbbLibraryReady());
    EXPECT_TRUE(Loaded(fs::path(KZR_MODULE_PATH).parent_path() / KZR_TBB_DLL));
}

}  // namespace
