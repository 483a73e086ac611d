#include <gtest/gtest.h>

#include <csignal>

#include "TempEnv.h"
#include "platform/Process.h"
#include "platform/Sys.h"

namespace kvo::platform {
namespace {

TEST(SplitParameters, WindowsQuoting) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitParameters("/AUTO /01/02/2009"), (V{"/AUTO", "/01/02/2009"}));
    EXPECT_EQ(SplitParameters("  \"C:\\Program Files\\x\"  b\t\"\""),
              (V{"C:\\Program Files\\x", "b", ""}));
    EXPECT_EQ(SplitParameters("\"say \"\"hi\"\"\""), (V{"say \"hi\""}));
    EXPECT_EQ(SplitParameters(""), V{});
}

TEST(Process, StartAndWaitGivesTheExitCode) {
    auto started = StartProgram("sh", {"-c", "exit 42"});
    ASSERT_TRUE(started) << started.error;
    int served = 0;
    auto result = WaitForProcess(
        started.pid, [&] { return ++served, true; }, -1, 5);
    EXPECT_EQ(result.state, WaitState::Exited);
    EXPECT_EQ(result.exitCode, 42);
    // Waiting again: the process is gone, and that is a failure, not an exit.
    auto again = WaitForProcess(started.pid);
    EXPECT_EQ(again.state, WaitState::Failed);
    EXPECT_EQ(again.error, ECHILD);
}

TEST(Process, ServingStopsAndTimesOut) {
    auto started = StartProgram("/bin/sleep", {"5"});
    ASSERT_TRUE(started);
    int served = 0;
    auto abandoned = WaitForProcess(
        started.pid, [&] { return ++served < 3; }, -1, 1);
    EXPECT_EQ(abandoned.state, WaitState::Abandoned);
    EXPECT_EQ(served, 3);
    EXPECT_EQ(WaitForProcess(started.pid, {}, 20, 5).state, WaitState::TimedOut);
    kill(started.pid, SIGKILL);
    auto killed = WaitForProcess(started.pid, {}, -1, 5);
    EXPECT_EQ(killed.state, WaitState::Exited);
    EXPECT_EQ(killed.exitCode, 128 + SIGKILL);
}

class StartFailure : public testing::TempEnvTest {};

TEST_F(StartFailure, ReportedWithErrnoAtStart) {
    EXPECT_EQ(StartProgram(Path("missing"), {}).error, ENOENT);
    EXPECT_EQ(StartProgram("no-such-program-anywhere", {}).error, ENOENT);
    WriteFile(Path("plain.txt"), "x");
    EXPECT_EQ(StartProgram(Path("plain.txt"), {}).error, EACCES);
    EXPECT_EQ(StartProgram(root_, {}).error, EACCES);
    EXPECT_EQ(StartThroughShell(Path("missing.pdf")).error, ENOENT);
    ScopedSysOverride sys;
    sys.table().posix_spawn = [](pid_t*, const char*, const posix_spawn_file_actions_t*,
                                 const posix_spawnattr_t*, char* const[],
                                 char* const[]) { return EAGAIN; };
    auto r = StartProgram("sh", {"-c", "true"});
    EXPECT_FALSE(r);
    EXPECT_EQ(r.error, EAGAIN);
}

}  // namespace
}  // namespace kvo::platform
