// The settings store on Windows: the system registry under
// HKEY_LOCAL_MACHINE, one open key at a time, opened with full access.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

#include "platform/Registry.h"

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

class Win32Registry final : public TRegistry {
public:
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

        const HKEY parent = (!absolute && key_ != nullptr) ? key_ : HKEY_LOCAL_MACHINE;
        HKEY opened = nullptr;
        LONG rc;
        if (canCreate) {
            rc = RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &opened, nullptr);
        } else {
            rc = RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &opened);
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
               RegQueryValueExA(key_, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    // A value that is missing (or no key open): "Failed to get data"; one of
    // another type: "Invalid data type".
    int32_t ReadInteger(const std::string& name) override
    {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (key_ == nullptr || RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            ThrowGetFailed(name);
        DWORD value = 0;
        if (type != REG_DWORD || size != sizeof value) ThrowInvalidType(name);
        if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD || size != sizeof value)
            ThrowGetFailed(name);
        return static_cast<int32_t>(value);
    }

    std::string ReadString(const std::string& name) override
    {
        if (key_ == nullptr) ThrowGetFailed(name);
        // The value may change size between asking and reading: ask again.
        for (;;) {
            DWORD type = REG_NONE;
            DWORD size = 0;
            if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                ThrowGetFailed(name);
            if (type != REG_SZ && type != REG_EXPAND_SZ) ThrowInvalidType(name);
            std::vector<char> data(size + 1, '\0');
            DWORD got = size;
            const LONG rc =
                RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
            if (rc == ERROR_MORE_DATA) continue;
            if (rc != ERROR_SUCCESS) ThrowGetFailed(name);
            if (type != REG_SZ && type != REG_EXPAND_SZ) ThrowInvalidType(name);
            // Stored strings usually end with their terminator, but need not.
            std::string text(data.data(), got);
            const std::string::size_type end = text.find('\0');
            if (end != std::string::npos) text.resize(end);
            return text;
        }
    }

    void WriteInteger(const std::string& name, int32_t value) override
    {
        const DWORD data = static_cast<DWORD>(value);
        if (key_ == nullptr || RegSetValueExA(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                              sizeof data) != ERROR_SUCCESS)
            ThrowSetFailed(name);
    }

    void WriteString(const std::string& name, const std::string& value) override
    {
        // Stored with its terminator, as REG_SZ values are.
        if (key_ == nullptr || value.size() >= 0xFFFFFFFFu ||
            RegSetValueExA(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS)
            ThrowSetFailed(name);
    }

private:
    HKEY key_ = nullptr;
};

}  // namespace

std::unique_ptr<TRegistry> CreateRegistry() { return std::make_unique<Win32Registry>(); }
