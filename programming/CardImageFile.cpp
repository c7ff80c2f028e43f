#include "programming/CardImageFile.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

int32_t ReadCardImageFile(const std::string& path, uint8_t* buffer, int32_t capacity)
{
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::u8path(path);
    if (!std::filesystem::is_regular_file(file, ec)) return -1;
#ifdef _WIN32
    // Opened without sharing: nobody can write the file while it is read.
    const HANDLE handle = CreateFileW(file.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    int32_t total = 0;
    bool ok = true;
    while (total < capacity) {
        DWORD got = 0;
        if (!ReadFile(handle, buffer + total, static_cast<DWORD>(capacity - total), &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        total += static_cast<int32_t>(got);
    }
    CloseHandle(handle);
    return ok ? total : -1;
#else
    std::ifstream in(file, std::ios::binary);
    if (!in) return -1;
    in.read(reinterpret_cast<char*>(buffer), capacity);
    if (in.bad()) return -1;
    return static_cast<int32_t>(in.gcount());
#endif
}
