// The settings store on Windows: the system registry under
// HKEY_LOCAL_MACHINE (or, where that is refused, HKEY_CURRENT_USER), one open
// key at a time, opened with full access. Names and strings are UTF-8 here and
// UTF-16 at every registry call.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

#include "platform/win32/Win32Registry.h"
#include "platform/win32/Utf16.h"

namespace {

[[noreturn]] void ThrowInvalidType(const std::string& name)
{
    throw ERegistryException("Invalid data type for '" + name + "'");
}

[[noreturn]] void ThrowGetFailed(const std::string& name)
{
    throw ERegistryException("Failed to get data for '" + name + "'");
}

[[noreturn]] void ThrowSetFailed(const std::string& name)
{
    throw ERegistryException("Failed to set data for '" + name + "'");
}

// Copies every value of `from` into `to`; what cannot be copied is left out.
void CopyValues(HKEY from, HKEY to)
{
    for (DWORD index = 0;; ++index) {
        std::wstring name(16384, L'\0');
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = REG_NONE;
        DWORD size = 0;
        LONG rc = RegEnumValueW(from, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) return;
        if (rc != ERROR_SUCCESS) continue;
        name.resize(nameLength);
        std::vector<BYTE> data(size + 2, 0);
        DWORD got = size;
        if (RegQueryValueExW(from, name.c_str(), nullptr, &type, data.data(), &got) != ERROR_SUCCESS) continue;
        RegSetValueExW(to, name.c_str(), 0, type, data.data(), got);
    }
}

}  // namespace

LONG OpenRegistryKey(HKEY root, const std::wstring& path, KeyAccess access, HKEY* key)
{
    switch (access) {
        case KeyAccess::Create:
            return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                   key, nullptr);
        case KeyAccess::Open: return RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, key);
        case KeyAccess::Read: return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key);
        case KeyAccess::Read32: return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key);
    }
    return ERROR_INVALID_PARAMETER;
}

namespace {

class Win32Registry final : public TRegistry {
public:
    explicit Win32Registry(RegistryKeyOpener opener) : opener_(std::move(opener)) {}
    ~Win32Registry() override { CloseKey(); }

    bool OpenKey(const std::string& key, bool canCreate) override
    {
        // A leading backslash makes the path absolute under the root; without
        // one it is relative to the key that is open. Trailing backslashes
        // name the same key.
        const bool absolute = !key.empty() && key.front() == '\\';
        std::string path = key;
        while (!path.empty() && path.front() == '\\') path.erase(path.begin());
        while (!path.empty() && path.back() == '\\') path.pop_back();
        const std::wstring wide = Utf16(path);

        HKEY opened = nullptr;
        LONG rc;
        const KeyAccess access = canCreate ? KeyAccess::Create : KeyAccess::Open;
        if (!absolute && key_ != nullptr) {
            rc = opener_(key_, wide, access, &opened);
        } else {
            rc = opener_(HKEY_LOCAL_MACHINE, wide, access, &opened);
            // A standard user may not write under HKEY_LOCAL_MACHINE: the
            // settings then live in the user's own hive.
            if (rc == ERROR_ACCESS_DENIED) rc = OpenForUser(wide, canCreate, &opened);
        }
        if (rc != ERROR_SUCCESS) return false;
        CloseKey();
        key_ = opened;
        return true;
    }

    void CloseKey() override
    {
        if (key_ == nullptr) return;
        RegCloseKey(key_);
        key_ = nullptr;
    }

