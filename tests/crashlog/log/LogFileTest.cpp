#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CrashDebugCodec.h"
#include "crashlog/CrashLogFile.h"
#include "crashlog/CrashOptions.h"

namespace fs = std::filesystem;
using namespace crashlog;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string Data(const char* name) {
    return ReadFile(fs::path(KVO_LOG_DATA) / name);
}

std::string ReportWithId(const std::string& id) {
    std::string text = Data("report_1a2b.txt");
    std::size_t at = text.find("2.7 ID            : 1A2B");
    text.replace(at + 20, 4, id);
    return text;
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/crashlog-log-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

}  // namespace

// The stray header is dropped; CR LF and bare LF files give the same entries;
// a load-save cycle writes back what a save wrote.
TEST_F(LogFileTest, SplitsEntriesAndDropsPiecesWithoutATable) {
    WriteFile(dir_ / "crlf.clf", Data("two_entries.clf"));
    WriteFile(dir_ / "lf.clf", Data("two_entries_lf.clf"));
    TLogFile crlf((dir_ / "crlf.clf").string());
    TLogFile lf((dir_ / "lf.clf").string());
    ASSERT_EQ(crlf.Count(), 2);
    ASSERT_EQ(lf.Count(), 2);
    EXPECT_EQ(crlf.Entry(0), lf.Entry(0));
    EXPECT_EQ(crlf.Entry(1), lf.Entry(1));
    EXPECT_EQ(crlf.Entry(0), Data("report_1a2b.txt") + "\r\n\r\n");
    EXPECT_EQ(crlf.GetField("2.7", 1), "3C4D");

    crlf.Save();
    std::string saved = ReadFile(dir_ / "crlf.clf");
    EXPECT_EQ(saved,
              Data("report_1a2b.txt") + "\r\n\r\n\r\n" + Data("report_3c4d.txt") + "\r\n\r\n\r\n");
    TLogFile again((dir_ / "crlf.clf").string());
    again.Save();
    EXPECT_EQ(ReadFile(dir_ / "crlf.clf"), saved);
}

TEST_F(LogFileTest, GarbageLoadsEmptyAndMissingFileIsCreatedAtSave) {
    WriteFile(dir_ / "junk.clf", "no report here\r\n\r\n\r\n\r\nnor here-\r\n");
    EXPECT_EQ(TLogFile((dir_ / "junk.clf").string()).Count(), 0);
    EXPECT_EQ(TLogFile::SplitEntries("").size(), 0u);

    TLogFile fresh((dir_ / "sub" / "new.clf").string());
    EXPECT_EQ(fresh.Count(), 0);
    EXPECT_TRUE(fs::is_directory(dir_ / "sub"));
    EXPECT_FALSE(fs::exists(dir_ / "sub" / "new.clf"));
    fresh.AddEntry(Data("report_1a2b.txt"), 32);
    fresh.Save();
    EXPECT_EQ(TLogFile((dir_ / "sub" / "new.clf").string()).Count(), 1);
}

