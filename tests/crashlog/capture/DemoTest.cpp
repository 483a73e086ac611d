// The demonstration program crashed every way it knows, each in a process
// of its own: the report reaches standard output, the process ends with the
// library's exit status, and nothing hangs.
#include <gmock/gmock.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
    bool Exited = false;
    int ExitCode = -1;
    int Signal = 0;
    bool TimedOut = false;
    double Seconds = 0;
    std::string Out, Err;
};

// Runs the program with a hard time limit; a process still alive at the
// limit is killed and reported as timed out.
Outcome RunProgram(const std::vector<std::string>& args, int limitMs,
                   const std::string& folder = {}) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome o;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&o.Out, &o.Err};
    int open = 2;
    const auto deadline = start + std::chrono::milliseconds(limitMs);
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            o.TimedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, int(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    o.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    o.Exited = WIFEXITED(status);
    o.ExitCode = o.Exited ? WEXITSTATUS(status) : -1;
    o.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return o;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

constexpr const char* kReportHead = "CrashLog 6.0.20";

struct Case {
    const char* Command;
    const char* ClassName;
    std::vector<const char*> Frames;  // procedures the call stack must name
};

// Every crash that nothing catches: one full report with the raiser's
// frames, exit status 1, well within the limit.
TEST(DemoTest, EachCrashEndsWithItsReportAndExitStatusOne) {
    const Case cases[] = {
        {"uncaught-throw", "std::runtime_error", {"ThrowDeep", "UncaughtThrow"}},
        {"uncaught-throw-in-thread", "std::runtime_error", {"ThrowDeep", "ThrowOnThread"}},
        {"segv-null", "EAccessViolation", {"WriteTo", "SegvNull"}},
        {"segv-wild", "EAccessViolation", {"WriteTo", "SegvWild"}},
        {"fpe", "EDivByZero", {"Fpe"}},
        {"abort", "EExternalException", {"Abort"}},
        {"recursion", "EStackOverflow", {"Recurse"}},
        // Reported when the destructor throws, before the run-time
        // terminates: the unwinding frames are still there.
        {"throw-in-destructor-during-unwind",
         "std::logic_error",
         {"~ThrowsWhenDestroyed", "UnwindThroughThrowingDestructor", "ThrowInDestructor"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command);
        const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, c.Command}, 20000);
        ASSERT_FALSE(o.TimedOut);
        EXPECT_TRUE(o.Exited) << "signal " << o.Signal;
        EXPECT_EQ(o.ExitCode, 1);
        EXPECT_LT(o.Seconds, 10.0);
        EXPECT_EQ(Count(o.Out, kReportHead), 1);
        EXPECT_THAT(o.Out, Not(HasSubstr("minimal report")));
        EXPECT_THAT(o.Out, HasSubstr(std::string("2.5 Type          : ") + c.ClassName));
        for (const char* frame : c.Frames)
            EXPECT_THAT(o.Out, HasSubstr(frame));
    }
}

TEST(DemoTest, ACaughtThrowIsNotReported) {
    const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, "caught-throw"}, 20000);
    EXPECT_EQ(o.ExitCode, 0);
    EXPECT_THAT(o.Out, HasSubstr("crashlog active"));
    EXPECT_THAT(o.Out, HasSubstr("caught: demo: nobody catches this"));
    EXPECT_THAT(o.Out, Not(HasSubstr(kReportHead)));
}

// Two threads fault at the same moment: one pass at a time, both reported,
// each naming its own thread, then the process ends.
TEST(DemoTest, TwoThreadsCrashingTogetherAreBothReported) {
    const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, "two-threads"}, 30000);
    ASSERT_FALSE(o.TimedOut);
    EXPECT_EQ(o.ExitCode, 1);
    EXPECT_EQ(Count(o.Out, kReportHead), 2);
    EXPECT_EQ(Count(o.Out, "2.5 Type          : EAccessViolation"), 2);
    EXPECT_EQ(Count(o.Out, "CrashWhenBothReady"), 4) << "each report shows both threads";
}

// A fault inside an event handler of the pass is an internal error: the
// pass goes on and the report still leaves.
TEST(DemoTest, AFaultInsideAnEventHandlerGivesTheInternalErrorReport) {
    const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, "crash-in-handler"}, 20000);
    ASSERT_FALSE(o.TimedOut);
    EXPECT_EQ(o.ExitCode, 1);
    EXPECT_THAT(o.Err, HasSubstr("[ERROR] - Section: "));
    EXPECT_THAT(o.Err, HasSubstr("Message   : Access violation inside an event handler"));
    EXPECT_THAT(o.Err, HasSubstr("LastExcept: std::runtime_error"));
    EXPECT_EQ(Count(o.Out, kReportHead), 1);
    EXPECT_THAT(o.Out, HasSubstr("2.5 Type          : std::runtime_error"));
}

// Another thread holds the allocator's lock for good: the pass cannot
// allocate, so the waiting thread gives it up and writes the minimal report
// without allocating; the process still ends.
TEST(DemoTest, ACrashWhileTheAllocatorIsLockedEndsWithTheMinimalReport) {
    const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, "crash-holding-malloc-lock"}, 30000);
    ASSERT_FALSE(o.TimedOut);
    EXPECT_EQ(o.ExitCode, 1);
    EXPECT_LT(o.Seconds, 15.0);
    EXPECT_THAT(o.Out, HasSubstr("minimal report (the processing pass stopped moving)"));
    EXPECT_THAT(o.Out, HasSubstr("Exception : EAccessViolation"));
    EXPECT_THAT(o.Out, HasSubstr("RIP: "));
}

// The repeat rule: the third report within a minute restarts the program
// with its arguments in the folder it started in; the first process ends.
TEST(DemoTest, RepeatedExceptionsRestartTheProgramInItsStartFolder) {
    char pattern[] = "/tmp/crashlog-demo-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, "repeat-restart"}, 30000, pattern);
    ASSERT_FALSE(o.TimedOut);
    EXPECT_EQ(o.ExitCode, 1);
    EXPECT_EQ(Count(o.Out, kReportHead), 3);
    EXPECT_THAT(o.Out, Not(HasSubstr("not restarted")));
    // The new process writes to the same output, which stays open until it ends.
    EXPECT_THAT(o.Out, HasSubstr(std::string("restarted in ") + pattern));
    rmdir(pattern);
}

// The same program without library data: the library stays passive and
// the run-time's own handling (abort) ends the process, with no report.
TEST(DemoTest, AProgramWithoutLibraryDataKeepsTheLibraryPassive) {
    char pattern[] = "/tmp/crashlog-demo-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string copy = std::string(pattern) + "/crashlog-demo";
    const std::string strip =
        std::string(KVO_OBJCOPY) + " --remove-section=.cldata " + KVO_CRASHLOG_DEMO + " " + copy;
    ASSERT_EQ(std::system(strip.c_str()), 0);
    const Outcome o = RunProgram({copy, "uncaught-throw"}, 20000);
    EXPECT_THAT(o.Out, HasSubstr("crashlog passive"));
    EXPECT_EQ(o.Signal, SIGABRT);
    EXPECT_THAT(o.Out, Not(HasSubstr(kReportHead)));
    unlink(copy.c_str());
    rmdir(pattern);
}

TEST(DemoTest, AnUnknownCommandListsTheCommands) {
    const Outcome o = RunProgram({KVO_CRASHLOG_DEMO, "no-such"}, 20000);
    EXPECT_EQ(o.ExitCode, 2);
    EXPECT_THAT(o.Err, HasSubstr("segv-null"));
}

}  // namespace
