#pragma once
// The texts the window's status field shows during a run, each with one
// spelling. Which text shows when, and in which colour, is decided by one
// table from the run's account (programming/WindowStatus.h).

#include <string>

namespace status_text {

inline const char kCouldNotOpenPort[] = "Could not open comport!";
inline const char kRemoveCard[] = "Please remove card from card slot.";
inline const char kInsertCard[] = "Please insert card in card slot.";
inline const char kWrongAtr[] = "Wrong ATR, please insert a Torvik Loader Card.";
inline const char kErrorProgramming[] = "Error programming Torvik Loader Card.";
// Shown by the front ends after ProgramCard returned true.
inline const char kCardProgrammed[] = "Card successfully programmed.";

// "Wait Setting Phoenix 3.58MHz." (no blank before "MHz.").
inline std::string WaitSetting(const std::string& mode, const std::string& clock)
{
    return "Wait Setting " + mode + " " + clock + "MHz.";
}

// "Error setting Phoenix mode."
inline std::string ErrorSetting(const std::string& mode) { return "Error setting " + mode + " mode."; }

// "Optimizing " followed by one star per calibration trial begun.
inline std::string Optimizing(int trialsBegun)
{
    return "Optimizing " + std::string(static_cast<size_t>(trialsBegun > 0 ? trialsBegun : 0), '*');
}

// "Programming and verifying 50%" when every block is read back, else
// "Programming 50%".
inline std::string Progress(bool verifyAll, int percent)
{
    return (verifyAll ? "Programming and verifying " : "Programming ") + std::to_string(percent) + "%";
}

// "Verifying 50%" during the read pass after the last write.
inline std::string Verifying(int percent) { return "Verifying " + std::to_string(percent) + "%"; }

// "Reading 50%" while torvik-loader reads a card (the window never reads one).
inline std::string Reading(int percent) { return "Reading " + std::to_string(percent) + "%"; }

}  // namespace status_text
