#pragma once
// The account of a run: what reader control and card programming do, told as
// values to one observer while they do it. The window's status field and
// progress bar, torvik-loader's output, its JSON lines and the trace are all
// drawn from it; none of them works anything out again from the window's
// texts.
//
// Observers are told synchronously, on the run's thread, at the points where
// the status field changes (and at a few more: each trial's verdict, each
// failed attempt). An observer must not throw and must not touch the channel.
//
// The order of a Program run:
//   RunBegun
//   PhaseEntered(ReaderSetup)
//     [PhaseEntered(CardRemoval), Prompt(Asked), Prompt(FirstHalf/SecondHalf)...,
//      Prompt(Answered), PhaseEntered(ReaderSetup)]
//     SettingReader
//   PhaseEntered(CardInsertion) [Prompt(Asked), blinks, Prompt(Answered)]
//   PhaseEntered(AnswerToReset), CardAnswered
//   PhaseEntered(Calibration), TrialBegun/TrialEnded x21, SpeedChosen
//   PhaseEntered(LoaderStart)
//   PhaseEntered(Writing), BlockSent/BlockStored/AttemptFailed..., Progress per block
//   [PhaseEntered(ReadPass), Progress per block, PassEnded] per pass
//   Ended
// A run that fails ends with Ended at the step that failed.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// The steps of a run, in the order a Program run goes through them.
enum class RunPhase {
    ReaderSetup,    // the port opened at 9600 8N1 and the reader set up
    CardRemoval,    // a card was in the slot: the person is asked to take it out
    CardInsertion,  // the wait for a card in the slot, and the half second it settles
    AnswerToReset,  // the card reset and its answer-to-reset checked
    Calibration,    // the speed trials
    LoaderStart,    // the loader started at the speed chosen
    Writing,        // the block loop
    ReadPass,       // one pass reading the card back after the last write
    Reading,        // the card read block by block (torvik-loader read, verify)
};
constexpr int kRunPhases = 9;
// The phase's name for machines: "reader_setup", "card_removal",
// "card_insertion", "answer_to_reset", "calibration", "loader_start",
// "writing", "read_pass", "reading".
const char* PhaseName(RunPhase phase);

// A card-slot wait as the person at the reader sees it: asked to take the
// card out (wantCard false) or to put one in, each second of the wait in two
// halves (the window blinks yellow, then red), and the slot as asked.
struct SlotPrompt {
    enum class Step { Asked, FirstHalf, SecondHalf, Answered };
    bool wantCard = false;
    Step step = Step::Asked;
};

// How a calibration trial ended.
enum class TrialVerdict {
    Passed,
    NoAnswer,         // the frame's echo and answer did not come back whole in time
    NotAcknowledged,  // the identification write came back without the loader's acknowledgement
    WrongAnswer,      // the identification block read back other bytes
    AnswersDiffer,    // reading only: the answers to block 0 did not agree
};
// "passed", "no_answer", "not_acknowledged", "wrong_answer", "answers_differ".
const char* VerdictName(TrialVerdict verdict);

// One calibration trial: the `number`th of `of`, at `speed` baud. The verdict
// is set once the trial has ended.
struct CalibrationTrial {
    int number = 0;
    int of = 0;
    int32_t speed = 0;
    TrialVerdict verdict = TrialVerdict::NoAnswer;
};

// The speed the loader runs at, and how it was found: the trial range, the
// trials that passed and the lowest and highest of them, or a speed given
// (no trials).
struct SpeedChoice {
    bool given = false;
    int32_t first = 0;
    int32_t last = 0;
    int trials = 0;
    int passed = 0;
    int32_t lowest = 0;   // valid when passed > 0
    int32_t highest = 0;  // valid when passed > 0
    int32_t speed = 0;
};

// Why a write of an image block did not settle it.
enum class AttemptFault {
    NoAcknowledgement,  // the loader did not acknowledge the write
    EchoOutOfPlace,     // the echo lost or gained a byte: where the write went is unknown
    EchoDiffers,        // the echo showed the card other bytes, and the read-back differed
    ReadBackDiffers,    // the read-back showed other bytes than written
};
// "no_acknowledgement", "echo_out_of_place", "echo_differs", "read_back_differs".
const char* FaultName(AttemptFault fault);

// A write of the block at `address` that failed; `frame` counts the block's
// write frames in the run, this one included.
struct BlockAttempt {
    uint32_t address = 0;
    int frame = 0;
    AttemptFault fault = AttemptFault::NoAcknowledgement;
};

// How far a phase that goes over the image has come: the block starting at
// `done` of `total` bytes is through. `eachBlock` (Writing): every block is
// read back after its write.
struct RunProgress {
    RunPhase phase = RunPhase::Writing;
    int64_t done = 0;
    int64_t total = 0;
    bool eachBlock = false;
};

// The end of one read pass: the blocks found differing (each written again).
struct PassResult {
    int pass = 0;
    int differing = 0;
};

