// Command text from arbitrary input: it is either refused with the conversion
// (or length) error before anything is sent, or sent as bytes that read back
// to the same frame when written out canonically.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/ReaderLink.h"
#include "support/FakePort.h"

namespace {

std::vector<uint8_t> Send(TSerialChannel& SerialChannel, FakeOpener& opener, const std::string& text, bool& refused)
{
    const size_t writesBefore = opener.device.log.writes.size();
    refused = false;
    try {
        SerialChannel.SendCommandText(text);
    } catch (const EConvertError&) {
        refused = true;
    } catch (const ECommandTooLong&) {
        refused = true;
    }
    if (refused) {
        if (opener.device.log.writes.size() != writesBefore) std::abort();  // refused text was sent
        return {};
    }
    if (opener.device.log.writes.size() != writesBefore + 1) std::abort();
    return opener.device.log.writes.back();
}

std::string Canonical(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X ", b);
        text += pair;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static VirtualClock clock;
    static FakeOpener opener(clock);
    static ReaderLink link(clock, opener);
    TSerialChannel& SerialChannel = link.SerialChannel;
    if (!SerialChannel.IsOpen) SerialChannel.Open(1, 9600, 8, 0, 0, 0);

    const std::string text(reinterpret_cast<const char*>(data), size);
    bool refused = false;
    const std::vector<uint8_t> sent = Send(SerialChannel, opener, text, refused);
    if (!refused) {
        if (sent.size() > size / 2) std::abort();  // more bytes than pairs
        bool again = false;
        if (Send(SerialChannel, opener, Canonical(sent), again) != sent || again) std::abort();
    }
    opener.device.log.writes.clear();
    return 0;
}
