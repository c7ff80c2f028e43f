#pragma once
// Card programming: the answer-to-reset check, speed calibration, loader
// start and the block-by-block write with retries and read-back.

#include <cstdint>
#include <string>

#include "platform/Window.h"

// Writes CardImage onto the Torvik loader card in the reader. Expects the port
// open (after WaitForCard) and CardImage.Length of at most 0x40000. Pads the
// image in place to whole 16-byte blocks. True when every block has been
// written (and read back where the verify rule asks); the port is then closed.
// False after showing "Wrong ATR, please insert a Torvik Loader Card." or
// "Error programming Torvik Loader Card." on red, with the port left open.
// Blocks are read back after every write when verify is ticked, else when the
// write counter (accepted writes plus passed read-backs) stands at 31 modulo
// 32; a block whose read-back failed is read back after each rewrite. A
// read-back counts only the bytes that actually came back, so a missing read
// answer never passes for a block of zero bytes. Reports progress as
// "Programming[ and verifying] p%" with the progress bar at p (never 100).
// With verify ticked, the whole card is then read back once more ("Verifying
// p%"): a block that still differs after three read answers (a write whose
// address was garbled on the line lands on an earlier block, acknowledged) is
// written again under the same ten-attempt rule, and a pass that repaired anything is followed by another,
// at most three in all; blocks still wrong after that end the run with
// "Error programming Torvik Loader Card.". True therefore means, with verify,
// that one whole pass read every block back as it is in the image.
// Takes about 8 s for the answer-to-reset, calibration and loader start, plus
// about 1 % more than the line time of the frames (for 256 KiB at 34350 baud:
// 8.2 min with verify, 2.8 min of it the final read-back; 2.7 min without);
// every receive processes window messages.
bool ProgramCard(ProgramWindow& window);

// Finds the serial speed window in which the card's loader answers and returns
// its middle (the middle of the trial range when no trial passes). Always runs
// all 21 trials; shows "Optimizing " plus one "*" per trial. Leaves the port
// open with the working settings at the last trial speed. Takes about 7 s
// with a loader card, up to about 11 s when nothing answers.
int32_t CalibrateBaudRate(ProgramWindow& window);
