// USB_TorvikLoader: the window program.

#include <QApplication>

#include <utility>

#include "app/Application.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QtWindowServices services = QtWindowServices::Defaults();
    return RunApplication(app, std::move(services));
}
