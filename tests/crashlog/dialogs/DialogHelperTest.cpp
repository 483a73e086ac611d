// The dialog helper program over its pipe, as the processing pass uses it:
// answers, a helper killed mid-dialog, a hung helper, no display, and the
// wire format under damage.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "crashlog/CrashDialogs.h"
#include "crashlog/CrashOptions.h"
#include "support/ProgramRun.h"

using namespace crashlog;
using namespace std::chrono_literals;

namespace {

class DialogHelper : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/crashlog-dialog-XXXXXX";
        config_ = ::mkdtemp(tmpl);
        ::setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
        ::setenv("KESTAVO_CRASHLOG_DIALOG", KVO_DIALOG_HELPER, 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("KESTAVO_CRASHLOG_DIALOG_TEST");
    }
    void TearDown() override {
        ::unsetenv("KESTAVO_CRASHLOG_DIALOG_TEST");
        std::system(("rm -rf " + config_).c_str());
    }

    static TDialogRequest Request(TDialogKind kind) {
        TCrashModuleOptions options;
        options.SetMailMode(2);
        TDialogRequest request = MakeDialogRequest(options, kind, "Record locked by another user.");
        request.reportText = "the report";
        return request;
    }

    std::string config_;
};

// The helper processes started by this test process.
std::vector<pid_t> HelperChildren() {
    return kvo::support::ChildrenNamed("crashlog-dialog");
}

}  // namespace

TEST_F(DialogHelper, AnswersOverItsPipe) {
    // As during a pass: the whole report published in the environment, more
    // than one exec argument may hold.
    ::setenv("_BugReport", std::string(300000, 'r').c_str(), 1);
    struct Case {
        TDialogKind kind;
        const char* hook;
        bool send, cancelled;
        TDialogKind next;
    };
    const Case cases[] = {
        {TDialogKind::Classic, "click=send", true, false, TDialogKind::None},
        {TDialogKind::Classic, "click=dontSend", false, false, TDialogKind::None},
        {TDialogKind::Classic, "escape", false, true, TDialogKind::None},
        {TDialogKind::Detailed, "click=ok", true, false, TDialogKind::None},
        {TDialogKind::Detailed, "escape", false, true, TDialogKind::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hook);
        ::setenv("KESTAVO_CRASHLOG_DIALOG_TEST", c.hook, 1);
        TDialogResult r = ShowCrashDialog(Request(c.kind));
        EXPECT_EQ(r.warning, "");
        EXPECT_TRUE(r.shown);
        EXPECT_FALSE(r.consoleFallback);
        EXPECT_EQ(r.send, c.send);
        EXPECT_EQ(r.cancelled, c.cancelled);
        EXPECT_EQ(r.nextKind, c.next);
    }
    EXPECT_TRUE(HelperChildren().empty());
    ::unsetenv("_BugReport");
}

// The classic dialog's link leads to the forced-detailed dialog and then to
// the steps-to-reproduce request, each a helper of its own.
TEST_F(DialogHelper, ClassicLinkLeadsToDetailsAndTheReproduceRequest) {
    ::setenv("KESTAVO_CRASHLOG_DIALOG_TEST", "classic:link;detailed:click=ok;reproduce:escape", 1);
    TDialogRequest request = Request(TDialogKind::Classic);
    request.logFlags |= log_flags::ReproduceRequest;
    request.reproduceText = "  opened the book ";
    TDialogResult r = RunExceptionDialogs(request, true, false);
    EXPECT_EQ(r.warning, "");
    EXPECT_EQ(r.nextKind, TDialogKind::None);
    EXPECT_TRUE(r.send);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.reproduceText, "opened the book");

    // A logged duplicate is not asked about.
    ::setenv("KESTAVO_CRASHLOG_DIALOG_TEST", "detailed:click=ok;reproduce:click=ok", 1);
    request.kind = TDialogKind::Detailed;
    request.reproduceText = "kept";
    TDialogResult duplicate = RunExceptionDialogs(request, true, true);
    EXPECT_EQ(duplicate.reproduceText, "kept");
    EXPECT_EQ(duplicate.warning, "");
}

