// The exception dialogs driven in-process (offscreen): layout, texts, the
// decision flags of every button, auto-close, "CrashLog.ini".
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "crashlog/CrashOptions.h"
#include "crashlog/dialog/CrashDialogWidgets.h"

using namespace crashlog;
using namespace crashlog::dialog;

namespace {

const char* const kCallStack =
    "Call Stack Information:\r\n"
    "---------------------------------------------------------------\r\n"
    "|Address         |Module  |Unit      |Class |Procedure  |Line  |\r\n"
    "---------------------------------------------------------------\r\n"
    "|*Exception Thread: ID=4711; Priority=0; Class=; [Main]        |\r\n"
    "|----------------------------------------------------------------|\r\n"
    "|00005555555561A4|tarnwick|uresetapp.cpp|TForm1|BTN_GOClick|120[3]|\r\n"
    "|0000555555556010|tarnwick|main.cpp  |      |main       |14    |\r\n"
    "|                                                              |\r\n"
    "|Running Thread: ID=4712; Priority=0; Class=TWatcher           |\r\n"
    "|00007FFFF7A01000|libc.so.6|          |      |clone      |      |\r\n"
    "---------------------------------------------------------------\r\n\r\n";

class DialogWidgets : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance()) {
            static int argc = 1;
            static char arg0[] = "test";
            static char* argv[] = {arg0, nullptr};
            new QApplication(argc, argv);
        }
    }

    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        settings_ = std::make_unique<TDialogSettings>(dir_.filePath("CrashLog.ini"));
    }

    // A request as the pass makes it: default options with e-mail delivery.
    TDialogRequest Request(TDialogKind kind, std::uint8_t mailMode = 2) {
        TCrashModuleOptions options;
        options.SetMailMode(mailMode);
        TDialogRequest request = MakeDialogRequest(options, kind, "Record locked by another user.");
        request.callStackText = kCallStack;
        request.generalText =
            "CrashLog 6.0.20\r\n\r\nApplication:\r\n---\r\n  1.1 Start Date: today";
        return request;
    }

    std::vector<std::pair<QString, QString>> boxes_;
    void Answer(TCrashDialogBase& dialog) {
        dialog.messageBox = [this](const QString& caption, const QString& text) {
            boxes_.emplace_back(caption, text);
        };
    }

    QTemporaryDir dir_;
    std::unique_ptr<TDialogSettings> settings_;
};

template <typename T>
T* Child(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
}

}  // namespace