// How a run ended.
enum class FailureKind {
    None,            // it did what it was for
    Port,            // the port could not be opened
    CardNotRemoved,  // the card was not taken out within the wait
    ReaderSetup,     // the reader did not answer its setup as it should
    NoCard,          // no card was put in within the wait
    WrongAtr,        // the card's answer-to-reset is not a loader card's
    NoSpeed,         // the card's loader answered at no trial speed, and the run failed
    Block,           // a block does not hold what was written
    FramesUsedUp,    // a block used up its write frames without one the card took
    ReadFailed,      // reading: a block gave no steady answer
    CardDiffers,     // verifying: the card differs from the image
    ReaderGone,      // the reader went away (unplugged, the connection lost)
    Stopped,         // stopped by the user (Ctrl-C, closing the window)
    Other,           // anything else (an error the program did not foresee)
};
// "none", "port", "card_not_removed", "reader_setup", "no_card", "wrong_atr",
// "no_speed", "block", "frames_used_up", "read_failed", "differs",
// "reader_gone", "stopped", "other".
const char* FailureName(FailureKind kind);

// The outcome with what is known of it; members that do not apply to the
// kind stay empty.
struct RunOutcome {
    FailureKind kind = FailureKind::None;
    // Port: the system's reason; ReaderGone: why it went; Other: what
    // happened; CardDiffers: where; ReadFailed: the answers its reads gave
    // ("16 reads gave 8 times FF FF ..., 8 times FF FE ...").
    std::string reason;
    // ReaderSetup: the step that failed ("the attention break", "2A 41",
    // "2A 42 01") and what came back, the echo included (hex pairs; empty:
    // nothing).
    std::string step;
    std::string answer;
    // WrongAtr, NoSpeed: the answer-to-reset received (hex pairs; empty: none).
    std::string atr;
    // Block, FramesUsedUp, ReadFailed: the block's address; -1 when none.
    int64_t block = -1;
    // Block: the bytes written and the bytes read back last.
    std::vector<uint8_t> written;
    std::vector<uint8_t> readBack;
    // FramesUsedUp: why the last write frame failed.
    AttemptFault fault = AttemptFault::NoAcknowledgement;
    // NoSpeed: the trial range.
    int32_t first = 0;
    int32_t last = 0;
};

// What happened, in words: "block 0x00100 does not hold what was written:
// written 03 0A ..., read back 03 0B ...", "the card's loader answered at no
// speed from 33600 to 35600 baud". Empty for None.
std::string DescribeOutcome(const RunOutcome& outcome);

// Everything reader control and card programming report. Every call has a
// default that ignores it.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // A run against the reader begins (the window's progress bar to 0).
    virtual void RunBegun() {}
    virtual void PhaseEntered(RunPhase phase) { (void)phase; }
    virtual void Prompt(const SlotPrompt& prompt) { (void)prompt; }
    // The reader's setup commands are about to go out.
    virtual void SettingReader(const std::string& mode, const std::string& clock)
    {
        (void)mode;
        (void)clock;
    }
    // The card's answer-to-reset, as hex pairs (empty: none came).
    virtual void CardAnswered(const std::string& atr) { (void)atr; }
    virtual void TrialBegun(const CalibrationTrial& trial) { (void)trial; }
    virtual void TrialEnded(const CalibrationTrial& trial) { (void)trial; }
    virtual void SpeedChosen(const SpeedChoice& choice) { (void)choice; }
    // A write frame of the image block at `address` is about to go out; the
    // card acknowledged it (from then on it holds something of the image
    // there); a write of it failed.
    virtual void BlockSent(uint32_t address) { (void)address; }
    virtual void BlockStored(uint32_t address) { (void)address; }
    virtual void AttemptFailed(const BlockAttempt& attempt) { (void)attempt; }
    virtual void Progress(const RunProgress& progress) { (void)progress; }
    virtual void PassEnded(const PassResult& pass) { (void)pass; }
    // Once per run: success (FailureKind::None) or the failure.
    virtual void Ended(const RunOutcome& outcome) { (void)outcome; }
};

// Tells every observer added, in the order added.
class RunObservers final : public RunObserver {
public:
    RunObservers() = default;
    RunObservers(std::initializer_list<RunObserver*> observers);
    // Null is ignored.
    void Add(RunObserver* observer);

    void RunBegun() override;
    void PhaseEntered(RunPhase phase) override;
    void Prompt(const SlotPrompt& prompt) override;
    void SettingReader(const std::string& mode, const std::string& clock) override;
    void CardAnswered(const std::string& atr) override;
    void TrialBegun(const CalibrationTrial& trial) override;
    void TrialEnded(const CalibrationTrial& trial) override;
    void SpeedChosen(const SpeedChoice& choice) override;
    void BlockSent(uint32_t address) override;
    void BlockStored(uint32_t address) override;
    void AttemptFailed(const BlockAttempt& attempt) override;
    void Progress(const RunProgress& progress) override;
    void PassEnded(const PassResult& pass) override;
    void Ended(const RunOutcome& outcome) override;

private:
    std::vector<RunObserver*> observers_;
};
