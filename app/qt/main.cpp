// USB_TorvikLoader: the window program.
//
// Without a display to show the window on, it says so on one line, names the
// command-line program and exits with status 1 (instead of the toolkit's
// abort). On Linux SIGTERM, SIGHUP and SIGINT end it as the end of a desktop
// session does: the settings are stored, and a Program run stops at its next
// wait first.

#include <QApplication>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#ifndef _WIN32
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "app/qt/Application.h"
#include "devices/PortChain.h"

namespace {

const char kCommandLineProgram[] = "torvik-loader programs cards from a terminal (torvik-loader --help)";

QtMessageHandler toolkitMessages = nullptr;

// While the application object is made: a platform that cannot start (a
// display that cannot be reached) ends the program with one line more and
// status 1; the toolkit's own messages pass as they are.
void StartupMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        if (toolkitMessages != nullptr) toolkitMessages(type, context, text);
        else std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        return;
    }
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    std::fprintf(stderr, "USB_TorvikLoader: the window cannot be shown: no display could be opened (DISPLAY=%s, "
                         "WAYLAND_DISPLAY=%s); %s\n",
                 display != nullptr ? display : "", wayland != nullptr ? wayland : "", kCommandLineProgram);
    std::fflush(stderr);
    std::_Exit(1);
}

#ifndef _WIN32
bool Unset(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0';
}

// The toolkit picks a platform of its own only when none is named, by
// QT_QPA_PLATFORM or -platform; it then needs a display.
bool PlatformNamed(int argc, char** argv)
{
    if (!Unset("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "-platform" || std::string(argv[i]) == "--platform") return true;
    return false;
}

int stopPipe[2] = {-1, -1};

extern "C" void OnStop(int)
{
    const char signalled = 1;
    const ssize_t written = write(stopPipe[1], &signalled, 1);
    (void)written;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
#ifndef _WIN32
    if (!PlatformNamed(argc, argv) && Unset("DISPLAY") && Unset("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "USB_TorvikLoader: no display to show the window on (neither DISPLAY nor "
                             "WAYLAND_DISPLAY is set); %s\n", kCommandLineProgram);
        return 1;
    }
    // The signal only leaves a byte in the pipe; the loop takes it up.
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = OnStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGHUP, SIGINT}) sigaction(signal, &action, nullptr);
    }
#endif

    toolkitMessages = qInstallMessageHandler(StartupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(toolkitMessages);

#ifndef _WIN32
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopPipe[0] >= 0) {
        stopNotifier = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, [] {
            char taken[16];
            while (read(stopPipe[0], taken, sizeof taken) > 0) {
            }
            // Stored now, the settings need no close: exit() ends every loop,
            // an open file dialog's too, where a close would wait for it.
            QtMainWindow* window = MainWindow();
            if (window == nullptr || window->QueryEndSession()) QCoreApplication::exit(0);
        });
    }
#endif
    // The system's devices on the steady clock, and TORVIK_TRACE=FILE: the
    // line traffic, for a misbehaving reader.
    SystemChain system(&std::cerr);
    const std::unique_ptr<std::ostream> trace = InstallTraceFromEnvironment(system.chain, "USB_TorvikLoader");
    QtWindowServices services = QtWindowServices::Defaults();
    services.link = LinkSetup::Of(system.chain);
    return RunApplication(app, std::move(services));
}
