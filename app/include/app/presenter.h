// The one place through which the program shows its message boxes, so that
// tests can answer them without a display.
#pragma once

#include <QString>
#include <vector>

namespace kvo::app {

class TMessagePresenter {
  public:
    virtual ~TMessagePresenter() = default;
    // A plain information box with an OK button.
    virtual void Information(const QString& title, const QString& text) = 0;
    // An error box with an OK button.
    virtual void Error(const QString& title, const QString& text) = 0;
};

// Shows real, modal QMessageBox windows.
class TQtMessagePresenter final : public TMessagePresenter {
  public:
    void Information(const QString& title, const QString& text) override;
    void Error(const QString& title, const QString& text) override;
};

// Shows nothing and keeps what would have been shown, in order.
class TRecordingPresenter final : public TMessagePresenter {
  public:
    enum class TKind { Information, Error };
    struct TShown {
        TKind kind;
        QString title;
        QString text;
    };
    void Information(const QString& title, const QString& text) override {
        shown.push_back({TKind::Information, title, text});
    }
    void Error(const QString& title, const QString& text) override {
        shown.push_back({TKind::Error, title, text});
    }
    std::vector<TShown> shown;
};

// The presenter in use: the QMessageBox one unless replaced.
TMessagePresenter& Presenter();
// Replaces the presenter (not owned; it must outlive its use); nullptr
// restores the QMessageBox one.
void SetPresenter(TMessagePresenter* presenter);

}  // namespace kvo::app
