#include "programming/LoaderFrames.h"

#include <algorithm>
#include <iterator>

#include "platform/CommPort.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"

namespace loader {

const uint8_t kIdentificationBlock[kBlockSize] = {'T', 'O', 'R', 'V', 'I', 'K', 'L', 'O',
                                                  'A', 'D', 'E', 'R', 0x00, 0x01, 0x76, 0x74};

namespace {

void AppendAddress(std::string& text, uint32_t address)
{
    AppendCommandByte(text, static_cast<uint8_t>(address >> 16));
    AppendCommandByte(text, static_cast<uint8_t>(address >> 8));
    AppendCommandByte(text, static_cast<uint8_t>(address));
}

void AppendHeader(std::string& text, const uint8_t (&header)[3])
{
    for (const uint8_t b : header) AppendCommandByte(text, b);
}

// The block address a write or read frame carries at positions 3..5.
uint32_t AddressIn(const uint8_t* frame) { return (uint32_t{frame[3]} << 16) | (uint32_t{frame[4]} << 8) | frame[5]; }

// The number of bytes of the loader start command.
constexpr uint32_t kStartBytes = sizeof kStartCommand / 3;

bool IsStartCommand(const uint8_t* bytes, uint32_t count)
{
    if (count != kStartBytes) return false;
    std::string text;
    for (uint32_t i = 0; i < count; ++i) AppendCommandByte(text, bytes[i]);
    text.pop_back();
    return text == kStartCommand;
}

// The card's speeds at one clock of the reader. The card's reset and its
// loader start run at the clock / 625. Its loader listens in a window that
// moves with the clock; the 21 trials span 2000 baud around the middle of
// the loader's speeds: 34600 at 3.58 MHz, 57600 at 6.00 MHz, and at 3.68 MHz
// 34600 scaled by 3.68 / 3.58 (35566) to the trial step.
struct ClockSpeeds {
    uint32_t base;
    CalibrationRange range;
};
// In the order of kReaderClocks (reader/Usb_phoenixinterface.h).
constexpr ClockSpeeds kClockSpeeds[] = {
    {5728, {33600, 35600, 34600}},
    {5888, {34600, 36600, 35600}},
    {9600, {56600, 58600, 57600}},
};
static_assert(std::size(kClockSpeeds) == std::size(kReaderClocks));

// A clock the reader does not make counts as 3.58 MHz.
const ClockSpeeds& SpeedsAt(const std::string& clock)
{
    const uint8_t code = ReaderClockCode(clock);
    return kClockSpeeds[code == 0 ? 0 : code - 1];
}

}  // namespace

std::string BlockWriteText(uint32_t address, const uint8_t* data)
{
    std::string text;
    text.reserve(kWriteFrameBytes * 3);
    AppendHeader(text, kWriteHeader);
    AppendAddress(text, address);
    for (int32_t i = 0; i < kBlockSize; ++i) AppendCommandByte(text, data[i]);
    text += "AA ";
    return text;
}

std::string BlockReadText(uint32_t address)
{
    std::string text;
    text.reserve(kReadFrameBytes * 3);
    AppendHeader(text, kReadHeader);
    AppendAddress(text, address);
    text += "AA";
    return text;
}

LineFrame ClassifyFrame(const uint8_t* bytes, uint32_t count)
{
    const auto startsWith = [bytes](const uint8_t(&header)[3]) {
        return std::equal(std::begin(header), std::end(header), bytes);
    };
    LineFrame frame;
    if (count == kWriteFrameBytes && startsWith(kWriteHeader)) {
        frame.kind = LineFrame::Kind::BlockWrite;
        frame.address = AddressIn(bytes);
    } else if (count == kReadFrameBytes && startsWith(kReadHeader)) {
        frame.kind = LineFrame::Kind::BlockRead;
        frame.address = AddressIn(bytes);
    } else if (IsStartCommand(bytes, count)) {
        frame.kind = LineFrame::Kind::Start;
    }
    return frame;
}

bool WriteAcknowledged(const ReaderLink& link)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    const uint8_t* ack = SerialChannel.ReceiveBuffer + kWriteAckPos;
    return ack[0] == 0xFF && ack[1] == 0x00 && ack[2] == 0xC0;
}

int ReadBackMismatches(const ReaderLink& link, const uint8_t* expected)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    int differing = 0;
    for (int32_t i = 0; i < kBlockSize; ++i) {
        const int32_t pos = kReadDataPos + i;
        if (pos >= SerialChannel.ReceiveCount || SerialChannel.ReceiveBuffer[pos] != expected[i]) ++differing;
    }
    return differing;
}

bool EchoIntact(const ReaderLink& link, int32_t frameBytes)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    if (frameBytes < 0 || SerialChannel.ReceiveCount < frameBytes) return false;
    for (int32_t i = 0; i < frameBytes; ++i)
        if (SerialChannel.ReceiveBuffer[i] != SerialChannel.TransmitBuffer[i]) return false;
    return true;
}

uint32_t BaseSpeed(const std::string& clock) { return SpeedsAt(clock).base; }

bool OpenBaseSettings(ReaderLink& link, uint32_t port, const std::string& clock)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    SerialChannel.Close();
    return SerialChannel.Open(port, BaseSpeed(clock), 8, kTwoStopBits, kNoParity, 0);
}

bool OpenWorkingSettings(ReaderLink& link, uint32_t port, uint32_t speed)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    SerialChannel.Close();
    return SerialChannel.Open(port, speed, 8, kTwoStopBits, kMarkParity, 0);
}

CalibrationRange CalibrationRangeFor(const std::string& clock) { return SpeedsAt(clock).range; }

uint32_t PortNumberOfSelection(int comPortIndex)
{
    return comPortIndex < 0 ? 0u : static_cast<uint32_t>(comPortIndex) + 1u;
}

bool WriteEchoInPlace(const ReaderLink& link)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    const int32_t count = SerialChannel.ReceiveCount;
    return count >= kWriteFrameBytes && (count == kWriteFrameBytes || SerialChannel.ReceiveBuffer[kWriteAckPos] == 0xFF);
}

uint32_t EchoedAddress(const ReaderLink& link)
{
    return AddressIn(link.SerialChannel.ReceiveBuffer);
}

bool IsImageBlock(uint32_t address, int32_t length)
{
    return length > 0 && address % kBlockSize == 0 && address < static_cast<uint32_t>(length);
}

}  // namespace loader
