#include "app/presenter.h"

#include <QMessageBox>

namespace kvo::app {

void TQtMessagePresenter::Information(const QString& title, const QString& text) {
    QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
}

void TQtMessagePresenter::Error(const QString& title, const QString& text) {
    QMessageBox::critical(nullptr, title, text, QMessageBox::Ok);
}

namespace {
TMessagePresenter* g_presenter = nullptr;
}

TMessagePresenter& Presenter() {
    static TQtMessagePresenter boxes;
    return g_presenter != nullptr ? *g_presenter : boxes;
}

void SetPresenter(TMessagePresenter* presenter) {
    g_presenter = presenter;
}

}  // namespace kvo::app
