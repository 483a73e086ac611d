// A program run by RunProgram: the variables it is given win over inherited
// ones, its output lands in the files, a hanging one is killed at the limit,
// and one that never started does not look like a clean exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>

#include "support/ProgramRun.h"
#include "support/TempEnvironment.h"

namespace kvo::support {
namespace {

namespace fs = std::filesystem;

std::string Script(const TempEnvironment& env, const std::string& name, const std::string& body) {
    const std::string path = env.Path(name);
    WriteFile(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

TEST(ProgramRun, GivenVariablesWinAndOutputLandsInTheFiles) {
    TempEnvironment env("kvo-program-run");
    env.Set("KVO_RUN_PROBE", "inherited");
    env.Set("KVO_RUN_OTHER", "kept");
    const std::string program =
        Script(env, "probe", "echo \"$KVO_RUN_PROBE $KVO_RUN_OTHER\"\necho oops >&2\nexit 3\n");
    const TProgramEnd end = RunProgram({program}, {"KVO_RUN_PROBE=given"}, env.Path("out"),
                                       env.Path("err"), std::chrono::seconds(30));
    ASSERT_TRUE(end.started);
    EXPECT_FALSE(end.timedOut);
    ASSERT_TRUE(WIFEXITED(end.status));
    EXPECT_EQ(WEXITSTATUS(end.status), 3);
    EXPECT_EQ(ReadFile(env.Path("out")), "given kept\n");
    EXPECT_EQ(ReadFile(env.Path("err")), "oops\n");
}

TEST(ProgramRun, ArgumentsARemovedVariableAndOneFileForBothOutputs) {
    TempEnvironment env("kvo-program-run");
    env.Set("KVO_RUN_GONE", "inherited");
    const std::string program =
        Script(env, "args", "echo \"$1 ${KVO_RUN_GONE-unset}\"\necho oops >&2\n");
    const TProgramEnd end = RunProgram({program, "first"}, {"KVO_RUN_GONE"}, env.Path("both"),
                                       env.Path("both"), std::chrono::seconds(30));
    ASSERT_TRUE(end.started);
    EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0);
    EXPECT_EQ(ReadFile(env.Path("both")), "first unset\noops\n");
}

TEST(ProgramRun, HangingProgramIsKilledAtTheLimitAndAMissingOneIsNoCleanExit) {
    TempEnvironment env("kvo-program-run");
    const TProgramEnd hung = RunProgram({Script(env, "hang", "exec sleep 60\n")}, {},
                                        env.Path("out"), env.Path("err"), std::chrono::seconds(1));
    ASSERT_TRUE(hung.started);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_TRUE(WIFSIGNALED(hung.status) && WTERMSIG(hung.status) == SIGKILL);

    const TProgramEnd missing = RunProgram({env.Path("no-such-program")}, {}, env.Path("out"),
                                           env.Path("err"), std::chrono::seconds(1));
    EXPECT_FALSE(missing.started);
    EXPECT_FALSE(WIFEXITED(missing.status));
}

}  // namespace
}  // namespace kvo::support
