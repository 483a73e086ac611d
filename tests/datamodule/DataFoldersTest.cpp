#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "StartupFixture.h"
#include "common/CommonHelpers.h"
#include "datamodule/DataFolders.h"
#include "datamodule/PracticeSettings.h"
#include "engine/engine.h"
#include "platform/Ini.h"
#include "platform/LockFile.h"
#include "platform/System.h"
#include "support/Tables.h"

namespace kvo::datamodule {
namespace {

namespace fs = std::filesystem;
using engine::Session;
using engine::TFieldDef;
using engine::TFieldType;
using engine::TTable;

class FixedClock : public common::Clock {
  public:
    common::LocalDateTime Now() const override { return {2026, 12, 10, 11, 30, 0, 0}; }
    std::uint32_t TickCount() const override { return 0; }
};

// A practice on drive S: with the installation folder on C:, the program
// named TARNWICK, and no event ever leaving the machine.
class DataFoldersTest : public testing::StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        cwd_ = fs::current_path();
        data_ = MakeDir("s/Kestavo");
        install_ = MakeDir("data/kestavo/C/Kestavo");
        WriteFile(Path("drives.ini"), "[S]\nPath=" + Path("s") + "\n");
        WriteFile(install_ + "/KVO.INI", "[Kestavo]\r\nWD=S:\\\r\n");
        common::Settings().programPath = "/opt/kestavo/TARNWICK";
        common::SetEventReportHook({});
        common::SetClock(&clock_);
        PracticeSettings() = TPracticeSettings();
    }
    void TearDown() override {
        common::ReleaseDataAreaLock();
        Session().RemoveDatabase("OTHER");
        Session().RemoveDatabase("KVO");
        common::SetClock(nullptr);
        PracticeSettings() = TPracticeSettings();
        fs::current_path(cwd_);
        StartupTest::TearDown();
    }

    // The practice's tables in Data, reached as database KVO.
    void OpenTables() {
        MakeDir("s/Kestavo/Data");
        Session().Database("KVO").Params() = {"PATH=" + data_ + "/Data"};
    }
    // Created and left closed, as the start-up finds its tables.
    static void Create(TTable& table, const std::string& name, std::vector<TFieldDef> defs,
                       const std::string& key = "") {
        support::CreateTable(table, "KVO", name, std::move(defs), key);
        table.Close();
    }
    static void CreateControl(TTable& table) {
        Create(table, "CONTROL.DB",
               {{"Name", TFieldType::String, 20}, {"Number", TFieldType::Integer}}, "Name");
    }
    static void AddRows(const std::string& table, const std::string& field,
                        const std::vector<engine::Variant>& values) {
        TTable t;
        t.SetDatabaseName("KVO");
        t.SetTableName(table);
        t.Open();
        for (const auto& v : values) {
            t.Append();
            t.FieldByName(field).SetValue(v);
            t.Post();
        }
        t.Close();
    }
    // Every row of the control table as "Name=Number" ("Name=" for a null number).
    static std::vector<std::string> ControlRows() {
        TTable t;
        t.SetDatabaseName("KVO");
        t.SetTableName("CONTROL");
        t.Open();
        std::vector<std::string> rows;
        for (t.First(); !t.Eof(); t.Next())
            rows.push_back(t.FieldByName("Name").AsString() + "=" +
                           (t.FieldByName("Number").IsNull()
                                ? std::string()
                                : std::to_string(t.FieldByName("Number").AsInteger())));
        t.Close();
        return rows;
    }

    // Every folder below the data folder, "/"-separated and relative.
    std::set<std::string> FoldersBelowData() const {
        std::set<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(data_))
            if (e.is_directory()) found.insert(fs::relative(e.path(), data_).string());
        return found;
    }

    const std::string dataFolder_ = "S:\\Kestavo\\";
    std::string data_, install_;
    fs::path cwd_;
    FixedClock clock_;
};

// ---- data-area lock ------------------------------------------------------------

