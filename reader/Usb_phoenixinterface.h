#pragma once
// Reader control: switching the USB reader into a card-interface mode and
// clock with its setup protocol, and the waits for the user to take a card
// out of the slot or put one in. Both work on SerialChannel, wait with
// PumpingDelay.Wait and report only through the status field.

#include <cstdint>
#include <string>

#include "platform/Window.h"

// The setting byte of the "2A 42 " command: bit 7 for mode "SmartMouse"
// (exact text), bits 0-1 the clock code (1 "3.58", 2 "3.68", 3 "6.00",
// 0 for any other text).
uint8_t ReaderSettingByte(const std::string& mode, const std::string& clock);

// Opens portNumber at 9600 8N1, waits (up to waitCount one-second blink
// cycles) for an empty slot, then sends the attention sequence and the three
// setup commands. True when the reader accepted the mode; the port is then
// closed and the status field shows "Wait Setting <mode> <clock>MHz." on
// button face. On failure after the open the port is left open and the status
// field holds the message ("Error setting <mode> mode." on red, or the removal
// prompt). Blocks for about 2 s plus the removal wait; every wait processes
// window messages.
bool SetReaderMode(const std::string& mode, const std::string& clock, int32_t waitCount,
                   uint32_t portNumber, StatusControl& status);

// Opens portNumber at 9600 8N1 and waits (up to waitCount one-second blink
// cycles) for a card in the slot, then 500 ms more. True when a card is in;
// the status text is then left as it was unless the user was prompted. The
// port is left open at 9600 8N1 in every case but a failed open.
bool WaitForCard(int32_t waitCount, uint32_t portNumber, StatusControl& status);
