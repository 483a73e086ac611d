// The start-up data module run in-process over a prepared installation, with
// message boxes and dialogs answered from scripts and the end of the process
// replaced by a counter.
#include <gmock/gmock.h>
#include <sqlite3.h>

#include <filesystem>

#include "DemoInstall.h"
#include "StartupFixture.h"
#include "common/CommonHelpers.h"
#include "datamodule/Main_DataModules.h"
#include "datamodule/Selection.h"
#include "engine/engine.h"
#include "platform/Ini.h"
#include "platform/Registry.h"

namespace kvo::datamodule::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class StartupSequenceTest : public StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        cwd_ = fs::current_path();
        previousEnd_ = SetEndProcess([this] { ++ended_; });
        previousDialogs_ = SetSelectionDialogs(&dialogs_);
        common::ResetRecordingStateForTesting();
        common::SetEventReportHook({});
    }
    void TearDown() override {
        common::UnlockDataArea();
        engine::Session().Close();
        engine::Session().RemoveAllPasswords();
        engine::Session().RemoveDatabase("KVO");
        SetSelectionDialogs(previousDialogs_);
        SetEndProcess(previousEnd_);
        fs::current_path(cwd_);
        StartupTest::TearDown();
    }

    // The demonstration installation (drives C: and P:, data drive key P:,
    // a small practice) in the test's folder, which the fixture's
    // environment already points at.
    void Install(bool empty = false) {
        demo::TDemoInstallOptions options;
        options.root = root_;
        options.empty = empty;
        options.dentists = 1;
        options.years = 1;
        ASSERT_TRUE(demo::CreateDemoInstallation(options));
    }
    void Program(const std::string& name) {
        common::Settings().programPath = "/opt/kestavo/" + name;
    }

    std::string InstallIniText() const { return ReadFile(Path("C/Kestavo/KVO.INI")); }
    std::string PracticeFolder() const { return Path("P/Kestavo"); }

    std::vector<std::string> Messages() const {
        std::vector<std::string> texts;
        for (const auto& box : presenter_.shown())
            texts.push_back(box.text);
        return texts;
    }

    // The Claim rows of the practice's control table.
    int ClaimRows() const {
        auto& db = engine::Session().Database("CHECK");
        db.Params() = {"PATH=" + PracticeFolder() + "/Data"};
        engine::TTable control;
        control.SetDatabaseName("CHECK");
        control.SetTableName("CONTROL");
        control.SetFilter("Name = 'Claim'");
        control.SetFiltered(true);
        control.Open();
        const int rows = static_cast<int>(control.RecordCount());
        control.Close();
        engine::Session().RemoveDatabase("CHECK");
        return rows;
    }

    int ended_ = 0;
    ScriptedSelectionDialogs dialogs_;

  private:
    fs::path cwd_;
    TEndProcess previousEnd_;
    TSelectionDialogs* previousDialogs_ = nullptr;
};

