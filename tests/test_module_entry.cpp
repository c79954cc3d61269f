// The exported entry points and the language-resource library lookup under
// the real loader, with real files: each case copies the built module into a
// folder of its own (so it loads as an image of its own) beside copies of a
// small stand-in library.  Elsewhere each case sets the locale itself; on
// Windows the module asks the user locale, which Wine takes from LC_ALL when
// the process starts, so there the cases run under the test run's locale
// (ctest runs them in German and in English).
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "abi/exports.h"
#include "abi/resource_text.h"
#include "module/resource_name.h"
#include "refhost/library.h"
#include "refhost/texts.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
namespace lib = refhost::library;

namespace {

#if defined(_WIN32)
constexpr const char* kModule = "KZR_PlugIn_6.dll";
const unsigned long kProcess = GetCurrentProcessId();

// The user locale's abbreviated language name, as the module asks for it.
std::string UserLanguage() {
    wchar_t buf[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buf, 8);
    return lib::FromNative(buf);
}
#else
constexpr const char* kModule = "KZR_PlugIn_6.so";
const unsigned long kProcess = static_cast<unsigned long>(getpid());

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
    std::vector<std::pair<std::string, std::string> > saved;
};
#endif

// A copy of the module in a folder of its own, loaded while the object lives.
class ModuleCopy {
  public:
    ModuleCopy(const fs::path& dir, const std::string& fileName) : path_(dir / fileName) {
        fs::create_directories(dir);
        fs::copy_file(KZR_MODULE_PATH, path_, fs::copy_options::overwrite_existing);
        std::string error;
        lib_ = lib::Open(path_.string(), &error);
        if (lib_ == nullptr)
            throw std::runtime_error(error);
        init_ = reinterpret_cast<KzrInitModuleFn>(lib::Symbol(lib_, "KZR_DSP_InitModule"));
        deinit_ = reinterpret_cast<KzrDeInitModuleFn>(lib::Symbol(lib_, "KZR_DSP_DeInitModule"));
    }
    ~ModuleCopy() {
        if (record_ != nullptr && ResourceHandle() != nullptr)
            deinit_();
        lib::Close(lib_);
    }

    uint32_t Init() { return init_(&record_); }
    uint32_t DeInit() { return deinit_(); }
    KzrInitModuleFn InitFn() const { return init_; }
    void* Library() const { return lib_; }
    void* Field(size_t offset) const {
        void* v;
        std::memcpy(&v, static_cast<const uint8_t*>(record_) + offset, sizeof v);
        return v;
    }
    void* ModuleHandle() const { return Field(0x28); }
    void* ResourceHandle() const { return Field(0x30); }

  private:
    fs::path path_;
    void* lib_ = nullptr;
    KzrInitModuleFn init_ = nullptr;
    KzrDeInitModuleFn deinit_ = nullptr;
    const void* record_ = nullptr;
};

// The library a handle was loaded from is the file at `path`.
bool LoadedFrom(void* handle, const fs::path& path) {
    std::error_code ec;
    return fs::equivalent(lib::PathOf(handle), path, ec);
}

bool StillLoaded(const fs::path& path) {
#if defined(_WIN32)
    return GetModuleHandleW(path.c_str()) != nullptr;
#else
    return dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr;
#endif
}

void PlaceLibrary(const fs::path& path) {
    fs::create_directories(path.parent_path());
    fs::copy_file(KZR_TEST_RESLIB, path, fs::copy_options::overwrite_existing);
}

class ModuleEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("kzr_entry_" + std::to_string(kProcess) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
};

TEST_F(ModuleEntry, NullOutPointerIsRefusedAndTheHandleIsTheModules) {
    ModuleCopy m(root_ / "fx", kModule);
    EXPECT_EQ(m.InitFn()(nullptr), 0x80004005u);
    ASSERT_EQ(m.Init(), 0u);
#if defined(_WIN32)
    EXPECT_EQ(m.ModuleHandle(), m.Library());  // the attach handler's instance handle
#else
    Dl_info info;  // the load address
    ASSERT_NE(dladdr(reinterpret_cast<void*>(m.InitFn()), &info), 0);
    EXPECT_EQ(m.ModuleHandle(), info.dli_fbase);
#endif
}

