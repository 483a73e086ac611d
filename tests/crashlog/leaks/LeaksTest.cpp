// The leak checker on real processes: leaks-helper-<flags> <case>, its
// standard output and error captured together (in the order written).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crashlog/CrashLeaks.h"

extern char** environ;

namespace {

struct TRun {
    int Status = -1;  // exit code, or -1 for a signal
    std::string Output;
};

TRun RunHelper(const std::string& variant, const std::string& what) {
    char dir[] = "/tmp/leakstest.XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/out";
    const std::string program = std::string(LEAKS_HELPER_DIR) + "/leaks-helper-" + variant;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(what.c_str()),
                               nullptr};
    pid_t pid = -1;
    TRun r;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    r.Output = ss.str();
    unlink(file.c_str());
    rmdir(dir);
    return r;
}

// The line of the helper's source that carries "// at:<marker>".
int Line(const std::string& marker) {
    std::ifstream in(LEAKS_HELPER_SOURCE);
    std::string text;
    for (int n = 1; std::getline(in, text); ++n)
        if (text.find("// at:" + marker) != std::string::npos) return n;
    ADD_FAILURE() << "no marker " << marker;
    return 0;
}

// The first call-stack row under the block header that contains `header`.
std::string FirstRowUnder(const std::string& report, const std::string& header) {
    const auto h = report.find(header);
    if (h == std::string::npos) return {};
    auto p = report.find("\r\n", h);  // end of the header
    p = report.find("\r\n", p + 2);   // end of the rule under it
    if (p == std::string::npos) return {};
    const auto e = report.find("\r\n", p + 2);
    return report.substr(p + 2, e - p - 2);
}

std::string At(const std::string& marker) {
    return "|" + std::to_string(Line(marker)) + "[";
}

// The helpers track only when the build stored their library data and no
// sanitizer's allocator took the process's malloc first.
class LeakChecker : public ::testing::Test {
  protected:
    void SetUp() override {
        static const bool on = RunHelper("on", "active").Output == "on\n";
        if (!on) GTEST_SKIP() << "the helpers run without the checker in this build";
    }
};

