#include "cli/TerminalView.h"

#include <algorithm>
#include <cstdio>

#include "cli/LoaderCli.h"
#include "reader/StatusMessages.h"

namespace {

constexpr int kBarWidth = 20;

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

}  // namespace

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

TerminalView::TerminalView(std::ostream& out, const ViewSettings& settings, int comPortIndex, bool verify,
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
    if (text.empty() || IsFailureText(text)) return;
    const std::string head = MessageHead(text);
    if (heads_.find("|" + head + "|") == std::string::npos) heads_ += head + "|";
    using Style = ViewSettings::Style;
    switch (settings_.style) {
    case Style::Quiet: return;
    case Style::Plain: {
        if (head == printedHead_ && !settings_.verbose) return;
        printedHead_ = head;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%6.1fs  ", elapsed_());
        out_ << stamp << text << '\n';
        out_.flush();
        return;
    }
    case Style::Json: {
        char elapsed[32];
        std::snprintf(elapsed, sizeof elapsed, "%.3f", elapsed_());
        Json("{\"event\":\"status\",\"text\":" + JsonString(text) + ",\"colour\":\"" + ColourName(color_) +
             "\",\"progress\":" + std::to_string(progress_) + ",\"elapsed\":" + elapsed + "}");
        return;
    }
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

void TerminalView::Finish()
{
    if (settings_.style == ViewSettings::Style::Live) EndLine();
}

void TerminalView::Say(const std::string& line, bool evenQuiet)
{
    using Style = ViewSettings::Style;
    if (settings_.style == Style::Json || (settings_.style == Style::Quiet && !evenQuiet)) return;
    if (settings_.style == Style::Live) EndLine();
    out_ << line << '\n';
    out_.flush();
}

void TerminalView::Json(const std::string& object)
{
    out_ << object << '\n';
    out_.flush();
}
