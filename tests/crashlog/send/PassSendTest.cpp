// The send as the processing pass starts it: in line or in the background
// on this test program's own library copy (a caught exception handed over
// the way a framework does it), the clipboard copy of a failed send and the
// result box through the real dialog helper on Xvfb or on the console, and a
// program that ends while its report is still on the way.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "SendFixture.h"
#include "capture/CaptureInternal.h"
#include "crashlog/CrashMain.h"
#include "crashlog/CrashOptions.h"
#include "crashlog/CrashSend.h"
#include "send/SendFromPass.h"
#include "support/ProgramRun.h"
#include "support/Xvfb.h"

// Last: Xlib's macros (Status, None, Bool) would rename what follows them.
#include <X11/Xlib.h>

using namespace crashlog;
using namespace sendtest;
using namespace std::chrono_literals;

namespace {

// An SMTP server that greets only after `greetingDelay`, so that a test can
// tell a send that is still on its way from one that is done.
class SlowSmtp {
  public:
    explicit SlowSmtp(std::chrono::milliseconds greetingDelay)
        : server_([this, greetingDelay](int fd) { Serve(fd, greetingDelay); }) {}
    int port() const { return server_.port(); }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(m_);
        return messages_;
    }

  private:
    void Serve(int fd, std::chrono::milliseconds delay) {
        std::this_thread::sleep_for(delay);
        SendAll(fd, "220 slow test server\r\n");
        for (;;) {
            const std::string line = ReadLine(fd);
            if (line.empty()) return;
            if (line.rfind("DATA", 0) != 0) {
                SendAll(fd, "250 OK\r\n");
                continue;
            }
            SendAll(fd, "354 go ahead\r\n");
            std::string message = ReadLine(fd, true);
            if (message.empty()) return;
            {
                std::lock_guard<std::mutex> lock(m_);
                messages_.push_back(std::move(message));
            }
            SendAll(fd, "250 OK\r\n");
        }
    }
    std::mutex m_;
    std::vector<std::string> messages_;
    RawServer server_;  // last: its threads stop before the rest goes
};

// A loopback port nobody listens on.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

void MailTo(TCrashModuleOptions& options, int port, const std::string& subject) {
    options.SetMailMode(2);
    options.SetSmtpServer("127.0.0.1");
    options.SetSmtpServerPort(uint16_t(port));
    options.SetSmtpSender("bugs@example.test");
    options.SetMailRecipients("dev@example.test");
    options.SetMailSubject(subject);
}

// The dialog helpers this test process started that are still running.
std::vector<pid_t> HelperChildren() {
    return kvo::support::ChildrenNamed("crashlog-dialog");
}

struct Warnings {
    std::vector<std::string> list;
    std::function<void(TCrashLogErrorCode, const std::string&)> Sink() {
        return [this](TCrashLogErrorCode code, const std::string& text) {
            list.push_back(std::string(ErrorCodeName(code)) + " " + text);
        };
    }
    bool Has(const std::string& line) const {
        return std::find(list.begin(), list.end(), line) != list.end();
    }
};

// A record as the pass hands it over, the pass running on this thread.
TCrashExceptionRecord Record(const std::string& report) {
    TCrashExceptionRecord record;
    record.ClassName = "EDemoFailure";
    record.Message = "demo";
    record.Report = report;
    record.RaiseThreadId = capture::CurrentThreadId();
    return record;
}

// ---- through the real pass ---------------------------------------------------------------

class EDemoFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PassSend : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!CrashLogActive()) GTEST_SKIP() << "the library is passive (no library data)";
        options_ = CurrentCrashLogOptions();
        saved_ = options_->Values();
        options_->SetRepeatAction(0);
        options_->SetLogFlags(0);
        options_->SetCallStackFlags(0);
        options_->SetDialogKind(0);
        options_->SetStoreInLogFile(false);
    }
    void TearDown() override {
        if (!options_) return;
        EXPECT_TRUE(WaitForBackgroundSends(30000));
        options_->SetValues(saved_);
        ActionNotifyHandler = nullptr;
    }
    static bool HandOver(const std::string& message) {
        try {
            throw EDemoFailure(message);
        } catch (...) {
            return HandleCurrentException(coFramework);
        }
    }

    // The send events as the handlers see them.
    struct Seen {
        int action;
        uint64_t thread;
        bool reportOfThePass, objectGone, optionsCopied;
    };
    std::mutex seenLock_;
    std::vector<Seen> seen_;
    void WatchSendEvents() {
        ActionNotifyHandler = [this](const TCrashExceptionRecord& rec, int action, bool&) {
            if (action != raBeforeSendEmail && action != raAfterSendEmail) return;
            std::lock_guard<std::mutex> lock(seenLock_);
            seen_.push_back({action, capture::CurrentThreadId(), rec.Report == LastBugReport(),
                             rec.RaisedObject == nullptr, rec.Options != options_});
        };
    }
    std::vector<Seen> SeenEvents() {
        std::lock_guard<std::mutex> lock(seenLock_);
        return seen_;
    }

    TCrashModuleOptionsEx* options_ = nullptr;
    TCrashOptionValues saved_;
};

}  // namespace