TEST_F(LeakChecker, LeaksOfObjectArrayAndDataNameTheirTypeAndAllocatingLine) {
    struct Case {
        const char* What;
        const char* Type;
        const char* Procedure;
        int Size, Count;
    };
    const Case cases[] = {
        {"object", "(anonymous namespace)::TWidget", "LeakObject", 16, 1},
        {"array", "Data", "LeakArray", 40, 1},
        // Three blocks of one size from one line form one group.
        {"data", "Data", "LeakData", 96, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const TRun r = RunHelper("on", c.What);
        EXPECT_EQ(r.Status, 0);
        const std::string total = "EMemoryLeak: Memory Leak: Total size=" + std::to_string(c.Size) +
                                  " - Count=" + std::to_string(c.Count);
        EXPECT_EQ(r.Output.rfind(total, 0), 0u) << r.Output;
        const std::string row =
            FirstRowUnder(r.Output, "+Memory Leak: Type=" + std::string(c.Type) +
                                        "; Total size=" + std::to_string(c.Size) +
                                        "; Count=" + std::to_string(c.Count) + " ");
        EXPECT_NE(row.find("|leaks-helper-on|LeaksHelper.cpp|"), std::string::npos) << r.Output;
        EXPECT_NE(row.find(std::string("|") + c.Procedure + " "), std::string::npos) << row;
        EXPECT_NE(row.find(At(c.What)), std::string::npos) << row;
        // Only the program's own leak: the run-time's and the library's own
        // blocks kept to the end are known leaks.
        EXPECT_EQ(r.Output.find("+Memory Leak", r.Output.find("+Memory Leak") + 1),
                  std::string::npos)
            << r.Output;
    }
}

TEST_F(LeakChecker, ProgramThatReleasesEverythingReportsNothing) {
    // "none" releases its last blocks in a static destructor and an atexit
    // handler; "foreign" releases and resizes a block the checker never saw.
    for (const char* what : {"none", "foreign"}) {
        SCOPED_TRACE(what);
        const TRun r = RunHelper("on", what);
        EXPECT_EQ(r.Status, 0);
        EXPECT_EQ(r.Output, "ok\n");
    }
}

TEST_F(LeakChecker, ChildBlocksFoldIntoTheObjectBuiltWhenGrouped) {
    const TRun grouped = RunHelper("group", "owner");
    EXPECT_NE(grouped.Output.find("+Memory Leak: Type=(anonymous namespace)::TOwner; Total "
                                  "size=116; Count=1"),
              std::string::npos)
        << grouped.Output;
    EXPECT_EQ(grouped.Output.find("Type=Data"), std::string::npos) << grouped.Output;

    const TRun apart = RunHelper("on", "owner");
    EXPECT_NE(apart.Output.find("Type=(anonymous namespace)::TOwner; Total size=16; Count=1"),
              std::string::npos)
        << apart.Output;
    const std::string child = FirstRowUnder(apart.Output, "Type=Data; Total size=100; Count=1");
    EXPECT_NE(child.find(At("child")), std::string::npos) << apart.Output;
}

TEST_F(LeakChecker, OverrunAndSecondReleaseAreReportedAtTheRelease) {
    struct Case {
        const char* What;
        const char* Report;
    };
    for (const Case& c : {Case{"overrun", "EMemoryOverrun: Memory Overrun leak."},
                          Case{"twice", "EMultiFree: Multi Free memory leak."}}) {
        SCOPED_TRACE(c.What);
        const TRun r = RunHelper("on", c.What);
        EXPECT_EQ(r.Status, 0);
        // Reported before the program goes on, and the program does go on.
        const auto report = r.Output.find(c.Report);
        ASSERT_EQ(report, 0u) << r.Output;
        EXPECT_NE(r.Output.find("ok\n", report), std::string::npos);
        const std::string release = FirstRowUnder(
            r.Output, std::string("*") + (c.Report + std::string(c.Report).find(": ") + 2));
        EXPECT_NE(release.find(At(c.What)), std::string::npos) << r.Output;
        EXPECT_EQ(r.Output.find("EMemoryLeak"), std::string::npos) << r.Output;

        // Without the checks the block is released (or the second release
        // ignored) silently.
        EXPECT_EQ(RunHelper("quiet", c.What).Output, "ok\n");
    }
    const TRun overrun = RunHelper("on", "overrun");
    const std::string alloc = FirstRowUnder(overrun.Output, "+Memory Leak: Total size=24");
    EXPECT_NE(alloc.find("|Overrun "), std::string::npos) << overrun.Output;
}

TEST_F(LeakChecker, ReadFromTheMainProgramsLibraryData) {
    EXPECT_EQ(RunHelper("on", "active").Output, "on\n");
    EXPECT_EQ(RunHelper("off", "active").Output, "off\n");
    // The default flags keep the checker out: a leak goes unreported.
    EXPECT_EQ(RunHelper("off", "data").Output, "");

    std::uint8_t head[16];
    crashlog::TLeakFlagBytes bytes;
    ASSERT_TRUE(crashlog::ReadLeakFlagHeader(LEAKS_HELPER_DIR "/leaks-helper-group", head));
    ASSERT_TRUE(crashlog::ReadLeakFlagBytes(head, bytes));
    EXPECT_EQ(bytes.Flags, 0x1F);
    EXPECT_FALSE(crashlog::ReadLeakFlagHeader("/dev/null", head));
}

TEST(LeakFlags, ContainerAcceptedOnlyWithMagicAndVersion) {
    struct Case {
        std::uint32_t Magic;
        std::uint16_t Version;
        std::size_t Size;
        bool Accepted;
    };
    const Case cases[] = {
        {0x100FAB10, 6020, 16, true},  {0x000FAB10, 6000, 16, true},  {0x100FAB10, 600, 16, true},
        {0x100FAB10, 602, 16, true},   {0x100FAB10, 603, 16, false},  {0x100FAB10, 5999, 16, false},
        {0x200FAB10, 6020, 16, false}, {0x100FAB10, 6020, 15, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Magic) + "/" + std::to_string(c.Version));
        std::vector<std::uint8_t> data(16, 0);
        for (int i = 0; i < 4; ++i)
            data[i] = std::uint8_t(c.Magic >> (8 * i));
        data[4] = std::uint8_t(c.Version);
        data[5] = std::uint8_t(c.Version >> 8);
        data[14] = 0x13;
        data[15] = 1;
        data.resize(c.Size);
        crashlog::TLeakFlagBytes out;
        EXPECT_EQ(crashlog::ReadLeakFlagBytes(data, out), c.Accepted);
        if (c.Accepted) {
            EXPECT_EQ(out.Flags, 0x13);
            EXPECT_EQ(out.FollowMain, 1);
        }
    }
}

TEST_F(LeakChecker, EightThreadsAllocatingAndReleasingKeepTheListWhole) {
    const TRun r = RunHelper("on", "threads");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Output.rfind("ok\n", 0), 0u) << r.Output;
    const std::string row = FirstRowUnder(r.Output, "Type=Data; Total size=384; Count=8 ");
    EXPECT_NE(row.find(At("thread")), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("EMemoryLeak: Memory Leak: Total size=384 - Count=8"),
              std::string::npos)
        << r.Output;
}

TEST_F(LeakChecker, ForkWhileOtherThreadsAllocateLeavesAWorkingChild) {
    const TRun r = RunHelper("on", "fork");
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Output.find("ok\n"), std::string::npos) << r.Output;
}

}  // namespace