// Another program, in its own process, holding the lock file until told to go.
class LockHolder {
  public:
    LockHolder(const std::string& path, platform::LockMode mode) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            platform::LockFile lock;
            const char ok = lock.Hold(path, mode) ? 'Y' : 'N';
            (void)!write(ready[1], &ok, 1);
            char c;
            (void)!read(release[0], &c, 1);  // until the parent says go
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char ok = 'N';
        held_ = read(ready[0], &ok, 1) == 1 && ok == 'Y';
        close(ready[0]);
    }
    ~LockHolder() { Stop(); }
    void Stop() {
        if (pid_ <= 0) return;
        // A byte, not just the close: holders forked later share this pipe's
        // write end, so its end of file would never come.
        (void)!write(release_, "x", 1);
        close(release_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
    }
    bool held() const { return held_; }

  private:
    pid_t pid_ = 0;
    int release_ = -1;
    bool held_ = false;
};

TEST_F(DataFoldersTest, ExclusiveHolderElsewhereRefusesTheStartUntilItLetsGo) {
    LockHolder packer(data_ + "/KVO.LCK", platform::LockMode::Exclusive);
    ASSERT_TRUE(packer.held());

    EXPECT_EQ(TakeDataAreaLock(), TStartupVerdict::EndProcess);
    auto shown = presenter_.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "The program is currently packing.");
    EXPECT_EQ(shown[0].caption, "Kestavo");
    EXPECT_EQ(shown[0].flags, common::kMbError);

    packer.Stop();
    EXPECT_EQ(TakeDataAreaLock(), TStartupVerdict::GoOn);
    EXPECT_EQ(presenter_.shown().size(), 1u);
}

TEST_F(DataFoldersTest, SharedHoldersElsewhereAllowTheStartAndKeepThePackerOut) {
    LockHolder first(data_ + "/KVO.LCK", platform::LockMode::Shared);
    LockHolder second(data_ + "/KVO.LCK", platform::LockMode::Shared);
    ASSERT_TRUE(first.held());
    ASSERT_TRUE(second.held());

    EXPECT_EQ(TakeDataAreaLock(), TStartupVerdict::GoOn);
    EXPECT_TRUE(presenter_.shown().empty());

    first.Stop();
    second.Stop();
    // Our own hold alone still keeps a packing program out.
    LockHolder packer(data_ + "/KVO.LCK", platform::LockMode::Exclusive);
    EXPECT_FALSE(packer.held());
}

// ---- folder tree -----------------------------------------------------------------

TEST_F(DataFoldersTest, FreshDataFolderGetsTheTreeAndAHiddenSystemLock) {
    CreateDataFolderTree(dataFolder_);

    std::set<std::string> expected;
    for (std::string_view f : kDataFolderTree) {
        std::string rel(f);
        std::replace(rel.begin(), rel.end(), '\\', '/');
        expected.insert(rel);
    }
    EXPECT_EQ(expected.size(), 34u);  // 33 distinct folders and "Lock"
    expected.insert("Transmit");
    EXPECT_EQ(FoldersBelowData(), expected);
    EXPECT_EQ(platform::FileAttributes(data_ + "/Lock"),
              unsigned(platform::kAttrHidden | platform::kAttrSystem));
    const std::string attributes = ReadFile(data_ + "/.attributes");

    CreateDataFolderTree(dataFolder_);
    EXPECT_EQ(FoldersBelowData(), expected);
    EXPECT_EQ(ReadFile(data_ + "/.attributes"), attributes);
}

TEST_F(DataFoldersTest, TreeUsesFoldersOfAnyCaseAndPassesOverOnesItCannotMake) {
    MakeDir("s/Kestavo/bin");
    MakeDir("s/Kestavo/REPORTS/bank");
    WriteFile(data_ + "/Archive", "a file in the way");
    CreateDataFolderTree(dataFolder_);

    auto found = FoldersBelowData();
    EXPECT_TRUE(found.count("bin/Update"));
    EXPECT_FALSE(found.count("Bin"));
    EXPECT_TRUE(found.count("REPORTS/bank/Statement"));
    EXPECT_FALSE(found.count("Reports"));
    EXPECT_FALSE(found.count("Archive"));
    EXPECT_TRUE(found.count("REPORTS/Purchase Order"));
    EXPECT_TRUE(found.count("Lock"));  // folders after the failed one are still made
}

