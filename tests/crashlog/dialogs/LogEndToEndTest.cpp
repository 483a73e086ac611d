// Real processes: the demonstration program crashes twice with the same
// error.  Under its own options (duplicates not merged) the log holds two
// entries with the same ID; built with options that merge duplicates, it
// holds one entry whose count is 2.  Each program runs from a copy in a
// folder of its own, so its log file ("<program>.clf" beside it) is the
// test's alone.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "crashlog/CrashLogFile.h"
#include "support/ProgramRun.h"

namespace fs = std::filesystem;
using namespace crashlog;

namespace {

int RunOnce(const fs::path& program, const char* command) {
    const kvo::support::TProgramEnd end = kvo::support::RunProgram(
        {program.string(), command},
        {"QT_QPA_PLATFORM=offscreen", "DISPLAY", "KESTAVO_CRASHLOG_DIALOG"}, "/dev/null",
        "/dev/null", std::chrono::seconds(60));
    if (!end.started) return -1;
    return end.timedOut ? -2 : end.status;
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
