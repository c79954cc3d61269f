// The DLL's version resource, read back through the Windows version API.
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "refhost/library.h"

namespace {

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
