#include "cli/TerminalView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kBarWidth = 20;

}  // namespace

const char* ColourCode(TColor color)
{
    switch (color) {
    case clRed: return "\033[1;31m";
    case clLime: return "\033[1;32m";
    case clYellow: return "\033[1;33m";
    default: return "";
    }
}

std::string ProgressBar(int progress, int cells)
{
    const int filled = std::clamp(progress, 0, 100) * cells / 100;
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(cells - filled), '-') +
           "]";
}

std::string CardAddressText(int64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%05llX", static_cast<unsigned long long>(address));
    return text;
}

JsonObject::JsonObject(const std::string& event) : text_("\"event\":" + JsonString(event)) {}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value)
{
    return AddRaw(key, JsonString(value));
}

JsonObject& JsonObject::Add(const std::string& key, int64_t value) { return AddRaw(key, std::to_string(value)); }

std::string JsonSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

JsonObject& JsonObject::AddSeconds(const std::string& key, double seconds) { return AddRaw(key, JsonSeconds(seconds)); }

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json)
{
    text_ += (text_.empty() ? "" : ",") + JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::AddOrNull(const std::string& key, int64_t value)
{
    return AddRaw(key, value < 0 ? std::string("null") : std::to_string(value));
}

std::string JsonString(const std::string& text)
{
    std::string s = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            s += esc;
        } else {
            s += c;
        }
    }
    return s + "\"";
}

TerminalView::TerminalView(std::ostream& out, const ViewSettings& settings, int comPortIndex, Verification verify,
                           std::function<double()> elapsed)
    : out_(out),
      settings_(settings),
      comPortIndex_(comPortIndex),
      verify_(verify),
      elapsed_(std::move(elapsed)),
      table_(*this)
{
    if (settings_.style != ViewSettings::Style::Live) settings_.colour = settings_.ansi = false;
    if (!settings_.ansi) settings_.colour = false;
    if (settings_.width < 20) settings_.width = 20;
}

const char* TerminalView::ColourName(TColor color)
{
    switch (color) {
    case clRed: return "red";
    case clLime: return "green";
    case clYellow: return "yellow";
    default: return "none";
    }
}

void TerminalView::SetCard(int card, bool announce)
{
    card_ = card;
    announce_ = announce;
}

// ------------------------------------------------------------ the account

void TerminalView::RunBegun()
{
    ended_ = endText_ = false;
    table_.RunBegun();
}

void TerminalView::PhaseEntered(RunPhase phase)
{
    phase_ = phase;
    textPercent_ = -1;
    SetBar(0);
    NewMessage();
    if (JsonStyle()) Json(JsonObject("phase").Add("phase", PhaseName(phase)), true);
    if (announce_ && phase == RunPhase::AnswerToReset && JsonStyle()) Json(JsonObject("card_start"), true);
    table_.PhaseEntered(phase);
    if (settings_.style == ViewSettings::Style::Row) ShowRow();
}

void TerminalView::Prompt(const SlotPrompt& prompt)
{
    if (prompt.step == SlotPrompt::Step::Asked) NewMessage();
    table_.Prompt(prompt);
}

void TerminalView::SettingReader(const std::string& mode, const std::string& clock)
{
    NewMessage();
    table_.SettingReader(mode, clock);
}

void TerminalView::TrialBegun(const CalibrationTrial& trial)
{
    ++count_;
    table_.TrialBegun(trial);
}

void TerminalView::TrialEnded(const CalibrationTrial& trial)
{
    if (trial.of > 0) SetBar(trial.number * 100 / trial.of);
    if (JsonStyle())
        Json(JsonObject("trial")
                 .Add("trial", trial.number)
                 .Add("of", trial.of)
                 .Add("speed", trial.speed)
                 .Add("verdict", VerdictName(trial.verdict)),
             true);
    table_.TrialEnded(trial);
}

void TerminalView::SpeedChosen(const SpeedChoice& c)
{
    speed_ = c.speed;
    if (JsonStyle()) {
        JsonObject object("speed");
        object.Add("speed", c.speed).AddRaw("given", c.given ? "true" : "false");
        if (!c.given)
            object.Add("first", c.first)
                .Add("last", c.last)
                .Add("trials", c.trials)
                .Add("passed", c.passed)
                .AddOrNull("lowest", c.passed > 0 ? c.lowest : -1)
                .AddOrNull("highest", c.passed > 0 ? c.highest : -1);
        Json(object, true);
    }
    table_.SpeedChosen(c);
    if (settings_.style == ViewSettings::Style::Row) ShowRow();
}

void TerminalView::Progress(const RunProgress& p)
{
    const int percent = p.total > 0 ? static_cast<int>(p.done * 100 / p.total) : 0;
    if (percent != textPercent_) ++count_;
    textPercent_ = percent;
    SetBar(percent);
    table_.Progress(p);
}

void TerminalView::Ended(const RunOutcome& outcome)
{
    ended_ = true;
    NewMessage();
    table_.Ended(outcome);
    // A line's row shows a card that did what it was for with a full bar:
    // the last block's progress stops short of it.
    if (settings_.style == ViewSettings::Style::Row && outcome.kind == FailureKind::None) {
        progress_ = 100;
        ShowRow();
    }
}

