#pragma once
// The start of every card session after the card wait: the answer-to-reset
// check, the speed calibration and the loader start. Programming, reading and
// verifying a card all begin here.

#include <cstdint>
#include <string>

#include "programming/ProgramData.h"
#include "programming/ProgramWindow.h"
#include "reader/RunAccount.h"
#include "serial/ReaderLink.h"

// Expects the port open (after WaitForCard). Opens the base settings of the
// run's clock, resets the card and checks that it answers as a Torvik loader card (3B 54 4C 54 and
// at least one more byte). Tells the account PhaseEntered(AnswerToReset) and
// CardAnswered with what came. False after telling it Ended(WrongAtr) with the
// answer (the window shows "Wrong ATR, please insert a Torvik Loader Card." on
// red), with the port left open. `atr`, when given, receives the
// answer-to-reset as command text either way. Takes about 0.7 s.
bool CheckLoaderCardAtr(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                        std::string* atr = nullptr);
bool CheckLoaderCardAtr(ReaderLink& link, ProgramWindow& window, const RunSettings& run = {},
                        std::string* atr = nullptr);

// Expects the port open (after WaitForCard). Resets the card at the base
// settings and checks that it answers as a Torvik loader card
// (CheckLoaderCardAtr); otherwise returns 0 with the port left open. Then
// finds the loader's speed with CalibrateBaudRate, resets the card again,
// sends the loader start command at the base settings and reopens the port
// with the working settings at the speed found, which it returns. Takes about
// 8 s.
//
// CalibrateBaudRate writes the identification block to address 0 in every
// trial, which programming overwrites afterwards. With `readOnly` (reading or
// comparing a card, which must leave it as it is) the speed is found instead
// by trials that only read block 0: a trial passes when two read answers come
// back whole, with the echo intact, and agree. Same trial speeds, same
// "Optimizing" stars, same choice of the middle of the passing window.
//
// With a run.fixedSpeed above 0 no calibration runs: the loader is started at
// that speed (about 1.5 s in all), and proving that the card takes it is the
// caller's business; the account is told SpeedChosen with the speed given.
// Before the start, PhaseEntered(LoaderStart). `chosen`, when given, receives
// the speed chosen and how. Throws ReaderGone when the device goes away.
int32_t StartCardLoader(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                        bool readOnly = false, SpeedChoice* chosen = nullptr);
// The same, shown in `window`'s status field (programming/WindowStatus.h).
int32_t StartCardLoader(ReaderLink& link, ProgramWindow& window, bool readOnly = false, const RunSettings& run = {});

// StartCardLoader after its answer-to-reset check, for a card that has
// passed it already in this run: the speed (calibrated, or run.fixedSpeed),
// the loader started and the port reopened at that speed, which it returns.
int32_t FindSpeedAndStartLoader(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                                bool readOnly = false, SpeedChoice* chosen = nullptr);
