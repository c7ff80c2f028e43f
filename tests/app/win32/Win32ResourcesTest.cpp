// The program's resources (app/win32/USB_TorvikLoader.rc), linked into this
// test program the same way as into the window program.

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "support/Win32TestSupport.h"  // <windows.h> first

#include <shlwapi.h>

namespace {

std::string ResourceText(LPCSTR name, LPCSTR type)
{
    HRSRC found = FindResourceA(nullptr, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(nullptr, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return data == nullptr ? std::string() : std::string(data, SizeofResource(nullptr, found));
}

TEST(Win32Resources, ManifestAsksForCommonControlsSix)
{
    const std::string manifest = ResourceText(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_FALSE(manifest.empty()) << "no application manifest";
    const auto dependency = manifest.find("name=\"Microsoft.Windows.Common-Controls\"");
    ASSERT_NE(dependency, std::string::npos);
    EXPECT_NE(manifest.find("version=\"6.0.0.0\"", dependency), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

TEST(Win32Resources, ManifestBringsInCommonControlsSix)
{
    // The loader activated the manifest at start-up: "comctl32.dll" is
    // redirected to the side-by-side assembly of version 6.
    ACTCTX_SECTION_KEYED_DATA redirect{};
    redirect.cbSize = sizeof redirect;
    EXPECT_TRUE(FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION, "comctl32.dll",
                                         &redirect));

    HMODULE comctl = LoadLibraryA("comctl32.dll");
    ASSERT_NE(comctl, nullptr);
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(comctl, path, MAX_PATH), 0u);
    std::string lower(path);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(lower.find("common-controls_6595b64144ccf1df_6."), std::string::npos) << path;

    // Wine's version 6 build still calls itself 5.81; Windows reports 6.
    if (win32test::UnderWine()) return;
    using GetVersion = HRESULT(CALLBACK*)(DLLVERSIONINFO*);
    auto getVersion = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(comctl, "DllGetVersion")));
    ASSERT_NE(getVersion, nullptr);
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    ASSERT_EQ(getVersion(&info), S_OK);
    EXPECT_EQ(info.dwMajorVersion, 6u);
}

TEST(Win32Resources, MainIconCarriesTheUsualSizes)
{
    for (const int size : {16, 32, 48, 256}) {
        SCOPED_TRACE(size);
        HANDLE icon = LoadImageA(GetModuleHandleA(nullptr), "IDI_ICON1", IMAGE_ICON, size, size, 0);
        ASSERT_NE(icon, nullptr);
        ICONINFO parts{};
        ASSERT_TRUE(GetIconInfo(static_cast<HICON>(icon), &parts));
        BITMAP bitmap{};
        ASSERT_NE(GetObjectA(parts.hbmColor != nullptr ? parts.hbmColor : parts.hbmMask, sizeof bitmap, &bitmap), 0);
        EXPECT_EQ(bitmap.bmWidth, size);
        if (parts.hbmColor != nullptr) DeleteObject(parts.hbmColor);
        if (parts.hbmMask != nullptr) DeleteObject(parts.hbmMask);
        DestroyIcon(static_cast<HICON>(icon));
    }
}

TEST(Win32Resources, VersionInformationNamesTheProgram)
{
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
    char* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, "USB_TorvikLoader.exe");
}

}  // namespace
