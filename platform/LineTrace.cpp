#include "platform/LineTrace.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/ForwardingPort.h"

namespace {

std::string Hex(const uint8_t* bytes, uint32_t count)
{
    std::string text;
    text.reserve(count * 3);
    char pair[4];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, " %02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::string Format(const LineSettings& s)
{
    static const char parity[] = "NOEMS";
    static const char* const stop[] = {"1", "1.5", "2"};
    return std::to_string(s.BaudRate) + " " + std::to_string(s.ByteSize) + (s.Parity < 5 ? parity[s.Parity] : '?') +
           (s.StopBits < 3 ? stop[s.StopBits] : "?");
}

class WatchedPort final : public ForwardingPort {
public:
    WatchedPort(std::unique_ptr<CommPort> port, LineWatch& watch) : ForwardingPort(std::move(port)), watch_(watch) {}
    ~WatchedPort() override { watch_.Note("close"); }

    bool SetState(const LineSettings& s) override
    {
        const bool ok = Inner().SetState(s);
        watch_.Settings(s);
        watch_.Note("settings " + Format(s) + " rts " + std::to_string(s.fRtsControl) + " dtr " +
                    std::to_string(s.fDtrControl) + Failed(ok));
        return ok;
    }
    bool Escape(uint32_t f) override
    {
        const bool ok = Inner().Escape(f);
        const char* name = f == kEscSetRts ? "rts 1" : f == kEscClrRts ? "rts 0" : f == kEscSetDtr ? "dtr 1"
                                                                          : f == kEscClrDtr ? "dtr 0" : "escape ?";
        watch_.Note(name + Failed(ok));
        return ok;
    }
    bool SetBreak() override
    {
        const bool ok = Inner().SetBreak();
        watch_.Note("break 1" + Failed(ok));
        return ok;
    }
    bool ClearBreak() override
    {
        const bool ok = Inner().ClearBreak();
        watch_.Note("break 0" + Failed(ok));
        return ok;
    }
    bool GetModemStatus(uint32_t& status) override
    {
        const bool ok = Inner().GetModemStatus(status);
        const std::string meaning = ok ? watch_.ModemMeaning(status) : std::string();
        watch_.Note("modem cd=" + Bit(status, kMsRlsdOn) + " cts=" + Bit(status, kMsCtsOn) + " dsr=" +
                    Bit(status, kMsDsrOn) + " ring=" + Bit(status, kMsRingOn) + Failed(ok) +
                    (meaning.empty() ? "" : " (" + meaning + ")"));
        return ok;
    }
    bool Purge(uint32_t flags) override
    {
        const bool ok = Inner().Purge(flags);
        std::string text = "purge";
        if (flags & (kPurgeRxAbort | kPurgeRxClear)) text += " rx";
        if (flags & (kPurgeTxAbort | kPurgeTxClear)) text += " tx";
        watch_.Note(text + Failed(ok));
        return ok;
    }
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override
    {
        const bool ok = Inner().Read(buffer, count, bytesRead);
        if (ok && bytesRead > 0) watch_.Received(buffer, bytesRead);
        if (!ok) watch_.Note("rx failed");
        return ok;
    }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override
    {
        const bool ok = Inner().Write(buffer, count, bytesWritten);
        watch_.Sent(buffer, count);
        if (!ok) watch_.Note("tx failed");
        return ok;
    }

private:
    static std::string Failed(bool ok) { return ok ? "" : " failed"; }
    static std::string Bit(uint32_t status, uint32_t bit) { return (status & bit) != 0 ? "1" : "0"; }

    LineWatch& watch_;
};

}  // namespace

LineWatch::LineWatch(CommPortOpener& base, Clock& clock, std::ostream* trace)
    : base_(base), clock_(clock), trace_(trace), startMicros_(clock.NowMicros())
{
}

LineWatch::~LineWatch() { Flush(); }

std::unique_ptr<CommPort> LineWatch::Open(const std::string& deviceName)
{
    std::unique_ptr<CommPort> port = base_.Open(deviceName);
    if (trace_ != nullptr) Note("open " + (namer_ ? namer_(deviceName) : deviceName) + (port ? "" : " failed"));
    if (!port) return nullptr;
    return std::make_unique<WatchedPort>(std::move(port), *this);
}

void LineWatch::Header(const std::vector<std::string>& lines)
{
    if (trace_ == nullptr) return;
    for (const std::string& line : lines) *trace_ << "# " << line << '\n';
}

void LineWatch::WriteLine(int64_t micros, const std::string& text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8.3f ", static_cast<double>((micros - startMicros_) / 1000) / 1000.0);
    *trace_ << stamp << text << '\n';
}

void LineWatch::Note(const std::string& text)
{
    if (trace_ == nullptr) return;
    WriteRun();
    WriteLine(clock_.NowMicros(), text);
}

void LineWatch::Flush()
{
    if (trace_ == nullptr) return;
    WriteRun();
    trace_->flush();
}

void LineWatch::WriteRun()
{
    if (run_.empty()) return;
    size_t used = 0;
    // The echo of the last frame first, as far as it came back.
    if (echoed_ < sent_.size()) {
        const size_t n = std::min(run_.size(), sent_.size() - echoed_);
        const bool same = std::equal(run_.begin(), run_.begin() + static_cast<std::ptrdiff_t>(n),
                                     sent_.begin() + static_cast<std::ptrdiff_t>(echoed_));
        std::string text = same ? "echo" : "echo" + Hex(run_.data(), static_cast<uint32_t>(n)) + " (differs)";
        echoed_ += n;
        if (echoed_ < sent_.size())
            text += " (" + std::to_string(echoed_) + " of " + std::to_string(sent_.size()) + ")";
        WriteLine(runMicros_, text);
        used = n;
    }
    if (used < run_.size()) {
        const std::vector<uint8_t> answer(run_.begin() + static_cast<std::ptrdiff_t>(used), run_.end());
        WriteLine(runMicros_, answer == lastAnswer_
                                  ? std::string("rx same")
                                  : "rx" + Hex(answer.data(), static_cast<uint32_t>(answer.size())));
        lastAnswer_ = answer;
    }
    run_.clear();
}

void LineWatch::Sent(const uint8_t* bytes, uint32_t count)
{
    counts_.bytesSent += count;
    const LineFrame frame = classify_ ? classify_(bytes, count) : LineFrame{};
    switch (frame.kind) {
    case LineFrame::Kind::Start:
        counts_.writeFrames = 0;
        counts_.readFrames = 0;
        counts_.lastWriteAddress = -1;
        break;
    case LineFrame::Kind::BlockWrite:
        ++counts_.writeFrames;
        counts_.lastWriteAddress = frame.address;
        break;
    case LineFrame::Kind::BlockRead: ++counts_.readFrames; break;
    case LineFrame::Kind::Other: break;
    }
    if (trace_ == nullptr) return;
    WriteRun();
    const bool again = sent_.size() == count && std::equal(sent_.begin(), sent_.end(), bytes);
    WriteLine(clock_.NowMicros(), again ? std::string("tx again") : "tx" + Hex(bytes, count));
    sent_.assign(bytes, bytes + count);
    echoed_ = 0;
}

void LineWatch::Received(const uint8_t* bytes, uint32_t count)
{
    counts_.bytesReceived += count;
    if (trace_ == nullptr) return;
    if (run_.empty()) runMicros_ = clock_.NowMicros();
    run_.insert(run_.end(), bytes, bytes + count);
}

void LineWatch::Settings(const LineSettings& s)
{
    if (s.Parity == kMarkParity) counts_.workingBaud = s.BaudRate;
}

std::vector<std::string> TraceHeader(const std::string& program, const std::vector<std::string>& facts)
{
    std::vector<std::string> lines{program + " line trace"};
    lines.insert(lines.end(), facts.begin(), facts.end());
    char date[64] = "unknown";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    const bool known = localtime_s(&local, &now) == 0;
#else
    const bool known = localtime_r(&now, &local) != nullptr;
#endif
    if (known) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &local);
    lines.push_back(std::string("date: ") + date);
    lines.push_back("each line: seconds since the start, then what happened. tx: bytes sent; echo: the reader's");
    lines.push_back("return of them, \"echo\" alone when it equals what was sent; rx: the bytes that came after");
    lines.push_back("the echo, gathered per receive; \"tx again\", \"rx same\": the same bytes as the tx or rx");
    lines.push_back("line before; status, colour: what the status field shows; phase, prompt, trial, speed, block,");
    lines.push_back("read pass, outcome: what the run did, as it went.");
    return lines;
}