TEST(DialogPieces, ReportTextIsCutIntoThePages) {
    std::ifstream in(KVO_REPORT_FIXTURE, std::ios::binary);
    std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(report.empty());
    TDialogRequest request;
    SetReportPieces(request, report);
    EXPECT_EQ(request.reportText, report);
    EXPECT_EQ(request.generalText.rfind("CrashLog 6.0.20\r\n", 0), 0u);
    EXPECT_NE(request.callStackText.find("BTN_GOClick"), std::string::npos);
    EXPECT_NE(request.modulesText.find("libcrashlog.so"), std::string::npos);
    EXPECT_NE(request.processesText.find("4711|tarnwick"), std::string::npos);
    EXPECT_NE(request.assemblerText.find("call    0000555555556300"), std::string::npos);
    EXPECT_EQ(request.cpuText.rfind("Registers:\r\n", 0), 0u);
    EXPECT_FALSE(request.generalHtml.empty());
    EXPECT_FALSE(request.cpuHtml.empty());
}

TEST_F(DialogHelper, KilledMidDialogEndsAsCancelledWithAWarning) {
    auto started = std::chrono::steady_clock::now();
    auto answer = std::async(std::launch::async,
                             [] { return ShowCrashDialog(Request(TDialogKind::Classic)); });
    std::vector<pid_t> helpers;
    for (int i = 0; i < 100 && helpers.empty(); ++i) {
        std::this_thread::sleep_for(50ms);
        helpers = HelperChildren();
    }
    ASSERT_EQ(helpers.size(), 1u);
    std::this_thread::sleep_for(300ms);  // the dialog is up and waiting
    ::kill(helpers[0], SIGKILL);
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    TDialogResult r = answer.get();
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.send);
    EXPECT_EQ(r.warning, "[GUI] The dialog program ended without an answer.");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
}

TEST_F(DialogHelper, HungHelperIsTimedOutAndStopped) {
    ::setenv("KESTAVO_CRASHLOG_DIALOG_TEST", "hang", 1);
    TDialogLaunch launch;
    launch.heartbeatTimeoutMs = 800;
    auto started = std::chrono::steady_clock::now();
    TDialogResult r = ShowCrashDialog(Request(TDialogKind::Detailed), launch);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.warning, "[GUI] The dialog program stopped answering.");
    EXPECT_TRUE(HelperChildren().empty());
}

TEST_F(DialogHelper, WithoutDisplayOrHelperNothingBlocks) {
    ::unsetenv("QT_QPA_PLATFORM");
    const char* display = std::getenv("DISPLAY");
    std::string saved = display ? display : "";
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    TDialogResult console = ShowCrashDialog(Request(TDialogKind::Classic));
    EXPECT_TRUE(console.consoleFallback);
    EXPECT_FALSE(console.shown);
    EXPECT_TRUE(console.send);  // the configured delivery stands
    EXPECT_EQ(console.warning, "");
    if (!saved.empty()) ::setenv("DISPLAY", saved.c_str(), 1);

    // Offscreen, nobody could answer: only a helper named by a test is used.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("KESTAVO_CRASHLOG_DIALOG");
    EXPECT_TRUE(ShowCrashDialog(Request(TDialogKind::Classic)).consoleFallback);
    if (!saved.empty()) ::setenv("DISPLAY", saved.c_str(), 1);

    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("KESTAVO_CRASHLOG_DIALOG", "/nonexistent/crashlog-dialog", 1);
    TDialogResult missing = ShowCrashDialog(Request(TDialogKind::Classic));
    EXPECT_TRUE(missing.cancelled);
    EXPECT_NE(missing.warning.find("not found"), std::string::npos) << missing.warning;

    TSendProgress progress;
    EXPECT_FALSE(progress.Open(Request(TDialogKind::Progress)));
    progress.SetStatus("ignored");
    EXPECT_FALSE(progress.IsOpen());
}