TEST_F(StartupSequenceTest, WritesEveryCheckpointInOrderAndReleasesWhatItTookAtExit) {
    Install();
    Program("KVO");  // only this name keeps a start-up log
    std::string privateFolder;
    {
        TFRM_Main_DataModules module;
        ASSERT_TRUE(module.Ready()) << ::testing::PrintToString(Messages());
        privateFolder = module.PrivateFolder();
        EXPECT_EQ(privateFolder, "C:\\Kestavo\\Private\\" + common::UserNameText() + "\\KVO\\");
        EXPECT_EQ(fs::current_path(),
                  fs::path(Path("C/Kestavo/Private/" + common::UserNameText() + "/KVO")));
        EXPECT_TRUE(fs::exists(PracticeFolder() + "/KVO.LCK"));
        EXPECT_TRUE(fs::is_directory(PracticeFolder() + "/Reports/Purchase Order"));
        EXPECT_TRUE(engine::Session().Active());
        EXPECT_EQ(engine::Session().NetFileDir(), PracticeFolder() + "/");
        EXPECT_THAT(engine::Session().Passwords(), ElementsAre("Tw1nBrk#7"));
        EXPECT_EQ(ProcessFormats().shortDateFormat, "DD/MM/YYYY");
        EXPECT_EQ(ProcessFormats().decimalSeparator, '.');
        EXPECT_EQ(ProcessFormats().measurement, "0");
    }
    std::vector<std::string> checkpoints;
    std::istringstream log(ReadFile(Path("C/Kestavo/Startup.LOG")));
    for (std::string line; std::getline(log, line);) {
        const auto comma = line.rfind(", ");
        std::string value = line.substr(comma + 2);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        if (value.starts_with("9.")) checkpoints.push_back(value);
    }
    EXPECT_THAT(checkpoints,
                ElementsAre("9.1", "9.2", "9.3", "9.8", "9.9", "9.1", "9.11", "9.111", "9.12",
                            "9.13", "9.14", "9.141", "9.15", "9.16", "9.17", "9.18", "9.19", "9.2",
                            "9.21", "9.211", "9.22", "9.23", "9.24", "9.25", "9.27", "9.28", "9.29",
                            "9.3", "9.998", "9.999"));
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(engine::Session().Active());
    EXPECT_TRUE(engine::Session().Passwords().empty());
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/KVO.LCK"));
    EXPECT_FALSE(fs::exists(Path("C/Kestavo/Private/" + common::UserNameText() + "/KVO")));
}

TEST_F(StartupSequenceTest, DeveloperWorkstationKeepsThePrivateFolder) {
    Install();
    Program("tarnwick");
    common::Settings().developerWorkstation = true;
    { TFRM_Main_DataModules module; }
    EXPECT_TRUE(
        fs::is_directory(Path("C/Kestavo/Private/" + common::UserNameText() + "/tarnwick")));
}

TEST_F(StartupSequenceTest, RunEntriesAreWrittenOnceAndTheTrayEntryFollowsTheSetting) {
    Install();
    Program("tarnwick");
    const platform::RegistryStore registry;
    const auto hive = platform::Hive::LocalMachine;
    { TFRM_Main_DataModules module; }
    EXPECT_EQ(registry.ReadString(hive, platform::kRunKey, "KVO_BOOT"),
              "\"C:\\Kestavo\\KVO_BOOT.EXE\"");
    EXPECT_EQ(registry.ReadString(hive, platform::kRunKey, "KVO_TRAY"),
              "\"C:\\Kestavo\\KVO_TRAY.EXE\"");
    EXPECT_TRUE(fs::exists(registry.AutostartFile("KVO_TRAY")));

    // Unchanged values are not written again: a read-only store would make
    // any write fail, and the entries stay as they are.
    const auto hiveFiles = [&] {
        std::vector<std::pair<std::string, fs::file_time_type>> files;
        for (const auto& entry : fs::directory_iterator(Path("registry")))
            files.emplace_back(entry.path().string(), entry.last_write_time());
        for (const auto& entry : fs::directory_iterator(Path("config/autostart")))
            files.emplace_back(entry.path().string(), entry.last_write_time());
        return files;
    };
    const auto before = hiveFiles();
    { TFRM_Main_DataModules module; }
    EXPECT_EQ(hiveFiles(), before);

    platform::IniFile ini;
    ASSERT_TRUE(ini.Load(Path("C/Kestavo/KVO.INI")));
    ini.WriteBool("Kestavo", "Tray", false);
    ASSERT_TRUE(ini.Save(Path("C/Kestavo/KVO.INI")));
    {
        TFRM_Main_DataModules module;
        EXPECT_TRUE(module.Ready());
    }
    EXPECT_EQ(registry.ReadString(hive, platform::kRunKey, "KVO_TRAY"), std::nullopt);
    EXPECT_FALSE(fs::exists(registry.AutostartFile("KVO_TRAY")));
    EXPECT_TRUE(registry.ReadString(hive, platform::kRunKey, "KVO_BOOT").has_value());
}

