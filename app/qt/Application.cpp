#include "app/qt/Application.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "app/qt/Artwork.h"
#include "platform/Platform.h"

int RunApplication(QApplication& app, QtWindowServices services)
{
    QCoreApplication::setApplicationName("USB_TorvikLoader");
    QApplication::setWindowIcon(AppIcon());
    std::function<void()> savedPump = Platform().processMessages;
    Platform().processMessages = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
    // Between the turns of a wait the window sleeps in the toolkit until its
    // next event or the wait's end, whichever comes first.
    auto savedWait = Platform().waitForMessagesUntil;
    Platform().waitForMessagesUntil = [](int64_t deadlineMicros) {
        const int64_t left = deadlineMicros - Platform().clock->NowMicros();
        if (left <= 0) return;
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        wake.start(static_cast<int>(std::min<int64_t>((left + 999) / 1000, 60'000)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    };

    const auto showError = services.showError ? services.showError : QtWindowServices::Defaults().showError;
    std::unique_ptr<QtMainWindow> form;
    try {
        form = std::make_unique<QtMainWindow>(std::move(services));
        form->show();
        app.exec();
    } catch (const std::exception& e) {
        showError(e.what());
    } catch (...) {
        showError("");
    }
    form.reset();
    Form1 = nullptr;
    Platform().processMessages = std::move(savedPump);
    Platform().waitForMessagesUntil = std::move(savedWait);
    return 0;
}
