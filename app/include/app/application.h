// The application object: the last stop of an exception that an event
// handler lets out.
#pragma once

#include <QApplication>
#include <QString>

namespace kvo::app {

class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);

    // Delivers the event; an exception that escapes its handler is shown
    // (title: the application's display name) and the loop goes on.
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
