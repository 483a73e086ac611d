#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "SharedFixture.h"
#include "platform/Sys.h"
#include "platform/System.h"
#include "platform/VersionNote.h"

namespace kvo::common::testing {
namespace {

class Recording : public SharedFixture {
  protected:
    fs::path EventsFile() const { return c_ / "Kestavo" / "EVENTS.XML"; }
    fs::path MainLog() const { return c_ / "Kestavo" / "Startup.LOG"; }

    std::string Block(const std::string& cls, const std::string& text, const std::string& extra) {
        return "<ERR>\r\n<DATE>10/12/2026</DATE>\r\n<TIME>09:05:03</TIME>\r\n<USERNAME>" +
               UserNameText() +
               "</USERNAME>\r\n<APPLICATION>KVO</APPLICATION>\r\n<VERSION>-1.-1.-1.-1</VERSION>\r\n"
               "<PROCESS>1.2.3.4</PROCESS>\r\n<CLASS>" +
               cls + "</CLASS>\r\n<TEXT>" + text + "</TEXT>\r\n" + extra + "</ERR>\r\n";
    }
};

TEST_F(Recording, EventsFileHoldsBlocksVerbatimOldestFirst) {
    SetProcessVersion(1, 2, 3, 4);
    std::vector<std::string> offered;
    SetEventReportHook(
        [&](const std::string& cls, const std::string& text, const std::string& stack) {
            offered.push_back(cls + "|" + text + "|" + stack);
            return cls == "Error";  // the server takes the first event only
        });

    RecordEvent("Error", "a < b & c\r\nsecond line", "at Foo\r\nat Bar");
    RecordEvent("Warning", "<TEXT>&amp;");

    EXPECT_EQ(ReadAll(EventsFile()),
              "<?xml version=\"1.0\"?>\r\n<EVENTS>\r\n" +
                  Block("Error", "a < b & c\r\nsecond line",
                        "<STACK>at Foo\r\nat Bar</STACK>\r\n<REPORTED>True</REPORTED>\r\n") +
                  Block("Warning", "<TEXT>&amp;", "") + "</EVENTS>\r\n");
    EXPECT_EQ(offered, (std::vector<std::string>{"Error|a < b & c\r\nsecond line|at Foo\r\nat Bar",
                                                 "Warning|<TEXT>&amp;|"}));
    EXPECT_TRUE(shown().empty());
}

TEST_F(Recording, FileAtTheCapIsLeftAloneButTheEventIsStillOffered) {
    struct Case {
        std::size_t size;
        bool grows;
    };
    for (Case c : {Case{16383, true}, Case{16384, false}, Case{20000, false}}) {
        std::string content = "<?xml version=\"1.0\"?>\r\n<EVENTS>\r\n";
        content += std::string(c.size - content.size() - 13, 'x') + "\r\n</EVENTS>\r\n";
        ASSERT_EQ(content.size(), c.size);
        WriteAll(EventsFile(), content);
        int offers = 0;
        SetEventReportHook([&](auto&, auto&, auto&) { return ++offers, true; });

        RecordEvent("Error", "late");

        EXPECT_EQ(offers, 1);
        std::string after = ReadAll(EventsFile());
        EXPECT_EQ(after.size() > c.size, c.grows) << c.size;
        if (c.grows) {
            EXPECT_TRUE(after.ends_with("<REPORTED>True</REPORTED>\r\n</ERR>\r\n</EVENTS>\r\n"));
        }
    }
}

TEST_F(Recording, EmptyEventsFileIsBegunAfresh) {
    WriteAll(EventsFile(), "");
    RecordEvent("Information", "first");
    std::string after = ReadAll(EventsFile());
    EXPECT_TRUE(after.starts_with("<?xml version=\"1.0\"?>\r\n<EVENTS>\r\n<ERR>\r\n")) << after;
    EXPECT_TRUE(after.ends_with("</ERR>\r\n</EVENTS>\r\n"));
}

TEST_F(Recording, FailuresNeverReachTheCaller) {
    // The events file cannot be written (a folder stands in its place), the
    // report throws, and the developer box is on: the call still returns.
    fs::create_directories(EventsFile());
    Settings().developerWorkstation = true;
    SetEventReportHook([](auto&, auto&, auto&) -> bool { throw std::runtime_error("offline"); });
    EXPECT_NO_THROW(RecordEvent("Error", "disk full"));
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0].text, "Error\r\rdisk full");
    EXPECT_EQ(shown()[0].caption, "Kestavo");
    EXPECT_EQ(shown()[0].flags, kMbInformation);

