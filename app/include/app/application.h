// The application object: the last stop of an exception that an event
// handler lets out.
#pragma once

#include <QApplication>
#include <QString>

namespace kvo::app {

class TApplication : public QApplication {
  public:
    // Scripted runs: with KESTAVO_CLICK_AFTER_START=<object name> in the
    // environment, the button of that name in a top-level window is clicked
    // once the event loop runs, and the loop then ends.
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    // Delivers the event.  An exception that escapes its handler goes to
    // the crash library when it is active (its report, its decision); it is
    // shown (title: the application's display name) when the library is
    // passive or leaves it to the default handling.  The loop goes on.
    bool notify(QObject* receiver, QEvent* event) override;

    // The message of the last exception caught by notify(); empty if none.
    const QString& LastUnhandled() const { return lastUnhandled_; }
    int UnhandledCount() const { return unhandledCount_; }

  protected:
    virtual void HandleException(const QString& message);

  private:
    QString lastUnhandled_;
    int unhandledCount_ = 0;
};

}  // namespace kvo::app
