#pragma once
// What torvik-loader keeps of a run's account (reader/RunAccount.h) for what
// it reports at the end: the outcome with its details, the card's
// answer-to-reset, the speed chosen, the image blocks written, and the
// seconds spent in each phase. Nothing here reads the window's texts.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "reader/RunAccount.h"

class RunRecord final : public RunObserver {
public:
    // `elapsed` gives the seconds since the run started.
    explicit RunRecord(std::function<double()> elapsed) : elapsed_(std::move(elapsed)) {}

    // Another card of --repeat: forgets the card's own figures (blocks,
    // answer-to-reset, speed, outcome); the seconds per phase go on adding up.
    void StartCard();
    // The phase in force ends now (its time is added).
    void CloseTime();

    void PhaseEntered(RunPhase phase) override;
    void CardAnswered(const std::string& atr) override;
    void SpeedChosen(const SpeedChoice& choice) override;
    void BlockSent(uint32_t address) override;
    void BlockStored(uint32_t address) override;
    void Ended(const RunOutcome& outcome) override;

    // The card's outcome (None until a failure was told, or a success).
    const RunOutcome& Outcome() const { return outcome_; }
    // A card was in the slot and its session began (the answer-to-reset).
    bool CardBegan() const { return began_; }
    // The answer-to-reset, when the card was reset.
    bool AtrKnown() const { return atrKnown_; }
    const std::string& Atr() const { return atr_; }
    // The speed chosen, when one was.
    bool SpeedKnown() const { return speedKnown_; }
    const SpeedChoice& Speed() const { return speed_; }

    // The image blocks written since the start or the last StartCard: the
    // write frames sent, the blocks the card acknowledged (each counted
    // once), the lowest and highest of those (-1 when none), and the block
    // of a frame that went out with no answer judged yet (-1 when none).
    struct Blocks {
        int64_t frames = 0;
        int64_t stored = 0;
        int64_t first = -1;
        int64_t last = -1;
        int64_t inFlight = -1;
    };
    const Blocks& Written() const { return blocks_; }
    // The range a run left on the card: the blocks acknowledged, and when the
    // run was cut off in the middle of a write (`cutOff`: stopped, the
    // reader gone), the block of that write too, for the card may have
    // stored it.
    Blocks Range(bool cutOff) const;
    // What the card holds for the person at the line: "nothing written", or
    // "the card is partly programmed: blocks 0x00000 to 0x00FF0 written"
    // ("the card is programmed: ..." when `complete`), over Range(cutOff).
    std::string WrittenText(bool cutOff, bool complete = false) const;

    // Seconds spent in `phase` since the run started, all cards together.
    double Seconds(RunPhase phase) const { return total_[static_cast<size_t>(phase)]; }
    // Seconds the card in hand spent writing and in the read passes.
    double CardWritingSeconds() const { return cardWriting_; }

private:
    std::function<double()> elapsed_;
    RunOutcome outcome_;
    bool began_ = false;
    bool atrKnown_ = false;
    std::string atr_;
    bool speedKnown_ = false;
    SpeedChoice speed_;
    Blocks blocks_;
    std::vector<bool> storedBlocks_;
    bool timing_ = false;
    RunPhase phase_ = RunPhase::ReaderSetup;
    double phaseStart_ = 0;
    std::array<double, kRunPhases> total_{};
    double cardWriting_ = 0;
};
