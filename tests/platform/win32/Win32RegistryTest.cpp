// The settings store on the system registry. Every test works in a key of
// its own under Software\Velmar_Software (HKEY_LOCAL_MACHINE, and
// HKEY_CURRENT_USER where the refusal of the former is tested) and removes it
// afterwards, so the program's real settings are never touched.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/win32/Win32Registry.h"
#include "settings/SystemRegistry.h"
#include "support/Win32TestSupport.h"  // <windows.h> first: <sddl.h> builds on it

#include <sddl.h>

namespace {

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string id = std::to_string(GetCurrentProcessId()) + "_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        subKey_ = "Software\\Velmar_Software\\USB_TorvikLoader_Test_" + id;
        absolute_ = "\\" + subKey_ + "\\";
        virtualKey_ = "Software\\Classes\\VirtualStore\\MACHINE\\" + subKey_;
        wowVirtualKey_ = "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\WOW6432Node\\" +
                         subKey_.substr(std::string("Software\\").size());
        TearDown();
    }

    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, subKey_.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey_.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, subKey_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, subKey_.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, virtualKey_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, virtualKey_.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, wowVirtualKey_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, wowVirtualKey_.c_str());
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, subKey_.c_str(), KEY_WOW64_32KEY, 0);
    }

    // A key with the value `name` (none when `name` is null), in the 32-bit
    // view of the registry when `view` says so.
    static void PutDword(HKEY root, const std::string& key, const char* name, DWORD value, REGSAM view = 0)
    {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        if (name != nullptr) RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(h);
    }

    // Type and size of a value, read past the accessor; REG_NONE when absent.
    DWORD RawType(const std::string& key, const std::string& name, DWORD* size = nullptr)
    {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return REG_NONE;
        DWORD type = REG_NONE;
        DWORD bytes = 0;
        if (RegQueryValueExA(h, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) type = REG_NONE;
        RegCloseKey(h);
        if (size != nullptr) *size = bytes;
        return type;
    }

    void WriteRaw(const std::string& name, DWORD type, const void* data, DWORD size)
    {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(h);
    }

    template <typename F>
    static std::string MessageOf(F&& call)
    {
        try {
            call();
        } catch (const ERegistryException& e) {
            return e.what();
        }
        return "(nothing raised)";
    }

    std::string subKey_;      // relative to HKEY_LOCAL_MACHINE
    std::string absolute_;    // as the program names it: "\...\"
    std::string virtualKey_;     // where Windows redirected an old program's writes
    std::string wowVirtualKey_;  // ... those of an old 32-bit program on 64-bit Windows
};

