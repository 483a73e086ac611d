// Real processes: the demonstration program crashes twice with the same
// error.  Under its own options (duplicates not merged) the log holds two
// entries with the same ID; built with options that merge duplicates, it
// holds one entry whose count is 2.  Each program runs from a copy in a
// folder of its own, so its log file ("<program>.clf" beside it) is the
// test's alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "crashlog/CrashLogFile.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace crashlog;

namespace {

int RunOnce(const fs::path& program, const char* command) {
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        if (entry.rfind("DISPLAY=", 0) != 0 && entry.rfind("KESTAVO_CRASHLOG_DIALOG=", 0) != 0 &&
            entry.rfind("QT_QPA_PLATFORM=", 0) != 0)
            env.emplace_back(entry);
    }
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string path = program.string();
    char* argv[] = {path.data(), const_cast<char*>(command), nullptr};
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

class LogEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/crashlog-e2e-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Copy(const char* built) {
        fs::path copy = dir_ / fs::path(built).filename();
        fs::copy_file(built, copy);
        return copy;
    }
    fs::path dir_;
};

}  // namespace

TEST_F(LogEndToEnd, SameErrorTwiceWithoutMerging) {
    fs::path program = Copy(KVO_CRASHLOG_DEMO);
    for (int run = 0; run < 2; ++run)
        ASSERT_NE(RunOnce(program, "uncaught-throw"), -1);
    TLogFile log((dir_ / "crashlog-demo.clf").string(), true);
    ASSERT_EQ(log.Count(), 2);
    EXPECT_FALSE(log.GetField("2.7", 0).empty());
    EXPECT_EQ(log.GetField("2.7", 0), log.GetField("2.7", 1));
    EXPECT_NE(log.GetField("2.8", 1), "2");
}

TEST_F(LogEndToEnd, SameErrorTwiceMergedAndCounted) {
    fs::path program = Copy(KVO_CRASHLOG_DEMO_MERGING);
    for (int run = 0; run < 2; ++run)
        ASSERT_NE(RunOnce(program, "uncaught-throw"), -1);
    TLogFile log((dir_ / "crashlog-demo-merging.clf").string(), true);
    ASSERT_EQ(log.Count(), 1);
    EXPECT_EQ(log.GetField("2.8", 0), "2");
}
