#pragma once
// What a run against the card is given, as values the front end owns: the
// card image, and the settings of the run.

#include <cstdint>
#include <string>

// The card image: a buffer of kCardImageSize bytes owned by the front end,
// and the number of bytes the last load read (-1 when the chosen file could
// not be read). Card programming pads it in place to whole 16-byte blocks.
constexpr int32_t kCardImageSize = 0x40000;

struct TCardImage {
    uint8_t* Data = nullptr;
    int32_t Length = 0;
};

// How a run against the card is made.
struct RunSettings {
    // The card clock in MHz handed to the reader setup: "3.58" (the
    // window's), "3.68" or "6.00" (torvik-loader --clock). The base speed
    // and the calibration's trial speeds follow it (programming/LoaderFrames.h).
    std::string ClockSetting = "3.58";
    // Above 0: the loader is started at this speed, without calibration
    // (torvik-loader --speed).
    int32_t fixedSpeed = 0;
    // With a fixedSpeed kept from an earlier card: a card that does not take
    // its first block at that speed is calibrated afresh and programmed at
    // the speed found (torvik-loader --calibrate=once).
    bool calibrateWhenRefused = false;
};
