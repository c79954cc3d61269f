// The module's Windows side under the real loader: the attach handler's
// handle, the language-resource library chosen by the user's locale, the
// fallbacks, the naming rule on Windows paths and the version resource.
// Each case copies the built DLL into a folder of its own, so it loads as an
// image of its own beside copies of a small stand-in library.
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "abi/exports.h"
#include "module/resource_name.h"
#include "refhost/library.h"
#include "refhost/texts.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

// The user locale's abbreviated language name, as the module asks for it.
std::wstring UserLanguage() {
    wchar_t buf[8] = {};
    GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, buf, 8);
    return buf;
}

// The language the test run chose through LC_ALL, when it chose one: the
// locale must have reached Wine, or the language cases prove nothing.
void ExpectChosenLanguage() {
    if (const char* chosen = std::getenv("KZR_TEST_LANGUAGE")) {
        EXPECT_EQ(refhost::library::FromNative(UserLanguage()), chosen);
    }
}

std::wstring LoadedFrom(void* handle) {
    wchar_t buf[MAX_PATH] = {};
    GetModuleFileNameW(static_cast<HMODULE>(handle), buf, MAX_PATH);
    return buf;
}

bool SameFile(const std::wstring& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

// A copy of the module in a folder of its own, loaded while the object lives.
class ModuleCopy {
  public:
    ModuleCopy(const fs::path& dir, const std::wstring& fileName) : path_(dir / fileName) {
        fs::create_directories(dir);
        fs::copy_file(KZR_MODULE_PATH, path_, fs::copy_options::overwrite_existing);
        lib_ = LoadLibraryW(path_.c_str());
        if (lib_ == nullptr)
            throw std::runtime_error("cannot load " + path_.string());
        init_ =
            reinterpret_cast<KzrInitModuleFn>(refhost::library::Symbol(lib_, "KZR_DSP_InitModule"));
        deinit_ = reinterpret_cast<KzrDeInitModuleFn>(
            refhost::library::Symbol(lib_, "KZR_DSP_DeInitModule"));
    }
    ~ModuleCopy() {
        if (record_ != nullptr && ResourceHandle() != nullptr)
            deinit_();
        FreeLibrary(lib_);
    }

    HMODULE Library() const { return lib_; }
    const fs::path& Path() const { return path_; }
    uint32_t Init() { return init_(&record_); }
    uint32_t DeInit() { return deinit_(); }
    KzrInitModuleFn InitFn() const { return init_; }
    void* Field(size_t offset) const {
        void* v;
        std::memcpy(&v, static_cast<const uint8_t*>(record_) + offset, sizeof v);
        return v;
    }
    void* ModuleHandle() const { return Field(0x28); }
    void* ResourceHandle() const { return Field(0x30); }

  private:
    fs::path path_;
    HMODULE lib_ = nullptr;
    KzrInitModuleFn init_ = nullptr;
    KzrDeInitModuleFn deinit_ = nullptr;
    const void* record_ = nullptr;
};

void PlaceLibrary(const fs::path& path) {
    fs::create_directories(path.parent_path());
    fs::copy_file(KZR_TEST_RESLIB, path, fs::copy_options::overwrite_existing);
}

class WinModuleEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("kzr_entry_" + std::to_string(GetCurrentProcessId()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
};

TEST_F(WinModuleEntry, AttachRecordsTheInstanceHandleAndNullIsRefused) {
    ModuleCopy m(root_ / L"fx", L"KZR_PlugIn_6.dll");
    EXPECT_EQ(m.InitFn()(nullptr), 0x80004005u);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ModuleHandle(), static_cast<void*>(m.Library()));
}

// Under the locale the run chose (German or English), with every candidate present.
TEST_F(WinModuleEntry, UserLanguageComesFirst) {
    ExpectChosenLanguage();
    const std::wstring language = UserLanguage();
    ASSERT_EQ(language.size(), 3u);
    const fs::path dir = root_ / L"fx";
    for (const std::wstring suffix : {L"ENU", L"DEU", L"RES", language.c_str()})
        PlaceLibrary(dir / (L"KZR_PlugIn_6_" + suffix + L".DLL"));
    ModuleCopy m(dir, L"KZR_PlugIn_6.dll");
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_TRUE(
        SameFile(LoadedFrom(m.ResourceHandle()), dir / (L"KZR_PlugIn_6_" + language + L".DLL")))
        << LoadedFrom(m.ResourceHandle());
}

TEST_F(WinModuleEntry, FallbackLibraryThenTheModuleItself) {
    const fs::path dir = root_ / L"fx";
    const fs::path fallback = dir / L"KZR_PlugIn_6_RES.DLL";
    PlaceLibrary(fallback);
    PlaceLibrary(dir / L"KZR_PlugIn_6_XYZ.DLL");  // no user's language
    ModuleCopy m(dir, L"KZR_PlugIn_6.dll");
    ASSERT_EQ(m.Init(), 0u);
    ASSERT_NE(m.ResourceHandle(), m.ModuleHandle());
    EXPECT_TRUE(SameFile(LoadedFrom(m.ResourceHandle()), fallback));
    EXPECT_EQ(m.DeInit(), 0u);
    EXPECT_EQ(m.ResourceHandle(), nullptr);
    EXPECT_EQ(GetModuleHandleW(fallback.c_str()), nullptr) << "still loaded after DeInit";

    fs::remove(fallback);
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle());
    EXPECT_EQ(m.DeInit(), 0u);
    EXPECT_EQ(m.ResourceHandle(), nullptr);

    // A present file that does not load leaves the module itself in charge.
    std::ofstream(fallback) << "not a library";
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_EQ(m.ResourceHandle(), m.ModuleHandle());
}

