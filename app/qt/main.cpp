// USB_TorvikLoader: the window program.

#include <QApplication>

#include <utility>

#include "app/qt/Application.h"
#include "platform/LineTrace.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    InstallTraceFromEnvironment();  // TORVIK_TRACE=FILE: the line traffic, for a misbehaving reader
    QtWindowServices services = QtWindowServices::Defaults();
    return RunApplication(app, std::move(services));
}