TEST_F(PassSend, InLineTheReportIsOutWhenThePassReturnsInTheBackgroundLater) {
    struct Row {
        const char* name;
        bool background;
    };
    for (const Row row : {Row{"in line", false}, Row{"in the background", true}}) {
        SCOPED_TRACE(row.name);
        SlowSmtp smtp(1500ms);
        MailTo(*options_, smtp.port(), row.name);
        options_->SetSendFlags(row.background ? send_flags::SendInBackground : 0);
        seen_.clear();
        WatchSendEvents();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(HandOver(row.name));
        const auto passTime = std::chrono::steady_clock::now() - start;
        const uint64_t self = capture::CurrentThreadId();
        if (!row.background) {
            EXPECT_GE(passTime, 1500ms);
            EXPECT_EQ(smtp.Messages().size(), 1u);
            ASSERT_EQ(SeenEvents().size(), 2u);
            // The pass's own events run on the thread that raised.
            EXPECT_EQ(SeenEvents()[0].thread, self);
            EXPECT_FALSE(SeenEvents()[0].objectGone);
            continue;
        }
        EXPECT_LT(passTime, 1400ms);
        EXPECT_TRUE(smtp.Messages().empty());
        EXPECT_EQ(BackgroundSendsRunning(), 1);
        // The send thread is the library's: not among the program's threads
        // that a pass reports and pauses, where a thread of the program is.
        for (int i = 0; i < 100 && SeenEvents().empty(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(SeenEvents().size(), 1u);
        const uint64_t sender = SeenEvents()[0].thread;
        std::atomic<uint64_t> userThread{0};
        std::atomic<bool> release{false};
        std::thread user([&] {
            userThread = capture::CurrentThreadId();
            while (!release)
                std::this_thread::sleep_for(5ms);
        });
        while (!userThread)
            std::this_thread::sleep_for(1ms);
        bool userListed = false, senderListed = false;
        for (const ThreadEntry& t : capture::RegistrySnapshot()) {
            userListed = userListed || t.ThreadId == userThread;
            senderListed = senderListed || t.ThreadId == sender;
        }
        release = true;
        user.join();
        EXPECT_TRUE(userListed);
        EXPECT_FALSE(senderListed);

        ASSERT_TRUE(WaitForBackgroundSends(20000));
        ASSERT_EQ(smtp.Messages().size(), 1u);
        EXPECT_NE(smtp.Messages()[0].find("Subject: in the background\r\n"), std::string::npos);
        const std::vector<Seen> events = SeenEvents();
        ASSERT_EQ(events.size(), 2u);
        for (const Seen& e : events) {
            SCOPED_TRACE(e.action);
            EXPECT_NE(e.thread, self);
            EXPECT_TRUE(e.reportOfThePass);
            EXPECT_TRUE(e.objectGone);
            EXPECT_TRUE(e.optionsCopied);
        }
    }
}

// Another throw site: a later pass's exception has another raise address.
static __attribute__((noinline)) bool HandOverElsewhere(const std::string& message) {
    try {
        throw EDemoFailure(message);
    } catch (...) {
        return HandleCurrentException(coFramework);
    }
}

// A send in the background goes on while later passes process other
// exceptions: it describes its own exception (the variables of its texts as
// its pass set them, its warning with its raise address), and its warning
// is kept beside the state those passes write without a data race (which
// the thread sanitizer shows on this test).
TEST_F(PassSend, ABackgroundSendKeepsItsOwnExceptionWhileLaterPassesRun) {
    SlowSmtp smtp(300ms);
    // The upload's server takes the request, holds it and hangs up: the send
    // thread warns while the passes below run.
    RawServer web([](int fd) {
        ReadLine(fd);
        std::this_thread::sleep_for(300ms);
    });
    MailTo(*options_, smtp.port(), "Bug: %_ExceptMsg%");
    options_->SetMailBody("It was %_ExceptMsg%.");
    options_->SetWebMode(1);
    options_->SetWebAddress("http://127.0.0.1:" + std::to_string(web.port()) + "/upload");
    options_->SetSendFlags(send_flags::SendInBackground);
    // No clipboard copy of the failed upload: no helper left serving it.
    options_->SetBehaviourFlags(
        uint16_t(options_->BehaviourFlags() & ~behaviour_flags::ClipboardOnSendFailure));

    // The first send expands nothing before the second pass has set its own
    // variables.
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool secondDone = false;
        std::atomic<uintptr_t> firstAddress{0};
    };
    auto gate = std::make_shared<Gate>();  // the send may outlive a failed test's body
    ActionNotifyHandler = [gate](const TCrashExceptionRecord& rec, int action, bool&) {
        if (action != raBeforeSendEmail || rec.Message != "first failure") return;
        gate->firstAddress = rec.RaiseAddress;
        std::unique_lock lock(gate->m);
        gate->cv.wait_for(lock, 10s, [&] { return gate->secondDone; });
    };
    testing::internal::CaptureStderr();
    EXPECT_FALSE(HandOver("first failure"));
    // The later passes send nothing themselves.
    options_->SetMailMode(0);
    options_->SetWebMode(0);
    EXPECT_FALSE(HandOverElsewhere("second failure"));
    {
        std::lock_guard lock(gate->m);
        gate->secondDone = true;
    }
    gate->cv.notify_all();
    int passes = 1;
    for (; passes < 2000 && BackgroundSendsRunning() > 0; ++passes)
        HandOverElsewhere("later failure " + std::to_string(passes));
    const bool ended = WaitForBackgroundSends(20000);
    const std::string warnings = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_GT(passes, 1) << "no pass ran while the send went on";

    ASSERT_EQ(smtp.Messages().size(), 1u);
    const std::string mail = smtp.Messages()[0];
    EXPECT_NE(mail.find("Subject: Bug: first failure\r\n"), std::string::npos) << mail;
    EXPECT_NE(mail.find("\r\n\r\nIt was first failure.\r\n"), std::string::npos) << mail;

    char address[32];
    snprintf(address, sizeof address, "%0*llX", int(sizeof(void*) * 2),
             static_cast<unsigned long long>(gate->firstAddress.load()));
    EXPECT_NE(warnings.find("Code: ceWebHTTPError - Address: " + std::string(address) + " - "),
              std::string::npos)
        << warnings;
}

// The report in flight is not lost when the program ends right after the
// pass: every way out waits for the send.
TEST(SendAtExit, AProgramThatEndsRightAfterThePassStillDelivers) {
    struct Row {
        const char* how;
        int status;
        const char* out;
    };
    const Row rows[] = {
        {"return", 0, "running 1\n"},  // main returned with the send on its way
        {"terminate", 1, ""},
        {"uncaught", 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        SlowSmtp smtp(1500ms);
        std::string out;
        const auto start = std::chrono::steady_clock::now();
        const int status =
            RunCommand({KVO_SEND_AND_EXIT, std::to_string(smtp.port()), row.how}, &out);
        if (status == 3) GTEST_SKIP() << "the library is passive (no library data)";
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(out, row.out);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
        ASSERT_EQ(smtp.Messages().size(), 1u);
        EXPECT_NE(smtp.Messages()[0].find("Subject: Sent on the way out\r\n"), std::string::npos);
    }
}

// ---- the result and the clipboard copy -----------------------------------------------------

TEST(SendResult, WithoutADisplayTheResultGoesToStandardErrorAndNothingIsCopied) {
    const char* display = std::getenv("DISPLAY");
    const std::string savedDisplay = display ? display : "";
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("KESTAVO_CRASHLOG_DIALOG");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    SlowSmtp smtp(0ms);
    struct Row {
        const char* name;
        int port;
        const char* line;
        bool copyWarned;
    };
    const Row rows[] = {
        {"sent", smtp.port(), "The message was sent successfully.\n", false},
        {"failed", ClosedPort(), "Sorry, sending the message didn't work.\n", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TCrashModuleOptions options;
        MailTo(options, row.port, row.name);
        options.SetSendFlags(send_flags::SendResultMessage);
        options.SetBehaviourFlags(behaviour_flags::ClipboardOnSendFailure);
        Warnings warnings;
        testing::internal::CaptureStderr();
        const TSendResult r =
            SendFromPass(Record("the report"), options, 0x1A2B, nullptr, nullptr, warnings.Sink());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.ok, !row.copyWarned);
        EXPECT_NE(err.find(row.line), std::string::npos) << err;
        EXPECT_EQ(warnings.Has("ceShowError [GUI] There is no display: the report was not put on "
                               "the clipboard."),
                  row.copyWarned);
    }
    if (!savedDisplay.empty()) ::setenv("DISPLAY", savedDisplay.c_str(), 1);
}

namespace {

// An X server of the test's own, and the dialog helper showing on it.
class SendOnX : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = std::make_unique<kvo::support::Xvfb>("800x600x24"); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        if (server_->DisplayName().empty()) GTEST_SKIP() << server_->Error();
        d_ = XOpenDisplay(server_->DisplayName().c_str());
        ASSERT_NE(d_, nullptr);
        ::setenv("DISPLAY", server_->DisplayName().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::setenv("KESTAVO_CRASHLOG_DIALOG", KVO_DIALOG_HELPER, 1);
        window_ = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 1, 1, 0, 0, 0);
    }
    void TearDown() override {
        for (pid_t pid : HelperChildren()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (d_) XCloseDisplay(d_);
        ::unsetenv("KESTAVO_CRASHLOG_DIALOG");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    // The clipboard's text as another program gets it from its owner.
    std::string Clipboard() {
        const Atom clipboard = XInternAtom(d_, "CLIPBOARD", False);
        const Atom utf8 = XInternAtom(d_, "UTF8_STRING", False);
        const Atom into = XInternAtom(d_, "KVO_TEST_CLIPBOARD", False);
        XConvertSelection(d_, clipboard, utf8, into, window_, CurrentTime);
        XFlush(d_);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!XPending(d_)) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            XEvent event;
            XNextEvent(d_, &event);
            if (event.type != SelectionNotify) continue;
            if (event.xselection.property == None) return "(no owner)";
            Atom type;
            int format;
            unsigned long count, after;
            unsigned char* data = nullptr;
            XGetWindowProperty(d_, window_, into, 0, 1 << 24, True, AnyPropertyType, &type, &format,
                               &count, &after, &data);
            std::string text(reinterpret_cast<char*>(data), count);
            XFree(data);
            return text;
        }
        return "(no answer)";
    }

    // A mapped top-level window with this title.
    bool WindowShown(const std::string& title) {
        const Atom name = XInternAtom(d_, "_NET_WM_NAME", False);
        const Atom utf8 = XInternAtom(d_, "UTF8_STRING", False);
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        XQueryTree(d_, DefaultRootWindow(d_), &root, &parent, &children, &count);
        bool found = false;
        for (unsigned int i = 0; i < count && !found; ++i) {
            XWindowAttributes attributes;
            if (!XGetWindowAttributes(d_, children[i], &attributes) ||
                attributes.map_state != IsViewable)
                continue;
            Atom type;
            int format;
            unsigned long n, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(d_, children[i], name, 0, 1024, False, utf8, &type, &format, &n,
                                   &after, &data) == Success &&
                data) {
                found = std::string(reinterpret_cast<char*>(data), n) == title;
                XFree(data);
            }
        }
        if (children) XFree(children);
        return found;
    }

    static inline std::unique_ptr<kvo::support::Xvfb> server_;
    Display* d_ = nullptr;
    Window window_ = 0;
};

}  // namespace

