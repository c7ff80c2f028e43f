#pragma once
// Card programming: the answer-to-reset check, speed calibration, loader
// start and the block-by-block write with retries and read-back.

#include <cstdint>
#include <string>

#include "programming/ProgramData.h"
#include "programming/ProgramWindow.h"
#include "reader/RunAccount.h"
#include "serial/ReaderLink.h"

// Writes `image` onto the Torvik loader card in the reader. Expects the port
// open (after WaitForCard) and image.Length of at most 0x40000. Pads the
// image in place to whole 16-byte blocks (image.Length grows to them). True when every block has been
// written and the verify mode (ProgramWindow::VerifyMode, read once) is
// satisfied; the port is then closed. False, with the port left open, after
// telling the account Ended: WrongAtr (the window shows "Wrong ATR, please
// insert a Torvik Loader Card."), or Block, FramesUsedUp or, when no
// calibration trial passed and the card took no write, NoSpeed with the range
// tried ("Error programming Torvik Loader Card."), each with the failing
// block's address, the bytes written and the bytes read back last.
//
// The block loop. Blocks are read back after every write with
// Verification::EachBlock, else when the write counter (accepted writes plus
// passed read-backs) stands at 31 modulo 32; a block whose read-back failed
// is read back after each rewrite. A read-back counts only the bytes that
// actually came back, so a missing read answer never passes for a block of
// zero bytes. Tells the account PhaseEntered(Writing) and, after each block of
// the loop, Progress (the window: "Programming[ and verifying] p%", " and
// verifying" with EachBlock, with the progress bar at p, never 100).
// The reader's echo of every frame is checked against the frame sent, at no
// cost in line time. A write whose echo differs is read back, whatever the
// mode (and needs two matching answers); when its echo names another block
// already written, that block is read back too and written again if it
// differs. A write whose echo is not in its place (a byte lost or gained on
// the way back) cannot say where it went: once an echo in its place returns,
// every block already written that one misread address bit would have sent
// it to is read back (the write itself, never acknowledged with its echo out
// of place, is made again in any case). A read whose echo differs proves
// nothing and is repeated, at most three reads; a block no read could prove
// is written again. An echo difference alone never fails a block; only a
// clean read-back showing wrong bytes, or a block that has used its ten write
// frames for the run, does.
//
// The read pass (EachBlock and AfterWriting). The echo shows what the reader
// saw, not what the card took: a card that misreads an address bit stores the
// block elsewhere behind a clean echo. So after the last write every block of
// the padded image is read again (PhaseEntered(ReadPass) and Progress: the
// window shows "Verifying p%" with the progress bar). A read counts when its
// echo is intact and its whole answer arrived (after one that does not, late
// bytes are let pass); only the 16 data bytes are compared. A block whose
// bytes another image block one address bit away also holds, or whose 16 bytes
// are all alike, and any block that gave a differing answer, needs two answers
// equal to the image (a card that misreads a read address answers with another
// block's bytes); three differing answers alike, or eight reads without a
// decision, make it differ. A block that differs is written again with its
// read-back, and another pass follows; at most three passes, the last of which
// writes nothing. Every write of a block, in its own turn, after a
// neighbour's echo or in a pass, counts against ten write frames for the
// whole run. True only when a pass found every block equal to the image.
//
// Every write frame of an image block is told to the account as it goes out,
// and again when the card acknowledged it (BlockSent and BlockStored), so
// that a front end can say which blocks a run that ends early has left on the
// card; every write that failed with its cause (AttemptFailed), each read
// pass with the blocks it found differing (PassEnded).
// With a run.fixedSpeed above 0 the calibration is left out and the loader
// runs at that speed; the first block is then read back whatever the verify rule
// says, so a speed the card does not take ends the run at the first block
// with "Error programming Torvik Loader Card.". With run.calibrateWhenRefused
// as well (a speed kept from an earlier card) the first block gets at most two
// write frames at that speed; when the card does not take it, the card is
// calibrated afresh (PhaseEntered(Calibration), the trials, SpeedChosen,
// PhaseEntered(LoaderStart), then PhaseEntered(Writing) again) and written
// from its first block at the speed found, as a calibrated run.
// Takes about 8 s for the answer-to-reset, calibration and loader start, plus
// about 1 % more than the line time of the frames (for 256 KiB at 34350 baud:
// 8.1 min with EachBlock, 5.4 min with AfterWriting, 2.6 min with Sampled);
// every receive processes window messages. Throws ReaderGone when the device
// goes away (serial/Scom.h).
bool ProgramCard(ReaderLink& link, ProgramWindow& window, RunObserver& account, TCardImage& image,
                 const RunSettings& run = {});
// The same, shown in `window`'s status field and progress bar
// (programming/WindowStatus.h).
bool ProgramCard(ReaderLink& link, ProgramWindow& window, TCardImage& image, const RunSettings& run = {});

// Finds the serial speed window in which the card's loader answers at the
// run's clock and returns its middle (the middle of the trial range when no trial passes). Always runs
// all 21 trials; tells the account PhaseEntered(Calibration), each trial as it
// begins and with its verdict (the window: "Optimizing " plus one "*" per
// trial begun), then the speed chosen with the window found. Leaves the port
// open with the working settings at the last trial speed. Takes about 7 s
// with a loader card, up to about 11 s when nothing answers.
int32_t CalibrateBaudRate(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run = {});
int32_t CalibrateBaudRate(ReaderLink& link, ProgramWindow& window, const RunSettings& run = {});

// The same sweep with trials that write nothing, for reading or comparing a
// card, which must leave it as it is. A trial reads block 0 with the same
// 250 ms limit as the identification read-back: a first read that brings no
// clean answer (the echo intact and the whole answer in time) fails the trial
// at once; after a clean one the trial passes when a second clean answer
// agrees with it, and only when the two differ (one of them garbled) does a
// third read decide. A trial outside the card's window therefore costs about
// what it costs the programming calibration.
int32_t CalibrateBaudRateReadOnly(ReaderLink& link, ProgramWindow& window, const RunSettings& run = {});

// The passing window a sweep found: its lowest and highest passing speed,
// the number of trials that passed (0: none, and lowest > highest), and the
// speed the calibration returns (the middle, or the middle of the range when
// nothing passed).
struct SpeedWindow {
    int32_t lowest = 0;
    int32_t highest = 0;
    int passed = 0;
    int32_t middle = 0;
};
// The read-only sweep of CalibrateBaudRateReadOnly, with its whole result,
// told to the account as CalibrateBaudRate tells it.
SpeedWindow FindSpeedWindowReadOnly(ReaderLink& link, ProgramWindow& window, RunObserver& account,
                                    const RunSettings& run = {});
SpeedWindow FindSpeedWindowReadOnly(ReaderLink& link, ProgramWindow& window, const RunSettings& run = {});
