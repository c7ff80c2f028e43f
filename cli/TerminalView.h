#pragma once
// The command-line program's window: the status field and the progress bar
// of a run, drawn on a terminal, as plain lines, or as JSON.
//
// The view is told the run's account (reader/RunAccount.h) and shows it as
// the window does, through the window's own table (programming/WindowStatus.h),
// which writes the status texts and colours into it. What is new and where a
// run stands it takes from the account, never from the texts: a message is
// new when a phase begins, a prompt is asked, the reader setup starts or the
// run ends; a running count ("Optimizing ***", "Programming 41%") moves with
// each trial and each new percentage. The progress is the phase's own (the
// trials during the calibration, the blocks while writing, passing or
// reading).
//
// Live (stdout is a terminal): one line shows a progress bar and the status
//   text in its colour (red failure, green success, yellow and red blinking
//   while the user is asked to take out or put in the card), redrawn in place
//   and cut to the terminal's width; without ANSI support (TERM=dumb) it is
//   redrawn with a carriage return and blanks only, without colour.
// Plain (piped): one line per new message with the seconds since the start
//   ("  12.3s  Programming and verifying 0%"); a running count is not a new
//   message, but a percentage gets a line whenever it passes a multiple of 10.
// Json: one object per line for every new status text:
//   {"event":"status","text":...,"colour":...,"progress":N,"elapsed":S,"t":S,"card":N,"phase":...}
//   written at the end of the turn in which the text appeared, so that it
//   carries the colour shown with it ("yellow" for the prompts, which then
//   blink yellow and red); and at once a "phase" object for each phase, a
//   "trial" object for each calibration trial with its verdict, a "speed"
//   object for the speed chosen, and with SetCard's announcement a
//   "card_start" object when a card's session begins (the answer-to-reset).
// Quiet: nothing during the run.
// Row (a station of a line of readers on a terminal): nothing is drawn; every
//   change of the text, colour, phase, progress or speed is handed to the
//   line's table (SetRow), the run's end included.
// Verbose: Live starts a line per message, Plain prints every status text.
// A station of a line of readers (ViewSettings::station) adds "station" (its
// port) to every JSON object it writes.
//
// What the window shows once a run has ended (its failure on red, or "Card
// successfully programmed.") is never drawn: the program reports the result
// once, a failure on stderr. A prompt left standing stays on its line.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "programming/ProgramWindow.h"
#include "programming/WindowStatus.h"
#include "reader/RunAccount.h"

struct ViewSettings {
    enum class Style { Live, Plain, Json, Quiet, Row };
    Style style = Style::Plain;
    bool colour = false;  // Live: colour the text
    bool ansi = false;    // Live: the terminal takes escape codes
    int width = 80;       // Live: the terminal's columns
    bool verbose = false;
    // The port of the station this view shows, in a line of readers; 0 for
    // a run of one reader.
    uint32_t station = 0;
};

// What a Row view hands its line's table: where the run stands.
struct ViewRow {
    RunPhase phase = RunPhase::ReaderSetup;
    int progress = 0;  // the phase's, 0 to 100
    std::string text;  // the status text
    TColor colour = clBtnFace;
    int32_t speed = 0;  // the loader's speed once chosen, else 0
};

// The escape code that shows text in `color` on a terminal; "" for the
// window's plain colours.
const char* ColourCode(TColor color);
// A progress bar of `cells` cells, `progress` (0 to 100) of them filled:
// "[####------]".
std::string ProgressBar(int progress, int cells);
// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// A card address as the program's messages write it: "0x01230".
std::string CardAddressText(int64_t address);
// A number of seconds as JSON writes it: three decimals.
std::string JsonSeconds(double seconds);

// One JSON object on one line, built member by member in order:
//   JsonObject("result").Add("status", 0).Add("message", "...").Text()
//   -> {"event":"result","status":0,"message":"..."}
class JsonObject {
public:
    // An object without an "event" member (an element of an array).
    JsonObject() = default;
    explicit JsonObject(const std::string& event);
    JsonObject& Add(const std::string& key, const std::string& value);
    JsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
    JsonObject& Add(const std::string& key, int64_t value);
    JsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<int64_t>(value)); }
    JsonObject& Add(const std::string& key, uint32_t value) { return Add(key, static_cast<int64_t>(value)); }
    // A number of seconds with three decimals.
    JsonObject& AddSeconds(const std::string& key, double seconds);
    // `json` as it stands (an array, null, another object).
    JsonObject& AddRaw(const std::string& key, const std::string& json);
    // An integer, or null when `value` is negative.
    JsonObject& AddOrNull(const std::string& key, int64_t value);
    std::string Text() const { return "{" + text_ + "}"; }