TEST_F(SendOnX, AFailedSendLeavesTheReportOnTheClipboardAndSaysSo) {
    TCrashModuleOptions options;
    MailTo(options, ClosedPort(), "failed");
    options.SetSendFlags(send_flags::SendResultMessage);
    options.SetBehaviourFlags(behaviour_flags::ClipboardOnSendFailure);
    const std::string report = "Report of the failed send\r\nsecond line \xC3\xA9";
    Warnings warnings;
    const TSendResult r =
        SendFromPass(Record(report), options, 0x1A2B, nullptr, nullptr, warnings.Sink());
    EXPECT_FALSE(r.ok);
    for (const std::string& w : warnings.list)
        EXPECT_EQ(w.rfind("ceShowError", 0), std::string::npos) << w;
    EXPECT_EQ(Clipboard(), report);
    bool boxShown = false;
    for (int i = 0; i < 100 && !(boxShown = WindowShown("Information.")); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(boxShown);
    // Two helpers stay: the box until it is closed, the clipboard until
    // another program takes the clipboard over.
    EXPECT_EQ(HelperChildren().size(), 2u);
    XSetSelectionOwner(d_, XInternAtom(d_, "CLIPBOARD", False), window_, CurrentTime);
    XFlush(d_);
    std::size_t left = 2;
    for (int i = 0; i < 100 && (left = HelperChildren().size()) > 1; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(left, 1u);
}
