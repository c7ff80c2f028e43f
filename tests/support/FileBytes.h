#pragma once
// The whole content of a file, for tests that compare what a run left on
// disk (a card read back, a card memory file) with what they expect.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The bytes of `path`; empty when it cannot be read.
inline std::vector<uint8_t> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
