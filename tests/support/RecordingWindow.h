#pragma once
// An in-memory main window for core tests: it answers the port selection and
// the verify option (or torvik-loader's verify mode), and records every status text, status colour and
// progress position the core sets, in order, with the virtual time of the
// change. The clock is read with PeekMicros, so recording never moves time.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "programming/ProgramWindow.h"
#include "programming/WindowStatus.h"

class RecordingStatus final : public StatusControl {
public:
    struct TextChange {
        int64_t micros;
        std::string text;
    };
    struct ColorChange {
        int64_t micros;
        TColor color;
    };

    explicit RecordingStatus(const VirtualClock& clock) : clock_(clock) {}

    void SetText(const std::string& text) override
    {
        text_ = text;
        texts.push_back({clock_.PeekMicros(), text});
    }
    std::string Text() const override { return text_; }
    void SetColor(TColor color) override
    {
        color_ = color;
        colors.push_back({clock_.PeekMicros(), color});
    }
    TColor Color() const override { return color_; }

    // Every change, in order.
    std::vector<TextChange> texts;
    std::vector<ColorChange> colors;

    // Forgets every change; the field reads as a fresh one.
    void Clear()
    {
        texts.clear();
        colors.clear();
        text_.clear();
        color_ = clBtnFace;
    }

    // The colours alone, in order.
    std::vector<TColor> ColorSequence() const
    {
        std::vector<TColor> out;
        out.reserve(colors.size());
        for (const ColorChange& c : colors) out.push_back(c.color);
        return out;
    }
    // The texts alone, in order.
    std::vector<std::string> TextSequence() const
    {
        std::vector<std::string> out;
        out.reserve(texts.size());
        for (const TextChange& t : texts) out.push_back(t.text);
        return out;
    }

private:
    const VirtualClock& clock_;
    std::string text_;
    TColor color_ = clBtnFace;
};

class RecordingWindow final : public ProgramWindow {
public:
    struct ProgressChange {
        int64_t micros;
        int position;
    };

    explicit RecordingWindow(const VirtualClock& clock, int comPortIndex = 0, bool verify = true)
        : status(clock), comPortIndex(comPortIndex), verify(verify), clock_(clock)
    {
    }

    int ComPortIndex() const override { return comPortIndex; }
    bool VerifyChecked() const override { return verify; }
    Verification VerifyMode() const override
    {
        return afterWriting ? Verification::AfterWriting : ProgramWindow::VerifyMode();
    }
    StatusControl& Status() override { return status; }
    void SetProgress(int position) override
    {
        this->position = position;
        progress.push_back({clock_.PeekMicros(), position});
    }

    // Back to a fresh window: Com1 selected, verify ticked, nothing recorded.
    void Clear()
    {
        status.Clear();
        comPortIndex = 0;
        verify = true;
        afterWriting = false;
        position = 0;
        progress.clear();
    }

    RecordingStatus status;
    int comPortIndex;
    bool verify;
    // Verify as torvik-loader does by default (the sampled loop, then the
    // read pass), whatever `verify` says.
    bool afterWriting = false;
    int position = 0;
    std::vector<ProgressChange> progress;

private:
    const VirtualClock& clock_;
};

// A status field alone, with the run's account shown in it as the window
// shows it: for reader control, which reports to an account.
//   SetReaderMode("Phoenix", "3.58", 30, 1, ShownIn(status))
class ShownIn {
public:
    explicit ShownIn(StatusControl& status) : window_(status), table_(window_) {}
    operator RunObserver&() { return table_; }

private:
    class FieldOnly final : public ProgramWindow {
    public:
        explicit FieldOnly(StatusControl& status) : status_(status) {}
        int ComPortIndex() const override { return 0; }
        bool VerifyChecked() const override { return false; }
        StatusControl& Status() override { return status_; }
        void SetProgress(int) override {}

    private:
        StatusControl& status_;
    };
    FieldOnly window_;
    WindowStatus table_;
};
