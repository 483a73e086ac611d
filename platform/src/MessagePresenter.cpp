#include "platform/MessagePresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <atomic>
#include <cstdio>

namespace kvo::platform {
namespace {

bool AsksQuestion(int flags) {
    return (flags & 0x0F) == kMbYesNo;
}

QtMessagePresenter gDefault;
std::atomic<MessagePresenter*> gCurrent{nullptr};

}  // namespace

int QtMessagePresenter::ShowMessage(const std::string& text, const std::string& caption,
                                    int flags) {
    const bool question = AsksQuestion(flags);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return question ? kIdNo : kIdOk;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (flags & 0xF0) {
        case kMbIconError:
            icon = QMessageBox::Critical;
            break;
        case kMbIconQuestion:
            icon = QMessageBox::Question;
            break;
        case kMbIconWarning:
            icon = QMessageBox::Warning;
            break;
        case kMbIconInformation:
            icon = QMessageBox::Information;
            break;
    }
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QChar('\r'), QChar('\n'));
    QMessageBox box(icon, QString::fromStdString(caption), shown,
                    question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                    QApplication::activeWindow());
    int r = box.exec();
    if (r == QMessageBox::Yes) return kIdYes;
    if (r == QMessageBox::No) return kIdNo;
    // Closing a Yes/No box by the window's close button is not a Yes.
    return question ? kIdNo : kIdOk;
}

int ScriptedPresenter::ShowMessage(const std::string& text, const std::string& caption, int flags) {
    std::lock_guard lock(mutex_);
    shown_.push_back({text, caption, flags});
    if (!answers_.empty()) {
        int r = answers_.front();
        answers_.pop_front();
        return r;
    }
    return AsksQuestion(flags) ? kIdNo : kIdOk;
}

std::vector<ScriptedPresenter::Shown> ScriptedPresenter::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

void ScriptedPresenter::Answer(int result) {
    std::lock_guard lock(mutex_);
    answers_.push_back(result);
}

MessagePresenter& CurrentPresenter() {
    MessagePresenter* p = gCurrent.load();
    return p ? *p : gDefault;
}

MessagePresenter* SetPresenter(MessagePresenter* presenter) {
    MessagePresenter* previous = gCurrent.exchange(presenter);
    return previous ? previous : &gDefault;
}

}  // namespace kvo::platform