TEST_F(DialogHelper, ProgressWindowFollowsTheSender) {
    TSendProgress progress;
    ASSERT_TRUE(progress.Open(Request(TDialogKind::Progress)));
    progress.SetStatus("Connecting");
    progress.SetStatus("Sending", 1, 2);
    progress.SetProgress(30);
    progress.SetProgress(10);  // lower: ignored
    progress.AddProgress(5);
    EXPECT_EQ(progress.Progress(), 35);
    EXPECT_TRUE(progress.IsOpen());
    progress.Close();
    EXPECT_FALSE(progress.IsOpen());
    EXPECT_TRUE(HelperChildren().empty());
}

// The send's result box is answered as soon as it is up, so nobody waits
// for the user; it stays until closed.  A clipboard copy is answered once
// the clipboard holds the text.
TEST_F(DialogHelper, ResultBoxAndClipboardCopyAnswerAtOnce) {
    TCrashModuleOptions options;
    TDialogLaunch launch;
    launch.totalTimeoutMs = 5000;
    TDialogResult box = ShowResultMessage(options, 144, true, launch);
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.warning, "");
    std::this_thread::sleep_for(500ms);
    std::vector<pid_t> open = HelperChildren();
    EXPECT_EQ(open.size(), 1u);
    for (pid_t pid : open) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    // Its OK ends the helper.
    ::setenv("KESTAVO_CRASHLOG_DIALOG_TEST", "click=ok", 1);
    box = ShowResultMessage(options, 145, false, launch);
    EXPECT_TRUE(box.shown);
    for (int i = 0; i < 100 && !HelperChildren().empty(); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(HelperChildren().empty());

    TDialogResult copy = CopyTextToClipboard("the report", launch);
    EXPECT_TRUE(copy.copy);
    EXPECT_FALSE(copy.consoleFallback);
    EXPECT_EQ(copy.warning, "");
    // Offscreen the clipboard lives in the helper alone: nobody to serve.
    for (int i = 0; i < 100 && !HelperChildren().empty(); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(HelperChildren().empty());
}

TEST(DialogProtocol, RoundTripsAndRefusesDamage) {
    TDialogRequest q;
    q.kind = TDialogKind::Detailed;
    q.texts = {{3, "Error occurred"}, {157, "Invalid email."}};
    q.message = std::string("with\0zero and \xC3\xA9", 16);
    q.send = true;
    q.dialogFlags = 0x018F;
    q.autoCloseSeconds = 5;
    q.parentWindow = 0x1c00007;
    q.callStackText = std::string(100000, '|');
    q.errorIcon = true;
    std::string frame = EncodeDialogRequest(q);
    TDialogRequest back;
    ASSERT_TRUE(DecodeDialogRequest(frame, back));
    EXPECT_EQ(back.kind, q.kind);
    EXPECT_EQ(back.texts, q.texts);
    EXPECT_EQ(back.message, q.message);
    EXPECT_EQ(back.dialogFlags, q.dialogFlags);
    EXPECT_EQ(back.autoCloseSeconds, 5u);
    EXPECT_EQ(back.parentWindow, q.parentWindow);
    EXPECT_EQ(back.callStackText, q.callStackText);
    EXPECT_TRUE(back.send);
    EXPECT_TRUE(back.errorIcon);

    // Every cut of the frame is refused, never read past.
    for (std::size_t cut = 0; cut < 400; ++cut)
        EXPECT_FALSE(DecodeDialogRequest(std::string_view(frame).substr(0, cut), back)) << cut;
    std::string other = frame;
    other[5] = 9;  // another protocol version
    std::string error;
    EXPECT_FALSE(DecodeDialogRequest(other, back, &error));
    EXPECT_EQ(error, "unsupported protocol version");
    TDialogResult result;
    EXPECT_FALSE(DecodeDialogResult(frame, result, &error));  // a request is not an answer
}
