#pragma once
// The Torvik loader card's protocol as the program speaks it: the two line
// formats, the loader start command, the block write and read frames as
// command text, the tests on their answers, and the identification block.
//
// Every answer is judged in the link's SerialChannel.ReceiveBuffer
// (serial/ReaderLink.h), whose positions count
// the reader's echo of the frame first: a block write (23 bytes) is
// acknowledged at positions 23..25, a block read (7 bytes) answers 22 bytes of
// which positions 12..27 are the 16 stored bytes.

#include <cstdint>
#include <string>

#include "platform/LineTrace.h"
#include "serial/ReaderLink.h"

namespace loader {

constexpr int32_t kBlockSize = 16;
// Highest block address the card takes.
constexpr uint32_t kLastBlockAddress = 0x3FFF0;

// Sent at the base speed right after a card reset; its answer is not
// examined. The loader then listens with the working settings.
inline const char kStartCommand[] = "01 02 EA";

// Block write: FF 00 13, three address bytes, 16 data bytes, AA.
constexpr uint8_t kWriteHeader[3] = {0xFF, 0x00, 0x13};
constexpr int32_t kWriteFrameBytes = 23;
constexpr int32_t kWriteReplyCount = kWriteFrameBytes + 3;  // echo + FF 00 C0
constexpr int32_t kWriteAckPos = kWriteFrameBytes;
// Block read: FE 00 03, three address bytes, AA.
constexpr uint8_t kReadHeader[3] = {0xFE, 0x00, 0x03};
constexpr int32_t kReadFrameBytes = 7;
constexpr int32_t kReadReplyCount = kReadFrameBytes + 22;  // echo + answer
constexpr int32_t kReadDataPos = kReadFrameBytes + 5;       // answer bytes 5..20

// Written to address 0 and read back by every calibration trial:
// "TORVIKLOADER" 00 01 'v' 't'.
extern const uint8_t kIdentificationBlock[kBlockSize];

// Command text of the block write frame for the 16 bytes at `data`, stored
// at `address` (a byte offset, multiple of 16): "FF 00 13 00 00 10 ... AA ".
std::string BlockWriteText(uint32_t address, const uint8_t* data);
// Command text of the block read frame: "FE 00 03 00 00 10 AA".
std::string BlockReadText(uint32_t address);

// What the bytes of one write are, for the line watch's counts
// (platform/LineTrace.h): the loader start command, a block write or read
// frame with the address it names, or something else. Changes nothing.
LineFrame ClassifyFrame(const uint8_t* bytes, uint32_t count);

// True when the last block write was acknowledged: FF 00 C0 at positions
// 23..25 of the receive buffer, whatever else arrived.
bool WriteAcknowledged(const ReaderLink& link);
// The number of the 16 positions 12..27 of the last read answer that do not
// hold `expected`; a position that nothing filled counts as differing, so a
// read answer that never came cannot pass for a block of zero bytes.
int ReadBackMismatches(const ReaderLink& link, const uint8_t* expected);

// True when the reader echoed the last frame sent intact: at least
// frameBytes bytes arrived and the first frameBytes of them equal the frame in
// SerialChannel.TransmitBuffer.
bool EchoIntact(const ReaderLink& link, int32_t frameBytes);

// Base speed for the card reset and the loader start command, the card
// clock / 625: 5728 baud at "3.58", 5888 at "3.68", 9600 at "6.00"; any
// other text counts as "3.58".
uint32_t BaseSpeed(const std::string& clock);

// Reopens the channel on `port` with the base settings at BaseSpeed(clock):
// 8 data bits, no parity, two stop bits. The result of the open (callers
// judge the card's answers instead).
bool OpenBaseSettings(ReaderLink& link, uint32_t port, const std::string& clock);
// Reopens the channel on `port` with the working settings at `speed`: 8 data
// bits, mark parity, two stop bits, no parity checking.
bool OpenWorkingSettings(ReaderLink& link, uint32_t port, uint32_t speed);

// The trial speeds of a calibration: first to last in steps of 100 baud, and
// the result when no trial passes (the middle).
struct CalibrationRange {
    int32_t first;
    int32_t last;
    int32_t middle;
};
constexpr int32_t kTrialStep = 100;
// 21 speeds around where the card's loader listens at `clock`: 33600..35600
// at "3.58", 34600..36600 at "3.68", 56600..58600 at "6.00"; any other text
// counts as "3.58".
CalibrationRange CalibrationRangeFor(const std::string& clock);

// The port number of a port-list selection (index 0 is Com1); 0, which names
// no port, when nothing is selected.
uint32_t PortNumberOfSelection(int comPortIndex);

// True when the echo of the last block write came back in its place: at least
// its 23 bytes arrived, and what followed them (if anything did) starts with
// the acknowledgement's 0xFF at position 23. An echo that lost a byte on the
// way, or gained one, or that late bytes pushed back, shifts everything
// behind the change and moves the acknowledgement; its echoed address is then
// not where EchoedAddress reads it.
bool WriteEchoInPlace(const ReaderLink& link);
// The block address an echoed block write or read frame carries (buffer
// positions 3..5): where the card took the frame to be meant for, when the
// echo is in its place. The echo is
// what reached the card's line, so a frame whose echo differs from
// TransmitBuffer was not the frame the card was sent.
uint32_t EchoedAddress(const ReaderLink& link);
// True when `address` is the start of one of the blocks of an image of
// `length` bytes (a multiple of 16).
bool IsImageBlock(uint32_t address, int32_t length);

}  // namespace loader
