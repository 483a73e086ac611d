// Every modal message box of the suite goes through one presenter, so that
// tests answer boxes from a script instead of a display.  Flags and results
// carry the Windows values that the suite's callers pass and compare.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace kvo::platform {

enum MessageFlags : int {
    kMbOk = 0,
    kMbYesNo = 4,
    kMbIconError = 16,
    kMbIconQuestion = 32,
    kMbIconWarning = 48,
    kMbIconInformation = 64,
    kMbError = kMbIconError | kMbOk,              // 16
    kMbWarning = kMbIconWarning | kMbOk,          // 48
    kMbWarningYesNo = kMbIconWarning | kMbYesNo,  // 52
    kMbInformation = kMbIconInformation | kMbOk,  // 64
};

enum MessageResult : int { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

class MessagePresenter {
  public:
    virtual ~MessagePresenter() = default;
    // Shows the box modally and returns the button pressed.  The text may use
    // "\r", "\n" or "\r\n" for line breaks.
    virtual int ShowMessage(const std::string& text, const std::string& caption, int flags) = 0;
};

// A QMessageBox over the active window.  Without a running QApplication (a
// console program) the box is written to stderr and answered with OK, or
// with No when it asks a question, the answer that changes nothing.
class QtMessagePresenter : public MessagePresenter {
  public:
    int ShowMessage(const std::string& text, const std::string& caption, int flags) override;
};

// Records every box and answers from a script; with the script used up it
// answers OK to OK boxes and No to Yes/No boxes.
class ScriptedPresenter : public MessagePresenter {
  public:
    struct Shown {
        std::string text, caption;
        int flags = 0;
    };
    explicit ScriptedPresenter(std::deque<int> answers = {}) : answers_(std::move(answers)) {}
    int ShowMessage(const std::string& text, const std::string& caption, int flags) override;
    std::vector<Shown> shown() const;
    void Answer(int result);  // appends to the script

  private:
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::vector<Shown> shown_;
};

// The process-wide presenter (a QtMessagePresenter until replaced).
MessagePresenter& CurrentPresenter();
// Installs a presenter (nullptr: the default) and returns the one it
// replaces.  The presenter must outlive its installation.
MessagePresenter* SetPresenter(MessagePresenter* presenter);

// Installs a presenter for its lifetime.
class ScopedPresenter {
  public:
    explicit ScopedPresenter(MessagePresenter& presenter) : previous_(SetPresenter(&presenter)) {}
    ~ScopedPresenter() { SetPresenter(previous_); }
    ScopedPresenter(const ScopedPresenter&) = delete;
    ScopedPresenter& operator=(const ScopedPresenter&) = delete;

  private:
    MessagePresenter* previous_;
};

}  // namespace kvo::platform
