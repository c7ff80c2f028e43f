#include "platform/posix/SystemCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>

#include "platform/posix/TerminalSpeed.h"

namespace {

int Open(const char* path, int flags) { return ::open(path, flags); }
int Ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

bool ReadText(const std::string& path, std::string& text)
{
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, text);
    return !in.bad();
}

bool WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    if (!out) return false;
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

const PosixSystemCalls& RealSystemCalls()
{
    static const PosixSystemCalls calls{Open,        ::close,          ::isatty,         ::flock,  Ioctl,
                                        ::tcgetattr, ::tcsetattr,      ::tcflush,        ::tcdrain, ::read,
                                        ::write,     ::poll,           SetTerminalSpeed, GetTerminalSpeed,
                                        ReadText,    WriteText};
    return calls;
}