TEST_F(StartupSequenceTest, SecondLineMovesItsDriveKeyAndUsesItsOwnFolders) {
    common::Settings() = common::LibrarySettings::SecondLine();
    Program("RULDEN");
    platform::DriveMap drives;
    platform::DriveEntry c, p;
    c.letter = 'C';
    c.folder = MakeDir("C");
    p.letter = 'P';
    MakeDir("P/RUL Dental");
    p.folder = Path("P");
    ASSERT_TRUE(drives.SetDrive(c) && drives.SetDrive(p));
    WriteFile(Path("C/RUL Dental/RUL.INI"), "[RUL Dental]\r\nWD=P:\\\r\n");

    TFRM_Main_DataModules module;
    ASSERT_TRUE(module.Ready()) << ::testing::PrintToString(Messages());
    const std::string text = ReadFile(Path("C/RUL Dental/RUL.INI"));
    EXPECT_THAT(text, HasSubstr("WD=C:\r\n"));
    EXPECT_THAT(text, HasSubstr("WB=P:\\\r\n"));
    // The kept backslash of the drive key does not double in the folder.
    EXPECT_EQ(module.DataFolder(), "P:\\RUL Dental\\");
    EXPECT_TRUE(fs::exists(Path("P/RUL Dental/RUL.LCK")));
    EXPECT_TRUE(fs::is_directory(Path("P/RUL Dental/Data")));
    EXPECT_EQ(platform::RegistryStore().ReadString(platform::Hive::LocalMachine, platform::kRunKey,
                                                   "RUL_BOOT"),
              "\"C:\\RUL Dental\\RUL_BOOT.EXE\"");
}

TEST_F(StartupSequenceTest, ChosenDatabaseOnDriveCLeadsToTheChosenSite) {
    Install();
    WriteFile(Path("C/Kestavo/KVO.INI"),
              "[Kestavo]\r\nWD=P:\r\n[Databases]\r\nMain=C:\r\nBranch=P:\r\n");
    WriteFile(Path("C/Kestavo/KVODEN.INI"),
              "[MultiSite]\r\nCount=2\r\nName1=North\r\nName2=South\r\n");
    dialogs_.AnswerList(0);  // Main, on C:
    dialogs_.AnswerList(1);  // South
    Program("tarnwick");
    TFRM_Main_DataModules module;
    ASSERT_TRUE(module.Ready()) << ::testing::PrintToString(Messages());
    ASSERT_EQ(dialogs_.lists().size(), 2u);
    EXPECT_EQ(dialogs_.lists()[0].title, "Select Database");
    EXPECT_THAT(dialogs_.lists()[0].items, ElementsAre("Main", "Branch"));
    EXPECT_EQ(dialogs_.lists()[1].title, "Select Site");
    EXPECT_THAT(dialogs_.lists()[1].items, ElementsAre("North", "South"));
    EXPECT_THAT(InstallIniText(), HasSubstr("WD=C:\r\n"));
    EXPECT_EQ(module.DataFolder(), "S:\\Kestavo\\");
    EXPECT_TRUE(fs::is_directory(Path("C/Kestavo/MultiSite/2/Kestavo/Bin")));
    // The site is not written to the drive key, so the lock lies under the key's drive.
    EXPECT_TRUE(fs::exists(Path("C/Kestavo/KVO.LCK")));
}

TEST_F(StartupSequenceTest, OnlyAPackingProgramLeavesTheControlTableAlone) {
    Install();
    ASSERT_EQ(ClaimRows(), 0);
    Program("kvo_pack");
    { TFRM_Main_DataModules module; }
    EXPECT_EQ(ClaimRows(), 0);
    Program("tarnwick");
    { TFRM_Main_DataModules module; }
    EXPECT_EQ(ClaimRows(), 1);
}

