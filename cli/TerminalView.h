#pragma once
// The command-line program's window: the status field and the progress bar
// of a run, drawn on a terminal, as plain lines, or as JSON.
//
// Live (stdout is a terminal): one line shows a progress bar and the status
//   text in its colour (red failure, green success, yellow while the user is
//   asked to take out or put in the card), redrawn in place and cut to the
//   terminal's width; without ANSI support (TERM=dumb) it is redrawn with a
//   carriage return and blanks only, without colour.
// Plain (piped): one line per new message with the seconds since the start
//   ("  12.3s  Programming and verifying 0%"); a running count of the same
//   message ("Programming 41%", "Optimizing ***") is not a new message.
// Json: one object per line for every new status text:
//   {"event":"status","text":...,"colour":...,"progress":N,"elapsed":S}
// Quiet: nothing during the run.
// Verbose: Live starts a line per message, Plain prints every status text.
//
// The messages that end a run (the failures of ExitStatusForMessage 3, 5, 7,
// 8, and "Card successfully programmed.") are never drawn: the program reports
// the result once, a failure on stderr.

#include <functional>
#include <ostream>
#include <string>

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
    TerminalView(std::ostream& out, const ViewSettings& settings, int comPortIndex, bool verify,
                 std::function<double()> elapsed);

    // StatusControl
    void SetText(const std::string& text) override;
    std::string Text() const override { return text_; }
    void SetColor(TColor color) override;
    TColor Color() const override { return color_; }

    // ProgramWindow
    int ComPortIndex() const override { return comPortIndex_; }
    bool VerifyChecked() const override { return verify_; }
    StatusControl& Status() override { return *this; }
    void SetProgress(int position) override;
    int Progress() const { return progress_; }

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

    // The message the status shows now, without its running count.
    std::string Head() const { return MessageHead(text_); }
    // Whether a status text with this head has been shown since the start.
    bool Seen(const std::string& head) const { return heads_.find("|" + head + "|") != std::string::npos; }

    // The part of a status text that names the message, without its running
    // count ("Programming 41%" -> "Programming", "Optimizing ***" ->
    // "Optimizing").
    static std::string MessageHead(const std::string& text);
    // The colour as a word: "red", "green", "yellow" or "none".
    static const char* ColourName(TColor color);

private:
    void Redraw();
    void EndLine();

    std::ostream& out_;
    ViewSettings settings_;
    int comPortIndex_;
    bool verify_;
    std::function<double()> elapsed_;
    std::string text_;
    TColor color_ = clBtnFace;
    int progress_ = 0;
    std::string printedHead_;  // Plain/Json: the message printed last
    bool lineOpen_ = false;    // Live: a line is being redrawn
    std::string lineHead_;     // Live: the message the open line shows
    std::string heads_ = "|";  // every head shown, between bars
};

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
