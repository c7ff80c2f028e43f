// Draws the documentation's picture of the window: loads a card image,
// programs the simulated card on Com1, saves a picture of the window and
// closes it. Not part of the shipped program.
//
//   torvik_window_screenshot OUT.png IMAGE.tvk
//
// Com1 is the simulator unless TORVIK_COM1 names another simulated reader; a
// real device is refused, so the tool never writes to a card by itself.

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/qt/Application.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT.png IMAGE.tvk\n", argv[0]);
        return 2;
    }
    const char* com1 = std::getenv("TORVIK_COM1");
    if (com1 == nullptr || *com1 == '\0') {
        setenv("TORVIK_COM1", "sim:card=in,remove=1500,insert=4000", 1);
    } else if (std::string(com1).rfind("sim:", 0) != 0) {
        std::fprintf(stderr, "TORVIK_COM1 must name the simulator (sim:...), not %s\n", com1);
        return 2;
    }
    const std::string output = argv[1];
    const std::string image = argv[2];

    QApplication app(argc, argv);
    QtWindowServices services = QtWindowServices::Defaults();
    services.chooseFile = [image](const FileDialogRequest&) -> std::optional<std::string> { return image; };
    int result = 1;
    QTimer::singleShot(300, [output, &result] {
        QtMainWindow* window = MainWindow();
        if (window == nullptr) return;
        window->ComPort->setCurrentIndex(0);
        window->Load->click();
        window->Program->click();
        if (window->grab().save(QString::fromStdString(output))) result = 0;
        else std::fprintf(stderr, "Could not save the picture to %s\n", output.c_str());
        window->close();
    });
    RunApplication(app, std::move(services));
    return result;
}