#if !defined(_WIN32)
// Which library the module loads for a locale, from the files beside it (or
// elsewhere: "../" names lie in the parent folder); "" is the module itself.
TEST_F(ModuleEntry, LocaleAndFilesChooseTheLanguageLibrary) {
    const struct {
        const char *locale, *folder, *module, *files, *loaded;  // locale null: none set
    } cases[] = {
        {"en_US.UTF-8", "fx", kModule, "_ENU _RES", "_ENU"},
        {"de_DE.UTF-8", "fx", kModule, "_ENU _DEU", "_DEU"},
        {"C", "fx", kModule, "_ENU _RES", "_ENU"},  // C and POSIX locales are English
        {"C.UTF-8", "fx", kModule, "_ENU", "_ENU"},
        {"POSIX", "fx", kModule, "_ENU", "_ENU"},
        {nullptr, "fx", kModule, "_ENU", "_ENU"},
        // No library of the language: the fallback, else the module itself.
        {"en_GB.UTF-8", "fx", kModule, "_ENU _ENG", "_ENG"},
        {"fr_FR.UTF-8", "fx", kModule, "_ENU _RES", "_RES"},
        {"xx_YY", "fx", kModule, "_RES", "_RES"},
        {"en_US.UTF-8", "fx", kModule, "", ""},
        // A dot in the folder does not cut the path; no dot: the whole name.
        {"en_US.UTF-8", "Fx.1", kModule, "_ENU ../Fx_ENU.DLL", "_ENU"},
        {"en_US.UTF-8", "plain", "kzrmodule", "kzrmodule_ENU.DLL", "kzrmodule_ENU.DLL"},
    };
    // "_XYZ" stands for KZR_PlugIn_6_XYZ.DLL.
    const auto file = [](std::string name) {
        return name[0] == '_' ? "KZR_PlugIn_6" + name + ".DLL" : name;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale ? c.locale : "(unset)") + " " + c.folder);
        fs::remove_all(root_);
        const fs::path dir = root_ / c.folder;
        std::istringstream files(c.files);
        for (std::string f; files >> f;)
            PlaceLibrary(dir / file(f));
        ScopedLocale locale(c.locale);
        ModuleCopy m(dir, c.module);
        ASSERT_EQ(m.Init(), 0u);
        if (*c.loaded == '\0')
            EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle());
        else
            EXPECT_TRUE(LoadedFrom(m.ResourceHandle(), dir / file(c.loaded)));
        EXPECT_EQ(m.DeInit(), 0u);
        EXPECT_EQ(m.ResourceHandle(), nullptr);
    }
}
#endif

// The language the module takes from the user's locale: on Windows the run's
// (checked against the one the run chose), elsewhere the one `locale` sets.
std::string Language(const char* language) {
#if defined(_WIN32)
    const std::string user = UserLanguage();
    if (const char* chosen = std::getenv("KZR_TEST_LANGUAGE")) {
        EXPECT_EQ(user, chosen) << "the locale did not reach Wine";
    }
    return user;
#else
    return language;
#endif
}

std::string LibraryName(const std::string& suffix) {
    return "KZR_PlugIn_6_" + suffix + ".DLL";
}

// Under the user's language with every candidate present its library comes
// first (beside the module, not where a cut at the folder's dot would look);
// then the fallback; without either, or with a fallback that does not load,
// the module itself.  De-initialisation releases what was loaded.
TEST_F(ModuleEntry, UserLanguageComesFirstThenTheFallbackThenTheModule) {
#if !defined(_WIN32)
    ScopedLocale locale("de_DE.UTF-8");
#endif
    const std::string language = Language("DEU");
    const fs::path dir = root_ / "Fx.1", fallback = dir / LibraryName("RES");
    for (const std::string suffix : {"ENU", "DEU", "RES", language.c_str()})
        PlaceLibrary(dir / LibraryName(suffix));
    PlaceLibrary(root_ / ("Fx_" + language + ".DLL"));
    ModuleCopy m(dir, kModule);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_TRUE(LoadedFrom(m.ResourceHandle(), dir / LibraryName(language)));
    ASSERT_EQ(m.DeInit(), 0u);
    for (const std::string suffix : {"ENU", "DEU", language.c_str()})
        fs::remove(dir / LibraryName(suffix));
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_TRUE(LoadedFrom(m.ResourceHandle(), fallback));
    EXPECT_EQ(m.DeInit(), 0u);
    EXPECT_EQ(m.ResourceHandle(), nullptr);
    EXPECT_FALSE(StillLoaded(fallback)) << "still loaded after DeInit";
    fs::remove(fallback);
    for (const bool present : {false, true}) {
        if (present)
            std::ofstream(fallback) << "not a library";
        ASSERT_EQ(m.Init(), 0u);
        EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle()) << present;
        EXPECT_EQ(m.DeInit(), 0u);
    }
}

// A second Init keeps the handle of the first when no library is there any
// more (moved away: Windows cannot remove a loaded file); DeInit releases it,
// and the next Init looks again.
TEST_F(ModuleEntry, SecondInitKeepsAnEarlierHandleAndDeInitReleasesIt) {
    const fs::path dir = root_ / "fx", res = dir / LibraryName("RES"), moved = dir / "moved";
    PlaceLibrary(res);
    ModuleCopy m(dir, kModule);
    ASSERT_EQ(m.Init(), 0u);
    void* first = m.ResourceHandle();
    ASSERT_TRUE(LoadedFrom(first, res));
    fs::rename(res, moved);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ResourceHandle(), first);
    EXPECT_EQ(m.DeInit(), 0u);
    EXPECT_EQ(m.ResourceHandle(), nullptr);
    EXPECT_FALSE(StillLoaded(res));
    fs::rename(moved, res);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_TRUE(LoadedFrom(m.ResourceHandle(), res));
}

