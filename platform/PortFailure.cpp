#include "platform/PortFailure.h"

#include <cerrno>
#include <cstring>

namespace {

struct Records {
    std::string openFailure;
    std::string gone;
};

Records& TheRecords()
{
    static Records records;
    return records;
}

uint64_t& GoneReports()
{
    static uint64_t reports = 0;
    return reports;
}

}  // namespace

void RecordOpenFailure(const std::string& reason) { TheRecords().openFailure = reason; }

void RecordDeviceGone(const std::string& reason)
{
    ++GoneReports();
    if (TheRecords().gone.empty()) TheRecords().gone = reason;
}

uint64_t DeviceGoneReports() { return GoneReports(); }

std::string LastOpenFailure() { return TheRecords().openFailure; }

std::string DeviceGoneReason() { return TheRecords().gone; }

void ClearPortFailures() { TheRecords() = Records{}; }

std::string DescribeOpenError(const std::string& device, int error, const std::string& group)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return device + ": no such device (is the reader plugged in?)";
    case EACCES:
    case EPERM:
        // Joining root's group gives a user far more than a reader; say so
        // instead of suggesting it.
        if (group == "root")
            return device + ": permission denied; the device belongs to the group 'root', which users should not "
                            "join: run the program as root, or have a udev rule give the device a group such as "
                            "'dialout'";
        return device + ": permission denied; join the group that owns the device" +
               (group.empty() ? std::string() : " ('" + group + "')") +
               " and log in again" + (group.empty() ? std::string() : ": sudo usermod -aG " + group + " $USER");
    case EBUSY:
#if defined(EWOULDBLOCK) && EWOULDBLOCK != EBUSY
    case EWOULDBLOCK:
#endif
        return device + ": busy: another program is using it";
    case ENOTTY: return device + ": not a serial device";
    default: return device + ": " + std::strerror(error);
    }
}
