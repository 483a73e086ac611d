// crashlog-dialog: shows one exception dialog (or the send-progress window)
// for a crashed process and answers with the user's decision.
//
//   crashlog-dialog --fd N
//
// N is the helper's end of a socket pair: the request comes in on it, the
// answer goes back on it, and a heartbeat frame every second tells the
// waiting process that the helper is alive.  When the user asked for a copy
// of the report, the helper stays after its answer to serve the clipboard
// until another program takes it over (at most ten minutes).
//
// For tests, KESTAVO_CRASHLOG_DIALOG_TEST may hold "hang" (stop answering
// after reading the request) or "click=<button>" / "escape" (answer the
// dialog once it is shown).
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "crashlog/CrashDialogs.h"
#include "crashlog/dialog/CrashDialogWidgets.h"

using namespace crashlog;
using namespace crashlog::dialog;

namespace {

void AnswerForTests(const QString& hook) {
    if (hook.isEmpty()) return;
    QTimer::singleShot(300, [hook] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        if (hook == "escape") {
            QMetaObject::invokeMethod(dialog, "reject");
        } else if (hook.startsWith("click=")) {
            if (auto* button = dialog->findChild<QAbstractButton*>(hook.mid(6))) button->click();
        }
    });
}

int RunProgress(int fd, const TDialogRequest& request) {
    TSendProgressWindow window(request);
    window.show();
    WriteFrame(fd, 'O', {});
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char type = 0;
        std::string frame;
        if (!ReadFrame(fd, 2000, type, frame)) {
            QApplication::quit();
            return;
        }
        std::string payload(FramePayload(frame));
        if (type == 'S')
            window.SetStatus(QString::fromStdString(payload));
        else if (type == 'P')
            window.SetProgress(std::atoi(payload.c_str()));
        if (type == 'C') {
            QApplication::quit();
            return;
        }
        WriteFrame(fd, 'K', {});
    });
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    int fd = -1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--fd") == 0) fd = std::atoi(argv[i + 1]);
    if (fd < 0) {
        std::fprintf(stderr, "usage: crashlog-dialog --fd N\n");
        return 2;
    }

    char type = 0;
    std::string frame;
    TDialogRequest request;
    std::string error;
    if (!ReadFrame(fd, 10000, type, frame) || type != 'Q' ||
        !DecodeDialogRequest(frame, request, &error)) {
        TDialogResult result;
        result.cancelled = true;
        result.warning = "[GUI] The dialog request could not be read" +
                         (error.empty() ? std::string(".") : ": " + error);
        WriteEncodedFrame(fd, EncodeDialogResult(result));
        return 2;
    }
    const QString hook = qEnvironmentVariable("KESTAVO_CRASHLOG_DIALOG_TEST");
    if (hook == "hang") {
        while (true)
            std::this_thread::sleep_for(std::chrono::seconds(60));
    }

    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (request.kind == TDialogKind::Progress) return RunProgress(fd, request);

    // The waiting process takes silence for a hang; a heartbeat that cannot
    // be written means it is gone, and nobody is left to answer to.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [fd] {
        if (!WriteFrame(fd, 'H', {})) std::_Exit(0);
    });
    heartbeat.start(1000);

    TDialogSettings settings;
    AnswerForTests(hook);
    TDialogResult result = RunCrashDialog(request, settings);
    heartbeat.stop();
    WriteEncodedFrame(fd, EncodeDialogResult(result));
    ::close(fd);

    if (!result.copy || request.reportText.empty()) return 0;
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText(QString::fromStdString(request.reportText));
    QObject::connect(clipboard, &QClipboard::dataChanged, &app, [clipboard] {
        if (!clipboard->ownsClipboard()) QApplication::quit();
    });
    QTimer::singleShot(10 * 60 * 1000, &app, &QApplication::quit);
    return QApplication::exec();
}