// The built language libraries hold every resource key exactly as the text
// files say and export only their lookup, which refuses a null key; a host
// reads the user's language through the handle the module stored.
TEST(LanguageLibraries, HoldEveryKeyAndTheUserLanguageComesThroughTheModule) {
    const refhost::Module& module = kzrtest::TheModule();
    const std::vector<std::string> keys = refhost::ResourceKeys(module.Descriptor());
    EXPECT_GT(keys.size(), 22u);  // module, ten effects, their parameters
    for (const char* language : {"ENU", "DEU"}) {
        SCOPED_TRACE(language);
        const refhost::Texts texts = refhost::Texts::ForLanguage(module, language);
        const auto file = kzrtest::TextFile(language);
        EXPECT_EQ(file.size(), keys.size()) << "the text file has keys the tables do not use";
        for (const std::string& key : keys)
            EXPECT_EQ(texts.Find(key).value_or("(none)"), file.at(key)) << key;
        EXPECT_FALSE(texts.Find("IDS_No_Such_Key").has_value());
        EXPECT_EQ(texts.Find("IDS_Vi_Param_MaskType_Name;box;circle;none"),
                  texts.Find("IDS_Vi_Param_MaskType_Name"));  // the choices are not the key
        void* library = lib::Open(texts.LibraryPath(), nullptr);
        ASSERT_NE(library, nullptr);
        auto lookup =
            reinterpret_cast<kzr::ResourceTextFn>(lib::Symbol(library, kzr::kResourceTextSymbol));
        ASSERT_NE(lookup, nullptr);
        EXPECT_TRUE(lookup(nullptr) == nullptr && lookup("") == nullptr);
        EXPECT_NE(lookup("IDS_Module_Name"), nullptr);
        EXPECT_EQ(lib::Symbol(library, "_ZN3kzr4lang6kTextsE"), nullptr);  // the table is private
        lib::Close(library);
    }
    // Without a library the host derives names from the keys; a missing
    // language is refused with the file and the languages there are.
    EXPECT_EQ(refhost::Texts().Text("IDS_Vi_Param_Degree_Name"), "Degree");
    EXPECT_EQ(refhost::Texts().Text("IDS_DSP_Vi_HStretch_Name"), "HStretch");
    try {
        refhost::Texts::ForLanguage(module, "XYZ");
        ADD_FAILURE() << "a missing language library was accepted";
    } catch (const refhost::Error& e) {
        const std::string what = e.what();
        EXPECT_TRUE(what.find("KZR_PlugIn_6_XYZ.DLL") != what.npos &&
                    what.find("DEU, ENU") != what.npos)
            << what;
    }
    EXPECT_THROW(refhost::Texts::ForLanguage(module, "../ENU"), refhost::Error);
    EXPECT_EQ(refhost::AvailableLanguages(module), (std::vector<std::string>{"DEU", "ENU"}));
#if defined(_WIN32)
    // The user's language when a library was built for it, else English.
    const std::string language = UserLanguage();
    const refhost::Texts texts = refhost::Texts::FromModule(module);
    EXPECT_EQ(texts.Language(), language == "DEU" ? "DEU" : "ENU") << language;
#endif
}

TEST(ResourceName, CutsAtTheFirstDotOfTheFileName) {
    kzr::platform::PathChar out[kzr::platform::kMaxPath];
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/fx/KZR_PlugIn_6.so", "/opt/fx/KZR_PlugIn_6_ENU.DLL"},
        {"/opt/fx.1/KZR_PlugIn_6.so", "/opt/fx.1/KZR_PlugIn_6_ENU.DLL"},
        {"/home/u/.local/lib/fx.so.1", "/home/u/.local/lib/fx_ENU.DLL"},
        {"/opt/fx/plain", "/opt/fx/plain_ENU.DLL"},
        {"relative.so", "relative_ENU.DLL"},
        {"C:\\Fx.1\\KZR_PlugIn_6.dll", "C:\\Fx.1\\KZR_PlugIn_6_ENU.DLL"},
        {"C:/Fx.1/X.Y.dll", "C:/Fx.1/X_ENU.DLL"},
        {"\\\\server\\share.v2\\plain", "\\\\server\\share.v2\\plain_ENU.DLL"},
    };
    const lib::NativePath suffix = lib::ToNative("ENU");
    for (const auto& [path, expected] : cases) {
#if !defined(_WIN32)
        if (path[1] == ':' || path[0] == '\\')
            continue;  // '\' separates folders on Windows only
#endif
        ASSERT_TRUE(kzr::ComposeResourceName(lib::ToNative(path).c_str(), suffix.c_str(), out,
                                             kzr::platform::kMaxPath));
        EXPECT_EQ(lib::FromNative(out), expected);
    }
    // A name that does not fit counts as absent: 28 characters need room for
    // the terminator.
    const lib::NativePath path = lib::ToNative("/opt/fx/KZR_PlugIn_6.so");
    EXPECT_FALSE(kzr::ComposeResourceName(path.c_str(), suffix.c_str(), out, 28));
    EXPECT_TRUE(kzr::ComposeResourceName(path.c_str(), suffix.c_str(), out, 29));
}

}  // namespace
