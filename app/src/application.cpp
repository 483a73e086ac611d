#include "app/application.h"

#include <exception>

#include "common/Common.h"
#include "platform/MessagePresenter.h"

namespace kvo::app {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const common::ESilentAbort&) {
        // The user has already been told; the abort only unwinds.
    } catch (const std::exception& e) {
        HandleException(QString::fromUtf8(e.what()));
    } catch (...) {
        HandleException(QStringLiteral("Unknown exception"));
    }
    // The event counts as handled: delivering it again would only repeat the failure.
    return true;
}

void TApplication::HandleException(const QString& message) {
    lastUnhandled_ = message;
    ++unhandledCount_;
    platform::CurrentPresenter().ShowMessage(
        message.toStdString(), applicationDisplayName().toStdString(), platform::kMbError);
}

}  // namespace kvo::app
