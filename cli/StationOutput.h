#pragma once
// What the stations of a line of readers (torvik-loader program -p 1,2,3,4)
// share: the program's standard output and error, and on a terminal the live
// table with one row per station. Each station runs on a thread of its own
// and writes through a LineStream of its own, which hands on whole lines
// only; StationOutput writes each line at once under its lock, so that lines
// of different stations never mix. Everything here may be called from any
// thread.
//
// The table (a terminal that takes escape codes, neither --json nor --quiet):
//
//   port  phase        progress     speed done failed  status
//   Com1  writing      [####------]  34350    1      0  Programming 45%
//   Com2  put in       [----------]      -    1      0  Please insert card in card slot.
//
// is redrawn in place, each row cut to the terminal's width, the status in
// its colour. The stations' own lines (each card's result) and error lines
// scroll above it. Without a table every line is written as it comes.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "cli/TerminalView.h"

// An output stream that hands what is written to it on, one whole line at a
// time (without its '\n'); a line left unfinished is handed on when the
// stream is destroyed.
class LineStream final : public std::ostream {
public:
    explicit LineStream(std::function<void(const std::string&)> sink);
    ~LineStream() override;
    LineStream(const LineStream&) = delete;
    LineStream& operator=(const LineStream&) = delete;

private:
    class Buffer final : public std::streambuf {
    public:
        explicit Buffer(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}
        void Flush();

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;

    private:
        std::function<void(const std::string&)> sink_;
        std::string line_;
    };
    Buffer buffer_;
};

class StationOutput {
public:
    struct TableSettings {
        bool on = false;      // draw the live table
        bool colour = false;  // the status in its colour
        int width = 80;       // the terminal's columns
    };
    // Writes to `out` and `err`, which must outlive it; one station per port
    // of `ports`, in that order.
    StationOutput(std::ostream& out, std::ostream& err, const std::vector<uint32_t>& ports, TableSettings table);
    StationOutput(const StationOutput&) = delete;
    StationOutput& operator=(const StationOutput&) = delete;

    // One whole line to standard output, or to standard error (above the
    // table when there is one).
    void Out(const std::string& line);
    void Err(const std::string& line);
    // Station `index`: where its run stands, and the cards it has programmed
    // and failed. The table shows them at its next redraw.
    void Row(size_t index, const ViewRow& row);
    void Tally(size_t index, int done, int failed);
    // Station `index` has ended.
    void Ended(size_t index);
    // Blocks until every station has ended (true) or `millis` have passed
    // (false), on the system's clock.
    bool WaitForStations(int millis);
    // Redraws the table when a row changed since it was drawn last; draws it
    // the first time. Nothing without a table.
    void Redraw();
    // The table's last state stays where it is, and what is written from
    // now on goes below it.
    void Close();
    // Runs `f` under the lock that guards the two streams (for a question
    // that looks at them, such as whether standard output was closed).
    bool Locked(const std::function<bool()>& f);

private:
    struct Station {
        uint32_t port = 0;
        ViewRow row;
        int done = 0;
        int failed = 0;
        bool ended = false;
    };
    void Write(std::ostream& stream, const std::string& line);
    void EraseTable();
    void DrawTable();
    std::string RowText(const Station& station) const;

    std::ostream& out_;
    std::ostream& err_;
    TableSettings table_;
    std::mutex mutex_;
    std::condition_variable ended_;
    std::vector<Station> stations_;
    size_t endedCount_ = 0;
    bool drawn_ = false;  // the table is on the screen
    bool dirty_ = true;   // ... and shows less than is known
    bool closed_ = false;
};
