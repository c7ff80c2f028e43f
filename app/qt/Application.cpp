#include "app/qt/Application.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <functional>

#include "app/qt/Artwork.h"

int RunApplication(QApplication& app, QtWindowServices services)
{
    QCoreApplication::setApplicationName("USB_TorvikLoader");
    QApplication::setWindowIcon(AppIcon());
    const auto showError = services.showError ? services.showError : QtWindowServices::Defaults().showError;
    // Between the turns of a wait the window sleeps in the toolkit until its
    // next event or the wait's end, whichever comes first.
    if (!services.link.waitForMessages)
        services.link.waitForMessages = [](int64_t leftMicros) {
            if (leftMicros <= 0) return;
            QTimer wake;
            wake.setSingleShot(true);
            wake.setTimerType(Qt::PreciseTimer);
            wake.start(static_cast<int>(std::min<int64_t>((leftMicros + 999) / 1000, 60'000)));
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        };
    return RunWindowProgram(
        showError,
        [&] {
            QtMainWindow form(std::move(services));
            form.show();
            app.exec();
        });
}
