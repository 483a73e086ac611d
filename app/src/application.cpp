#include "app/application.h"

#include <QAbstractButton>
#include <QMetaObject>
#include <QTimer>
#include <exception>

#include "common/Common.h"
#include "crashlog/CrashMain.h"
#include "platform/MessagePresenter.h"

namespace kvo::app {
namespace {

// The crash library's frozen-application watcher asks whether the event
// loop still answers: the probe is a queued call that the loop runs.
void PostHeartbeat(void* context) {
    QMetaObject::invokeMethod(
        static_cast<QObject*>(context), [] { CrashLog_Heartbeat(); }, Qt::QueuedConnection);
}

void ClickAfterStart(TApplication* app) {
    const QString name = qEnvironmentVariable("KESTAVO_CLICK_AFTER_START");
    if (name.isEmpty()) return;
    QTimer::singleShot(0, app, [name] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (auto* button = top->findChild<QAbstractButton*>(name)) {
                button->click();
                return;
            }
        }
    });
    // Queued behind the click, so it runs even when the click's handler
    // lets an exception out.
    QTimer::singleShot(0, app, [] { QCoreApplication::quit(); });
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    CrashLog_SetHeartbeatPoster(&PostHeartbeat, this);
    ClickAfterStart(this);
}

TApplication::~TApplication() {
    CrashLog_SetHeartbeatPoster(nullptr, nullptr);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const common::ESilentAbort&) {
        // The user has already been told; the abort only unwinds.
    } catch (...) {
        QString message = QStringLiteral("Unknown exception");
        try {
            throw;
        } catch (const std::exception& e) {
            message = QString::fromUtf8(e.what());
        } catch (...) {
        }
        // The crash library reports it (call stack of the raiser, the
        // dialog, the log); false: it dealt with it, nothing more to show.
        if (crashlog::CrashLogActive() &&
            !crashlog::HandleCurrentException(crashlog::coFramework)) {
            lastUnhandled_ = message;
            ++unhandledCount_;
        } else {
            HandleException(message);
        }
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