    bool ValueExists(const std::string& name) override
    {
        return key_ != nullptr &&
               RegQueryValueExW(key_, Utf16(name).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    // A value that is missing (or no key open): "Failed to get data"; one of
    // another type: "Invalid data type".
    int32_t ReadInteger(const std::string& name) override
    {
        DWORD type = REG_NONE;
        DWORD size = 0;
        const std::wstring wide = Utf16(name);
        if (key_ == nullptr || RegQueryValueExW(key_, wide.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            ThrowGetFailed(name);
        DWORD value = 0;
        if (type != REG_DWORD || size != sizeof value) ThrowInvalidType(name);
        if (RegQueryValueExW(key_, wide.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof value)
            ThrowGetFailed(name);
        return static_cast<int32_t>(value);
    }

    std::string ReadString(const std::string& name) override
    {
        if (key_ == nullptr) ThrowGetFailed(name);
        const std::wstring wide = Utf16(name);
        // The value may change size between asking and reading: ask again.
        // Strings are read as UTF-16, so text that an ANSI program stored
        // comes back as the characters it meant.
        for (;;) {
            DWORD type = REG_NONE;
            DWORD size = 0;
            if (RegQueryValueExW(key_, wide.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                ThrowGetFailed(name);
            if (type != REG_SZ && type != REG_EXPAND_SZ) ThrowInvalidType(name);
            std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
            DWORD got = size;
            const LONG rc =
                RegQueryValueExW(key_, wide.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
            if (rc == ERROR_MORE_DATA) continue;
            if (rc != ERROR_SUCCESS) ThrowGetFailed(name);
            if (type != REG_SZ && type != REG_EXPAND_SZ) ThrowInvalidType(name);
            // Stored strings usually end with their terminator, but need not.
            std::wstring text(data.data(), got / sizeof(wchar_t));
            const std::wstring::size_type end = text.find(L'\0');
            if (end != std::wstring::npos) text.resize(end);
            return Utf8(text);
        }
    }

    void WriteInteger(const std::string& name, int32_t value) override
    {
        const DWORD data = static_cast<DWORD>(value);
        if (key_ == nullptr || RegSetValueExW(key_, Utf16(name).c_str(), 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS)
            ThrowSetFailed(name);
    }

    void WriteString(const std::string& name, const std::string& value) override
    {
        // Stored as UTF-16 with its terminator, as REG_SZ values are.
        const std::wstring text = Utf16(value);
        if (key_ == nullptr || text.size() >= 0x7FFFFFFFu / sizeof(wchar_t) ||
            RegSetValueExW(key_, Utf16(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
            ThrowSetFailed(name);
    }

private:
    LONG OpenForUser(const std::wstring& path, bool canCreate, HKEY* key)
    {
        LONG rc = opener_(HKEY_CURRENT_USER, path, KeyAccess::Open, key);
        if (rc != ERROR_FILE_NOT_FOUND || !canCreate) return rc;
        rc = opener_(HKEY_CURRENT_USER, path, KeyAccess::Create, key);
        if (rc != ERROR_SUCCESS) return rc;
        // A first start under HKEY_CURRENT_USER takes over what an older
        // version of the program stored.
        SeedFromOlderValues(path, *key);
        return ERROR_SUCCESS;
    }

    void SeedFromOlderValues(const std::wstring& path, HKEY key)
    {
        const std::wstring virtualStore = L"Software\\Classes\\VirtualStore\\MACHINE\\";
        struct Source {
            HKEY root;
            std::wstring path;
            KeyAccess access;
        };
        std::vector<Source> sources;
        const std::wstring software = L"Software\\";
        if (path.size() > software.size() &&
            CompareStringOrdinal(path.c_str(), static_cast<int>(software.size()), software.c_str(),
                                 static_cast<int>(software.size()), TRUE) == CSTR_EQUAL)
            sources.push_back({HKEY_CURRENT_USER,
                               virtualStore + L"SOFTWARE\\WOW6432Node\\" + path.substr(software.size()),
                               KeyAccess::Read});
        sources.push_back({HKEY_CURRENT_USER, virtualStore + path, KeyAccess::Read});
        sources.push_back({HKEY_LOCAL_MACHINE, path, KeyAccess::Read32});
        for (const Source& source : sources) {
            HKEY kept = nullptr;
            if (opener_(source.root, source.path, source.access, &kept) != ERROR_SUCCESS) continue;
            DWORD values = 0;
            const bool holdsValues = RegQueryInfoKeyW(kept, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                      &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                                     values > 0;
            if (holdsValues) CopyValues(kept, key);
            RegCloseKey(kept);
            if (holdsValues) return;
        }
    }

    RegistryKeyOpener opener_;
    HKEY key_ = nullptr;
};

}  // namespace

std::unique_ptr<TRegistry> CreateWin32Registry(RegistryKeyOpener opener)
{
    return std::make_unique<Win32Registry>(std::move(opener));
}
