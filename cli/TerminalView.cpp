#include "cli/TerminalView.h"

#include <algorithm>

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

}  // namespace

TerminalView::TerminalView(std::ostream& out, bool live, bool colour, int comPortIndex, bool verify)
    : out_(out), live_(live), colour_(colour && live), comPortIndex_(comPortIndex), verify_(verify)
{
}

std::string TerminalView::MessageHead(const std::string& text)
{
    const size_t end = text.find_last_not_of("0123456789%* ");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

void TerminalView::SetText(const std::string& text)
{
    if (text == text_ && (live_ || text == printed_)) return;
    text_ = text;
    if (!live_) {
        if (!text.empty() && text != printed_) {
            out_ << text << '\n';
            out_.flush();
            printed_ = text;
        }
        return;
    }
    const std::string head = MessageHead(text);
    if (lineOpen_ && head != lineHead_ && !lineHead_.empty()) {
        out_ << '\n';
        lineOpen_ = false;
    }
    lineHead_ = head;
    Redraw();
}

void TerminalView::SetColor(TColor color)
{
    if (color == color_) return;
    color_ = color;
    if (live_ && lineOpen_) Redraw();
}

void TerminalView::SetProgress(int position)
{
    position = std::clamp(position, 0, 100);
    if (position == progress_) return;
    progress_ = position;
    if (live_ && lineOpen_) Redraw();
}

void TerminalView::Redraw()
{
    const int filled = progress_ * kBarWidth / 100;
    out_ << '\r' << '[' << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kBarWidth - filled), '-') << "] ";
    const std::string percent = std::to_string(progress_) + "%";
    out_ << std::string(4 - std::min<size_t>(4, percent.size()), ' ') << percent << "  ";
    const char* code = colour_ ? ColourCode(color_) : "";
    out_ << code << text_ << (*code != '\0' ? "\033[0m" : "") << "\033[K";
    out_.flush();
    lineOpen_ = true;
}

void TerminalView::Finish()
{
    if (live_ && lineOpen_) {
        out_ << '\n';
        out_.flush();
    }
    lineOpen_ = false;
}
