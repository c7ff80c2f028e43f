#pragma once
// A watch on the serial line: a port opener that wraps every port it opens,
// counts the frames it is told to tell apart (SetFrameClassifier: the
// loader's, from programming/) and, when given a stream, writes each call
// on the port as one readable text line with a millisecond time stamp:
//
//    12.345 open Com1 = /dev/ttyUSB0
//    12.346 settings 9600 8N1 rts 1 dtr 0
//    12.347 tx 2A 41
//    12.352 echo
//    12.358 rx 01 00 10 06
//    12.400 modem cd=1 cts=0 dsr=0 ring=0 (slot empty)
//    12.401 break 1 / purge rx tx / rts 0 / close
//    12.402 status Please insert card in card slot. / colour yellow
//
// Bytes that come back are gathered per receive: everything read between two
// other events is one run, written once, stamped with the time of its first
// byte. The first bytes after a transmission are the reader's echo of it,
// written on their own "echo" line: "echo" alone when they equal what was
// sent, else the bytes with "(differs)", and "(N of M)" when the echo is not
// yet whole. What follows the echo is the answer, on an "rx" line. A frame
// sent again with the same bytes as the previous one is written "tx again",
// an answer equal to the previous answer "rx same"; this keeps the trace of a
// full card read under 3 MB.
//
// Nothing is wrapped unless the watch is installed, and without a stream
// nothing is formatted or gathered, so a run without a trace pays only for
// the frame counts.

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"

// What the watch counted on the line since the last start frame was sent
// (the loader start command), and over the whole run.
struct LineCounts {
    int64_t writeFrames = 0;         // block write frames since the start frame
    int64_t readFrames = 0;          // block read frames since the start frame
    int64_t lastWriteAddress = -1;   // address of the last block write frame
    uint32_t workingBaud = 0;        // speed of the last mark-parity setting
    int64_t bytesSent = 0;           // whole run
    int64_t bytesReceived = 0;       // whole run
};

// What one write on the line is, to the watch's counts.
struct LineFrame {
    enum class Kind { Other, Start, BlockWrite, BlockRead };
    Kind kind = Kind::Other;
    int64_t address = -1;  // BlockWrite, BlockRead: the block address the frame names
};
// Tells what the bytes of one write are. The watch counts nothing but bytes
// without one; whoever builds the chain gives it the protocol's.
using FrameClassifier = std::function<LineFrame(const uint8_t* bytes, uint32_t count)>;

class LineWatch final : public CommPortOpener {
public:
    // Opens through `base`; `trace` (may be null) receives the text lines,
    // stamped with seconds since the watch was made on `clock`.
    LineWatch(CommPortOpener& base, Clock& clock, std::ostream* trace);
    // Writes out the bytes still gathered.
    ~LineWatch() override;
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;

    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;

    const LineCounts& Counts() const { return counts_; }
    // Tells the frames apart with `classify` from now on (empty: counts no
    // frames).
    void SetFrameClassifier(FrameClassifier classify) { classify_ = std::move(classify); }
    // Writes the lines to `trace` from now on (null: none).
    void SetTrace(std::ostream* trace) { trace_ = trace; }
    bool Tracing() const { return trace_ != nullptr; }

    // How the "open" lines name a device: `namer` turns the channel's device
    // name (".\COM1") into what it stands for ("Com1 = sim"). By default the
    // name as the channel gives it.
    void SetDeviceNamer(std::function<std::string(const std::string&)> namer) { namer_ = std::move(namer); }
    // What a modem status read means to the device at the other end
    // ("slot empty", "card in"), written after the lines' bits; by default
    // nothing.
    void SetModemMeaning(std::function<std::string(uint32_t)> meaning) { modemMeaning_ = std::move(meaning); }
    std::string ModemMeaning(uint32_t status) const { return modemMeaning_ ? modemMeaning_(status) : std::string(); }
    // Writes each line with "# " before it, before anything else; for the
    // trace's header.
    void Header(const std::vector<std::string>& lines);
    // Writes one line "<seconds> <text>" to the trace, if any, after the
    // bytes gathered so far.
    void Note(const std::string& text);
    // Writes out the bytes gathered so far and flushes the stream.
    void Flush();

    // Called by the wrapped ports.
    void Sent(const uint8_t* bytes, uint32_t count);
    void Received(const uint8_t* bytes, uint32_t count);
    void Settings(const LineSettings& s);

private:
    void WriteLine(int64_t micros, const std::string& text);
    void WriteRun();

    CommPortOpener& base_;
    Clock& clock_;
    std::ostream* trace_;
    int64_t startMicros_;
    LineCounts counts_;
    FrameClassifier classify_;
    std::function<std::string(const std::string&)> namer_;
    std::function<std::string(uint32_t)> modemMeaning_;
    // Received bytes not yet written, and when the first of them came.
    std::vector<uint8_t> run_;
    int64_t runMicros_ = 0;
    // The last frame sent, how much of its echo has come back, and the last
    // answer written.
    std::vector<uint8_t> sent_;
    size_t echoed_ = 0;
    std::vector<uint8_t> lastAnswer_;
};

// The header lines every trace starts with: who wrote it, its date (local
// time), and how to read the lines; `facts` ("command: ...", "device: ...")
// go between the first line and the date.
std::vector<std::string> TraceHeader(const std::string& program, const std::vector<std::string>& facts);
