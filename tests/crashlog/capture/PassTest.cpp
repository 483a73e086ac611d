// The processing pass on this test program's own library copy: a caught
// exception handed over the way a framework's default handler does it
// (HandleCurrentException), with the options changed per test.
#include <gmock/gmock.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "capture/CaptureInternal.h"
#include "crashlog/CrashMain.h"
#include "crashlog/CrashOptions.h"

namespace crashlog {
namespace {

using ::testing::HasSubstr;

class EDemoFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(CrashLogActive());
        options_ = CurrentCrashLogOptions();
        ASSERT_NE(options_, nullptr);
        saved_ = options_->Values();
        // Many passes in one run must not restart the test program.
        options_->SetRepeatAction(0);
        options_->SetLogFlags(0);
        options_->SetCallStackFlags(0);
    }
    void TearDown() override {
        options_->SetValues(saved_);
        options_->Filters().Clear();
        HandledExceptionNotifyHandler = nullptr;
        CustomDataRequestHandler = nullptr;
    }

    // Throws from a named frame, catches, and hands the caught exception over.
    __attribute__((noinline)) static void Fail(const std::string& message) {
        throw EDemoFailure(message);
    }
    bool HandOver(const std::string& message) {
        try {
            Fail(message);
        } catch (...) {
            return HandleCurrentException(coFramework);
        }
        return true;
    }

    TCrashModuleOptionsEx* options_ = nullptr;
    TCrashOptionValues saved_;
};

