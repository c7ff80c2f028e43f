#pragma once
// The command-line program's window: the status field and the progress bar
// of a run, drawn on a terminal, as plain lines, or as JSON.
//
// Live (stdout is a terminal): one line shows a progress bar and the status
//   text in its colour (red failure, green success, yellow and red blinking
//   while the user is asked to take out or put in the card), redrawn in place
//   and cut to the terminal's width; without ANSI support (TERM=dumb) it is
//   redrawn with a carriage return and blanks only, without colour.
// Plain (piped): one line per new message with the seconds since the start
//   ("  12.3s  Programming and verifying 0%"); a running count of the same
//   message ("Optimizing ***") is not a new message, but a percentage
//   ("Programming 41%") gets a line whenever it passes a multiple of 10, or
//   starts again from below (a second "Verifying 0%").
// Json: one object per line for every new status text:
//   {"event":"status","text":...,"colour":...,"progress":N,"elapsed":S}
//   written at the end of the turn in which the text appeared, so that it
//   carries the colour shown with it ("yellow" for the prompts, which then
//   blink yellow and red).
// Quiet: nothing during the run.
// Verbose: Live starts a line per message, Plain prints every status text.
//
// The messages that end a run (the failures of ExitStatusForMessage 3, 5, 7,
// 8, and "Card successfully programmed.") are never drawn: the program reports
// the result once, a failure on stderr.
//
// The view also keeps what programming told it about the image blocks
// written (ProgramWindow::BlockSent, BlockStored), for the report of a run
// that ends early.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Window.h"

struct ViewSettings {
    enum class Style { Live, Plain, Json, Quiet };
    Style style = Style::Plain;
    bool colour = false;  // Live: colour the text
    bool ansi = false;    // Live: the terminal takes escape codes
    int width = 80;       // Live: the terminal's columns
    bool verbose = false;
};

class TerminalView final : public ProgramWindow, public StatusControl {
public:
    // `elapsed` gives the seconds since the run started.
    TerminalView(std::ostream& out, const ViewSettings& settings, int comPortIndex, Verification verify,
                 std::function<double()> elapsed);

    // StatusControl
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
    void SetProgress(int position) override;
    int Progress() const { return progress_; }
    void BlockSent(uint32_t address) override;
    void BlockStored(uint32_t address) override;

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
    // Json: writes one object line as given.
    void Json(const std::string& object);
    bool JsonStyle() const { return settings_.style == ViewSettings::Style::Json; }
    double Elapsed() const { return elapsed_(); }
    // Called with a line for the trace for every status text and colour.
    void SetNote(std::function<void(const std::string&)> note) { note_ = std::move(note); }

    // The image blocks written since the start or the last ForgetBlocks: the
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
    // run was stopped in the middle of a write (`stopped`), the block of that
    // write too, for the card may have stored it.
    Blocks Range(bool stopped) const;
    void ForgetBlocks();
    // What the card holds for the person at the line: "nothing written", or
    // "the card is partly programmed: blocks 0x00000 to 0x00FF0 written"
    // ("the card is programmed: ..." when `complete`), over Range(stopped).
    std::string WrittenText(bool stopped, bool complete = false) const;

    // The message the status shows now, without its running count.
    std::string Head() const { return MessageHead(text_); }

    // The part of a status text that names the message, without its running
    // count ("Programming 41%" -> "Programming", "Optimizing ***" ->
    // "Optimizing").
    static std::string MessageHead(const std::string& text);
    // The colour as a word: "red", "green", "yellow" or "none".
    static const char* ColourName(TColor color);

private:
    void Redraw();
    void EndLine();
    void WritePendingStatus();

    std::ostream& out_;
    ViewSettings settings_;
    int comPortIndex_;
    Verification verify_;
    std::function<double()> elapsed_;
    std::function<void(const std::string&)> note_;
    std::string text_;
    TColor color_ = clBtnFace;
    int progress_ = 0;
    std::string printedHead_;  // Plain/Json: the message printed last
    int printedTenth_ = -1;    // Plain: the multiple of 10 % printed last
    int lastPercent_ = -1;     // Plain: the percentage of the last text
    bool lineOpen_ = false;    // Live: a line is being redrawn
    std::string lineHead_;     // Live: the message the open line shows
    bool statusPending_ = false;  // Json: a status event waits for the turn's end
    std::string pendingText_;
    int pendingProgress_ = 0;
    double pendingElapsed_ = 0;
    Blocks blocks_;
    std::vector<bool> storedBlocks_;
};

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// A card address as the program's messages write it: "0x01230".
std::string CardAddressText(int64_t address);

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
