// The program itself, offscreen on a demonstration installation: "Go" is
// pressed while another process holds the appointment tables, the engine's
// error leaves the click handler, and the crash library's report names the
// handler and the break reset at the lines where they were.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <regex>

#include "DemoInstall.h"
#include "StartupFixture.h"
#include "engine/engine.h"
#include "support/ProgramRun.h"

namespace kvo::datamodule::testing {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> SourceLines(const std::string& file) {
    std::ifstream in(std::string(KVO_APP_SOURCES) + "/" + file);
    std::vector<std::string> lines{""};  // 1-based
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The line of the first source line holding `text`; 0 when none.
int LineOf(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 1; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return int(i);
    return 0;
}

// The line column ("212[20]" gives 212) of the call-stack row naming `proc`.
int ReportedLine(const std::string& report, const std::string& proc) {
    std::regex row("\\|" + proc + " *\\|([0-9]+)\\[");
    std::smatch m;
    return std::regex_search(report, m, row) ? std::stoi(m[1]) : 0;
}

class TarnwickReportTest : public StartupTest {};

TEST_F(TarnwickReportTest, GoOnALockedPracticeIsReportedWithTheHandlerAndTheResetAtTheirLines) {
    demo::TDemoInstallOptions options;
    options.root = root_;
    options.dentists = 2;
    options.years = 1;
    ASSERT_TRUE(demo::CreateDemoInstallation(options));

    // Another workstation holds the tables for the whole run.
    engine::Session().Database("OTHER").Params() = {"PATH=" + Path("P/Kestavo/Data")};
    engine::TTable theirs;
    theirs.SetDatabaseName("OTHER");
    theirs.SetTableName("APP_REC.DB");
    theirs.Open();
    theirs.Edit();

    const std::string out = Path("out.txt"), err = Path("err.txt");
    const support::TProgramEnd end =
        support::RunProgram({TARNWICK_PROGRAM},
                            {"KESTAVO_UNATTENDED=1", "KESTAVO_CLICK_AFTER_START=BTN_GO",
                             "QT_QPA_PLATFORM=offscreen", "KESTAVO_REPORT_URL=http://127.0.0.1:9/"},
                            out, err, std::chrono::seconds(90));
    ASSERT_TRUE(end.started);
    if (end.timedOut) ADD_FAILURE() << "the program did not end";
    theirs.Cancel();
    engine::Session().RemoveDatabase("OTHER");

    const std::string report = ReadFile(out);
    SCOPED_TRACE(ReadFile(err));
    // The library dealt with it: the loop went on and the program ended
    // normally when asked to.
    EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0);
    ASSERT_THAT(report, HasSubstr("CrashLog 6.0.20"));
    EXPECT_THAT(report, HasSubstr("EDBEngineError"));
    EXPECT_THAT(report, HasSubstr("locked"));

    const auto form = SourceLines("uresetapp_cal.cpp");
    EXPECT_EQ(ReportedLine(report, "BTN_GOClick"), LineOf(form, "ClearBreaksFrom(APP_CAL_Table"));
    // The reset's row names a line of its own body that calls the engine.
    const auto reset = SourceLines("break_reset.cpp");
    int first = 0;  // the definition: the one line naming it at the margin
    for (size_t i = 1; i < reset.size() && !first; ++i)
        if (!reset[i].empty() && reset[i][0] != ' ' &&
            reset[i].find(" ClearBreaksFrom(") != std::string::npos)
            first = int(i);
    const int line = ReportedLine(report, "ClearBreaksFrom");
    ASSERT_GT(first, 0);
    EXPECT_GT(line, first);
    ASSERT_LT(size_t(line), reset.size());
    EXPECT_THAT(reset[size_t(line)], HasSubstr("("));
}

}  // namespace
}  // namespace kvo::datamodule::testing