TEST_F(Win32RegistryTest, ValuesSurviveClosingAndAFreshAccessor)
{
    {
        auto reg = CreateRegistry();
        ASSERT_TRUE(reg->OpenKey(absolute_, true));
        reg->WriteInteger("Version", 10);
        reg->WriteInteger("ComPort", -1);
        reg->WriteInteger("Xpos", INT32_MIN);
        reg->WriteInteger("Ypos", INT32_MAX);
        reg->WriteString("LastFile", "C:\\Cards\\image 1.tvk");
        reg->WriteString("Empty", "");
        reg->CloseKey();
    }
    auto reg = CreateRegistry();
    ASSERT_TRUE(reg->OpenKey(absolute_, false));
    for (const char* name : {"Version", "ComPort", "Xpos", "Ypos", "LastFile", "Empty"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(reg->ValueExists(name));
    }
    EXPECT_FALSE(reg->ValueExists("Missing"));
    EXPECT_EQ(reg->ReadInteger("Version"), 10);
    EXPECT_EQ(reg->ReadInteger("ComPort"), -1);
    EXPECT_EQ(reg->ReadInteger("Xpos"), INT32_MIN);
    EXPECT_EQ(reg->ReadInteger("Ypos"), INT32_MAX);
    EXPECT_EQ(reg->ReadString("LastFile"), "C:\\Cards\\image 1.tvk");
    EXPECT_EQ(reg->ReadString("Empty"), "");

    // Overwriting replaces the value.
    reg->WriteInteger("ComPort", 15);
    reg->WriteString("LastFile", "D:\\b.tvk");
    EXPECT_EQ(reg->ReadInteger("ComPort"), 15);
    EXPECT_EQ(reg->ReadString("LastFile"), "D:\\b.tvk");
}

TEST_F(Win32RegistryTest, KeyLivesUnderLocalMachineWithSystemTypes)
{
    auto reg = CreateRegistry();
    ASSERT_TRUE(reg->OpenKey(absolute_, true));
    reg->WriteInteger("ComPort", 4);
    reg->WriteString("LastFile", "abc");
    reg->CloseKey();

    // The leading backslash anchors the path at the root, and the trailing
    // one names the same key.
    DWORD size = 0;
    EXPECT_EQ(RawType(subKey_, "ComPort", &size), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RawType(subKey_, "LastFile", &size), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);  // "abc" and its terminator

    // Without the leading backslash the path is relative to the open key.
    ASSERT_TRUE(reg->OpenKey(absolute_, false));
    ASSERT_TRUE(reg->OpenKey("Nested", true));
    reg->WriteInteger("Depth", 2);
    reg->CloseKey();
    EXPECT_EQ(RawType(subKey_ + "\\Nested", "Depth"), static_cast<DWORD>(REG_DWORD));
}

TEST_F(Win32RegistryTest, ValueOfAnotherTypeIsRefusedByName)
{
    const DWORD four = 4;
    const unsigned char blob[4] = {1, 2, 3, 4};
    WriteRaw("Text", REG_SZ, "12", 3);
    WriteRaw("Number", REG_DWORD, &four, sizeof four);
    WriteRaw("Blob", REG_BINARY, blob, sizeof blob);

    auto reg = CreateRegistry();
    ASSERT_TRUE(reg->OpenKey(absolute_, false));
    EXPECT_EQ(MessageOf([&] { reg->ReadInteger("Text"); }), "Invalid data type for 'Text'");
    EXPECT_EQ(MessageOf([&] { reg->ReadInteger("Blob"); }), "Invalid data type for 'Blob'");
    EXPECT_EQ(MessageOf([&] { reg->ReadString("Number"); }), "Invalid data type for 'Number'");
    EXPECT_EQ(MessageOf([&] { reg->ReadString("Blob"); }), "Invalid data type for 'Blob'");
    // Missing values fail as the file store's do.
    EXPECT_EQ(MessageOf([&] { reg->ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
    EXPECT_EQ(MessageOf([&] { reg->ReadString("Missing"); }), "Failed to get data for 'Missing'");
    // The right type still reads.
    EXPECT_EQ(reg->ReadInteger("Number"), 4);
    EXPECT_EQ(reg->ReadString("Text"), "12");
}

TEST_F(Win32RegistryTest, StringWithoutTerminatorReadsWhole)
{
    WriteRaw("LastFile", REG_SZ, "C:\\x.tvk", 8);  // stored without its terminator
    auto reg = CreateRegistry();
    ASSERT_TRUE(reg->OpenKey(absolute_, false));
    EXPECT_EQ(reg->ReadString("LastFile"), "C:\\x.tvk");
}

TEST_F(Win32RegistryTest, MissingKeyIsNotOpenedWithoutCreate)
{
    auto reg = CreateRegistry();
    EXPECT_FALSE(reg->OpenKey(absolute_, false));
    EXPECT_FALSE(reg->ValueExists("ComPort"));
    EXPECT_EQ(RawType(subKey_, ""), static_cast<DWORD>(REG_NONE));
    // Nothing is open, so nothing can be written.
    EXPECT_EQ(MessageOf([&] { reg->WriteInteger("Version", 10); }), "Failed to set data for 'Version'");
    EXPECT_EQ(MessageOf([&] { reg->WriteString("LastFile", "x"); }), "Failed to set data for 'LastFile'");
}

TEST_F(Win32RegistryTest, KeyWithoutFullAccessMovesToTheCurrentUser)
{
    // A key everybody may only read: the program's full-access open is
    // refused there, with or without create.
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                              nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;KR;;;WD)", SDDL_REVISION_1, &readOnly,
                                                                     nullptr));
    const LONG set = RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, readOnly);
    LocalFree(readOnly);
    RegCloseKey(h);
    ASSERT_EQ(set, ERROR_SUCCESS);

    HKEY probe = nullptr;
    const bool systemDenies =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, KEY_ALL_ACCESS, &probe) != ERROR_SUCCESS;
    if (!systemDenies) RegCloseKey(probe);

    auto reg = CreateRegistry();
    const bool opened = reg->OpenKey(absolute_, true);
    const bool openedWithoutCreate = reg->OpenKey(absolute_, false);
    reg->CloseKey();

    // Give access back so the key can be removed.
    PSECURITY_DESCRIPTOR full = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;KA;;;WD)", SDDL_REVISION_1, &full,
                                                                     nullptr));
    HKEY owner = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, WRITE_DAC, &owner), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(owner, DACL_SECURITY_INFORMATION, full), ERROR_SUCCESS);
    RegCloseKey(owner);
    LocalFree(full);

    if (!systemDenies) GTEST_SKIP() << "this system grants full access despite a read-only key (Wine does)";
    // Refused under HKEY_LOCAL_MACHINE: the same key under HKEY_CURRENT_USER
    // is created and used instead.
    EXPECT_TRUE(opened);
    EXPECT_TRUE(openedWithoutCreate);
}

