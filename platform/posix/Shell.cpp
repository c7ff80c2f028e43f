// Opening an address on a POSIX desktop: hand it to xdg-open (or `open` on
// macOS) in a child process and do not wait for it. The child is started
// through a second fork so that it is never left as a zombie of ours.

#include "platform/Shell.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

#ifdef __APPLE__
const char kOpener[] = "open";
#else
const char kOpener[] = "xdg-open";
#endif

}  // namespace

bool ShellOpen(const std::string& address)
{
    if (address.empty()) return false;
    // A pipe tells the parent whether exec succeeded: it is closed on exec
    // and carries the errno byte otherwise.
    int report[2];
    if (pipe(report) != 0) return false;
    // The write end closes itself when exec succeeds.
    fcntl(report[0], F_SETFD, FD_CLOEXEC);
    fcntl(report[1], F_SETFD, FD_CLOEXEC);
    const char* text = address.c_str();
    const pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        close(report[0]);
        const pid_t grandchild = fork();
        if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
        setsid();
        execlp(kOpener, kOpener, text, static_cast<char*>(nullptr));
        const unsigned char code = static_cast<unsigned char>(errno == 0 ? 1 : errno);
        ssize_t ignored = write(report[1], &code, 1);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    unsigned char code = 0;
    ssize_t got;
    do {
        got = read(report[0], &code, 1);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}
