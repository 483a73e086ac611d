// The real program started offscreen on prepared installations: its exit
// code, the boxes it shows (written to stderr in unattended mode) and what
// it leaves behind in files, INI values and the registry store.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "DemoInstall.h"
#include "StartupFixture.h"
#include "engine/engine.h"
#include "platform/LockFile.h"
#include "platform/Registry.h"
#include "support/ProgramRun.h"

namespace kvo::datamodule::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct TRun {
    int exitCode = -1;  // -1: did not end by itself
    std::string out, err;
};

class StartupProgramTest : public StartupTest {
  protected:
    void Install(bool empty = false) {
        demo::TDemoInstallOptions options;
        options.root = root_;
        options.empty = empty;
        options.dentists = 2;
        options.years = 1;
        ASSERT_TRUE(demo::CreateDemoInstallation(options));
    }

    // Runs the program with the fixture's environment (which points the
    // platform at root_) and the switches of an unattended run.
    TRun Run(std::string program = TARNWICK_PROGRAM) {
        fs::create_directories(Path("run"));
        fs::permissions(Path("run"), fs::perms::owner_all, fs::perm_options::replace);
        TRun run;
        const support::TProgramEnd end = support::RunProgram(
            {program},
            {"KESTAVO_UNATTENDED=1", "KESTAVO_EXIT_AFTER_START=1", "QT_QPA_PLATFORM=offscreen",
             "KESTAVO_REPORT_URL=http://127.0.0.1:9/"},
            Path("out.txt"), Path("err.txt"), std::chrono::seconds(60));
        if (!end.started) {
            ADD_FAILURE() << "cannot start " << program;
            return run;
        }
        if (end.timedOut) ADD_FAILURE() << "the program did not end (a box waiting for an answer?)";
        if (WIFEXITED(end.status)) run.exitCode = WEXITSTATUS(end.status);
        run.out = ReadFile(Path("out.txt"));
        run.err = ReadFile(Path("err.txt"));
        return run;
    }

    std::string PracticeFolder() const { return Path("P/Kestavo"); }
    std::optional<std::string> RunValue(const char* name) const {
        return platform::RegistryStore().ReadString(platform::Hive::LocalMachine, platform::kRunKey,
                                                    name);
    }
};

TEST_F(StartupProgramTest, ReadyInstallationReachesTheMainWindowAndCleansUpAtExit) {
    Install();
    const TRun run = Run();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "shown: Tarnwick 516x165\n");
    EXPECT_THAT(run.err, Not(HasSubstr("Kestavo:")));

    EXPECT_EQ(RunValue("KVO_BOOT"), "\"C:\\Kestavo\\KVO_BOOT.EXE\"");
    EXPECT_EQ(RunValue("KVO_TRAY"), "\"C:\\Kestavo\\KVO_TRAY.EXE\"");
    EXPECT_TRUE(fs::exists(Path("config/autostart/KVO_BOOT.desktop")));
    EXPECT_TRUE(fs::exists(PracticeFolder() + "/KVODEN.INI"));
    EXPECT_TRUE(fs::is_directory(PracticeFolder() + "/Letters/Laboratory"));
    EXPECT_THAT(ReadFile(Path("C/Kestavo/KVO.INI")), HasSubstr("[GetShortPathName]"));
    // Released at exit: the lock file (nobody else holds it) and the private folder.
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/KVO.LCK"));
    EXPECT_TRUE(fs::is_directory(Path("C/Kestavo/Private")));
    EXPECT_FALSE(fs::exists(Path("C/Kestavo/Private/" + common::UserNameText() + "/tarnwick")));
}

TEST_F(StartupProgramTest, MainProgramKeepsAStartupLogInTheEntrysOrder) {
    Install();
    // The same program under the suite's main name, which keeps the log.
    const std::string kvo = Path("bin/KVO");
    fs::create_directories(Path("bin"));
    fs::copy_file(TARNWICK_PROGRAM, kvo);
    const TRun run = Run(kvo);
    EXPECT_EQ(run.out, "shown: Tarnwick 516x165\n") << run.err;
    std::vector<std::string> entries;
    std::istringstream log(ReadFile(Path("C/Kestavo/Startup.LOG")));
    for (std::string line; std::getline(log, line);) {
        std::string value = line.substr(line.rfind(", ") + 2);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        entries.push_back(value);
    }
    // The shared library starts the log, the data module's unit notes
    // itself, then the module's creation runs to its end.
    ASSERT_GE(entries.size(), 5u);
    EXPECT_THAT(std::vector(entries.begin(), entries.begin() + 5),
                ::testing::ElementsAre("START", "0.01", "0.02", "0.21", "9.1"));
    EXPECT_THAT(entries, ::testing::Contains("9.28"));  // its health check ran and passed
    EXPECT_EQ(entries.back(), "9.999");
}

TEST_F(StartupProgramTest, PackingProgramHoldingTheLockKeepsTheProgramOut) {
    Install();
    platform::LockFile packer;
    ASSERT_TRUE(packer.Hold(PracticeFolder() + "/KVO.LCK", platform::LockMode::Exclusive));
    const TRun run = Run();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr("Kestavo: The program is currently packing.\n"));
    // Nothing after the lock ran: no folder tree, and the packer's file is left.
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/Bin"));
    EXPECT_TRUE(fs::exists(PracticeFolder() + "/KVO.LCK"));

    // Other programs holding it shared do not keep it out.
    packer.Release();
    platform::LockFile other;
    ASSERT_TRUE(other.Hold(PracticeFolder() + "/KVO.LCK", platform::LockMode::Shared));
    const TRun shared = Run();
    EXPECT_EQ(shared.out, "shown: Tarnwick 516x165\n") << shared.err;
    EXPECT_TRUE(fs::exists(PracticeFolder() + "/KVO.LCK"));  // still held by `other`
}

TEST_F(StartupProgramTest, MissingDataFolderIsRefusedWithItsMessage) {
    Install();
    fs::remove_all(PracticeFolder());
    const TRun run = Run();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err,
                HasSubstr("Kestavo: The directory \"P:\\Kestavo\\\" can not be accessed.\r\rIf "
                          "this is a network drive, please ensure that the network is working.\n"));
    EXPECT_FALSE(fs::exists(PracticeFolder()));
    EXPECT_TRUE(RunValue("KVO_BOOT").has_value());  // earlier steps keep what they wrote
}

TEST_F(StartupProgramTest, NewWorkstationAsksForTheDataDriveAndEndsWithoutOne) {
    Install(/*empty=*/true);
    const TRun run = Run();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, Not(HasSubstr("Kestavo:")));
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/Bin"));
}

TEST_F(StartupProgramTest, DamagedPracticeIsReportedAndTheLockReleased) {
    Install();
    std::ofstream(PracticeFolder() + "/Data/" + engine::kDatabaseFileName, std::ios::trunc)
        << "garbage left by a failed copy";
    const TRun run = Run();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr("Kestavo: Unable to initialize program:\r\r"));
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/KVO.LCK"));
}

}  // namespace
}  // namespace kvo::datamodule::testing