TEST_F(LogFileTest, EntryLimitDropsTheOldest) {
    struct Case {
        int limit;
        int before;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {3, 3, {"0002", "0003", "NEW0"}},          {3, 1, {"0001", "NEW0"}}, {1, 3, {"NEW0"}},
        {-1, 3, {"0001", "0002", "0003", "NEW0"}}, {0, 2, {"NEW0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        TLogFile log((dir_ / "limit.clf").string());
        for (int i = 1; i <= c.before; ++i)
            log.AddEntry(ReportWithId("000" + std::to_string(i)), -1);
        log.AddEntry(ReportWithId("NEW0"), c.limit);
        ASSERT_EQ(log.Count(), static_cast<int>(c.kept.size()));
        for (int i = 0; i < log.Count(); ++i)
            EXPECT_EQ(log.GetField("2.7", i), c.kept[static_cast<std::size_t>(i)]);
    }
}

TEST_F(LogFileTest, FieldsReadEditAndInsert) {
    TLogFile log((dir_ / "fields.clf").string());
    log.AddEntry(Data("report_1a2b.txt"), -1);

    // A value over several lines comes back with CR LF, unescaped.
    EXPECT_EQ(log.GetField("2.6", 0),
              "Record locked by another user.\r\nTable: APP_REC.DB\r\n\r\nRetry later.");
    EXPECT_EQ(log.GetField("1.3", 0), "1.0.0.7");
    EXPECT_EQ(log.GetField("3.3", 0), "");
    EXPECT_EQ(log.GetField("2.8", 0), "");
    EXPECT_EQ(log.GetField("1.3", 5), "");
    EXPECT_EQ(log.GetField("2.7", -1), "");

    // A missing 2.8 goes at the end of section 2, padded like its labels.
    log.SetField("2.8", "2", 0, "Count");
    EXPECT_NE(
        log.Entry(0).find("  2.7 ID            : 1A2B\r\n  2.8 Count         : 2\r\n\r\nUser:"),
        std::string::npos)
        << log.Entry(0);
    log.SetField("2.8", "3", 0, "Count");
    EXPECT_EQ(log.GetField("2.8", 0), "3");

    // Replacing a multi-line value keeps the continuation lines recognisable.
    log.SetField("2.6", "one: two\r\nthree", 0, "Message");
    EXPECT_EQ(log.GetField("2.6", 0), "one: two\r\nthree");
    EXPECT_EQ(log.GetField("2.7", 0), "1A2B");

    // Set the e-mail on an empty value; a section without items takes nothing.
    log.SetField("3.3", "anna@example.org", 0, "Email");
    EXPECT_EQ(log.GetField("3.3", 0), "anna@example.org");
    std::string before = log.Entry(0);
    log.SetField("9.1", "x", 0, "Nothing");
    log.SetField("2.8", "x", 7, "Count");
    EXPECT_EQ(log.Entry(0), before);
}

TEST_F(LogFileTest, FindEntryReturnsTheLastMatch) {
    TLogFile log((dir_ / "find.clf").string());
    log.AddEntry(ReportWithId("AAAA"), -1);
    log.AddEntry(ReportWithId("BBBB"), -1);
    log.AddEntry(ReportWithId("AAAA"), -1);
    EXPECT_EQ(log.FindEntry({"2.7"}, {"AAAA"}), 2);
    EXPECT_EQ(log.FindEntry({"2.7"}, {"BBBB"}), 1);
    EXPECT_EQ(log.FindEntry({"2.7"}, {"CCCC"}), -1);
    EXPECT_EQ(log.FindEntry({"9.9", "2.7"}, {"AAAA", "BBBB"}), 1);
}

TEST(LogItem, BuildsAlignedSectionsAndDropsEmptyOnes) {
    TLogItem item;
    item.AddSection("Application");
    item.AddItem("Start Date", "today");
    item.AddItem("Name/Description", "tarnwick");
    item.AddItem("Hidden", "x", false);
    item.AddItem("Version", "1.0");
    item.AddSection("Nothing shown");
    item.AddItem("Hidden", "y", false);
    item.AddSection("Exception");
    item.AddItem("Message", "first: line\n\nlast");
    item.AddItem("ID", "1A2B");
    EXPECT_EQ(item.Section(), 3);
    EXPECT_EQ(item.Text(),
              "Application:\r\n"
              "--------------------------------\r\n"
              "  1.1 Start Date      : today\r\n"
              "  1.2 Name/Description: tarnwick\r\n"
              "  1.4 Version         : 1.0\r\n"
              "\r\n"
              "Exception:\r\n"
              "--------------------------\r\n"
              "  3.1 Message: first:_line\r\n"
              "               .\r\n"
              "               last\r\n"
              "  3.2 ID     : 1A2B");
}

TEST(LogItem, EscapingRoundTrips) {
    struct Case {
        const char* value;
        const char* escaped;
        const char* readBack;
    };
    const Case cases[] = {
        {"plain: value", "plain: value", "plain: value"},
        {"a\rb\nc\r\nd", "a\r\n b\r\n c\r\n d", "a\r\nb\r\nc\r\nd"},
        {"x: y\r\n\r\n  \r\nz", "x:_y\r\n .\r\n .\r\n z", "x: y\r\n\r\n\r\nz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(EscapeLogValue(c.value), c.escaped);
        EXPECT_EQ(UnescapeLogValue(EscapeLogValue(c.value)), c.readBack);
    }
}

TEST_F(LogFileTest, XmlOfTheWholeLogMatchesTheGoldenFile) {
    WriteFile(dir_ / "xml.clf", Data("two_entries.clf"));
    TLogFile log((dir_ / "xml.clf").string());
    std::string xml = log.XmlText();
    if (std::getenv("KVO_REBASE_GOLDEN"))
        WriteFile(fs::path(KVO_LOG_DATA) / "two_entries.xml", xml);
    EXPECT_EQ(xml, Data("two_entries.xml"));
    log.SaveAsXml((dir_ / "out.xml").string());
    EXPECT_EQ(ReadFile(dir_ / "out.xml"), xml);
}

TEST_F(LogFileTest, XmlEscapesAttributeValues) {
    TLogFile log((dir_ / "escape.clf").string());
    std::string report = Data("report_1a2b.txt");
    report.replace(report.find("tarnwick - (Tarnwick)"), 21, "a<b \"q\" & 'c' \xE9");
    log.AddEntry(report, -1);
    std::string xml = log.XmlText();
    EXPECT_NE(xml.find("Value=\"a&#060;b &#034;q&#034; &#038; &#039;c&#039; &#233;\""),
              std::string::npos)
        << xml;
    EXPECT_EQ(TLogFile((dir_ / "none.clf").string()).XmlText(), "<Doc>\r\n</Doc>");
}

// A name part as a report shows it without the right password.
std::string Protected(const std::string& plain, const std::string& password) {
    const Bytes bytes(plain.begin(), plain.end());
    return "?" + Base64(TeaEncipher(DebugKeyFromPassword(password), bytes));
}

// Names a report could not decipher come back in plain text in the XML form
// when the log has the password, all three or none.
TEST_F(LogFileTest, XmlDeciphersProtectedNamesWithThePassword) {
    const std::string unit = Protected("uresetapp_cal", "secret");
    const std::string cls = Protected("TForm1", "secret");
    const std::string proc = Protected("BTN_GOClick", "secret");
    struct Case {
        const char* name;
        std::string unit, cls, proc, password;
        std::string xmlUnit, xmlClass, xmlProc;  // empty: as in the report
    };
    const Case cases[] = {
        {"pascal unit", "?p" + unit.substr(1), cls, proc, "secret", "uresetapp_cal.pas", "TForm1",
         "BTN_GOClick"},
        {"other language", "?c" + unit.substr(1), cls, proc, "secret", "uresetapp_cal.cpp",
         "TForm1", "BTN_GOClick"},
        {"unit with its extension", "?c" + unit.substr(1) + "." + Protected("cc", "secret"), "",
         proc, "secret", "uresetapp_cal.cc", "", "BTN_GOClick"},
        {"procedure with '@'", "?p" + unit.substr(1), "", Protected("@main", "secret"), "secret",
         "uresetapp_cal.pas", "", "_main"},
        {"wrong password", "?p" + unit.substr(1), cls, proc, "guess", "", "", ""},
        {"no password", "?p" + unit.substr(1), cls, proc, "", "", "", ""},
        {"one name damaged", "?p" + unit.substr(1), cls, proc.substr(0, proc.size() - 1), "secret",
         "", "", ""},
        {"not base64", "?p" + unit.substr(1), "?T*m", proc, "secret", "", "", ""},
        {"plain unit", "uresetapp_cal.cpp", cls, proc, "secret", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string report = Data("report_1a2b.txt");
        const std::string row = "|uresetapp_cal.cpp|TForm1|BTN_GOClick     |";
        report.replace(report.find(row), row.size(),
                       "|" + c.unit + "|" + c.cls + "|" + c.proc + "|");
        TLogFile log((dir_ / (std::string(c.name) + ".clf")).string());
        log.AddEntry(report, -1);
        if (!c.password.empty()) log.SetPassword(c.password);
        const std::string xml = log.XmlText();
        const bool plain = !c.xmlUnit.empty();
        std::string proc = plain ? c.xmlProc : c.proc;
        if (!plain && !proc.empty() && proc[0] == '@') proc[0] = '_';
        const std::string expected = "Unit=\"" + (plain ? c.xmlUnit : c.unit) + "\" Class=\"" +
                                     (plain ? c.xmlClass : c.cls) + "\" Procedure=\"" + proc + "\"";
        EXPECT_NE(xml.find(expected), std::string::npos) << expected << "\n" << xml;
    }
}

TEST_F(LogFileTest, DuplicatesAreCountedOnlyWhenMerging) {
    std::string path = (dir_ / "dup.clf").string();
    TLogStoreRequest request{path, Data("report_1a2b.txt"), "1A2B", 32, false, false};
    EXPECT_TRUE(StoreReportInLog(request).saved);
    TLogStoreResult second = StoreReportInLog(request);
    EXPECT_FALSE(second.duplicate);
    EXPECT_EQ(second.entries, 2);

    request.mergeDuplicates = true;
    TLogStoreResult third = StoreReportInLog(request);
    EXPECT_TRUE(third.duplicate);
    EXPECT_EQ(third.count, 2);
    EXPECT_EQ(third.entries, 2);
    request.wantWholeLog = true;
    TLogStoreResult fourth = StoreReportInLog(request);
    EXPECT_EQ(fourth.count, 3);
    TLogFile log(path);
    EXPECT_EQ(log.GetField("2.8", 1), "3");
    EXPECT_EQ(log.GetField("2.8", 0), "");
    EXPECT_EQ(fourth.wholeLog, log.WholeText());
    EXPECT_TRUE(LogHoldsReport(path, "1A2B"));
    EXPECT_FALSE(LogHoldsReport(path, "FFFF"));
    EXPECT_EQ(LastLoggedVersion(path), "1.0.0.7");

    request.reportId = "3C4D";
    request.reportText = Data("report_3c4d.txt");
    EXPECT_FALSE(StoreReportInLog(request).duplicate);
    EXPECT_EQ(TLogFile(path).Count(), 3);
}

TEST_F(LogFileTest, FailedStoreIsReportedNotSwallowed) {
    // A folder where the log file should be: nothing can be read or written.
    fs::create_directories(dir_ / "taken.clf");
    TLogStoreResult result =
        StoreReportInLog({(dir_ / "taken.clf").string(), "r", "1", 32, false, false});
    EXPECT_FALSE(result.saved);
    EXPECT_EQ(result.error.rfind("[Log] ", 0), 0u) << result.error;
}

// Four processes store twenty reports each into one log at the same time:
// the lock makes every store see the others' entries.
TEST_F(LogFileTest, ConcurrentStoresLoseNothing) {
    std::string path = (dir_ / "shared.clf").string();
    std::vector<pid_t> children;
    for (int p = 0; p < 4; ++p) {
        pid_t pid = ::fork();
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < 20; ++i) {
                char id[8];
                std::snprintf(id, sizeof id, "%d%03d", p, i);
                ok = StoreReportInLog({path, ReportWithId(id), id, -1, false, false}).saved && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    TLogFile log(path);
    EXPECT_EQ(log.Count(), 80);
    EXPECT_FALSE(fs::exists(path + ".XXXXXX"));
}

// A process killed at random points while it saves never leaves a damaged
// log: every entry that was there before is still there, whole.
TEST_F(LogFileTest, KilledWhileSavingKeepsTheEntries) {
    std::string path = (dir_ / "killed.clf").string();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(
            StoreReportInLog({path, ReportWithId("K00" + std::to_string(i)), "", -1, false, false})
                .saved);
    for (int round = 0; round < 8; ++round) {
        pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0;; ++i)
                StoreReportInLog(
                    {path, ReportWithId("C" + std::to_string(i % 1000)), "", 40, false, false});
        }
        ::usleep(static_cast<useconds_t>(3000 + round * 1700));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        TLogFile log(path);
        ASSERT_GE(log.Count(), 5);
        for (int i = 0; i < log.Count(); ++i)
            EXPECT_EQ(log.GetField("1.3", i), "1.0.0.7");
    }
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_TRUE(entry.path().extension() == ".clf" || entry.path().extension() == ".lock" ||
                    entry.path().filename().string().rfind("killed.clf.", 0) == 0);
}

TEST_F(LogFileTest, LogPathFollowsTheOptions) {
    ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    ::setenv("KVO_TEST_LOGS", (dir_ / "vars").c_str(), 1);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    struct Case {
        const char* outputFolder;
        std::uint8_t logFlags;
        const char* module;
        fs::path expected;
    };
    const Case cases[] = {
        {"", 0, "bin/tarnwick", dir_ / "bin" / "tarnwick.clf"},
        {"", 0, "bin/libthing.so", dir_ / "bin" / "libthing.clf"},
        {"logs", 0, "bin/tarnwick", dir_ / "logs" / "tarnwick.clf"},
        {"other/All.CLF", 0, "bin/tarnwick", dir_ / "other" / "All.CLF"},
        {"%KVO_TEST_LOGS%", 0, "bin/tarnwick", dir_ / "vars" / "tarnwick.clf"},
        {"", log_flags::ComputerNameInLogName, "bin/tarnwick",
         dir_ / "bin" / ("tarnwick_" + std::string(host) + ".clf")},
        // A folder that cannot be made: the user's state folder instead.
        {"/etc/hostname/sub", 0, "bin/tarnwick",
         dir_ / "state" / "kestavo" / "crashlog" / "tarnwick.clf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outputFolder);
        TCrashModuleOptions options;
        std::string output = c.outputFolder;
        if (!output.empty() && output[0] != '/' && output[0] != '%')
            output = (dir_ / output).string();
        options.SetOutputFolder(output);
        options.SetLogFlags(c.logFlags);
        EXPECT_EQ(LogFilePath(options, (dir_ / c.module).string()), c.expected.string());
    }
    ::unsetenv("XDG_STATE_HOME");
}
