#pragma once
// Why the port failed, in words for the person at the machine.
//
// The channel and the window only see that a port could not be opened or
// that reads fail; their messages stay as they are. The port layer records,
// for front ends that can say more (the command-line program), which device
// was tried and why it failed, and whether a device in use went away.
//
// A record belongs to the opener of a reader link's ports (its port chain,
// devices/PortChain.h): the opener hands it to every port it opens, the ports
// write to it, and the link's channel reads it. A record, like the link, is
// used by one thread at a time.

#include <cstdint>
#include <string>

class PortFailures {
public:
    // Records why the last open failed ("/dev/ttyUSB0: permission denied;
    // ..."), or what an open port refused (a speed, a line break).
    void RecordOpenFailure(const std::string& reason) { openFailure_ = reason; }
    // Records that an open device has gone away (unplugged, a dropped network
    // connection, a vanished simulated port). The first record since Clear
    // stays.
    void RecordDeviceGone(const std::string& reason)
    {
        ++goneReports_;
        if (gone_.empty()) gone_ = reason;
    }

    // The reason of the last failed open or refusal since Clear; empty if
    // none.
    const std::string& LastOpenFailure() const { return openFailure_; }
    // The reason the device went away since Clear; empty if it did not.
    const std::string& DeviceGoneReason() const { return gone_; }
    // How many times a device has been recorded as gone since the record was
    // made; never goes back, so that a holder of a device can tell whether
    // one went away since it last looked.
    uint64_t DeviceGoneReports() const { return goneReports_; }
    // Forgets both reasons (not the count); front ends do so when a run
    // starts.
    void Clear()
    {
        openFailure_.clear();
        gone_.clear();
    }

private:
    std::string openFailure_;
    std::string gone_;
    uint64_t goneReports_ = 0;
};

// The reason for a failed open of a local device from the system's error
// number: no such device, permission denied (with the hint to join the group
// that owns the device, `group` when known; for the group "root" the hint
// says not to), busy in another program, not a serial device, or the
// system's own text.
std::string DescribeOpenError(const std::string& device, int error, const std::string& group = {});
