#include "cli/TerminalView.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli/LoaderCli.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"

namespace {

constexpr int kBarWidth = 20;
// Blocks a card holds.
constexpr uint32_t kCardBlocks = kCardImageSize / loader::kBlockSize;

const char* ColourCode(TColor color)
{
    switch (color) {
    case clRed: return "\033[1;31m";
    case clLime: return "\033[1;32m";
    case clYellow: return "\033[1;33m";
    default: return "";
    }
}

// The texts that end a run: the program reports them itself, once.
bool IsFailureText(const std::string& text)
{
    const int status = ExitStatusForMessage(text);
    return status == 3 || status == 5 || status == 7 || status == 8 || text == status_text::kCardProgrammed;
}

// The percentage a running count ends with ("Programming 41%" -> 41), or -1.
int TrailingPercent(const std::string& text)
{
    if (text.empty() || text.back() != '%') return -1;
    const size_t digits = text.find_last_not_of("0123456789", text.size() - 2);
    const size_t start = digits == std::string::npos ? 0 : digits + 1;
    if (start >= text.size() - 1) return -1;
    return std::atoi(text.c_str() + start);
}

}  // namespace

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

JsonObject& JsonObject::AddSeconds(const std::string& key, double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return AddRaw(key, text);
}

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
    : out_(out), settings_(settings), comPortIndex_(comPortIndex), verify_(verify), elapsed_(std::move(elapsed))
{
    if (settings_.style != ViewSettings::Style::Live) settings_.colour = settings_.ansi = false;
    if (!settings_.ansi) settings_.colour = false;
    if (settings_.width < 20) settings_.width = 20;
}

std::string TerminalView::MessageHead(const std::string& text)
{
    const size_t end = text.find_last_not_of("0123456789%* ");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
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

void TerminalView::SetText(const std::string& text)
{
    if (text == text_) return;
    text_ = text;
    if (note_) note_("status " + text);
    if (text.empty() || IsFailureText(text)) return;
    const std::string head = MessageHead(text);
    using Style = ViewSettings::Style;
    switch (settings_.style) {
    case Style::Quiet: return;
    case Style::Plain: {
        // A new message, a percentage that has passed a multiple of 10, or
        // one that starts again from below (another read pass).
        const int percent = TrailingPercent(text);
        const int tenth = percent / 10;
        const bool again = head == printedHead_ && percent >= 0 && percent < lastPercent_;
        lastPercent_ = percent;
        if (head == printedHead_ && !settings_.verbose && tenth <= printedTenth_ && !again) return;
        printedHead_ = head;
        printedTenth_ = tenth;
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
        if (settings_.verbose && lineOpen_ && head != lineHead_ && !lineHead_.empty()) {
            out_ << '\n';
            lineOpen_ = false;
        }
        lineHead_ = head;
        Redraw();
        return;
    }
}

void TerminalView::SetColor(TColor color)
{
    if (color == color_) return;
    color_ = color;
    if (note_) note_(std::string("colour ") + ColourName(color));
    if (settings_.style == ViewSettings::Style::Live && lineOpen_ && settings_.colour && !IsFailureText(text_))
        Redraw();
}

void TerminalView::SetProgress(int position)
{
    position = std::clamp(position, 0, 100);
    if (position == progress_) return;
    const bool barMoves = position * kBarWidth / 100 != progress_ * kBarWidth / 100;
    progress_ = position;
    // The text that follows carries the percentage; redraw only a bar that moved.
    if (settings_.style == ViewSettings::Style::Live && lineOpen_ && barMoves && !IsFailureText(text_)) Redraw();
}

void TerminalView::Redraw()
{
    const int filled = progress_ * kBarWidth / 100;
    std::string line = "[" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kBarWidth - filled), '-') + "] ";
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
    if (IsFailureText(text_)) {
        // The failure is reported on stderr; the line is cleared.
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
    out_ << JsonObject("status")
                .Add("text", pendingText_)
                .Add("colour", ColourName(color_))
                .Add("progress", pendingProgress_)
                .AddSeconds("elapsed", pendingElapsed_)
                .Text()
         << '\n';
    out_.flush();
}

void TerminalView::Turn() { WritePendingStatus(); }

void TerminalView::Finish()
{
    WritePendingStatus();
    if (settings_.style == ViewSettings::Style::Live) EndLine();
}

void TerminalView::BlockSent(uint32_t address)
{
    ++blocks_.frames;
    blocks_.inFlight = address;
}

void TerminalView::BlockStored(uint32_t address)
{
    blocks_.inFlight = -1;
    const uint32_t block = address / loader::kBlockSize;
    if (storedBlocks_.empty()) storedBlocks_.assign(kCardBlocks, false);
    if (block < kCardBlocks && !storedBlocks_[block]) {
        storedBlocks_[block] = true;
        ++blocks_.stored;
    }
    if (blocks_.first < 0 || address < blocks_.first) blocks_.first = address;
    if (static_cast<int64_t>(address) > blocks_.last) blocks_.last = address;
}

TerminalView::Blocks TerminalView::Range(bool stopped) const
{
    Blocks range = blocks_;
    if (stopped && range.inFlight >= 0) {
        if (range.first < 0 || range.inFlight < range.first) range.first = range.inFlight;
        if (range.inFlight > range.last) range.last = range.inFlight;
    }
    return range;
}

void TerminalView::ForgetBlocks()
{
    blocks_ = Blocks{};
    storedBlocks_.clear();
}

std::string TerminalView::WrittenText(bool stopped, bool complete) const
{
    const Blocks range = Range(stopped);
    if (range.first < 0) return "nothing written";
    return std::string(complete ? "the card is programmed" : "the card is partly programmed") + ": blocks " +
           CardAddressText(range.first) + " to " + CardAddressText(range.last) + " written";
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

void TerminalView::Json(const std::string& object)
{
    WritePendingStatus();
    out_ << object << '\n';
    out_.flush();
}
