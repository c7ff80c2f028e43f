#pragma once
// Loading a card image file into the CardImage buffer.

#include <cstdint>
#include <string>

// Reads at most `capacity` bytes from the start of the regular file at `path`
// (UTF-8) into `buffer`, read-only, in one pass. Returns the number of bytes
// read, or -1 when the file is not a regular file or cannot be opened or read
// (a folder fails at once; a pipe or device is refused rather than read, so
// it cannot block the program).
int32_t ReadCardImageFile(const std::string& path, uint8_t* buffer, int32_t capacity);