// Replaces a table by one the engine lists but cannot open: the health
// check's engine error.
void MakeUnopenableTable(const std::string& databaseFile, const char* name) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(databaseFile.c_str(), &db), SQLITE_OK);
    const std::string sql = std::string("DROP TABLE IF EXISTS ") + name + "; CREATE TABLE " + name +
                            " (Id INTEGER PRIMARY KEY, Name TEXT) WITHOUT ROWID";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST_F(StartupSequenceTest, RefusalsShowTheirMessageAndEndWithNothingRolledBack) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::vector<::testing::Matcher<std::string>> messages;
    };
    const auto missing = [](const std::string& drive) {
        return "The directory \"" + drive +
               "\\Kestavo\\\" can not be accessed.\r\rIf this is a network drive, please "
               "ensure that the network is working.";
    };
    const Case cases[] = {
        {"data-drive dialog not confirmed", [this] { Install(/*empty=*/true); }, {}},
        {"data folder missing",
         [this] {
             Install();
             fs::remove_all(PracticeFolder());
         },
         {missing("P:")}},
        {"data-drive dialog confirms a drive without a practice folder",
         [this] {
             Install(true);
             fs::remove_all(PracticeFolder());
             dialogs_.PressOk("p: [DATA]");
         },
         // The drive as the dialog's entry gives it.
         {missing("p:")}},
        {"data drive unmapped and no connection recorded",
         [this] {
             Install();
             fs::remove_all(Path("P"));
         },
         {"The drive \"P:\" can not be accessed."}},
        {"control table damaged",
         [this] {
             Install();
             MakeUnopenableTable(PracticeFolder() + "/Data/" + engine::kDatabaseFileName,
                                 "CONTROL");
         },
         {::testing::StartsWith("Please run the 'Pack Databases' application.\r\r")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case on a fresh installation; boxes and ends are counted anew.
        TearDown();
        SetUp();
        const std::size_t shownBefore = Messages().size();
        const int endedBefore = ended_;
        c.prepare();
        Program("tarnwick");
        TFRM_Main_DataModules module;
        EXPECT_TRUE(module.Ended());
        EXPECT_EQ(ended_, endedBefore + 1);
        const std::vector<std::string> all = Messages();
        EXPECT_THAT(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(shownBefore),
                                             all.end()),
                    ::testing::ElementsAreArray(c.messages));
        EXPECT_FALSE(fs::exists(PracticeFolder() + "/KVO.LCK"));
        // Steps before the refusal keep what they wrote.
        EXPECT_TRUE(platform::RegistryStore()
                        .ReadString(platform::Hive::LocalMachine, platform::kRunKey, "KVO_BOOT")
                        .has_value());
    }
}

TEST_F(StartupSequenceTest, HealthCheckSendsTheMainProgramToPackingAndReleasesTheLock) {
    Install();
    MakeUnopenableTable(PracticeFolder() + "/Data/" + engine::kDatabaseFileName, "TRT_CTL");
    // Other programs of the suite do not look at these tables.
    Program("tarnwick");
    {
        TFRM_Main_DataModules module;
        EXPECT_TRUE(module.Ready());
    }
    Program("KVO");
    TFRM_Main_DataModules module;
    EXPECT_TRUE(module.Ended());
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_THAT(Messages()[0], HasSubstr("Please run the 'Pack Databases' application.\r\r"));
    EXPECT_THAT(Messages()[0], ::testing::EndsWith("\r\rTRT_CTL.DB"));
    EXPECT_EQ(presenter_.shown()[0].flags, common::kMbError);
    EXPECT_FALSE(engine::Session().Database("KVO").Connected());
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/KVO.LCK"));
}

TEST_F(StartupSequenceTest, AnyOtherFailureIsReportedAsUnableToInitialize) {
    Install();
    // A damaged database file: the engine cannot open the practice.
    std::ofstream(PracticeFolder() + "/Data/" + engine::kDatabaseFileName, std::ios::trunc)
        << "garbage left by a failed copy";
    Program("tarnwick");
    TFRM_Main_DataModules module;
    EXPECT_TRUE(module.Ended());
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_THAT(Messages()[0], ::testing::StartsWith("Unable to initialize program:\r\r"));
    EXPECT_THAT(Messages()[0], HasSubstr("not a database"));
    EXPECT_FALSE(fs::exists(PracticeFolder() + "/KVO.LCK"));
}

}  // namespace
}  // namespace kvo::datamodule::testing
