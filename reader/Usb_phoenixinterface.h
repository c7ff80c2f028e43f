#pragma once
// Reader control: switching the USB reader into a card-interface mode and
// clock with its setup protocol, and the waits for the user to take a card
// out of the slot or put one in. Both work on the link's SerialChannel, wait
// with its PumpingDelay.Wait (serial/ReaderLink.h) and report what they do to
// the run's account (reader/RunAccount.h), from which the window draws its
// status field.

#include <cstdint>
#include <string>

#include "reader/RunAccount.h"
#include "serial/ReaderLink.h"

// The card clocks the reader makes, in MHz as its setup names them; the
// clock code of each is its place here plus one.
inline const char* const kReaderClocks[] = {"3.58", "3.68", "6.00"};
// The clock code of `clock` (exact text): 1 "3.58", 2 "3.68", 3 "6.00", 0
// for any other text.
uint8_t ReaderClockCode(const std::string& clock);

// The setting byte of the "2A 42 " command: bit 7 for mode "SmartMouse"
// (exact text), bits 0-1 ReaderClockCode(clock).
uint8_t ReaderSettingByte(const std::string& mode, const std::string& clock);

// Opens portNumber at 9600 8N1, waits (up to waitCount one-second cycles,
// each told in two halves) for an empty slot, then sends the attention
// sequence and the three setup commands. True when the reader accepted the
// mode; the port is then closed. Tells the account: PhaseEntered(ReaderSetup)
// once the port is open; with a card in the slot PhaseEntered(CardRemoval),
// the prompt and its halves, and once the slot is empty Prompt(Answered) and
// PhaseEntered(ReaderSetup) again; SettingReader before the commands. On
// failure the port is left open (closed when the open failed) and the account
// told Ended: Port (with the system's reason), CardNotRemoved, or ReaderSetup
// with the step and what came back. Blocks for about 2 s plus the removal
// wait; every wait processes window messages. Throws ReaderGone when the
// device goes away (serial/Scom.h): during the removal wait, whose slot then
// reads as empty, at the setup's first step.
bool SetReaderMode(ReaderLink& link, const std::string& mode, const std::string& clock, int32_t waitCount,
                   uint32_t portNumber, RunObserver& account);

// Opens portNumber at 9600 8N1 and waits (up to waitCount one-second cycles)
// for a card in the slot, then 500 ms more. True when a card is in. Tells the
// account PhaseEntered(CardInsertion) before the open, and with an empty slot
// the prompt, its halves and Prompt(Answered) once a card is in. On failure
// Ended: Port, or NoCard (ReaderGone when the device went away). The port is
// left open at 9600 8N1 in every case but a failed open.
bool WaitForCard(ReaderLink& link, int32_t waitCount, uint32_t portNumber, RunObserver& account);