TEST_F(WinModuleEntry, DottedFolderKeepsTheLookupBesideTheModule) {
    const std::wstring language = UserLanguage();
    const fs::path dir = root_ / L"Fx.1";
    PlaceLibrary(dir / (L"KZR_PlugIn_6_" + language + L".DLL"));
    // Where a cut at the folder's dot would look: must not be used.
    PlaceLibrary(root_ / (L"Fx_" + language + L".DLL"));
    ModuleCopy m(dir, L"KZR_PlugIn_6.dll");
    ASSERT_EQ(m.Init(), 0u);
    EXPECT_TRUE(
        SameFile(LoadedFrom(m.ResourceHandle()), dir / (L"KZR_PlugIn_6_" + language + L".DLL")));
}

TEST(WinResourceName, CutsAtTheFirstDotOfTheFileNameOnWindowsPaths) {
    wchar_t out[MAX_PATH];
    const std::map<std::wstring, std::wstring> cases = {
        {L"C:\\Fx\\KZR_PlugIn_6.dll", L"C:\\Fx\\KZR_PlugIn_6_ENU.DLL"},
        {L"C:\\Fx.1\\KZR_PlugIn_6.dll", L"C:\\Fx.1\\KZR_PlugIn_6_ENU.DLL"},
        {L"C:/Fx.1/X.Y.dll", L"C:/Fx.1/X_ENU.DLL"},
        {L"\\\\server\\share.v2\\plain", L"\\\\server\\share.v2\\plain_ENU.DLL"},
    };
    for (const auto& [path, expected] : cases) {
        ASSERT_TRUE(kzr::ComposeResourceName(path.c_str(), L"ENU", out, MAX_PATH));
        EXPECT_EQ(std::wstring(out), expected);
    }
    // A name that does not fit in MAX_PATH counts as absent: 259 characters
    // and the terminating null fit, one more does not.
    for (size_t folder : {246, 247}) {
        const std::wstring path = L"C:\\" + std::wstring(folder, L'a') + L"\\X.dll";
        EXPECT_EQ(kzr::ComposeResourceName(path.c_str(), L"ENU", out, MAX_PATH), folder == 246);
        if (folder == 246) {
            EXPECT_EQ(std::wstring(out).size(), 259u);
        }
    }
}

// key -> text of a language's source file.
std::map<std::string, std::string> TextFile(const std::string& language) {
    std::ifstream in(std::string(KZR_LANG_SOURCE_DIR) + "/" + language + ".txt");
    std::map<std::string, std::string> texts;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        const auto trim = [](std::string s) {
            s.erase(0, s.find_first_not_of(" \t\r"));
            s.erase(s.find_last_not_of(" \t\r") + 1);
            return s;
        };
        texts[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return texts;
}

// The built module and its language libraries: the module loads the user's
// language and the host reads the texts through the handle it stored.
TEST(WinLanguageLibraries, HostReadsTheUserLanguageThroughTheModule) {
    ExpectChosenLanguage();
    const refhost::Module& module = kzrtest::TheModule();
    EXPECT_EQ(refhost::AvailableLanguages(module), (std::vector<std::string>{"DEU", "ENU"}));
    const std::string language = refhost::library::FromNative(UserLanguage());
    const refhost::Texts texts = refhost::Texts::FromModule(module);
    if (language != "DEU" && language != "ENU") {
        EXPECT_FALSE(texts.HasLibrary()) << "no library for " << language << " was built";
        return;
    }
    ASSERT_TRUE(texts.HasLibrary());
    EXPECT_EQ(texts.Language(), language);
    const auto file = TextFile(language);
    for (const std::string& key : refhost::ResourceKeys(module.Descriptor()))
        EXPECT_EQ(texts.Find(key), file.at(key)) << key;
    EXPECT_NE(refhost::Texts::ForLanguage(module, "DEU").Text("IDS_Vi_Param_Size_Name"),
              refhost::Texts::ForLanguage(module, "ENU").Text("IDS_Vi_Param_Size_Name"));
}

std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT size = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &size) || value == nullptr)
        return L"(none)";
    return static_cast<const wchar_t*>(value);
}

TEST(WinVersionResource, ReadsBackThroughTheVersionApi) {
    const std::wstring path = refhost::library::ToNative(KZR_MODULE_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    ASSERT_EQ(fixedSize, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    // 22.0.1.2431 for the file and the product.
    for (const auto& [ms, ls] : {std::pair{fixed->dwFileVersionMS, fixed->dwFileVersionLS},
                                 {fixed->dwProductVersionMS, fixed->dwProductVersionLS}}) {
        EXPECT_EQ(HIWORD(ms), 22);
        EXPECT_EQ(LOWORD(ms), 0);
        EXPECT_EQ(HIWORD(ls), 1);
        EXPECT_EQ(LOWORD(ls), 2431);
    }
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    EXPECT_EQ(VersionString(info, L"FileDescription"), L"KZR System PlugIn 6");
    EXPECT_EQ(VersionString(info, L"ProductName"), L"KZR System PlugIn 6");
    EXPECT_EQ(VersionString(info, L"FileVersion"), L"22.0.1.2431");
    EXPECT_EQ(VersionString(info, L"ProductVersion"), L"22.0.1.2431");
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"KZR_PlugIn_6.dll");
}

}  // namespace