TEST_F(DialogWidgets, ClassicStacksOnlyTheOfferedControls) {
    struct Case {
        const char* name;
        std::uint8_t mailMode;
        std::uint8_t logFlags;
        std::uint16_t dialogFlags;
        bool showTerminate;
        bool sendShown, detailsShown, commentShown, emailShown, restartShown;
    };
    const Case cases[] = {
        {"defaults with SMTP", 2, 0x30, 0x018F, false, true, true, false, true, false},
        {"no delivery", 0, 0x30, 0x018F, false, false, true, false, false, false},
        {"mail client only: no e-mail field", 1, 0x30, 0x018F, false, true, true, false, false,
         false},
        {"reproduce request, no details", 2, 0x32, 0x0187, false, true, false, true, true, false},
        {"terminate button due", 2, 0x30, 0x018F, true, true, true, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TDialogRequest request = Request(TDialogKind::Classic, c.mailMode);
        request.logFlags = c.logFlags;
        request.dialogFlags = c.dialogFlags;
        request.showTerminateButton = c.showTerminate;
        TClassicDialog dialog(request, *settings_);
        dialog.show();
        EXPECT_EQ(dialog.width(), 419);
        EXPECT_EQ(dialog.windowTitle(), "Error occurred");
        EXPECT_EQ(Child<QLabel>(dialog, "headline")->text(),
                  "The application has encountered a problem. We are sorry for the inconvenience.");
        EXPECT_EQ(Child<QPlainTextEdit>(dialog, "message")->toPlainText(),
                  "Record locked by another user.");
        EXPECT_EQ(Child<QLabel>(dialog, "please")->isVisible(), c.sendShown);
        EXPECT_EQ(Child<QPushButton>(dialog, "send")->isVisible(), c.sendShown);
        EXPECT_EQ(Child<QLabel>(dialog, "clickHere")->isVisible(), c.detailsShown);
        EXPECT_EQ(Child<QPlainTextEdit>(dialog, "comment")->isVisible(), c.commentShown);
        EXPECT_EQ(Child<QLineEdit>(dialog, "email")->isVisible(), c.emailShown);
        EXPECT_EQ(Child<QCheckBox>(dialog, "restart")->isVisible(), c.restartShown);
        EXPECT_EQ(Child<QPushButton>(dialog, "dontSend")->text(),
                  c.sendShown ? "&Don't Send" : "&OK");
        EXPECT_EQ(Child<QPushButton>(dialog, "custom")->isVisible(), false);

        // Stacked from the top: every shown control below the one before,
        // the buttons last, ten pixels above the bottom.
        int y = 0;
        for (const char* name : {"message", "restart", "please", "detailsText", "toSee", "howTo",
                                 "comment", "email", "dontSend"}) {
            QWidget* w = dialog.findChild<QWidget*>(name);
            if (!w->isVisible()) continue;
            EXPECT_GE(w->y(), y) << name;
            y = w->geometry().bottom();
        }
        auto* dontSend = Child<QPushButton>(dialog, "dontSend");
        EXPECT_EQ(dontSend->geometry().right() + 1, 405);
        EXPECT_EQ(dialog.height(), dontSend->geometry().bottom() + 1 + 10);
    }
}

TEST_F(DialogWidgets, ClassicButtonsSetTheDecisionFlags) {
    struct Case {
        const char* action;
        bool sendAvailable;
        bool tickRestart;
        bool send, cancelled, terminate, custom;
        TDialogKind next;
    };
    const Case cases[] = {
        {"send", true, false, true, false, false, false, TDialogKind::None},
        {"dontSend", true, false, false, false, false, false, TDialogKind::None},
        // Nothing offered (a duplicate): the configured report still goes.
        {"dontSend", false, false, true, false, false, false, TDialogKind::None},
        {"escape", true, true, false, true, false, false, TDialogKind::None},
        {"close", true, false, true, false, false, false, TDialogKind::None},
        {"link", true, false, true, false, false, false, TDialogKind::Detailed},
        {"custom", true, false, true, false, false, true, TDialogKind::None},
        {"dontSend", true, true, false, false, true, false, TDialogKind::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + (c.sendAvailable ? "" : " (nothing offered)"));
        TDialogRequest request = Request(TDialogKind::Classic);
        request.sendAvailable = c.sendAvailable;
        request.showTerminateButton = true;
        request.dialogFlags |= dialog_flags::CustomButton;
        request.logFlags |= log_flags::ReproduceRequest;
        TClassicDialog dialog(request, *settings_);
        dialog.show();
        Child<QCheckBox>(dialog, "restart")->setChecked(c.tickRestart);
        Child<QPlainTextEdit>(dialog, "comment")->setPlainText("  pressed Go  \n");
        std::string action = c.action;
        if (action == "escape")
            dialog.reject();
        else if (action == "close")
            dialog.close();
        else if (action == "link")
            emit Child<QLabel>(dialog, "clickHere")->linkActivated("details");
        else
            Child<QPushButton>(dialog, c.action)->click();
        EXPECT_FALSE(dialog.isVisible());
        const TDialogResult& r = dialog.Result();
        EXPECT_EQ(r.send, c.send);
        EXPECT_EQ(r.cancelled, c.cancelled);
        EXPECT_EQ(r.terminateRequested, c.terminate);
        EXPECT_EQ(r.customButton, c.custom);
        EXPECT_EQ(r.nextKind, c.next);
        EXPECT_EQ(r.reproduceText, "pressed Go");
    }
}

TEST_F(DialogWidgets, ClassicEmailIsCheckedAndRemembered) {
    TDialogRequest request = Request(TDialogKind::Classic);
    {
        TClassicDialog dialog(request, *settings_);
        Answer(dialog);
        dialog.show();
        auto* email = Child<QLineEdit>(dialog, "email");
        email->setText("anna@example");  // "@" without "."
        Child<QPushButton>(dialog, "send")->click();
        ASSERT_EQ(boxes_.size(), 1u);
        EXPECT_EQ(boxes_[0], std::make_pair(QString("Error."), QString("Invalid email.")));
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_FALSE(dialog.Result().emailChanged);

        email->setText("  anna@example.org ");
        Child<QPushButton>(dialog, "send")->click();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.Result().userEmail, "anna@example.org");
        EXPECT_TRUE(dialog.Result().emailChanged);
    }
    EXPECT_EQ(settings_->String("User", "Email"), "anna@example.org");
    // The next dialog offers it; an emptied field is accepted and stores nothing.
    TClassicDialog again(request, *settings_);
    again.show();
    EXPECT_EQ(Child<QLineEdit>(again, "email")->text(), "anna@example.org");
    Child<QLineEdit>(again, "email")->clear();
    Child<QPushButton>(again, "send")->click();
    EXPECT_FALSE(again.Result().emailChanged);
    EXPECT_EQ(settings_->String("User", "Email"), "anna@example.org");
}

