#include "app/Application.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <exception>
#include <functional>
#include <memory>

#include "app/Artwork.h"
#include "platform/Platform.h"

int RunApplication(QApplication& app, QtWindowServices services)
{
    QCoreApplication::setApplicationName("USB_TorvikLoader");
    QApplication::setWindowIcon(AppIcon());
    std::function<void()> savedPump = Platform().processMessages;
    Platform().processMessages = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };

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
    return 0;
}
