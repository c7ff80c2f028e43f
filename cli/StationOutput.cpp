#include "cli/StationOutput.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

// Narrow enough to leave the status most of an 80-column terminal.
constexpr int kBarWidth = 10;

// The phase as the table's column says it.
const char* PhaseWords(RunPhase phase)
{
    switch (phase) {
    case RunPhase::ReaderSetup: return "setup";
    case RunPhase::CardRemoval: return "take out";
    case RunPhase::CardInsertion: return "put in";
    case RunPhase::AnswerToReset: return "reset";
    case RunPhase::Calibration: return "calibration";
    case RunPhase::LoaderStart: return "loader start";
    case RunPhase::Writing: return "writing";
    case RunPhase::ReadPass: return "verifying";
    case RunPhase::Reading: return "reading";
    }
    return "";
}

}  // namespace

// ------------------------------------------------------------- LineStream

LineStream::LineStream(std::function<void(const std::string&)> sink) : std::ostream(nullptr), buffer_(std::move(sink))
{
    rdbuf(&buffer_);
}

LineStream::~LineStream() { buffer_.Flush(); }

void LineStream::Buffer::Flush()
{
    if (line_.empty()) return;
    sink_(line_);
    line_.clear();
}

LineStream::Buffer::int_type LineStream::Buffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    if (ch == '\n') {
        sink_(line_);
        line_.clear();
    } else {
        line_ += ch;
    }
    return c;
}

std::streamsize LineStream::Buffer::xsputn(const char* s, std::streamsize n)
{
    for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
    return n;
}

// ---------------------------------------------------------- StationOutput

StationOutput::StationOutput(std::ostream& out, std::ostream& err, const std::vector<uint32_t>& ports,
                             TableSettings table)
    : out_(out), err_(err), table_(table)
{
    table_.width = std::max(table_.width, 40);
    for (const uint32_t port : ports) {
        Station station;
        station.port = port;
        stations_.push_back(station);
    }
}

void StationOutput::Out(const std::string& line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    Write(out_, line);
}

void StationOutput::Err(const std::string& line)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    Write(err_, line);
}

void StationOutput::Write(std::ostream& stream, const std::string& line)
{
    EraseTable();
    stream << line << '\n';
    stream.flush();
    // The table is drawn again below the line.
    if (table_.on && !closed_) DrawTable();
}

void StationOutput::Row(size_t index, const ViewRow& row)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    stations_.at(index).row = row;
    dirty_ = true;
}

void StationOutput::Tally(size_t index, int done, int failed)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    stations_.at(index).done = done;
    stations_.at(index).failed = failed;
    dirty_ = true;
}

void StationOutput::Ended(size_t index)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stations_.at(index).ended = true;
        ++endedCount_;
        dirty_ = true;
    }
    ended_.notify_all();
}

bool StationOutput::WaitForStations(int millis)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(millis),
                           [this] { return endedCount_ == stations_.size(); });
}

void StationOutput::Redraw()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.on || closed_ || (drawn_ && !dirty_)) return;
    EraseTable();
    DrawTable();
}

void StationOutput::Close()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.on || closed_) return;
    EraseTable();
    DrawTable();
    closed_ = true;
}

bool StationOutput::Locked(const std::function<bool()>& f)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return f();
}

// Moves the cursor back to where the table began and clears from there
// down, so that a line can be written in its place.
void StationOutput::EraseTable()
{
    if (!drawn_ || closed_) return;
    out_ << "\033[" << stations_.size() + 1 << "A\r\033[J";
    out_.flush();
    drawn_ = false;
}

void StationOutput::DrawTable()
{
    std::string text = "port  phase        progress     speed done failed  status";
    text.resize(std::min(text.size(), static_cast<size_t>(table_.width - 1)));
    text += '\n';
    for (const Station& station : stations_) text += RowText(station) + '\n';
    out_ << text;
    out_.flush();
    drawn_ = true;
    dirty_ = false;
}

std::string StationOutput::RowText(const Station& station) const
{
    const ViewRow& row = station.row;
    const std::string bar = ProgressBar(row.progress, kBarWidth);
    const std::string com = "Com" + std::to_string(station.port);
    const std::string speed = row.speed > 0 ? std::to_string(row.speed) : std::string("-");
    char head[128];
    std::snprintf(head, sizeof head, "%-5s %-12s %s %6s %4d %6d  ", com.c_str(),
                  station.ended ? "ended" : PhaseWords(row.phase), bar.c_str(), speed.c_str(), station.done,
                  station.failed);
    std::string line = head;
    // One column is left free so that the cursor never wraps the line.
    const size_t room = static_cast<size_t>(table_.width - 1);
    if (line.size() >= room) return line.substr(0, room);
    const std::string status = row.text.substr(0, room - line.size());
    const char* code = table_.colour ? ColourCode(row.colour) : "";
    return line + code + status + (*code != '\0' ? "\033[0m" : "");
}
