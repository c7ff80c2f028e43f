#pragma once
// Why the port failed, in words for the person at the machine.
//
// The channel and the window only see that a port could not be opened or
// that reads fail; their messages stay as they are. The port layer records
// here, for front ends that can say more (the command-line program), which
// device was tried and why it failed, and whether a device in use went
// away. One record for the program: everything runs on one thread.

#include <cstdint>
#include <string>

// Records why the last open failed ("/dev/ttyUSB0: permission denied; ...").
void RecordOpenFailure(const std::string& reason);
// Records that an open device has gone away (unplugged, a dropped network
// connection, a vanished simulated port). The first record of a run stays.
void RecordDeviceGone(const std::string& reason);

// The reason of the last failed open since ClearPortFailures; empty if none.
std::string LastOpenFailure();
// The reason the device went away since ClearPortFailures; empty if it did not.
std::string DeviceGoneReason();
// How many times a device has been recorded as gone since the program
// started; never goes back, so that a holder of a device can tell whether
// one went away since it last looked.
uint64_t DeviceGoneReports();
// Forgets both records; front ends call it when a run starts.
void ClearPortFailures();

// The reason for a failed open of a local device from the system's error
// number: no such device, permission denied (with the hint to join the group
// that owns the device, `group` when known; for the group "root" the hint
// says not to), busy in another program, not a serial device, or the
// system's own text.
std::string DescribeOpenError(const std::string& device, int error, const std::string& group = {});
