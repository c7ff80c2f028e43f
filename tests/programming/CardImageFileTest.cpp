// Loading a card image file: what the Windows open adds (nobody may write
// the file while it is read; the name is Unicode). Files that cannot be
// loaded are tried through the window (tests/app/qt/FaultFilesTest.cpp).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "programming/CardImageFile.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

TEST(CardImageFile, CardImageIsReadWithoutSharingAndByItsUnicodeName)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring wide = std::wstring(temp) + L"torvik k\u00E4rt " + std::to_wstring(GetCurrentProcessId()) + L".tvk";
    char utf8[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    HANDLE writer = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const char data[40] = "0123456789abcdef0123456789abcdef012345";
    DWORD wrote = 0;
    WriteFile(writer, data, sizeof data, &wrote, nullptr);

    uint8_t buffer[64] = {};
    // Someone still has it open for writing: the load refuses to share.
    EXPECT_EQ(ReadCardImageFile(utf8, buffer, sizeof buffer), -1);
    CloseHandle(writer);
    EXPECT_EQ(ReadCardImageFile(utf8, buffer, sizeof buffer), 40);
    EXPECT_EQ(buffer[10], 'a');
    DeleteFileW(wide.c_str());
}

}  // namespace
#endif
