#include "app/qt/Application.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <functional>

#include "app/qt/Artwork.h"
#include "platform/Platform.h"

int RunApplication(QApplication& app, QtWindowServices services)
{
    QCoreApplication::setApplicationName("USB_TorvikLoader");
    QApplication::setWindowIcon(AppIcon());
    const auto showError = services.showError ? services.showError : QtWindowServices::Defaults().showError;
    return RunWindowProgram(
        [] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
        // Between the turns of a wait the window sleeps in the toolkit until
        // its next event or the wait's end, whichever comes first.
        [](int64_t deadlineMicros) {
            const int64_t left = deadlineMicros - Platform().clock->NowMicros();
            if (left <= 0) return;
            QTimer wake;
            wake.setSingleShot(true);
            wake.setTimerType(Qt::PreciseTimer);
            wake.start(static_cast<int>(std::min<int64_t>((left + 999) / 1000, 60'000)));
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        },
        showError,
        [&] {
            QtMainWindow form(std::move(services));
            form.show();
            app.exec();
        });
}
