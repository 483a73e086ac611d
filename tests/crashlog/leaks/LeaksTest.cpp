// The leak checker on real processes: leaks-helper-<flags> <case>, its
// standard output and error captured together (in the order written), and
// the reports its processing pass stored in the log file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashlog/CrashLeaks.h"
#include "crashlog/CrashLogFile.h"
#include "support/ProgramRun.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
    int Status = -1;  // exit code, or -1 for a signal or a time-out
    std::string Output;
    std::vector<std::string> Reports;  // the log file's entries
};

// Runs the helper with its log file in a folder of its own; `env` is added
// to the environment (less any display, so the console is the only screen).
TRun RunHelper(const std::string& variant, const std::string& what,
               const std::vector<std::string>& args = {},
               const std::vector<std::string>& env = {}) {
    char dir[] = "/tmp/leakstest.XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/out";
    const std::string program = std::string(LEAKS_HELPER_DIR) + "/leaks-helper-" + variant;
    std::vector<std::string> vars = env;
    vars.push_back(std::string("LEAKS_LOG_DIR=") + dir);
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KESTAVO_CRASHLOG_DIALOG"})
        vars.emplace_back(name);
    std::vector<std::string> argv = {program, what};
    argv.insert(argv.end(), args.begin(), args.end());
    TRun r;
    const kvo::support::TProgramEnd end =
        kvo::support::RunProgram(argv, vars, file, file, std::chrono::seconds(60));
    if (end.timedOut) ADD_FAILURE() << variant << " " << what << " did not end";
    r.Status = end.started && WIFEXITED(end.status) ? WEXITSTATUS(end.status) : -1;
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    r.Output = ss.str();
    const std::string log = std::string(dir) + "/leaks-helper-" + variant + ".clf";
    if (fs::exists(log)) r.Reports = crashlog::TLogFile(log, true).MutableEntries();
    fs::remove_all(dir);
    return r;
}

// Field `number` ("2.6") of a report.
std::string Field(const std::string& report, std::string_view number) {
    crashlog::TLogFile one({}, true);
    one.MutableEntries().push_back(report);
    return one.GetField(number, 0);
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
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

TEST_F(LeakChecker, LeaksAtExitAreOneReportOfThePassWithTypeLineSizeAndCount) {
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
        // At exit the program has finalised what its event handlers use: the
        // report raises none of its events.
        const TRun r = RunHelper("on", c.What, {"events"});
        EXPECT_EQ(r.Status, 0);
        EXPECT_EQ(r.Output.find("[event"), std::string::npos) << r.Output;
        ASSERT_EQ(r.Reports.size(), 1u) << r.Output;
        const std::string& report = r.Reports[0];
        EXPECT_EQ(Field(report, "2.5"), "EMemoryLeak");
        const std::string size = std::to_string(c.Size), count = std::to_string(c.Count);
        EXPECT_EQ(Field(report, "2.6"),
                  "Memory Leak: Total size=" + size + " - Count=" + count + ".");
        const std::string row =
            FirstRowUnder(report, "|+Memory Leak: Type=" + std::string(c.Type) +
                                      "; Total size=" + size + "; Count=" + count + " ");
        EXPECT_NE(row.find("|leaks-helper-on|LeaksHelper.cpp|"), std::string::npos) << report;
        EXPECT_NE(row.find(std::string("|") + c.Procedure + " "), std::string::npos) << row;
        EXPECT_NE(row.find(At(c.What)), std::string::npos) << row;
        // One leak: the report's address is where it was allocated.
        EXPECT_EQ(Field(report, "2.2"), row.substr(1, 16)) << report;
        // Only the program's own leak: the run-time's and the library's own
        // blocks kept to the end are known leaks.
        EXPECT_EQ(Count(report, "|+Memory Leak"), 1) << report;
        // The leak's stack is no thread's: no registers, no code listing.
        EXPECT_EQ(report.find("RAX:"), std::string::npos) << report;
        EXPECT_EQ(report.find("<-- EXCEPTION"), std::string::npos) << report;
        // A console program shows it on standard output.
        EXPECT_NE(r.Output.find("|+Memory Leak: Type=" + std::string(c.Type)), std::string::npos);
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
        EXPECT_TRUE(r.Reports.empty());
    }
}

TEST_F(LeakChecker, ChildBlocksFoldIntoTheObjectBuiltWhenGrouped) {
    const TRun grouped = RunHelper("group", "owner");
    ASSERT_EQ(grouped.Reports.size(), 1u) << grouped.Output;
    EXPECT_NE(grouped.Reports[0].find("|+Memory Leak: Type=(anonymous namespace)::TOwner; Total "
                                      "size=116; Count=1 "),
              std::string::npos)
        << grouped.Reports[0];
    EXPECT_EQ(grouped.Reports[0].find("Type=Data"), std::string::npos) << grouped.Reports[0];

    const TRun apart = RunHelper("on", "owner");
    ASSERT_EQ(apart.Reports.size(), 1u) << apart.Output;
    const std::string& report = apart.Reports[0];
    EXPECT_NE(report.find("Type=(anonymous namespace)::TOwner; Total size=16; Count=1"),
              std::string::npos)
        << report;
    const std::string child = FirstRowUnder(report, "Type=Data; Total size=100; Count=1");
    EXPECT_NE(child.find(At("child")), std::string::npos) << report;
    EXPECT_EQ(Field(report, "2.6"), "Memory Leak: Total size=116 - Count=2.");
    // Two leaks allocated in two places: the report has no address.
    EXPECT_EQ(Field(report, "2.2"), "");
}