// ------------------------------------------------- what the table writes

void TerminalView::SetText(const std::string& text)
{
    text_ = text;
    if (message_ == shownMessage_ && count_ == shownCount_) return;
    const bool newMessage = message_ != shownMessage_;
    shownMessage_ = message_;
    shownCount_ = count_;
    if (note_) note_("status " + text);
    if (settings_.style == ViewSettings::Style::Row) {
        ShowRow();
        return;
    }
    if (ended_) {
        endText_ = true;
        return;
    }
    using Style = ViewSettings::Style;
    switch (settings_.style) {
    case Style::Quiet:
    case Style::Row: return;
    case Style::Plain: {
        // A new message, or a percentage that has passed a multiple of 10.
        const int tenth = textPercent_ / 10;
        const bool passed = textPercent_ >= 0 && tenth > printedTenth_;
        if (!newMessage && !settings_.verbose && !passed) return;
        printedTenth_ = textPercent_ >= 0 ? tenth : -1;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%6.1fs  ", elapsed_());
        out_ << stamp << text << '\n';
        out_.flush();
        return;
    }
    case Style::Json:
        // Written at the end of the turn, with the colour set along with it.
        WritePendingStatus();
        statusPending_ = true;
        pendingText_ = text;
        pendingProgress_ = progress_;
        pendingElapsed_ = elapsed_();
        return;
    case Style::Live:
        if (settings_.verbose && lineOpen_ && newMessage) {
            out_ << '\n';
            lineOpen_ = false;
        }
        Redraw();
        return;
    }
}

void TerminalView::SetColor(TColor color)
{
    if (color == color_) return;
    color_ = color;
    if (note_) note_(std::string("colour ") + ColourName(color));
    if (settings_.style == ViewSettings::Style::Live && lineOpen_ && settings_.colour && !endText_) Redraw();
    if (settings_.style == ViewSettings::Style::Row) ShowRow();
}

void TerminalView::ShowRow()
{
    if (row_) row_({phase_, progress_, text_, color_, speed_});
}

void TerminalView::SetBar(int progress)
{
    progress = std::clamp(progress, 0, 100);
    if (progress == progress_) return;
    const bool barMoves = progress * kBarWidth / 100 != progress_ * kBarWidth / 100;
    progress_ = progress;
    // A text that carries the percentage follows; redraw only a bar that moved.
    if (settings_.style == ViewSettings::Style::Live && lineOpen_ && barMoves && !endText_) Redraw();
    if (settings_.style == ViewSettings::Style::Row && barMoves) ShowRow();
}

void TerminalView::Redraw()
{
    std::string line = ProgressBar(progress_, kBarWidth) + " ";
    // One column is left free so that the cursor never wraps the line.
    const size_t room = static_cast<size_t>(settings_.width - 1);
    std::string text = text_;
    if (line.size() + text.size() > room) text.resize(room > line.size() ? room - line.size() : 0);
    out_ << '\r' << line;
    const char* code = settings_.colour ? ColourCode(color_) : "";
    out_ << code << text << (*code != '\0' ? "\033[0m" : "");
    if (settings_.ansi)
        out_ << "\033[K";
    else
        out_ << std::string(room - line.size() - text.size(), ' ');
    out_.flush();
    lineOpen_ = true;
}

void TerminalView::EndLine()
{
    if (!lineOpen_) return;
    if (endText_) {
        // The end is reported by the program; the line is cleared.
        out_ << '\r' << (settings_.ansi ? "\033[K" : std::string(static_cast<size_t>(settings_.width - 1), ' ') + "\r");
    } else {
        out_ << '\n';
    }
    out_.flush();
    lineOpen_ = false;
}

void TerminalView::WritePendingStatus()
{
    if (!statusPending_) return;
    statusPending_ = false;
    JsonObject status("status");
    status.Add("text", pendingText_)
        .Add("colour", ColourName(color_))
        .Add("progress", pendingProgress_)
        .AddSeconds("elapsed", pendingElapsed_)
        .AddSeconds("t", pendingElapsed_)
        .Add("card", card_)
        .Add("phase", PhaseName(phase_));
    if (settings_.station > 0) status.Add("station", settings_.station);
    out_ << status.Text() << '\n';
    out_.flush();
}

void TerminalView::Turn() { WritePendingStatus(); }

void TerminalView::Finish()
{
    WritePendingStatus();
    if (settings_.style == ViewSettings::Style::Live) EndLine();
}

void TerminalView::Say(const std::string& line, bool evenQuiet)
{
    WritePendingStatus();
    using Style = ViewSettings::Style;
    if (settings_.style == Style::Json || (settings_.style == Style::Quiet && !evenQuiet)) return;
    if (settings_.style == Style::Live) EndLine();
    out_ << line << '\n';
    out_.flush();
}

void TerminalView::Json(JsonObject object, bool ofCard)
{
    WritePendingStatus();
    object.AddSeconds("t", elapsed_());
    if (ofCard) object.Add("card", card_);
    if (settings_.station > 0) object.Add("station", settings_.station);
    out_ << object.Text() << '\n';
    out_.flush();
}
