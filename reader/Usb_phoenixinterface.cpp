#include "reader/Usb_phoenixinterface.h"

#include <iterator>

#include "platform/PortFailure.h"
#include "serial/ReaderLink.h"

namespace {

// Half a blink cycle, the pause after a slot change and the pause before the
// card is used.
constexpr int32_t kHalfCycleMs = 500;
// The break: eleven waits of 100 ms, then a 5-byte read within 100 ms that
// throws away what the reader sent while the break was held.
constexpr int kBreakWaits = 11;
constexpr int32_t kBreakStepMs = 100;
constexpr int32_t kBreakJunkBytes = 5;
constexpr uint8_t kAck = 0x06;

// Reader setup and card-slot waits run at 9600 baud, 8 data bits, no parity,
// one stop bit.
bool OpenSetupLine(ReaderLink& link, uint32_t portNumber)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    SerialChannel.Close();
    return SerialChannel.Open(portNumber, 9600, 8, kOneStopBit, kNoParity, 0);
}

// Waits in halves of a second (each told to the account: the window blinks
// yellow and red) for at most waitCount cycles; stops at the first slot test
// (after each half) that finds the slot empty (wantEmpty) or holding a card
// (!wantEmpty), or the reader gone (its slot then reads as empty for good).
void BlinkUntilSlot(ReaderLink& link, bool wantEmpty, int32_t waitCount, RunObserver& account)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;
    const auto done = [&SerialChannel, wantEmpty] {
        return SerialChannel.CardSlotEmpty() == wantEmpty || SerialChannel.DeviceGone();
    };
    const auto half = [&account, wantEmpty](SlotPrompt::Step step) { account.Prompt({!wantEmpty, step}); };
    for (int32_t cycle = 0; cycle < waitCount; ++cycle) {
        half(SlotPrompt::Step::FirstHalf);
        PumpingDelay.Wait(kHalfCycleMs);
        if (done()) return;
        half(SlotPrompt::Step::SecondHalf);
        PumpingDelay.Wait(kHalfCycleMs);
        if (done()) return;
    }
}

// The outcome of a failed open: the system's reason, or why the device went
// away when it did.
RunOutcome OpenFailure(ReaderLink& link)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    RunOutcome o;
    o.kind = FailureKind::Port;
    o.reason = SerialChannel.DeviceGone() ? link.failures.DeviceGoneReason() : link.failures.LastOpenFailure();
    return o;
}

// The outcome of a card-slot wait that ran out: the person did not act, or
// the reader went away meanwhile.
RunOutcome WaitFailure(ReaderLink& link, FailureKind timedOut)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    RunOutcome o;
    o.kind = SerialChannel.DeviceGone() ? FailureKind::ReaderGone : timedOut;
    if (o.kind == FailureKind::ReaderGone) o.reason = link.failures.DeviceGoneReason();
    return o;
}

// The outcome of a setup step whose answer was not the one expected: the
// step, and what came back (the echo included).
RunOutcome SetupFailure(ReaderLink& link, const std::string& step)
{
    const TSerialChannel& SerialChannel = link.SerialChannel;
    RunOutcome o;
    o.kind = FailureKind::ReaderSetup;
    o.step = step;
    for (int32_t i = 0; i < SerialChannel.ReceiveCount; ++i) AppendCommandByte(o.answer, SerialChannel.ReceiveBuffer[i]);
    if (!o.answer.empty()) o.answer.pop_back();
    return o;
}

// Reply byte n (1-based, echo included) of the last exchange in `channel`.
uint8_t ReplyByteOf(const TSerialChannel& channel, int n) { return channel.ReceiveBuffer[n - 1]; }

// The attention sequence: a break of at least 1.2 s, after which the reader
// answers 0x06.
bool SendAttention(ReaderLink& link)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;
    const auto ReplyByte = [&SerialChannel](int n) { return ReplyByteOf(SerialChannel, n); };
    SerialChannel.SetBreak();
    SerialChannel.ClearReceiveBuffer();
    for (int i = 0; i < kBreakWaits; ++i) PumpingDelay.Wait(kBreakStepMs);
    SerialChannel.Receive(kBreakJunkBytes, 100);
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.ClearBreak();
    PumpingDelay.Wait(100);
    SerialChannel.Receive(1, 200);
    return ReplyByte(1) == kAck;
}

}  // namespace