private:
    std::string text_;
};

class TerminalView final : public ProgramWindow, public StatusControl, public RunObserver {
public:
    // `elapsed` gives the seconds since the run started.
    TerminalView(std::ostream& out, const ViewSettings& settings, int comPortIndex, Verification verify,
                 std::function<double()> elapsed);

    // RunObserver: the account, shown through the window's table.
    void RunBegun() override;
    void PhaseEntered(RunPhase phase) override;
    void Prompt(const SlotPrompt& prompt) override;
    void SettingReader(const std::string& mode, const std::string& clock) override;
    void TrialBegun(const CalibrationTrial& trial) override;
    void TrialEnded(const CalibrationTrial& trial) override;
    void SpeedChosen(const SpeedChoice& choice) override;
    void Progress(const RunProgress& progress) override;
    void Ended(const RunOutcome& outcome) override;

    // StatusControl: what the window's table writes.
    void SetText(const std::string& text) override;
    std::string Text() const override { return text_; }
    void SetColor(TColor color) override;
    TColor Color() const override { return color_; }

    // ProgramWindow
    int ComPortIndex() const override { return comPortIndex_; }
    // "Verify programming" as the window has it: ticked for --verify=each.
    bool VerifyChecked() const override { return verify_ == Verification::EachBlock; }
    Verification VerifyMode() const override { return verify_; }
    StatusControl& Status() override { return *this; }
    // The window's progress bar; the view draws the phase's own progress.
    void SetProgress(int position) override { (void)position; }
    // The phase's progress, 0 to 100.
    int PhaseProgress() const { return progress_; }

    // The card the run is at (1 unless --repeat), carried by the JSON
    // objects; with `announce`, a "card_start" object when its session
    // begins.
    void SetCard(int card, bool announce);

    // The end of one turn of the run's waits: writes the JSON status event
    // of a text that appeared during it.
    void Turn();
    // Ends the live line (erasing it when it shows nothing worth keeping), so
    // that what follows starts on a line of its own.
    void Finish();
    // A line of the program's own (image size, result, summary): printed as
    // is, except in Quiet (only when `evenQuiet`) and Json (not at all; the
    // caller writes its own objects).
    void Say(const std::string& line, bool evenQuiet = false);
    // Json: writes one object line, with "t" (and "card" when `ofCard`) added.
    void Json(JsonObject object, bool ofCard = false);
    bool JsonStyle() const { return settings_.style == ViewSettings::Style::Json; }
    double Elapsed() const { return elapsed_(); }
    // Called with a line for the trace for every new status text and colour.
    void SetNote(std::function<void(const std::string&)> note) { note_ = std::move(note); }
    // Row: called with the row whenever what it shows changes.
    void SetRow(std::function<void(const ViewRow&)> row) { row_ = std::move(row); }

    // The colour as a word: "red", "green", "yellow" or "none".
    static const char* ColourName(TColor color);

private:
    void Redraw();
    void EndLine();
    void WritePendingStatus();
    // A new message begins with the next text.
    void NewMessage() { ++message_; }
    void SetBar(int progress);
    void ShowRow();

    std::ostream& out_;
    ViewSettings settings_;
    int comPortIndex_;
    Verification verify_;
    std::function<double()> elapsed_;
    std::function<void(const std::string&)> note_;
    std::function<void(const ViewRow&)> row_;
    WindowStatus table_;
    std::string text_;
    TColor color_ = clBtnFace;
    int card_ = 1;
    int32_t speed_ = 0;
    bool announce_ = false;
    RunPhase phase_ = RunPhase::ReaderSetup;
    // From the account: the message in hand and the step of its running
    // count, and those of the text shown last.
    int message_ = 0;
    int count_ = 0;
    int shownMessage_ = -1;
    int shownCount_ = -1;
    int textPercent_ = -1;  // the percentage the text carries, -1 for none
    int progress_ = 0;      // the phase's progress
    bool ended_ = false;    // the run has ended: nothing more is drawn
    bool endText_ = false;  // ... and the window shows its end
    int printedTenth_ = -1;       // Plain: the multiple of 10 % printed last
    bool lineOpen_ = false;       // Live: a line is being redrawn
    bool statusPending_ = false;  // Json: a status event waits for the turn's end
    std::string pendingText_;
    int pendingProgress_ = 0;
    double pendingElapsed_ = 0;
};
