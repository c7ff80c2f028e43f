#include "cli/RunRecord.h"

#include "cli/TerminalView.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"

namespace {

constexpr uint32_t kBlockBytes = loader::kBlockSize;
// Blocks a card holds.
constexpr uint32_t kCardBlocks = kCardImageSize / kBlockBytes;

}  // namespace

void RunRecord::StartCard()
{
    CloseTime();
    outcome_ = RunOutcome{};
    began_ = atrKnown_ = speedKnown_ = false;
    atr_.clear();
    speed_ = SpeedChoice{};
    blocks_ = Blocks{};
    storedBlocks_.clear();
    cardWriting_ = 0;
}

void RunRecord::CloseTime()
{
    if (!timing_) return;
    const double now = elapsed_();
    total_[static_cast<size_t>(phase_)] += now - phaseStart_;
    if (phase_ == RunPhase::Writing || phase_ == RunPhase::ReadPass) cardWriting_ += now - phaseStart_;
    timing_ = false;
}

void RunRecord::PhaseEntered(RunPhase phase)
{
    CloseTime();
    phase_ = phase;
    phaseStart_ = elapsed_();
    timing_ = true;
    if (phase == RunPhase::AnswerToReset) began_ = true;
}

void RunRecord::CardAnswered(const std::string& atr)
{
    atrKnown_ = true;
    atr_ = atr;
}

void RunRecord::SpeedChosen(const SpeedChoice& choice)
{
    speedKnown_ = true;
    speed_ = choice;
}

void RunRecord::BlockSent(uint32_t address)
{
    ++blocks_.frames;
    blocks_.inFlight = address;
}

void RunRecord::BlockStored(uint32_t address)
{
    blocks_.inFlight = -1;
    const uint32_t block = address / kBlockBytes;
    if (storedBlocks_.empty()) storedBlocks_.assign(kCardBlocks, false);
    if (block < kCardBlocks && !storedBlocks_[block]) {
        storedBlocks_[block] = true;
        ++blocks_.stored;
    }
    if (blocks_.first < 0 || address < blocks_.first) blocks_.first = address;
    if (static_cast<int64_t>(address) > blocks_.last) blocks_.last = address;
}

void RunRecord::Ended(const RunOutcome& outcome)
{
    outcome_ = outcome;
    CloseTime();
}

RunRecord::Blocks RunRecord::Range(bool cutOff) const
{
    Blocks range = blocks_;
    if (cutOff && range.inFlight >= 0) {
        if (range.first < 0 || range.inFlight < range.first) range.first = range.inFlight;
        if (range.inFlight > range.last) range.last = range.inFlight;
    }
    return range;
}

std::string RunRecord::WrittenText(bool cutOff, bool complete) const
{
    const Blocks range = Range(cutOff);
    if (range.first < 0) return "nothing written";
    return std::string(complete ? "the card is programmed" : "the card is partly programmed") + ": blocks " +
           CardAddressText(range.first) + " to " + CardAddressText(range.last) + " written";
}
