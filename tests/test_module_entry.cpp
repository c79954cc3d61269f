// The exported entry points and the language-resource library lookup, with
// real files: each case copies the built module into its own folder (so it
// loads as a separate image) beside copies of a small stand-in library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "abi/exports.h"
#include "module/resource_name.h"

namespace fs = std::filesystem;

namespace {

// Sets LC_ALL (or, for null, no locale variable at all) while alive.
struct ScopedLocale {
    explicit ScopedLocale(const char* value) {
        for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* old = std::getenv(var);
            saved.emplace_back(var, old ? old : "");
            unsetenv(var);
        }
        if (value != nullptr)
            setenv("LC_ALL", value, 1);
    }
    ~ScopedLocale() {
        for (const auto& [var, old] : saved)
            old.empty() ? unsetenv(var.c_str()) : setenv(var.c_str(), old.c_str(), 1);
    }
    std::vector<std::pair<std::string, std::string>> saved;
};

// A copy of the module in a folder of its own, loaded while the object lives.
class ModuleCopy {
  public:
    ModuleCopy(const fs::path& dir, const std::string& fileName) : path_(dir / fileName) {
        fs::create_directories(dir);
        fs::copy_file(KZR_MODULE_PATH, path_, fs::copy_options::overwrite_existing);
        lib_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr)
            throw std::runtime_error(dlerror());
        init_ = reinterpret_cast<KzrInitModuleFn>(dlsym(lib_, "KZR_DSP_InitModule"));
        deinit_ = reinterpret_cast<KzrDeInitModuleFn>(dlsym(lib_, "KZR_DSP_DeInitModule"));
    }
    ~ModuleCopy() {
        if (record_ != nullptr && ResourceHandle() != nullptr)
            deinit_();
        dlclose(lib_);
    }

    uint32_t Init() { return init_(&record_); }
    uint32_t DeInit() { return deinit_(); }
    const void* Record() const { return record_; }
    void* Field(size_t offset) const {
        void* v;
        std::memcpy(&v, static_cast<const uint8_t*>(record_) + offset, sizeof v);
        return v;
    }
    void* ModuleHandle() const { return Field(0x28); }
    void* ResourceHandle() const { return Field(0x30); }
    KzrInitModuleFn InitFn() const { return init_; }

  private:
    fs::path path_;
    void* lib_ = nullptr;
    KzrInitModuleFn init_ = nullptr;
    KzrDeInitModuleFn deinit_ = nullptr;
    const void* record_ = nullptr;
};

// The file a library handle was loaded from.
std::string LoadedFrom(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return "?";
    return map->l_name;
}

void PlaceLibrary(const fs::path& path) {
    fs::create_directories(path.parent_path());
    fs::copy_file(KZR_TEST_RESLIB, path, fs::copy_options::overwrite_existing);
}

class ModuleEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("kzr_entry_" + std::to_string(getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

TEST_F(ModuleEntry, NullOutPointerIsRefusedAndTheHandleIsTheLoadAddress) {
    ModuleCopy m(root_ / "fx", "KZR_PlugIn_6.so");
    EXPECT_EQ(m.InitFn()(nullptr), 0x80004005u);
    ASSERT_EQ(m.Init(), 0u);
    Dl_info info;
    ASSERT_NE(dladdr(reinterpret_cast<void*>(m.InitFn()), &info), 0);
    EXPECT_EQ(m.ModuleHandle(), info.dli_fbase);
}

// Which library the module loads for a locale, from the files beside it
// (or elsewhere: "../" names lie in the parent folder); "" is the module itself.
TEST_F(ModuleEntry, LocaleAndFilesChooseTheLanguageLibrary) {
    const struct {
        const char* locale;  // null: no locale variable set
        const char* folder;
        const char* module;
        std::vector<std::string> files;
        std::string loaded;
    } cases[] = {
        {"en_US.UTF-8",
         "fx",
         "KZR_PlugIn_6.so",
         {"KZR_PlugIn_6_ENU.DLL", "KZR_PlugIn_6_RES.DLL"},
         "KZR_PlugIn_6_ENU.DLL"},
        {"de_DE.UTF-8",
         "fx",
         "KZR_PlugIn_6.so",
         {"KZR_PlugIn_6_ENU.DLL", "KZR_PlugIn_6_DEU.DLL"},
         "KZR_PlugIn_6_DEU.DLL"},
        // C and POSIX locales are English.
        {"C",
         "fx",
         "KZR_PlugIn_6.so",
         {"KZR_PlugIn_6_ENU.DLL", "KZR_PlugIn_6_RES.DLL"},
         "KZR_PlugIn_6_ENU.DLL"},
        {"C.UTF-8", "fx", "KZR_PlugIn_6.so", {"KZR_PlugIn_6_ENU.DLL"}, "KZR_PlugIn_6_ENU.DLL"},
        {"POSIX", "fx", "KZR_PlugIn_6.so", {"KZR_PlugIn_6_ENU.DLL"}, "KZR_PlugIn_6_ENU.DLL"},
        {nullptr, "fx", "KZR_PlugIn_6.so", {"KZR_PlugIn_6_ENU.DLL"}, "KZR_PlugIn_6_ENU.DLL"},
        // No library of the language: the fallback, else the module itself.
        {"fr_FR.UTF-8",
         "fx",
         "KZR_PlugIn_6.so",
         {"KZR_PlugIn_6_ENU.DLL", "KZR_PlugIn_6_RES.DLL"},
         "KZR_PlugIn_6_RES.DLL"},
        {"xx_YY", "fx", "KZR_PlugIn_6.so", {"KZR_PlugIn_6_RES.DLL"}, "KZR_PlugIn_6_RES.DLL"},
        {"en_US.UTF-8", "fx", "KZR_PlugIn_6.so", {}, ""},
        // A dot in the folder does not cut the path; no dot: the whole name.
        {"en_US.UTF-8",
         "Fx.1",
         "KZR_PlugIn_6.so",
         {"KZR_PlugIn_6_ENU.DLL", "../Fx_ENU.DLL"},
         "KZR_PlugIn_6_ENU.DLL"},
        {"en_US.UTF-8", "plain", "kzrmodule", {"kzrmodule_ENU.DLL"}, "kzrmodule_ENU.DLL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale ? c.locale : "(unset)") + " " + c.folder);
        fs::remove_all(root_);
        const fs::path dir = root_ / c.folder;
        for (const std::string& f : c.files)
            PlaceLibrary(dir / f);
        ScopedLocale locale(c.locale);
        ModuleCopy m(dir, c.module);
        ASSERT_EQ(m.Init(), 0u);
        if (c.loaded.empty())
            EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle());
        else
            EXPECT_EQ(LoadedFrom(m.ResourceHandle()), (dir / c.loaded).string());
        EXPECT_EQ(m.DeInit(), 0u);
        EXPECT_EQ(m.ResourceHandle(), nullptr);
    }
    // A file of the right name that is no library: the module itself.
    ScopedLocale locale("en_US.UTF-8");
    fs::create_directories(root_ / "fx");
    std::ofstream(root_ / "fx" / "KZR_PlugIn_6_ENU.DLL") << "not a library";
    ModuleCopy m(root_ / "fx", "KZR_PlugIn_6.so");
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle());
}

TEST_F(ModuleEntry, SecondInitKeepsAnEarlierHandleAndDeInitReleasesIt) {
    ScopedLocale locale("en_US.UTF-8");
    const fs::path dir = root_ / "fx";
    PlaceLibrary(dir / "KZR_PlugIn_6_ENU.DLL");
    ModuleCopy m(dir, "KZR_PlugIn_6.so");
    ASSERT_EQ(m.Init(), 0u);
    void* first = m.ResourceHandle();
    ASSERT_NE(first, m.ModuleHandle());
    fs::remove(dir / "KZR_PlugIn_6_ENU.DLL");
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ResourceHandle(), first);
    EXPECT_EQ(m.DeInit(), 0u);
    EXPECT_EQ(m.ResourceHandle(), nullptr);
    // Released: no loaded image of that file remains.
    EXPECT_EQ(dlopen((dir / "KZR_PlugIn_6_ENU.DLL").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle());
}

TEST_F(ModuleEntry, ReInitAfterDeInitLoadsTheLibraryAgain) {
    ScopedLocale locale("en_GB.UTF-8");
    const fs::path dir = root_ / "fx";
    PlaceLibrary(dir / "KZR_PlugIn_6_ENG.DLL");
    ModuleCopy m(dir, "KZR_PlugIn_6.so");
    ASSERT_EQ(m.Init(), 0u);
    ASSERT_EQ(m.DeInit(), 0u);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(LoadedFrom(m.ResourceHandle()), (dir / "KZR_PlugIn_6_ENG.DLL").string());
}

TEST(ResourceName, CutsAtTheFirstDotOfTheFileName) {
    char out[64];
    struct Case {
        const char* path;
        const char* suffix;
        const char* expected;
    } cases[] = {
        {"/opt/fx/KZR_PlugIn_6.so", "ENU", "/opt/fx/KZR_PlugIn_6_ENU.DLL"},
        {"/opt/fx.1/KZR_PlugIn_6.so", "DEU", "/opt/fx.1/KZR_PlugIn_6_DEU.DLL"},
        {"/home/u/.local/lib/fx.so.1", "RES", "/home/u/.local/lib/fx_RES.DLL"},
        {"/opt/fx/plain", "ENU", "/opt/fx/plain_ENU.DLL"},
        {"relative.so", "", "relative_.DLL"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(kzr::ComposeResourceName(c.path, c.suffix, out, sizeof out));
        EXPECT_STREQ(out, c.expected);
    }
    // A name that does not fit counts as absent.
    EXPECT_FALSE(kzr::ComposeResourceName("/opt/fx/KZR_PlugIn_6.so", "ENU", out, 28));
    EXPECT_TRUE(kzr::ComposeResourceName("/opt/fx/KZR_PlugIn_6.so", "ENU", out, 29));
}

}  // namespace
