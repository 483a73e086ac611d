// The exception dialogs as Qt widgets: the classic dialog, the detailed
// dialog with its six pages, the steps-to-reproduce request, the
// send-progress window and the plain message box.  The helper program
// `crashlog-dialog` shows them for a crashed process; tests drive them
// in-process (offscreen).
//
// Each dialog is built from a `TDialogRequest` and leaves its decision in a
// `TDialogResult`.  Auto-close counts whole seconds on a 1000 ms timer; tests
// call `AutoCloseTick()` instead of waiting.  "CrashLog.ini" (geometry,
// column widths, the user's e-mail address, the jump-to-source command) is
// read and written through `TDialogSettings`.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

#include "crashlog/CrashDialogs.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;
class QSettings;

namespace crashlog::dialog {

// "CrashLog.ini" in $XDG_CONFIG_HOME/kestavo/ (or the file given).
class TDialogSettings {
  public:
    explicit TDialogSettings(QString fileName = DefaultFileName());
    ~TDialogSettings();
    static QString DefaultFileName();

    int Int(const QString& section, const QString& key, int fallback) const;
    QString String(const QString& section, const QString& key, const QString& fallback = {}) const;
    void Set(const QString& section, const QString& key, const QString& value);
    void Sync();
    QString FileName() const;

  private:
    std::unique_ptr<QSettings> settings_;
};

// A parsed call-stack location, for the jump to source.
struct TSourceLocation {
    QString module, unit, className, procedure;
    int line = 0;
    int offset = -1;
};
// "120[3]" → line 120, offset 3; "120" → offset -1; "" → line 0.
TSourceLocation ParseCallStackRow(const QStringList& cells);
// The configured command ("Tools"/"JumpToSource" with %MODULE%, %UNIT%,
// %CLASS%, %PROCEDURE%, %LINE%, %OFFSET%) filled for a location; empty when
// none is configured.
QStringList JumpToSourceCommand(const TDialogSettings& settings, const TSourceLocation& location);

// Colouring of the report pieces as HTML for the text pages, when the
// request carries plain text only.
QString ColourGeneral(const QString& text);
QString ColourAssembler(const QString& text);
QString ColourCpu(const QString& text);

// Common behaviour: auto-close, the foreground keeper's intent, the
// painted check, the decision flags.
class TCrashDialogBase : public QDialog {
    Q_OBJECT
  public:
    TCrashDialogBase(const TDialogRequest& request, TDialogSettings& settings,
                     QWidget* parent = nullptr);

    const TDialogResult& Result() const { return result_; }
    // One second of the auto-close timer.
    void AutoCloseTick();
    int AutoCloseCount() const { return autoCloseCount_; }
    bool Painted() const { return painted_; }
    // How a message box is shown (tests answer it without a display).
    std::function<void(const QString& caption, const QString& text)> messageBox;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    QString Text(int index) const;
    void ShowMessage(const QString& caption, const QString& text);
    void WatchInput();

    const TDialogRequest& request_;
    TDialogSettings& settings_;
    TDialogResult result_;
    int autoCloseCount_ = 0;
    bool painted_ = false;
};

// The classic dialog: fixed width 419, controls stacked from the top.
class TClassicDialog : public TCrashDialogBase {
    Q_OBJECT
  public:
    TClassicDialog(const TDialogRequest& request, TDialogSettings& settings,
                   QWidget* parent = nullptr);
    static constexpr int kWidth = 419;

    void done(int code) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

  private:
    int pending_ = 0;  // the action that asked to close, applied once the e-mail is valid
    bool cancelled_ = false;
    bool send_ = false;
    QCheckBox* restart_ = nullptr;
    QPlainTextEdit* comment_ = nullptr;
    QLineEdit* email_ = nullptr;
};

// The detailed dialog: message, buttons, option strip and six pages.
class TDetailedDialog : public TCrashDialogBase {
    Q_OBJECT
  public:
    TDetailedDialog(const TDialogRequest& request, TDialogSettings& settings,
                    QWidget* parent = nullptr);

    bool Expanded() const { return expanded_; }
    void SetExpanded(bool expanded);
    int StripHeight() const { return strip_; }
    // Page numbers (0 General … 5 CPU) in tab order.
    QList<int> Pages() const { return pages_; }
    QTabWidget* Tabs() const { return tabs_; }
    // The command last started by the jump to source (for tests).
    QStringList lastJumpCommand;

    void done(int code) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    void BuildPages();
    QWidget* TextPage(int header, const QString& html);
    QWidget* ListPage(int page);
    void Layout();
    void SaveGeometry();
    void SaveColumns();
    void ActivateRow(QTreeWidgetItem* item);

    bool expanded_ = false;
    bool resized_ = false;
    bool send_ = false;
    bool copy_ = false;
    int strip_ = 0;
    int showState_ = 1;
    int savedWidth_ = 745, savedHeight_ = 468, savedLeft_ = -1, savedTop_ = -1;
    bool finished_ = false;
    QList<int> pages_;
    QLabel* message_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QPushButton *ok_ = nullptr, *terminate_ = nullptr, *custom_ = nullptr, *details_ = nullptr;
    QCheckBox *sendBox_ = nullptr, *screenshotBox_ = nullptr, *copyBox_ = nullptr;
    QLabel* support_ = nullptr;
    QList<QTreeWidget*> lists_;
};

// The steps-to-reproduce request.
class TReproduceDialog : public TCrashDialogBase {
    Q_OBJECT
  public:
    TReproduceDialog(const TDialogRequest& request, TDialogSettings& settings,
                     QWidget* parent = nullptr);
    void done(int code) override;

  private:
    QPlainTextEdit* edit_ = nullptr;
};

// The send-progress window.
class TSendProgressWindow : public QDialog {
    Q_OBJECT
  public:
    explicit TSendProgressWindow(const TDialogRequest& request, QWidget* parent = nullptr);
    void SetStatus(const QString& text);
    void SetProgress(int percent);
    QString Status() const;
    int Progress() const;

  private:
    QLabel* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

// The send's result box of a `TDialogKind::ResultMessage` request: caption
// text 0, the request's message, the information or error icon, an OK
// button named "ok", kept above other windows.
std::unique_ptr<QMessageBox> CreateResultMessageBox(const TDialogRequest& request);

// Runs one dialog of the request's kind modally and returns the decision;
// the message box kind included.
TDialogResult RunCrashDialog(const TDialogRequest& request, TDialogSettings& settings);

}  // namespace crashlog::dialog
