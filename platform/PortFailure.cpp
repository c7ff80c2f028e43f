#include "platform/PortFailure.h"

#include <cerrno>
#include <cstring>

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
