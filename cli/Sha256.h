#pragma once
// SHA-256 of a byte string, for naming a card image by its contents.

#include <cstddef>
#include <cstdint>
#include <string>

// The digest of `size` bytes at `data` as 64 lowercase hex digits.
std::string Sha256Hex(const uint8_t* data, size_t size);