TEST_F(Win32RegistryTest, WriteToAKeyRemovedMeanwhileFailsByName)
{
    auto reg = CreateRegistry();
    ASSERT_TRUE(reg->OpenKey(absolute_, true));
    reg->WriteInteger("Version", 10);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, subKey_.c_str()), ERROR_SUCCESS);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey_.c_str());

    // The close query stops at the first value that cannot be written.
    EXPECT_EQ(MessageOf([&] { reg->WriteInteger("ComPort", 2); }), "Failed to set data for 'ComPort'");
    EXPECT_EQ(MessageOf([&] { reg->WriteString("LastFile", "a"); }), "Failed to set data for 'LastFile'");
}

TEST_F(Win32RegistryTest, TextIsUtf8InsideAndUtf16InTheRegistry)
{
    const std::string path = "C:\\Daten\\K\xC3\xA4rtchen\\k\xC3\xA4rt \xE2\x82\xAC.tvk";
    auto reg = CreateRegistry();
    ASSERT_TRUE(reg->OpenKey(absolute_, true));
    reg->WriteString("LastFile", path);
    EXPECT_EQ(reg->ReadString("LastFile"), path);
    reg->CloseKey();

    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::wstring(subKey_.begin(), subKey_.end()).c_str(), 0, KEY_READ, &h),
              ERROR_SUCCESS);
    wchar_t stored[256] = {};
    DWORD size = sizeof stored;
    EXPECT_EQ(RegQueryValueExW(h, L"LastFile", nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &size),
              ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(std::wstring(stored), L"C:\\Daten\\K\u00E4rtchen\\k\u00E4rt \u20AC.tvk");

    // What a program of the ANSI code page stored reads back as the
    // characters it meant.
    WriteRaw("Old", REG_SZ, "K\xE4rt", 5);
    wchar_t meant[8] = {};
    MultiByteToWideChar(CP_ACP, 0, "K\xE4rt", -1, meant, 8);
    char expected[32] = {};
    WideCharToMultiByte(CP_UTF8, 0, meant, -1, expected, sizeof expected, nullptr, nullptr);
    ASSERT_TRUE(reg->OpenKey(absolute_, false));
    EXPECT_EQ(reg->ReadString("Old"), expected);
    EXPECT_NE(reg->ReadString("Old"), "K\xE4rt") << "not the raw ANSI bytes";
}