TEST_F(DialogWidgets, AutoCloseCountsSecondsAndInputRestartsTheCount) {
    for (TDialogKind kind : {TDialogKind::Classic, TDialogKind::Detailed}) {
        SCOPED_TRACE(static_cast<int>(kind));
        TDialogRequest request = Request(kind);
        request.autoCloseSeconds = 5;
        std::unique_ptr<TCrashDialogBase> dialog;
        if (kind == TDialogKind::Classic)
            dialog = std::make_unique<TClassicDialog>(request, *settings_);
        else
            dialog = std::make_unique<TDetailedDialog>(request, *settings_);
        dialog->show();
        for (int i = 0; i < 4; ++i)
            dialog->AutoCloseTick();
        EXPECT_TRUE(dialog->isVisible());
        QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), QPointF(10, 10), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(dialog.get(), &move);
        EXPECT_EQ(dialog->AutoCloseCount(), 0);
        for (int i = 0; i < 4; ++i)
            dialog->AutoCloseTick();
        EXPECT_TRUE(dialog->isVisible());
        dialog->AutoCloseTick();
        EXPECT_FALSE(dialog->isVisible());
        // Closed by the timer: the configured report is still sent.
        EXPECT_TRUE(dialog->Result().send);
        EXPECT_FALSE(dialog->Result().cancelled);
    }
}

TEST_F(DialogWidgets, DetailedTabsFollowTheLogFlags) {
    struct Case {
        std::uint8_t logFlags;
        std::uint8_t firstTab;
        QStringList tabs;
        int current;
    };
    const Case cases[] = {
        {0x30, 0, {"General", "Call Stack", "Modules", "Processes", "Assembler", "CPU"}, 0},
        {0x20, 4, {"General", "Call Stack", "Assembler", "CPU"}, 2},
        {0x00, 5, {"General", "Call Stack"}, 0},
        {0x10, 3, {"General", "Call Stack", "Modules", "Processes"}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logFlags);
        TDialogRequest request = Request(TDialogKind::Detailed);
        request.logFlags = c.logFlags;
        request.firstTab = c.firstTab;
        TDetailedDialog dialog(request, *settings_);
        QStringList tabs;
        for (int i = 0; i < dialog.Tabs()->count(); ++i)
            tabs << dialog.Tabs()->tabText(i);
        EXPECT_EQ(tabs, c.tabs);
        EXPECT_EQ(dialog.Tabs()->currentIndex(), c.current);
    }
}

