#include "programming/CardImageFile.h"

#include <filesystem>
#include <fstream>
#include <system_error>

int32_t ReadCardImageFile(const std::string& path, uint8_t* buffer, int32_t capacity)
{
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::u8path(path);
    if (!std::filesystem::is_regular_file(file, ec)) return -1;
    std::ifstream in(file, std::ios::binary);
    if (!in) return -1;
    in.read(reinterpret_cast<char*>(buffer), capacity);
    if (in.bad()) return -1;
    return static_cast<int32_t>(in.gcount());
}
