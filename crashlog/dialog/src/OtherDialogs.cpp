// The steps-to-reproduce request, the send-progress window, the message box
// and the dispatch by dialog kind.
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "crashlog/dialog/CrashDialogWidgets.h"

namespace crashlog::dialog {

namespace {

QRect WorkArea() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

}  // namespace

TReproduceDialog::TReproduceDialog(const TDialogRequest& request, TDialogSettings& settings,
                                   QWidget* parent)
    : TCrashDialogBase(request, settings, parent) {
    setObjectName("CL_Request");
    setWindowTitle(Text(123));
    const int windowWidth = 316 * 2, windowHeight = 153 * 2;
    const int w = windowWidth - 27;
    auto* label = new QLabel(Text(124), this);
    label->setObjectName("label");
    label->setWordWrap(true);
    int labelHeight = QFontMetrics(label->font())
                          .boundingRect(QRect(0, 0, w, 100000), Qt::TextWordWrap, Text(124))
                          .height();
    int height = windowHeight + labelHeight - 10;
    label->setGeometry(10, 10, w, labelHeight);
    edit_ = new QPlainTextEdit(QString::fromStdString(request.reproduceText), this);
    edit_->setObjectName("edit");
    int editHeight = height - labelHeight - 83 + 40;
    edit_->setGeometry(10, labelHeight + 14, w, editHeight);
    auto* ok = new QPushButton(Text(125), this);
    ok->setObjectName("ok");
    ok->setDefault(true);
    ok->setGeometry(w - 65, labelHeight + editHeight + 20, 75, 23);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(windowWidth, labelHeight + editHeight + 20 + 23 + 10);
    move(WorkArea().center() - rect().center());
}

// The button, Escape and the close box all keep what was typed.
void TReproduceDialog::done(int code) {
    result_.reproduceText = edit_->toPlainText().trimmed().toStdString();
    QDialog::done(code);
}

TSendProgressWindow::TSendProgressWindow(const TDialogRequest& request, QWidget* parent)
    : QDialog(parent) {
    setObjectName("CL_Server");
    auto text = [&](int index) {
        auto it = request.texts.find(index);
        return it == request.texts.end() ? QString() : QString::fromStdString(it->second);
    };
    setWindowTitle(text(110));
    Qt::WindowFlags flags = Qt::Dialog | Qt::WindowTitleHint;
    if (request.modal)
        flags |= Qt::WindowStaysOnTopHint;
    else
        flags |= Qt::Tool;
    setWindowFlags(flags);
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_ArrowUp).pixmap(32, 32));
    icon->setGeometry(8, 8, 32, 32);
    status_ = new QLabel("...", this);
    status_->setObjectName("status");
    status_->setGeometry(48, 8, 290, 18);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("progress");
    bar_->setRange(0, 100);
    bar_->setValue(0);
    bar_->setGeometry(48, 30, 290, 16);
    setFixedSize(348, 56);
    QRect work = WorkArea();
    if (request.modal)
        move(work.center() - rect().center());
    else
        move(work.bottomRight() - QPoint(width(), height()));
}

void TSendProgressWindow::SetStatus(const QString& text) {
    status_->setText(text);
}

void TSendProgressWindow::SetProgress(int percent) {
    if (percent >= bar_->value()) bar_->setValue(std::min(percent, 100));
}

QString TSendProgressWindow::Status() const {
    return status_->text();
}
int TSendProgressWindow::Progress() const {
    return bar_->value();
}

std::unique_ptr<QMessageBox> CreateResultMessageBox(const TDialogRequest& request) {
    auto caption = request.texts.find(0);
    auto box = std::make_unique<QMessageBox>(
        request.errorIcon ? QMessageBox::Critical : QMessageBox::Information,
        caption == request.texts.end() ? QString() : QString::fromStdString(caption->second),
        QString::fromStdString(request.message), QMessageBox::Ok);
    box->setObjectName("CL_Result");
    box->button(QMessageBox::Ok)->setObjectName("ok");
    box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    return box;
}

TDialogResult RunCrashDialog(const TDialogRequest& request, TDialogSettings& settings) {
    if (request.beep && request.kind != TDialogKind::MessageBox) QApplication::beep();
    switch (request.kind) {
        case TDialogKind::Classic: {
            TClassicDialog dialog(request, settings);
            dialog.exec();
            return dialog.Result();
        }
        case TDialogKind::Detailed: {
            TDetailedDialog dialog(request, settings);
            dialog.exec();
            return dialog.Result();
        }
        case TDialogKind::Reproduce: {
            TReproduceDialog dialog(request, settings);
            dialog.exec();
            return dialog.Result();
        }
        case TDialogKind::MessageBox: {
            TDialogResult result;
            result.send = request.send;
            result.screenshot = request.screenshot;
            result.terminateRequested = request.terminateRequested;
            result.dialogFlags = request.dialogFlags;
            result.reproduceText = request.reproduceText;
            auto it = request.texts.find(3);
            QMessageBox box(
                QMessageBox::Critical,
                it == request.texts.end() ? QString() : QString::fromStdString(it->second),
                QString::fromStdString(request.message), QMessageBox::Ok);
            box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
            box.exec();
            result.shown = true;
            return result;
        }
        case TDialogKind::ResultMessage: {
            CreateResultMessageBox(request)->exec();
            TDialogResult result;
            result.shown = true;
            return result;
        }
        default: {
            TDialogResult result;
            result.send = request.send;
            result.screenshot = request.screenshot;
            result.dialogFlags = request.dialogFlags;
            result.warning = "[GUI] Unknown dialog kind.";
            return result;
        }
    }
}

}  // namespace crashlog::dialog