    // An unmapped installation drive is no different.
    fs::remove(EventsFile());
    Settings().installFolder = "Q:\\Nowhere\\";
    EXPECT_NO_THROW(RecordEvent("Error", "no drive"));
}

// A missing installation folder: the lock file beside the events file can
// never be made, so it is tried once, not for the two seconds a busy one is.
TEST_F(Recording, ALockFileThatCannotBeMadeIsNotWaitedFor) {
    static int lockOpens;
    lockOpens = 0;
    platform::ScopedSysOverride sys;
    sys.table().open = [](const char* path, int flags, mode_t mode) {
        lockOpens += std::string_view(path).ends_with(".lck");
        return platform::RealSysCalls().open(path, flags, mode);
    };
    Settings().installFolder = "C:\\Gone\\";
    std::vector<std::string> offered;
    SetEventReportHook([&](auto& cls, auto&, auto&) {
        offered.push_back(cls);
        return true;
    });
    EXPECT_NO_THROW(RecordEvent("Error", "no folder"));
    EXPECT_EQ(lockOpens, 1);
    EXPECT_EQ(offered, std::vector<std::string>{"Error"});  // still offered to the report
    EXPECT_FALSE(fs::exists(c_ / "Gone"));
}

TEST_F(Recording, FailedEventIsMarkedNotReportedWhenTheReportThrows) {
    SetEventReportHook([](auto&, auto&, auto&) -> bool { throw 42; });
    RecordEvent("Error", "x", "s");
    std::string after = ReadAll(EventsFile());
    EXPECT_NE(after.find("<STACK>s</STACK>\r\n</ERR>"), std::string::npos) << after;
    EXPECT_EQ(after.find("REPORTED"), std::string::npos);
}

TEST_F(Recording, ProgramsRecordingAtOnceLoseNoBlock) {
    constexpr int kProcesses = 3, kEvents = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kEvents; ++i)
                RecordEvent("Information", "from child");
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    std::string after = ReadAll(EventsFile());
    std::size_t blocks = 0;
    for (auto at = after.find("<ERR>"); at != std::string::npos; at = after.find("<ERR>", at + 1))
        ++blocks;
    EXPECT_EQ(blocks, std::size_t{kProcesses * kEvents});
    EXPECT_TRUE(after.ends_with("</ERR>\r\n</EVENTS>\r\n"));
}