TEST_F(LeakChecker, OverrunAndSecondReleaseAreReportedAtTheReleaseAndTheProgramGoesOn) {
    struct Case {
        const char* What;
        const char* Class;
        const char* Message;
    };
    for (const Case& c : {Case{"overrun", "EMemoryOverrun", "Memory Overrun leak."},
                          Case{"twice", "EMultiFree", "Multi Free memory leak."}}) {
        SCOPED_TRACE(c.What);
        const TRun r = RunHelper("on", c.What, {"events"});
        EXPECT_EQ(r.Status, 0);
        // One report, and no leak at exit after it.
        ASSERT_EQ(r.Reports.size(), 1u) << r.Output;
        const std::string& report = r.Reports[0];
        EXPECT_EQ(Field(report, "2.5"), c.Class);
        EXPECT_EQ(Field(report, "2.6"), c.Message);
        const std::string release = FirstRowUnder(report, "|*Exception Thread: ");
        EXPECT_NE(release.find(At(c.What)), std::string::npos) << report;
        EXPECT_EQ(Field(report, "2.2"), release.substr(1, 16)) << report;
        // Shown before the program goes on, and it does go on; a handled
        // report with the pass's events.
        const auto shown = r.Output.find(std::string("2.5 Type          : ") + c.Class);
        ASSERT_NE(shown, std::string::npos) << r.Output;
        EXPECT_NE(r.Output.find("ok\n", shown), std::string::npos) << r.Output;
        EXPECT_NE(r.Output.find("[event -2]\n"), std::string::npos) << r.Output;
        EXPECT_EQ(r.Output.find("[event -1]"), std::string::npos) << r.Output;

        // Without the checks the block is released (or the second release
        // ignored) silently.
        const TRun quiet = RunHelper("quiet", c.What);
        EXPECT_EQ(quiet.Output, "ok\n");
        EXPECT_TRUE(quiet.Reports.empty());
    }
    // The overrun block's allocation is listed after the release.
    const TRun overrun = RunHelper("on", "overrun");
    ASSERT_EQ(overrun.Reports.size(), 1u) << overrun.Output;
    const std::string alloc =
        FirstRowUnder(overrun.Reports[0], "|+Memory Leak: Type=Data; Total size=24; Count=1 ");
    EXPECT_NE(alloc.find("|Overrun "), std::string::npos) << overrun.Reports[0];
}

TEST_F(LeakChecker, BadReleasesInsideTheReportsOwnHandlerNeitherReportNorHang) {
    for (const char* what : {"overrun", "twice"}) {
        SCOPED_TRACE(what);
        const TRun r = RunHelper("on", what, {"bad-handler"});
        EXPECT_EQ(r.Status, 0);
        const auto done = r.Output.find("[handler done]\n");
        ASSERT_NE(done, std::string::npos) << r.Output;
        EXPECT_NE(r.Output.find("ok\n", done), std::string::npos) << r.Output;
        EXPECT_EQ(r.Reports.size(), 1u) << r.Output;
    }
}

TEST_F(LeakChecker, ExitReportOfAGuiProgramShowsTheDialogHelperAndIsLogged) {
    // The dialog closes itself after a second (the helper's options).
    const TRun r = RunHelper("gui", "data", {},
                             {"QT_QPA_PLATFORM=offscreen",
                              std::string("KESTAVO_CRASHLOG_DIALOG=") + LEAKS_DIALOG_HELPER});
    EXPECT_EQ(r.Status, 0);
    // The dialog showed it: nothing fell back to standard output, no
    // warning.
    EXPECT_EQ(r.Output.find("Memory Leak"), std::string::npos) << r.Output;
    EXPECT_EQ(r.Output.find("[WARNING]"), std::string::npos) << r.Output;
    ASSERT_EQ(r.Reports.size(), 1u) << r.Output;
    const std::string row =
        FirstRowUnder(r.Reports[0], "|+Memory Leak: Type=Data; Total size=96; Count=3 ");
    EXPECT_NE(row.find(At("data")), std::string::npos) << r.Reports[0];
}

TEST_F(LeakChecker, ReadFromTheMainProgramsLibraryData) {
    EXPECT_EQ(RunHelper("on", "active").Output, "on\n");
    EXPECT_EQ(RunHelper("off", "active").Output, "off\n");
    // The default flags keep the checker out: a leak goes unreported.
    const TRun off = RunHelper("off", "data");
    EXPECT_EQ(off.Output, "");
    EXPECT_TRUE(off.Reports.empty());

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
    ASSERT_EQ(r.Reports.size(), 1u) << r.Output;
    const std::string row = FirstRowUnder(r.Reports[0], "Type=Data; Total size=384; Count=8 ");
    EXPECT_NE(row.find(At("thread")), std::string::npos) << r.Reports[0];
    EXPECT_EQ(Field(r.Reports[0], "2.6"), "Memory Leak: Total size=384 - Count=8.");
}

TEST_F(LeakChecker, ForkWhileOtherThreadsAllocateLeavesAWorkingChild) {
    const TRun r = RunHelper("on", "fork");
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Output.find("ok\n"), std::string::npos) << r.Output;
    // The blocks a child inherited (the parent's threads, its vectors) are
    // the parent's, not leaks of the child's at its exit.
    EXPECT_TRUE(r.Reports.empty()) << r.Output;
}

}  // namespace