// ---- private folder ----------------------------------------------------------------

TEST(PrivateFolderText, Rows) {
    struct {
        const char *root, *user, *program, *text;
    } rows[] = {
        {"C:\\Kestavo\\Private\\", "anne", "TARNWICK", "C:\\Kestavo\\Private\\anne\\TARNWICK\\"},
        {"C:\\Kestavo\\Private\\", "o'brien", "TARNWICK",
         "C:\\Kestavo\\Private\\obrien\\TARNWICK\\"},
        {"C:\\Kes'tavo\\Private\\", "d'arcy'", "KVO'S", "C:\\Kestavo\\Private\\darcy\\KVOS\\"},
        {"C:\\Kestavo\\Private\\", "", "KVO", "C:\\Kestavo\\Private\\User\\KVO\\"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(PrivateFolderText(row.root, row.user, row.program), row.text) << row.user;
}

TEST_F(DataFoldersTest, PrivateFolderIsMadeRecordedAndMadeCurrent) {
    std::string user = common::UserNameText();
    std::erase(user, '\'');
    const std::string expected = "C:\\Kestavo\\Private\\" + user + "\\TARNWICK\\";

    EXPECT_EQ(CreatePrivateFolder(), expected);
    const fs::path local = install_ + "/Private/" + user + "/TARNWICK";
    EXPECT_TRUE(fs::is_directory(local));
    EXPECT_EQ(fs::current_path(), fs::canonical(local));
    platform::IniFile ini;
    ASSERT_TRUE(ini.Load(install_ + "/KVO.INI"));
    EXPECT_EQ(ini.ReadString("GetShortPathName", "LongName", "?"), expected);
    EXPECT_EQ(ini.ReadString("GetShortPathName", "ShortName", "?"), expected);
}

TEST_F(DataFoldersTest, PrivateFolderOnAnUnmappedDriveIsEmptyAndLeavesTheDirectory) {
    common::Settings().privateRoot = "Q:\\Private\\";
    const fs::path before = fs::current_path();
    EXPECT_EQ(CreatePrivateFolder(), "");
    EXPECT_EQ(fs::current_path(), before);
    EXPECT_NE(ReadFile(install_ + "/EVENTS.XML").find("GetShortPathName"), std::string::npos);
}

// ---- control table and the first claim row --------------------------------------------

TEST_F(DataFoldersTest, ControlTableStepCases) {
    enum class Control { NoTables, Missing, WithoutName, Empty, WithClaim };
    struct {
        const char* name;
        Control control;
        bool newClaim;
        bool found;
        std::vector<std::string> rows;  // afterwards; ignored without a table
        bool iniNoted;
    } rows[] = {
        {"no tables at all", Control::NoTables, true, false, {}, false},
        {"no control table", Control::Missing, true, false, {}, false},
        {"no Name field", Control::WithoutName, true, false, {}, false},
        {"no claim, NewClaim on", Control::Empty, true, true, {"Claim="}, false},
        {"no claim, NewClaim off", Control::Empty, false, false, {}, false},
        {"claim, NewClaim off", Control::WithClaim, false, true, {"CLAIM=41"}, true},
        {"claim, NewClaim on", Control::WithClaim, true, true, {"CLAIM=41"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Session().RemoveDatabase("KVO");
        fs::remove_all(data_);
        MakeDir("s/Kestavo");
        WriteFile(data_ + "/KVODEN.INI", "[Kestavo]\r\nCountry=E\r\n");
        if (row.control != Control::NoTables) {
            OpenTables();
            TTable t;
            if (row.control == Control::Missing)
                Create(t, "USER.DB", {{"Form", TFieldType::Integer}});
            if (row.control == Control::WithoutName)
                Create(t, "CONTROL.DB", {{"Key", TFieldType::String, 20}});
            if (row.control == Control::Empty || row.control == Control::WithClaim)
                CreateControl(t);
            if (row.control == Control::WithClaim) {
                t.Open();
                t.Append();
                t.FieldByName("Name").SetAsString("CLAIM");
                t.FieldByName("Number").SetAsInteger(41);
                t.Post();
                t.Close();
            }
        }
        PracticeSettings().newClaim = row.newClaim;

        TTable control;
        control.SetDatabaseName("KVO");
        control.SetTableName("CONTROL.DB");
        control.SetIndexFieldNames("Name");
        auto result = ControlTableStep(dataFolder_, control);

        EXPECT_EQ(result.verdict, TStartupVerdict::GoOn);
        EXPECT_EQ(result.claimFound, row.found);
        EXPECT_FALSE(control.Active());
        EXPECT_EQ(control.IndexFieldNames(), "Name");
        if (row.control == Control::Empty || row.control == Control::WithClaim) {
            EXPECT_EQ(ControlRows(), row.rows);
        }
        platform::IniFile ini;
        ASSERT_TRUE(ini.Load(data_ + "/KVODEN.INI"));
        EXPECT_EQ(ini.Value("Kestavo", "Claim"),
                  row.iniNoted ? std::optional<std::string>("1") : std::nullopt);
        EXPECT_EQ(fs::exists(data_ + "/Data"), row.control != Control::NoTables);
    }
    EXPECT_TRUE(presenter_.shown().empty());
}

TEST_F(DataFoldersTest, ClaimNoteInAnUnwritablePracticeIniRaisesWithTheTableClosed) {
    OpenTables();
    TTable control;
    CreateControl(control);
    AddRows("CONTROL", "Name", {std::string("Claim")});
    MakeDir("s/Kestavo/KVODEN.INI");  // a folder where the file should be

    EXPECT_THROW((void)ControlTableStep(dataFolder_, control), EIniFileError);
    EXPECT_FALSE(control.Active());
    EXPECT_EQ(control.IndexFieldNames(), "Name");
    EXPECT_TRUE(presenter_.shown().empty());
}

// A workstation holding the control table's database mid-write makes the
// engine fail: the start is refused and the lock given back, except for a
// packing program, which must be able to start over a damaged table.
TEST_F(DataFoldersTest, ControlTableEngineErrorRefusesUnlessPacking) {
    OpenTables();
    {
        TTable t;
        CreateControl(t);
    }
    PracticeSettings().newClaim = true;
    Session().SetLockWaitMs(50);
    Session().Database("OTHER").Params() = {"PATH=" + data_ + "/Data"};

    for (const char* program : {"/opt/kestavo/TARNWICK", "/opt/kestavo/KVO_PACK"}) {
        SCOPED_TRACE(program);
        const bool packing = std::string(program).find("PACK") != std::string::npos;
        common::Settings().programPath = program;
        ASSERT_EQ(TakeDataAreaLock(), TStartupVerdict::GoOn);
        ASSERT_TRUE(fs::exists(data_ + "/KVO.LCK"));
        TTable writer;
        writer.SetDatabaseName("OTHER");
        writer.SetTableName("CONTROL");
        writer.Open();
        writer.Append();

        TTable control;
        control.SetDatabaseName("KVO");
        control.SetTableName("CONTROL.DB");
        auto result = ControlTableStep(dataFolder_, control);
        writer.Cancel();
        writer.Close();

        EXPECT_FALSE(control.Active());
        EXPECT_EQ(control.IndexFieldNames(), "Name");
        auto shown = presenter_.shown();
        if (packing) {
            EXPECT_EQ(result.verdict, TStartupVerdict::GoOn);
            EXPECT_EQ(shown.size(), 1u);  // only the one of the first program
            EXPECT_TRUE(fs::exists(data_ + "/KVO.LCK"));
        } else {
            EXPECT_EQ(result.verdict, TStartupVerdict::EndProcess);
            ASSERT_EQ(shown.size(), 1u);
            const std::string prefix = "Please run the 'Pack Databases' application.\r\r";
            EXPECT_EQ(shown[0].text.substr(0, prefix.size()), prefix);
            EXPECT_GT(shown[0].text.size(), prefix.size());  // the engine's message follows
            EXPECT_EQ(shown[0].flags, common::kMbError);
            EXPECT_FALSE(fs::exists(data_ + "/KVO.LCK"));  // released and removed
        }
    }
    EXPECT_TRUE(ControlRows().empty());
}

TEST_F(DataFoldersTest, FirstClaimRowTakesTheLargestPositiveForm) {
    struct {
        std::vector<engine::Variant> forms;
        const char* row;
    } rows[] = {
        {{}, "Claim=0"},
        {{std::int64_t{-3}, std::int64_t{0}, std::monostate{}}, "Claim=0"},
        {{std::int64_t{5}, std::int64_t{12}, std::int64_t{7}}, "Claim=12"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.row);
        Session().RemoveDatabase("KVO");
        fs::remove_all(data_ + "/Data");
        OpenTables();
        TTable user, control;
        Create(user, "USER.DB", {{"Form", TFieldType::Integer}});
        CreateControl(control);
        AddRows("USER", "Form", row.forms);
        control.SetIndexFieldNames("Name");

        AddFirstClaimRow(user, control, false);
        EXPECT_EQ(ControlRows(), std::vector<std::string>{row.row});
        EXPECT_FALSE(user.Active());
        EXPECT_FALSE(control.Active());

        AddFirstClaimRow(user, control, true);  // a found row: nothing more
        EXPECT_EQ(ControlRows().size(), 1u);

        // A second claim row would break the key: the step stays silent.
        AddFirstClaimRow(user, control, false);
        EXPECT_EQ(ControlRows().size(), 1u);
        EXPECT_FALSE(control.Active());
    }
}

TEST_F(DataFoldersTest, FirstClaimRowWithoutAUserTableAddsNothing) {
    OpenTables();
    TTable user, control;
    CreateControl(control);
    user.SetDatabaseName("KVO");
    user.SetTableName("USER.DB");
    AddFirstClaimRow(user, control, false);
    EXPECT_TRUE(ControlRows().empty());
    EXPECT_FALSE(user.Active());
}

// ---- demonstration database ------------------------------------------------------------

class DemoOfferTest : public DataFoldersTest {
  protected:
    // A stand-in installer that notes its parameters.
    void InstallStub() {
        const std::string stub = install_ + "/DemoDatabase.exe";
        WriteFile(stub, "#!/bin/sh\necho \"$@\" > '" + Path("demo-args") + "'\n");
        fs::permissions(stub, fs::perms::owner_all);
    }
    std::string StartedWith() const {
        return fs::exists(Path("demo-args")) ? ReadFile(Path("demo-args")) : "(not started)";
    }
};

TEST_F(DemoOfferTest, OfferedOnlyToAnEmptyPractice) {
    enum Table { None, Empty, Rows };
    struct {
        Table patient, user;
        bool offered;
    } rows[] = {
        {None, None, true},   {None, Rows, true},   {Rows, None, true},  {Empty, Empty, true},
        {Rows, Empty, false}, {Empty, Rows, false}, {Rows, Rows, false},
    };
    InstallStub();
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.patient) + "/" + std::to_string(row.user));
        Session().RemoveDatabase("KVO");
        fs::remove_all(data_ + "/Data");
        OpenTables();
        for (auto [table, name] :
             {std::pair{row.patient, "PATIENT"}, std::pair{row.user, "USER"}}) {
            if (table == None) continue;
            TTable t;
            Create(t, name, {{"Form", TFieldType::Integer}});
            if (table == Rows) AddRows(name, "Form", {std::int64_t{1}});
        }
        const auto before = presenter_.shown().size();
        OfferDemoDatabase();
        const auto shown = presenter_.shown();
        ASSERT_EQ(shown.size(), before + (row.offered ? 1 : 0));
        if (row.offered) {
            EXPECT_EQ(shown.back().text,
                      "Install demonstration database?\r\n(recommended if evaluating software)");
            EXPECT_EQ(shown.back().flags, common::kMbWarningYesNo);
        }
    }
    EXPECT_EQ(StartedWith(), "(not started)");  // every question was answered No
}

TEST_F(DemoOfferTest, YesRunsTheInstallerWithTodayAndWaits) {
    InstallStub();
    OpenTables();
    presenter_.Answer(common::kIdYes);
    OfferDemoDatabase();
    // The wait is over before the step returns, so the note is complete.
    EXPECT_EQ(StartedWith(), "/AUTO /20261210\n");
}

TEST_F(DemoOfferTest, NoInstallerNoQuestionAndAnInstallerThatFailsIsIgnored) {
    OpenTables();
    OfferDemoDatabase();
    EXPECT_TRUE(presenter_.shown().empty());

    // Present and executable, but nothing can run it.
    const std::string broken = install_ + "/DemoDatabase.exe";
    WriteFile(broken, "#!/nonexistent/interpreter\n");
    fs::permissions(broken, fs::perms::owner_all);
    presenter_.Answer(common::kIdYes);
    EXPECT_NO_THROW(OfferDemoDatabase());
    EXPECT_EQ(presenter_.shown().size(), 1u);
}

// ---- file copies ----------------------------------------------------------------------------

TEST_F(DataFoldersTest, FeeTableIsCopiedOnlyIntoAnEmptyPlace) {
    CopyFeeTable(dataFolder_);  // nothing to copy, no Bin: nothing happens
    EXPECT_FALSE(fs::exists(data_ + "/Bin"));

    CreateDataFolderTree(dataFolder_);
    WriteFile(data_ + "/Data/PRV_FEE.DB", "fees v2");
    CopyFeeTable(dataFolder_);
    EXPECT_EQ(ReadFile(data_ + "/Bin/PRV_FEE.DB"), "fees v2");

    WriteFile(data_ + "/Data/PRV_FEE.DB", "fees v3");
    CopyFeeTable(dataFolder_);
    EXPECT_EQ(ReadFile(data_ + "/Bin/PRV_FEE.DB"), "fees v2");

    std::vector<std::string> binFiles;
    for (const auto& e : fs::directory_iterator(data_ + "/Bin"))
        if (!e.is_directory()) binFiles.push_back(e.path().filename().string());
    EXPECT_EQ(binFiles, std::vector<std::string>{"PRV_FEE.DB"});  // no copy left half-way
}

TEST_F(DataFoldersTest, BootProgramIsCopiedIntoTheInstallationWhenMissingThere) {
    CopyBootProgram(dataFolder_);
    EXPECT_FALSE(fs::exists(install_ + "/KVO_BOOT.EXE"));

    WriteFile(data_ + "/KVO_BOOT.EXE", "boot");
    fs::permissions(data_ + "/KVO_BOOT.EXE", fs::perms::owner_all);
    CopyBootProgram(dataFolder_);
    EXPECT_EQ(ReadFile(install_ + "/KVO_BOOT.EXE"), "boot");
    EXPECT_TRUE((fs::status(install_ + "/KVO_BOOT.EXE").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);

    // An installed copy under another case is the boot program all the same.
    fs::rename(install_ + "/KVO_BOOT.EXE", install_ + "/kvo_boot.exe");
    WriteFile(data_ + "/KVO_BOOT.EXE", "newer boot");
    CopyBootProgram(dataFolder_);
    EXPECT_FALSE(fs::exists(install_ + "/KVO_BOOT.EXE"));
    EXPECT_EQ(ReadFile(install_ + "/kvo_boot.exe"), "boot");

    common::Settings() = common::LibrarySettings::SecondLine();
    EXPECT_EQ(BootProgramName(), "RUL_BOOT.EXE");
}

}  // namespace
}  // namespace kvo::datamodule