TEST_F(Win32RegistryTest, RefusedLocalMachineUsesTheCurrentUsersKey)
{
    // Wine does not enforce rights: the refusal is injected, and the places
    // older values are looked for are recorded.
    std::vector<std::string> asked;
    const auto refuseMachine = [&](HKEY root, const std::wstring& path, KeyAccess access, HKEY* key) -> LONG {
        const std::string narrow(path.begin(), path.end());
        if (access == KeyAccess::Read32) asked.push_back(narrow == subKey_ ? "32-bit machine" : narrow);
        if (access == KeyAccess::Read) asked.push_back(narrow == wowVirtualKey_ ? "WOW6432Node store"
                                                      : narrow == virtualKey_ ? "virtual store"
                                                                              : narrow);
        if (root == HKEY_LOCAL_MACHINE && (access == KeyAccess::Open || access == KeyAccess::Create))
            return ERROR_ACCESS_DENIED;
        return OpenRegistryKey(root, path, access, key);
    };
    // Older values: 0 no key, -1 a key without values, otherwise its ComPort.
    const std::vector<std::string> all = {"WOW6432Node store", "virtual store", "32-bit machine"};
    const struct {
        const char* what;
        bool userKey;  // the key exists under HKEY_CURRENT_USER already (ComPort 3)
        int32_t wowVirtual, virtualStore, machine32;
        bool canCreate;
        bool opened;
        int32_t comPort;  // -1: no value
        std::vector<std::string> asked;
    } cases[] = {
        {"a 32-bit program's virtual store comes first", false, 8, 7, 9, true, true, 8, {all[0]}},
        {"then the plain virtual store", false, 0, 7, 9, true, true, 7, {all[0], all[1]}},
        {"a key without values is passed over", false, -1, 7, 9, true, true, 7, {all[0], all[1]}},
        {"then the 32-bit view of HKEY_LOCAL_MACHINE", false, 0, 0, 9, true, true, 9, all},
        {"an existing user key wins over all of them", true, 8, 7, 9, true, true, 3, {}},
        {"nothing stored anywhere", false, 0, 0, 0, true, true, -1, all},
        {"no user key and no create", false, 8, 7, 9, false, false, -1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        asked.clear();
        if (c.userKey) PutDword(HKEY_CURRENT_USER, subKey_, "ComPort", 3);
        const struct {
            HKEY root;
            const std::string& key;
            int32_t value;
            REGSAM view;
        } older[] = {{HKEY_CURRENT_USER, wowVirtualKey_, c.wowVirtual, 0},
                     {HKEY_CURRENT_USER, virtualKey_, c.virtualStore, 0},
                     {HKEY_LOCAL_MACHINE, subKey_, c.machine32, KEY_WOW64_32KEY}};
        for (const auto& o : older)
            if (o.value != 0) PutDword(o.root, o.key, o.value > 0 ? "ComPort" : nullptr, o.value, o.view);
        auto reg = CreateWin32Registry(refuseMachine);
        ASSERT_EQ(reg->OpenKey(absolute_, c.canCreate), c.opened);
        EXPECT_EQ(asked, c.asked);
        if (!c.opened) continue;
        EXPECT_EQ(reg->ValueExists("ComPort") ? reg->ReadInteger("ComPort") : -1, c.comPort);
        reg->WriteInteger("Xpos", 5);
        reg->CloseKey();
        EXPECT_EQ(RawType(subKey_, "Xpos"), static_cast<DWORD>(REG_NONE)) << "nothing under HKEY_LOCAL_MACHINE";
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(h, "Xpos", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        RegCloseKey(h);
    }

    // Other failures under HKEY_LOCAL_MACHINE are not a reason to move.
    TearDown();
    auto reg = CreateWin32Registry([](HKEY root, const std::wstring& path, KeyAccess access, HKEY* key) -> LONG {
        if (root == HKEY_LOCAL_MACHINE) return ERROR_FILE_NOT_FOUND;
        return OpenRegistryKey(root, path, access, key);
    });
    EXPECT_FALSE(reg->OpenKey(absolute_, true));
}

}  // namespace