uint8_t ReaderClockCode(const std::string& clock)
{
    for (size_t i = 0; i < std::size(kReaderClocks); ++i)
        if (clock == kReaderClocks[i]) return static_cast<uint8_t>(i + 1);
    return 0;
}

uint8_t ReaderSettingByte(const std::string& mode, const std::string& clock)
{
    const uint8_t modeBit = mode == "SmartMouse" ? 0x80 : 0x00;
    return static_cast<uint8_t>(modeBit | ReaderClockCode(clock));
}

bool SetReaderMode(ReaderLink& link, const std::string& mode, const std::string& clock, int32_t waitCount,
                   uint32_t portNumber, RunObserver& account)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;
    const auto ReplyByte = [&SerialChannel](int n) { return ReplyByteOf(SerialChannel, n); };

    // 1-2: the port at the setup line format.
    if (!OpenSetupLine(link, portNumber)) {
        account.Ended(OpenFailure(link));
        return false;
    }
    account.PhaseEntered(RunPhase::ReaderSetup);

    // 3-4: the reader is set up with an empty slot only.
    if (!SerialChannel.CardSlotEmpty()) {
        account.PhaseEntered(RunPhase::CardRemoval);
        account.Prompt({false, SlotPrompt::Step::Asked});
        BlinkUntilSlot(link, true, waitCount, account);
        if (!SerialChannel.CardSlotEmpty()) {
            account.Ended(WaitFailure(link, FailureKind::CardNotRemoved));
            return false;
        }
        account.Prompt({false, SlotPrompt::Step::Answered});
        account.PhaseEntered(RunPhase::ReaderSetup);
        PumpingDelay.Wait(kHalfCycleMs);
    }

    // 5.
    account.SettingReader(mode, clock);

    const auto fail = [&](const std::string& step) {
        account.Ended(SetupFailure(link, step));
        return false;
    };

    // 6: attention sequence.
    if (!SendAttention(link)) return fail("the attention break");

    // 7: "2A 41": echo of 2, answer of 4 ending 10 06.
    SerialChannel.SendCommandText("2A 41");
    SerialChannel.Receive(6, 500);
    if (ReplyByte(5) != 0x10 || ReplyByte(6) != kAck) return fail("2A 41");

    // 8: "2A 42 " with the setting byte: echo of 3, answer 06.
    std::string setCommand = "2A 42 ";
    AppendCommandByte(setCommand, ReaderSettingByte(mode, clock));
    SerialChannel.SendCommandText(setCommand);
    SerialChannel.Receive(4, 500);
    if (ReplyByte(4) != kAck) return fail(setCommand.substr(0, setCommand.size() - 1));

    // 9: "2A 43" puts the reader to work; its answer is not examined.
    SerialChannel.SendCommandText("2A 43");
    SerialChannel.Receive(3, 250);
    SerialChannel.Close();
    return true;
}

bool WaitForCard(ReaderLink& link, int32_t waitCount, uint32_t portNumber, RunObserver& account)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;

    // 1.
    account.PhaseEntered(RunPhase::CardInsertion);
    if (!OpenSetupLine(link, portNumber)) {
        account.Ended(OpenFailure(link));
        return false;
    }

    // 2-3: ask for a card only when the slot is empty.
    if (SerialChannel.CardSlotEmpty()) {
        account.Prompt({true, SlotPrompt::Step::Asked});
        BlinkUntilSlot(link, false, waitCount, account);
        if (SerialChannel.CardSlotEmpty()) {
            account.Ended(WaitFailure(link, FailureKind::NoCard));
            return false;
        }
        account.Prompt({true, SlotPrompt::Step::Answered});
    }

    // 4: give the card time to settle; the port stays open.
    PumpingDelay.Wait(kHalfCycleMs);
    return true;
}
