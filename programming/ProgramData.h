#pragma once
// Program-wide data that the window loads and card programming uses.

#include <cstdint>
#include <string>

// The card image: a buffer of kCardImageSize bytes owned by the window, and
// the number of bytes the last load read (-1 when the chosen file could not be
// read). Card programming pads it in place to whole 16-byte blocks.
constexpr int32_t kCardImageSize = 0x40000;

struct TCardImage {
    uint8_t* Data = nullptr;
    int32_t Length = 0;
};

extern TCardImage CardImage;

// The card clock handed to the reader setup, "3.58" in this program; compared
// with "6.00" as exact text to choose the line speeds.
extern std::string ClockSetting;