TEST(StartupLogFormat, LinesAndCheckpointTexts) {
    LocalDateTime t{2026, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(StartupLogLine(t, 0, "START"), "02/01/2026 03:04:05.006,        0, START");
    EXPECT_EQ(StartupLogLine(t, 1234, "9.1"), "02/01/2026 03:04:05.006,     1234, 9.1");
    EXPECT_EQ(StartupLogLine(t, 4294967295u, "x"), "02/01/2026 03:04:05.006, 4294967295, x");
    struct Case {
        double value;
        const char* text;
    };
    for (Case c : {Case{9.141, "9.141"}, Case{0.01, "0.01"}, Case{9.1, "9.1"}, Case{1, "1"},
                   Case{12.5, "12.5"}, Case{0.1 + 0.2, "0.3"}})
        EXPECT_EQ(CheckpointText(c.value), c.text);
    EXPECT_EQ(RunFileStampText(t), "20260102030405006");
}

TEST_F(Recording, StartupLogRunFromStartToEnd) {
    UseDataDriveD();
    WriteAll(MainLog(), "old run\r\n");
    StartupCheckpoint(0);
    clock_.tick += 1234;
    StartupCheckpoint(9.1);
    clock_.tick += 766;
    StartupCheckpoint(9999);
    clock_.tick += 5;
    StartupCheckpoint(12);

    const std::string start = "10/12/2026 09:05:03.007,        0, START\r\n";
    const std::string mid = "10/12/2026 09:05:03.007,     1234, 9.1\r\n";
    const std::string end = "10/12/2026 09:05:03.007,      766, END\r\n";
    EXPECT_EQ(ReadAll(MainLog()), start + mid + end + "10/12/2026 09:05:03.007,        5, 12\r\n");
    // The per-run file closes for good at END.
    EXPECT_EQ(ReadAll(c_ / "Kestavo" / "Startup" / "20261210090503007.TXT"), start + mid + end);
    EXPECT_EQ(ReadAll(d_ / "Kestavo" / "KVODEN.DAT"),
              "[" + ComputerNameText() + "]\r\nStartup=2.00\r\n");
}

TEST_F(Recording, ElapsedTimeSurvivesTheTickCounterWrapping) {
    clock_.tick = 0xFFFFFFF0u;
    WriteStartupLog("START");
    clock_.tick = 0x10;
    WriteStartupLog("after wrap");
    EXPECT_TRUE(ReadAll(MainLog()).ends_with(",       32, after wrap\r\n"));
}

TEST_F(Recording, OnlyTheTwoMainProgramsKeepAStartupLog) {
    for (const char* program : {"kvo", "Tarnwick", "KVO2", "RULER"}) {
        Settings().programPath = (root_ / "bin" / program).string();
        StartupCheckpoint(0);
        StartupCheckpoint(1.5);
        FileVersionNumber(Settings().programPath);
        EXPECT_FALSE(fs::exists(MainLog())) << program;
    }
    Settings().programPath = "/opt/rul/RUL.exe";
    WriteStartupLog("START");
    EXPECT_TRUE(fs::exists(MainLog()));
}

TEST_F(Recording, FileVersionOfAMissingFileAndItsLogLines) {
    EXPECT_EQ(FileVersionNumber((root_ / "missing").string()), (FileVersion{-1, -1, -1, -1}));
    WriteAll(root_ / "plain.bin", "not a program");
    EXPECT_EQ(FileVersionNumber((root_ / "plain.bin").string()), (FileVersion{0, 0, 0, 0}));
    std::string log = ReadAll(MainLog());
    EXPECT_NE(log.find(", VersionNumber: " + (root_ / "missing").string() + "\r\n"),
              std::string::npos);
    EXPECT_NE(log.find(", VersionNumber: GetFileVersionInfoSize\r\n"), std::string::npos);
    EXPECT_EQ(log.find("Complete"), std::string::npos);
}

TEST_F(Recording, FileVersionOfAProgramWithItsNote) {
    // Every program of the build carries a version note, this test included.
    const std::string self = platform::ExecutablePath();
    auto note = platform::ReadVersionNote(self);
    ASSERT_TRUE(note);
    FileVersion v = FileVersionNumber(self);
    EXPECT_EQ(VersionText(v), std::to_string(note->major) + "." + std::to_string(note->minor) +
                                  "." + std::to_string(note->release) + "." +
                                  std::to_string(note->build));
    std::string log = ReadAll(MainLog());
    for (const char* step :
         {"GetFileVersionInfoSize", "GetFileVersionInfo", "VerQueryValue", "Complete"})
        EXPECT_NE(log.find(std::string(", VersionNumber: ") + step + "\r\n"), std::string::npos)
            << step;
}

TEST_F(Recording, ShowErrorAndAbortEndsWithAFullStopAndTheSilentAbort) {
    struct Case {
        const char* given;
        const char* shown;
    };
    for (Case c : {Case{"You must select a drive", "You must select a drive."},
                   Case{"Done.", "Done."}, Case{"", ""}}) {
        platform::ScriptedPresenter presenter;
        platform::ScopedPresenter scope(presenter);
        EXPECT_THROW(ShowErrorAndAbort(c.given), ESilentAbort);
        ASSERT_EQ(presenter.shown().size(), 1u);
        EXPECT_EQ(presenter.shown()[0].text, c.shown);
        EXPECT_EQ(presenter.shown()[0].flags, kMbWarning);
        EXPECT_EQ(presenter.shown()[0].caption, "Kestavo");
    }
}

TEST(Identity, NamesVersionsAndSystemSentences) {
    struct Case {
        const char* path;
        const char* base;
    };
    for (Case c : {Case{"/usr/bin/KVO", "KVO"}, Case{"C:\\Kestavo\\Tarnwick.exe", "Tarnwick"},
                   Case{"a.b.c", "a.b"}, Case{"/x.y/plain", "plain"}, Case{"", ""}})
        EXPECT_EQ(ExeBaseName(c.path), c.base);
    EXPECT_EQ(VersionText({1, 0, -1, 65535}), "1.0.-1.65535");
    EXPECT_FALSE(UserNameText().empty());
    EXPECT_FALSE(ComputerNameText().empty());
    EXPECT_EQ(FormatSystemError(ENOENT, "x"), "No such file or directory");
    EXPECT_EQ(FormatSystemError(987654, "x"), "");
}

}  // namespace
}  // namespace kvo::common::testing
