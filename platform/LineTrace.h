#pragma once
// A watch on the serial line: a port opener that wraps every port it opens,
// counts the loader's block frames and, when given a stream, writes each call
// on the port as one readable text line with a millisecond time stamp:
//
//      12.345 open .\COM1
//      12.346 settings 9600 8N1
//      12.346 rts 1
//      12.347 tx 2A 41
//      12.358 rx 2A 41 01 00 10 06
//      12.400 modem cd=1 cts=0 dsr=0 ring=0
//      12.401 break 1 / purge rx tx / dtr 0 / close
//
// Nothing is wrapped unless the watch is installed, so a run without one
// pays nothing.

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Clock.h"
#include "platform/CommPort.h"

// What the watch counted on the line since the last loader start command
// ("01 02 EA") was sent, and over the whole run.
struct LineCounts {
    int64_t writeFrames = 0;         // block write frames since the loader start
    int64_t readFrames = 0;          // block read frames since the loader start
    int64_t lastWriteAddress = -1;   // address of the last block write frame
    uint32_t workingBaud = 0;        // speed of the last mark-parity setting
    int64_t bytesSent = 0;           // whole run
    int64_t bytesReceived = 0;       // whole run
};

class LineWatch final : public CommPortOpener {
public:
    // Opens through `base`; `trace` (may be null) receives the text lines,
    // stamped with seconds since the watch was made on `clock`.
    LineWatch(CommPortOpener& base, Clock& clock, std::ostream* trace);
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;

    const LineCounts& Counts() const { return counts_; }
    // Writes the lines to `trace` from now on (null: none).
    void SetTrace(std::ostream* trace) { trace_ = trace; }

    // Writes one line "<seconds> <text>" to the trace, if any.
    void Note(const std::string& text);
    // Called by the wrapped ports.
    void Sent(const uint8_t* bytes, uint32_t count);
    void Received(const uint8_t* bytes, uint32_t count);
    void Settings(const LineSettings& s);

private:
    CommPortOpener& base_;
    Clock& clock_;
    std::ostream* trace_;
    int64_t startMicros_;
    LineCounts counts_;
};

// Reads TORVIK_TRACE: when it names a file, the program's port chain
// (devices/PortChain.h) writes its trace there for the life of the program.
// For the window.
void InstallTraceFromEnvironment();