TEST_F(PassTest, ACaughtExceptionHandedOverIsReportedWithTheRaisersFrames) {
    const int errors = ErrorCount();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(HandOver("disk on fire"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ErrorCount(), errors + 1);
    EXPECT_THAT(LastBugReport(), HasSubstr("EDemoFailure"));
    EXPECT_THAT(LastBugReport(), HasSubstr("disk on fire"));
    // The raiser's frame was unwound before the catch block ran; the copy
    // taken at the raise still names it.
    EXPECT_THAT(LastBugReport(), HasSubstr("Fail"));
    EXPECT_THAT(out, HasSubstr(LastBugReport()));
}

TEST_F(PassTest, FiltersDecideByClassOrAncestorAndScope) {
    struct Row {
        const char* Name;
        TCrashExceptionFilter Filter;
        bool Answer;
        int NewErrors;
    };
    auto filter = [](const char* cls, uint8_t scope, uint8_t handling) {
        TCrashExceptionFilter f;
        f.ClassName = cls;
        f.Scope = scope;
        f.Handling = handling;
        return f;
    };
    const Row rows[] = {
        {"ignore by class", filter("EDemoFailure", 0, 0), false, 0},
        {"ignore by ancestor, spaced and any case", filter("  STD::Runtime_Error ", 0, 0), false,
         0},
        {"default handling", filter("std::exception", 0, 1), true, 0},
        {"unhandled-only scope skips a handled one", filter("EDemoFailure", 2, 0), false, 1},
        {"handled-only scope", filter("EDemoFailure", 1, 1), true, 0},
        {"other class", filter("std::logic_error", 0, 0), false, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        options_->Filters().Clear();
        options_->Filters().Add(row.Filter);
        const int errors = ErrorCount();
        testing::internal::CaptureStdout();
        EXPECT_EQ(HandOver("filtered"), row.Answer);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(ErrorCount(), errors + row.NewErrors);
    }
}

TEST_F(PassTest, AHandlerThatClearsTheHandleFlagLeavesItToTheDefaultHandling) {
    // A caught exception handed over fires the handled-exception event.
    HandledExceptionNotifyHandler = [](const TCrashExceptionRecord& rec, bool& handle) {
        EXPECT_EQ(rec.ClassName, "crashlog::(anonymous namespace)::EDemoFailure");
        EXPECT_TRUE(rec.IsHandled);
        handle = false;
    };
    const int errors = ErrorCount();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(HandOver("left alone"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ErrorCount(), errors);
}

TEST_F(PassTest, EventsRunOnTheRaisingThreadAndSeeThePublishedVariables) {
    const auto raiser = capture::CurrentThreadId();
    uint64_t ranOn = 0;
    std::string message;
    HandledExceptionNotifyHandler = [&](const TCrashExceptionRecord&, bool&) {
        ranOn = capture::CurrentThreadId();
        message = getenv("_ExceptMsg") ? getenv("_ExceptMsg") : "";
    };
    CustomDataRequestHandler = [](const TCrashExceptionRecord&, std::vector<std::string>& lines) {
        lines.push_back("Practice=Demo");
    };
    testing::internal::CaptureStdout();
    HandOver("with variables");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ranOn, raiser);
    EXPECT_EQ(message, "with variables");
    EXPECT_STREQ(getenv("_LineBreak"), "\r\n");
}

TEST_F(PassTest, AnExceptionInsideAnEventHandlerIsSwallowedAndThePassGoesOn) {
    HandledExceptionNotifyHandler = [](const TCrashExceptionRecord&, bool&) {
        throw std::logic_error("handler failed");
    };
    const int errors = ErrorCount();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(HandOver("still reported"));
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("still reported"));
    EXPECT_EQ(ErrorCount(), errors + 1);
}

class EAbort : public std::exception {};
class ESilentStop : public EAbort {};

TEST_F(PassTest, AnAbortOrItsDescendantIsNeverReported) {
    const int errors = ErrorCount();
    testing::internal::CaptureStdout();
    bool answer = false;
    try {
        throw ESilentStop();
    } catch (...) {
        answer = HandleCurrentException(coFramework);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(answer);  // left to the default handling, which ignores it
    EXPECT_EQ(ErrorCount(), errors);
}

TEST_F(PassTest, ClassesAnswerToTheirAncestorsAndTheirShortNames) {
    auto e = capture::DescribeThrown(nullptr, &typeid(std::out_of_range));
    EXPECT_TRUE(capture::ClassMatches(e, "out_of_range"));
    EXPECT_TRUE(capture::ClassMatches(e, "std::logic_error"));
    EXPECT_TRUE(capture::ClassMatches(e, "EXCEPTION"));
    EXPECT_FALSE(capture::ClassMatches(e, "runtime_error"));
    EXPECT_FALSE(capture::ClassMatches(e, ""));
    struct {
        int Signal, Code;
        bool Overflow;
        const char* Class;
    } faults[] = {
        {SIGSEGV, SEGV_MAPERR, false, "EAccessViolation"},
        {SIGSEGV, SEGV_MAPERR, true, "EStackOverflow"},
        {SIGBUS, 0, false, "EAccessViolation"},
        {SIGFPE, FPE_INTDIV, false, "EDivByZero"},
        {SIGFPE, FPE_FLTDIV, false, "EZeroDivide"},
        {SIGILL, 0, false, "EPrivilege"},
        {SIGABRT, 0, false, "EExternalException"},
    };
    for (const auto& f : faults)
        EXPECT_STREQ(capture::SignalClassName(f.Signal, f.Code, f.Overflow), f.Class) << f.Signal;
    auto fpe = capture::DescribeSignal({SIGFPE, FPE_INTDIV, 0, false}, false);
    EXPECT_TRUE(capture::ClassMatches(fpe, "EIntError"));
    EXPECT_TRUE(capture::ClassMatches(fpe, "EExternal"));
}

TEST_F(PassTest, WithHandledReportsOnACaughtExceptionIsReportedOnceAtTheEndOfItsCatchBlock) {
    options_->SetBehaviourFlags(options_->BehaviourFlags() |
                                behaviour_flags::ReportHandledExceptions);
    int events = 0;
    HandledExceptionNotifyHandler = [&](const TCrashExceptionRecord& rec, bool&) {
        EXPECT_TRUE(rec.IsHandled);
        ++events;
    };
    const int errors = ErrorCount();
    testing::internal::CaptureStdout();
    try {
        try {
            Fail("caught twice");
        } catch (const EDemoFailure&) {
            throw;  // not completed: the outer block reports it
        }
    } catch (const std::exception&) {
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(events, 1);
    EXPECT_EQ(ErrorCount(), errors + 1);
    EXPECT_THAT(LastBugReport(), HasSubstr("caught twice"));
    EXPECT_THAT(out, HasSubstr("caught twice"));
}

TEST_F(PassTest, AnEventLoopThatStopsAnsweringIsReportedAsFrozen) {
    const int errors = ErrorCount();
    CrashLog_SetHeartbeatPoster([](void*) {}, nullptr);  // the probes are never answered
    options_->SetFrozenSeconds(1);
    testing::internal::CaptureStdout();
    options_->SetDetectFrozen(true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ErrorCount() == errors && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    options_->SetDetectFrozen(false);
    CrashLog_SetHeartbeatPoster(nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    testing::internal::GetCapturedStdout();
    ASSERT_GT(ErrorCount(), errors);
    EXPECT_THAT(LastBugReport(), HasSubstr("EFrozenApplication"));
    EXPECT_THAT(LastBugReport(), HasSubstr("The application seems to be frozen"));
    // The main thread is the one reported, where it waited.
    EXPECT_THAT(LastBugReport(), HasSubstr("AnEventLoopThatStopsAnsweringIsReportedAsFrozen"));
}

// A pass keeps the main thread waiting, as long as its dialog is open, say:
// that is no freeze of the event loop, and the watcher neither counts it nor
// reports it once the pass is over.
TEST_F(PassTest, TheTimeAPassTakesIsNoFreeze) {
    static std::atomic<bool> inPass{false};
    inPass = false;
    // The event loop answers, except while the pass runs.
    CrashLog_SetHeartbeatPoster(
        [](void*) {
            if (!inPass) CrashLog_Heartbeat();
        },
        nullptr);
    options_->SetFrozenSeconds(1);
    options_->SetBehaviourFlags(options_->BehaviourFlags() |
                                behaviour_flags::ReportHandledExceptions);
    HandledExceptionNotifyHandler = [](const TCrashExceptionRecord&, bool&) {
        inPass = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        inPass = false;
    };
    const int errors = ErrorCount();
    testing::internal::CaptureStdout();
    options_->SetDetectFrozen(true);
    try {
        Fail("a long pass");
    } catch (const EDemoFailure&) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    options_->SetDetectFrozen(false);
    CrashLog_SetHeartbeatPoster(nullptr, nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ErrorCount(), errors + 1);
    EXPECT_THAT(LastBugReport(), HasSubstr("a long pass"));
}

TEST(DuplicateIdTest, IsCrc16Xmodem) {
    EXPECT_EQ(Crc16Xmodem("123456789"), 0x31C3);  // the standard check value
    EXPECT_EQ(Crc16Xmodem(""), 0x0000);
    EXPECT_NE(Crc16Xmodem("a.exe"), Crc16Xmodem("b.exe"));
}

}  // namespace
}  // namespace crashlog
