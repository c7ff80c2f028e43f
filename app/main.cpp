// USB_TorvikLoader: the window program.

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/Application.h"
#include "app/Unit1.h"
#include "platform/LineTrace.h"

namespace {

// For the documentation's picture: with TORVIK_SCREENSHOT=out.png and
// TORVIK_SCREENSHOT_IMAGE=file.tvk the program loads that file, programs the
// card on Com1, saves a picture of its window and closes.
void ArrangeScreenshot(FormServices& services, const std::string& output)
{
    const char* image = std::getenv("TORVIK_SCREENSHOT_IMAGE");
    const std::string file = image ? image : "";
    services.chooseFile = [file](const FileDialogRequest&) -> std::optional<std::string> { return file; };
    QTimer::singleShot(300, [output] {
        if (Form1 == nullptr) return;
        Form1->ComPort->setCurrentIndex(0);
        Form1->Load->click();
        Form1->Program->click();
        if (!Form1->grab().save(QString::fromStdString(output)))
            std::fprintf(stderr, "Could not save the picture to %s\n", output.c_str());
        Form1->close();
    });
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    InstallTraceFromEnvironment();  // TORVIK_TRACE=FILE: the line traffic, for a misbehaving reader
    FormServices services = FormServices::Defaults();
    if (const char* shot = std::getenv("TORVIK_SCREENSHOT"); shot != nullptr && *shot != '\0')
        ArrangeScreenshot(services, shot);
    return RunApplication(app, std::move(services));
}
