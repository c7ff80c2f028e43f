#pragma once
// The command-line program's window: the status field and the progress bar
// of the card programming run, drawn on a terminal.
//
// On a terminal ("live") one line shows a progress bar and the status text in
// its colour (red failure, green success, yellow while the user is asked to
// take out or put in the card), redrawn in place; a new message starts a new
// line, while progress of the same message ("Programming 41%", "Optimizing
// ***") overwrites it. Otherwise ("plain") every new status text is printed
// once on a line of its own, without colour or bar.

#include <ostream>
#include <string>

#include "platform/Window.h"

class TerminalView final : public ProgramWindow, public StatusControl {
public:
    TerminalView(std::ostream& out, bool live, bool colour, int comPortIndex, bool verify);

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

    // Ends the live line, so that what follows starts on a line of its own.
    void Finish();

    // The part of a status text that names the message, without its running
    // count ("Programming 41%" -> "Programming", "Optimizing ***" ->
    // "Optimizing").
    static std::string MessageHead(const std::string& text);

private:
    void Redraw();

    std::ostream& out_;
    bool live_;
    bool colour_;
    int comPortIndex_;
    bool verify_;
    std::string text_;
    TColor color_ = clBtnFace;
    int progress_ = 0;
    std::string printed_;   // plain: the last text printed
    bool lineOpen_ = false; // live: a line is being redrawn
    std::string lineHead_;  // live: the message the open line shows
};
