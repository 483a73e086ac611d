// crashlog-dialog: shows one exception dialog (or the send-progress window)
// for a crashed process and answers with the user's decision.
//
//   crashlog-dialog --fd N
//
// N is the helper's end of a socket pair: the request comes in on it, the
// answer goes back on it, and a heartbeat frame every second tells the
// waiting process that the helper is alive.  When the user asked for a copy
// of the report, the helper stays after its answer to serve the clipboard
// until another program takes it over (at most ten minutes); a clipboard
// request does only that.  The send's result box is answered as soon as it
// is on screen and stays until the user closes it, so that nobody waits
// for the user's OK.
//
// For tests, KESTAVO_CRASHLOG_DIALOG_TEST may hold "hang" (stop answering
// after reading the request) or answers per dialog kind, such as
// "classic:link;detailed:click=ok;reproduce:escape".
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "crashlog/CrashDialogs.h"
#include "crashlog/dialog/CrashDialogWidgets.h"

using namespace crashlog;
using namespace crashlog::dialog;

namespace {

// "kind:action;kind:action" or one bare action for every kind; actions are
// "click=<button>", "escape" and "link" (the classic dialog's details link).
QString HookFor(const QString& hook, TDialogKind kind) {
    const char* name = kind == TDialogKind::Classic     ? "classic"
                       : kind == TDialogKind::Detailed  ? "detailed"
                       : kind == TDialogKind::Reproduce ? "reproduce"
                                                        : "other";
    for (const QString& part : hook.split(';', Qt::SkipEmptyParts)) {
        int colon = part.indexOf(':');
        if (colon < 0) return part;
        if (part.left(colon) == name) return part.mid(colon + 1);
    }
    return {};
}

void AnswerForTests(const QString& action) {
    if (action.isEmpty()) return;
    QTimer::singleShot(300, [action] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        if (action == "escape") {
            QMetaObject::invokeMethod(dialog, "reject");
        } else if (action == "link") {
            if (auto* link = dialog->findChild<QLabel*>("clickHere"))
                emit link->linkActivated("details");
        } else if (action.startsWith("click=")) {
            if (auto* button = dialog->findChild<QAbstractButton*>(action.mid(6))) button->click();
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

// The clipboard of X is served by the program that holds it: stay until
// another program takes it over, at most ten minutes.  Offscreen, the
// clipboard lives in this process only and there is nobody to serve.
int ServeClipboard(QApplication& app) {
    if (QGuiApplication::platformName() == "offscreen") return 0;
    QClipboard* clipboard = QApplication::clipboard();
    QObject::connect(clipboard, &QClipboard::dataChanged, &app, [clipboard] {
        if (!clipboard->ownsClipboard()) QApplication::quit();
    });
    QTimer::singleShot(10 * 60 * 1000, &app, &QApplication::quit);
    return QApplication::exec();
}

int RunClipboard(int fd, QApplication& app, const TDialogRequest& request) {
    const QString text = QString::fromStdString(request.reportText);
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText(text);
    TDialogResult result;
    // Read back: another client may hold the selection against us.
    result.copy = clipboard->text() == text;
    if (!result.copy) result.warning = "[GUI] The report could not be put on the clipboard.";
    WriteEncodedFrame(fd, EncodeDialogResult(result));
    ::close(fd);
    return result.copy ? ServeClipboard(app) : 1;
}

int RunResultMessage(int fd, const TDialogRequest& request, const QString& hook) {
    std::unique_ptr<QMessageBox> box = CreateResultMessageBox(request);
    box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(box.get(), &QDialog::finished, qApp, &QApplication::quit);
    box->show();
    AnswerForTests(HookFor(hook, request.kind));
    TDialogResult result;
    result.shown = true;
    WriteEncodedFrame(fd, EncodeDialogResult(result));
    ::close(fd);
    QTimer::singleShot(10 * 60 * 1000, qApp, &QApplication::quit);
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
    if (request.kind == TDialogKind::Clipboard) return RunClipboard(fd, app, request);
    if (request.kind == TDialogKind::ResultMessage) return RunResultMessage(fd, request, hook);

    // The waiting process takes silence for a hang; a heartbeat that cannot
    // be written means it is gone, and nobody is left to answer to.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [fd] {
        if (!WriteFrame(fd, 'H', {})) std::_Exit(0);
    });
    heartbeat.start(1000);

    TDialogSettings settings;
    AnswerForTests(HookFor(hook, request.kind));
    TDialogResult result = RunCrashDialog(request, settings);
    heartbeat.stop();
    WriteEncodedFrame(fd, EncodeDialogResult(result));
    ::close(fd);

    if (!result.copy || request.reportText.empty()) return 0;
    QApplication::clipboard()->setText(QString::fromStdString(request.reportText));
    return ServeClipboard(app);
}