TEST_F(DialogWidgets, DetailedButtonsSetTheDecisionFlags) {
    struct Case {
        const char* action;
        bool tickSend, tickShot, tickCopy;
        bool send, screenshot, copy, cancelled, terminate;
    };
    const Case cases[] = {
        {"ok", true, true, true, true, true, true, false, false},
        {"ok", false, false, false, false, false, false, false, false},
        // Escape clears send and copy even when they were ticked.
        {"escape", true, true, true, false, true, false, true, false},
        {"terminate", true, false, false, true, false, false, false, true},
        {"close", true, true, false, true, true, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        TDialogRequest request = Request(TDialogKind::Detailed);
        request.showTerminateButton = true;
        TDetailedDialog dialog(request, *settings_);
        dialog.show();
        auto* sendBox = Child<QCheckBox>(dialog, "sendBox");
        auto* shotBox = Child<QCheckBox>(dialog, "screenshotBox");
        EXPECT_TRUE(sendBox->isChecked());  // send flag and SendReportTicked
        EXPECT_TRUE(shotBox->isChecked());
        EXPECT_FALSE(Child<QCheckBox>(dialog, "copyBox")->isChecked());
        sendBox->setChecked(c.tickSend);
        EXPECT_EQ(shotBox->isEnabled(), c.tickSend);
        shotBox->setChecked(c.tickShot);
        Child<QCheckBox>(dialog, "copyBox")->setChecked(c.tickCopy);
        std::string action = c.action;
        if (action == "escape")
            dialog.reject();
        else if (action == "close")
            dialog.close();
        else
            Child<QPushButton>(dialog, c.action)->click();
        const TDialogResult& r = dialog.Result();
        EXPECT_EQ(r.send, c.send);
        EXPECT_EQ(r.screenshot, c.screenshot);
        EXPECT_EQ(r.copy, c.copy);
        EXPECT_EQ(r.cancelled, c.cancelled);
        EXPECT_EQ(r.terminateRequested, c.terminate);
        // The choices go back into DialogFlags for later exceptions.
        EXPECT_EQ((r.dialogFlags & dialog_flags::SendReportTicked) != 0, c.send);
        EXPECT_EQ((r.dialogFlags & dialog_flags::ScreenshotTicked) != 0, c.screenshot);
        EXPECT_EQ(r.dialogFlags & ~3u, request.dialogFlags & ~3u);
    }
}

TEST_F(DialogWidgets, DetailedCompactAndExpandedLayouts) {
    TDialogRequest request = Request(TDialogKind::Detailed);
    TDetailedDialog dialog(request, *settings_);
    dialog.show();
    EXPECT_FALSE(dialog.Expanded());
    EXPECT_EQ(dialog.StripHeight(), 34);  // send and screenshot offered
    auto* details = Child<QPushButton>(dialog, "details");
    EXPECT_EQ(details->text(), "&Details >>");
    EXPECT_FALSE(dialog.Tabs()->isVisible());
    EXPECT_EQ(Child<QLabel>(dialog, "text")->text(), "Record locked by another user.");
    EXPECT_GE(dialog.width(), 340);
    details->click();
    EXPECT_TRUE(dialog.Expanded());
    EXPECT_EQ(details->text(), "<< &Details");
    EXPECT_TRUE(dialog.Tabs()->isVisible());
    EXPECT_EQ(Child<QLabel>(dialog, "text")->text(),
              "An error has occurred during program execution.\r\nPlease read the following "
              "information for further "
              "details.");
    // Buttons sit 32 above the strip; the tabs fill the space above them.
    auto* ok = Child<QPushButton>(dialog, "ok");
    EXPECT_EQ(ok->y(), dialog.height() - 34 - 32);
    EXPECT_EQ(dialog.Tabs()->geometry(),
              QRect(4, 52, dialog.width() - 8, dialog.height() - 90 - 34));

    // Forced-detailed: opens expanded, no Details button.
    request.forcedDetailed = true;
    TDetailedDialog forced(request, *settings_);
    forced.show();
    EXPECT_TRUE(forced.Expanded());
    EXPECT_FALSE(Child<QPushButton>(forced, "details")->isVisible());
}

TEST_F(DialogWidgets, DetailedGeometryAndColumnsPersist) {
    QRect work = QApplication::primaryScreen()->availableGeometry();
    // A rectangle from a monitor that is gone gives the default, centred.
    settings_->Set("Coordinates", "Left", "5000");
    settings_->Set("Coordinates", "Top", "4000");
    settings_->Set("Coordinates", "Width", "600");
    settings_->Set("Coordinates", "Height", "300");
    TDialogRequest request = Request(TDialogKind::Detailed);
    request.logFlags = 0x30;
    request.forcedDetailed = true;
    {
        TDetailedDialog dialog(request, *settings_);
        dialog.show();
        QSize expected = QSize(745, 468 + 34).boundedTo(work.size());
        EXPECT_EQ(dialog.size(), expected);
        // Centred (the offscreen frame may shift it by a pixel or two).
        EXPECT_NEAR(dialog.geometry().center().x(), work.center().x(), 4);
        EXPECT_NEAR(dialog.geometry().center().y(), work.center().y(), 4);

        dialog.resize(700, 434);
        dialog.move(work.left() + 10, work.top() + 20);
        auto* modules = dialog.findChild<QTreeWidget*>("modules");
        ASSERT_NE(modules, nullptr);
        modules->setColumnWidth(5, 123);  // Modified
        modules->setColumnWidth(6, 321);  // Path
        Child<QPushButton>(dialog, "ok")->click();
    }
    QSettings ini(settings_->FileName(), QSettings::IniFormat);
    EXPECT_EQ(ini.value("Coordinates/Width").toString(), "700");
    EXPECT_EQ(ini.value("Coordinates/Height").toString(), "400");  // without the strip
    EXPECT_EQ(ini.value("Coordinates/WindowsState").toString(), "1");
    EXPECT_EQ(ini.value("Coordinates/ColMod6").toString(), "123");
    EXPECT_EQ(ini.value("Coordinates/ColMod5").toString(), "321");
    EXPECT_EQ(ini.value("Coordinates/Col0").toString(), "140");

    TDetailedDialog again(request, *settings_);
    again.show();
    EXPECT_EQ(again.size(), QSize(700, 434));
    EXPECT_EQ(again.pos(), QPoint(work.left() + 10, work.top() + 20));
}

TEST_F(DialogWidgets, CallStackPageGroupsThreadsAndJumpsToSource) {
    TDialogRequest request = Request(TDialogKind::Detailed);
    request.forcedDetailed = true;
    TDetailedDialog dialog(request, *settings_);
    dialog.show();
    auto* list = dialog.findChild<QTreeWidget*>("callStack");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    QTreeWidgetItem* exception = list->topLevelItem(0);
    EXPECT_EQ(exception->text(0), "Exception Thread: ID=4711; Priority=0; Class=; [Main]");
    EXPECT_EQ(exception->foreground(0).color(), QColor(128, 0, 0));
    EXPECT_EQ(exception->childCount(), 2);
    EXPECT_EQ(list->topLevelItem(1)->foreground(0).color(), QColor(0, 0, 128));
    EXPECT_EQ(exception->child(0)->text(4), "BTN_GOClick");

    // No command configured: nothing is started.
    emit list->itemActivated(exception->child(0), 0);
    EXPECT_TRUE(dialog.lastJumpCommand.isEmpty());
    settings_->Set("Tools", "JumpToSource", "/bin/true --goto %UNIT%:%LINE%:%OFFSET%");
    emit list->itemActivated(exception->child(0), 0);
    EXPECT_EQ(dialog.lastJumpCommand, QStringList({"/bin/true", "--goto", "uresetapp.cpp:120:3"}));
    dialog.lastJumpCommand.clear();
    emit list->itemActivated(exception, 0);  // a group row has no source
    EXPECT_TRUE(dialog.lastJumpCommand.isEmpty());

    struct Row {
        QString line;
        int number, offset;
    };
    for (const Row& r : {Row{"120[3]", 120, 3}, Row{"120", 120, -1}, Row{"", 0, -1}}) {
        TSourceLocation location = ParseCallStackRow({"0", "m", "u", "c", "p", r.line});
        EXPECT_EQ(location.line, r.number) << r.line.toStdString();
        EXPECT_EQ(location.offset, r.offset) << r.line.toStdString();
    }
}

TEST_F(DialogWidgets, ReproduceRequestKeepsTheTrimmedText) {
    TDialogRequest request = Request(TDialogKind::Reproduce);
    request.reproduceText = "first";
    TReproduceDialog dialog(request, *settings_);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Request");
    EXPECT_EQ(Child<QLabel>(dialog, "label")->text(),
              "Please describe the steps to reproduce the error:");
    auto* edit = Child<QPlainTextEdit>(dialog, "edit");
    EXPECT_EQ(edit->toPlainText(), "first");
    edit->setPlainText("\n  opened the book, pressed Go \n");
    dialog.reject();  // Escape keeps the text as the button does
    EXPECT_EQ(dialog.Result().reproduceText, "opened the book, pressed Go");
}

TEST_F(DialogWidgets, StayOnTopMakesTheDialogTopmost) {
    TDialogRequest request = Request(TDialogKind::Classic);
    TClassicDialog normal(request, *settings_);
    EXPECT_FALSE(normal.windowFlags() & Qt::WindowStaysOnTopHint);
    request.dialogFlags |= dialog_flags::StayOnTop;
    TClassicDialog topmost(request, *settings_);
    EXPECT_TRUE(topmost.windowFlags() & Qt::WindowStaysOnTopHint);
}

// The send's result box: the caption and texts of the options, the icon by
// the outcome, above other windows.
TEST_F(DialogWidgets, ResultBoxShowsTheOutcomeText) {
    struct Row {
        int text;
        bool ok;
        const char* shown;
        QMessageBox::Icon icon;
    };
    const Row rows[] = {
        {144, true, "The message was sent successfully.", QMessageBox::Information},
        {145, false, "Sorry, sending the message didn't work.", QMessageBox::Critical},
        {146, true, "These BUG is just closed.\r\nContact the program support to obtain an update.",
         QMessageBox::Information},
    };
    TCrashModuleOptions options;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::unique_ptr<QMessageBox> box =
            CreateResultMessageBox(MakeResultMessageRequest(options, row.text, row.ok));
        EXPECT_EQ(box->windowTitle(), "Information.");
        EXPECT_EQ(box->text(), row.shown);
        EXPECT_EQ(box->icon(), row.icon);
        EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
        ASSERT_NE(Child<QPushButton>(*box, "ok"), nullptr);
    }
    // A text the program changed is the one shown.
    options.SetText(145, "Not sent: %_ExceptMsg%");
    ::setenv("_ExceptMsg", "disk full", 1);
    EXPECT_EQ(CreateResultMessageBox(MakeResultMessageRequest(options, 145, false))->text(),
              "Not sent: disk full");
    ::unsetenv("_ExceptMsg");
}
