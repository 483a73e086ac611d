#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "StartupFixture.h"
#include "common/Common.h"
#include "datamodule/Initialisation.h"
#include "datamodule/Selection.h"
#include "platform/DriveMap.h"
#include "platform/Sys.h"

namespace kvo::datamodule {
namespace {

namespace fs = std::filesystem;

class SelectionTest : public testing::StartupTest {
  protected:
    void SetUp() override {
        StartupTest::SetUp();
        common::ResetRecordingStateForTesting();
        DataDrive().clear();
        previous_ = SetSelectionDialogs(&dialogs_);
        installIni_ = DriveC() + "/Kestavo/KVO.INI";
        MakeDir("data/kestavo/C/Kestavo");
    }
    void TearDown() override {
        SetSelectionDialogs(previous_);
        DataDrive().clear();
        common::ResetRecordingStateForTesting();
        StartupTest::TearDown();
    }

    void UseSecondLine() {
        common::Settings() = common::LibrarySettings::SecondLine();
        installIni_ = DriveC() + "/RUL Dental/RUL.INI";
    }
    std::string InstallIni() const { return ReadFile(installIni_); }
    void WriteInstallIni(const std::string& text) const { WriteFile(installIni_, text); }
    void WriteSites(const std::string& multiSite) const {
        WriteFile(DriveC() + "/Kestavo/KVODEN.INI", "[MultiSite]\r\n" + multiSite);
    }

    ScriptedSelectionDialogs dialogs_;
    std::string installIni_;

  private:
    TSelectionDialogs* previous_ = nullptr;
};

// ---- database selection --------------------------------------------------------

TEST_F(SelectionTest, DatabaseChosenWritesItsValueToDriveKey) {
    WriteInstallIni("[Kestavo]\r\nWD=C:\r\n[Databases]\r\nMain=F:\r\nBranch=G:\\\r\nTest=H:\r\n");
    dialogs_.AnswerList(1);
    TInstallIni ini;
    SelectDatabase(ini);
    ASSERT_EQ(dialogs_.lists().size(), 1u);
    EXPECT_EQ(dialogs_.lists()[0].title, "Select Database");
    EXPECT_EQ(dialogs_.lists()[0].items, (std::vector<std::string>{"Main", "Branch", "Test"}));
    EXPECT_EQ(InstallIni(),
              "[Kestavo]\r\nWD=G:\\\r\n[Databases]\r\nMain=F:\r\nBranch=G:\\\r\nTest=H:\r\n");
    EXPECT_EQ(ini.ini().ReadString("Kestavo", "WD", ""), "G:\\");
}

TEST_F(SelectionTest, DatabaseSelectionThatChangesNothing) {
    struct {
        const char* name;
        const char* text;
        int answer;  // -1: closed without OK
        bool shown;
    } rows[] = {
        {"one line", "[Kestavo]\r\nWD=C:\r\n[Databases]\r\nMain=F:\r\n", 0, false},
        {"no section", "[Kestavo]\r\nWD=C:\r\n", 0, false},
        {"closed without OK", "[Kestavo]\r\nWD=C:\r\n[Databases]\r\nA=F:\r\nB=G:\r\n", -1, true},
        {"index out of range", "[Kestavo]\r\nWD=C:\r\n[Databases]\r\nA=F:\r\nB=G:\r\n", 2, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedSelectionDialogs dialogs;
        ScopedSelectionDialogs scoped(dialogs);
        dialogs.AnswerList(row.answer);
        WriteInstallIni(row.text);
        TInstallIni ini;
        SelectDatabase(ini);
        EXPECT_EQ(dialogs.lists().size(), row.shown ? 1u : 0u);
        EXPECT_EQ(InstallIni(), row.text);
    }
}

TEST_F(SelectionTest, SecondLineDatabaseGoesToItsOwnDriveKey) {
    UseSecondLine();
    WriteInstallIni("[RUL Dental]\r\nWD=C:\r\nWB=F:\r\n[Databases]\r\nA=F:\r\nB=G:\r\n");
    dialogs_.AnswerList(1);
    TInstallIni ini;
    SelectDatabase(ini);
    EXPECT_EQ(InstallIni(), "[RUL Dental]\r\nWD=C:\r\nWB=G:\r\n[Databases]\r\nA=F:\r\nB=G:\r\n");
}

TEST_F(SelectionTest, UnwritableInstallationIniRaises) {
    WriteInstallIni("[Databases]\r\nA=F:\r\nB=G:\r\n");
    dialogs_.AnswerList(0);
    TInstallIni ini;
    platform::ScopedSysOverride sys;
    sys.table().rename = [](const char*, const char*) {
        errno = EACCES;
        return -1;
    };
    EXPECT_THROW(SelectDatabase(ini), EIniFileError);
    EXPECT_FALSE(ini.ini().ValueExists("Kestavo", "WD"));
    EXPECT_EQ(InstallIni(), "[Databases]\r\nA=F:\r\nB=G:\r\n");
}

// ---- data-drive dialog ---------------------------------------------------------

TEST_F(SelectionTest, DataDriveOkWithoutDriveWarnsThenNextOkConfirms) {
    dialogs_.PressOk("");
    dialogs_.PressOk("s: [DATA]");
    EXPECT_TRUE(SelectDataDrive());
    ASSERT_EQ(presenter_.shown().size(), 1u);
    EXPECT_EQ(presenter_.shown()[0].text, "You must select a drive.");
    EXPECT_EQ(presenter_.shown()[0].caption, "Kestavo");
    EXPECT_EQ(presenter_.shown()[0].flags, common::kMbWarning);
    EXPECT_EQ(DataDrive(), "s:");
    EXPECT_EQ(InstallIni(), "[Kestavo]\r\nWD=s:\r\n");
}

TEST_F(SelectionTest, DataDriveCancelledWritesNothing) {
    dialogs_.PressOk("");
    dialogs_.PressCancel();
    EXPECT_FALSE(SelectDataDrive());
    EXPECT_EQ(DataDrive(), "");
    EXPECT_FALSE(fs::exists(installIni_));
    // A used-up script closes the dialog unconfirmed too.
    EXPECT_FALSE(SelectDataDrive());
    EXPECT_EQ(dialogs_.dataDriveDialogs(), 2);
}

TEST_F(SelectionTest, DataDriveOfSecondLineGoesToItsSectionAndKey) {
    UseSecondLine();
    WriteInstallIni("[RUL Dental]\r\nWD=C:\r\n");
    dialogs_.PressOk("c: [SYSTEM]");
    EXPECT_TRUE(SelectDataDrive());
    EXPECT_EQ(InstallIni(), "[RUL Dental]\r\nWD=C:\r\nWB=c:\r\n");
}

TEST_F(SelectionTest, DataDriveThatCannotBeWrittenRaises) {
    dialogs_.PressOk("s: [DATA]");
    platform::ScopedSysOverride sys;
    sys.table().rename = [](const char*, const char*) {
        errno = EROFS;
        return -1;
    };
    EXPECT_THROW(SelectDataDrive(), EIniFileError);
    EXPECT_FALSE(fs::exists(installIni_));
}

// ---- site selection ------------------------------------------------------------

TEST_F(SelectionTest, SiteNamesAndCount) {
    WriteSites("Count=3\r\nName1=North\r\nName3=South Street\r\n");
    EXPECT_EQ(MultiSiteCount(), 3);
    EXPECT_EQ(SiteNames(3), (std::vector<std::string>{"North", "Site2", "South Street"}));
    EXPECT_EQ(SiteNames(0), std::vector<std::string>{});
    fs::remove(DriveC() + "/Kestavo/KVODEN.INI");
    EXPECT_EQ(MultiSiteCount(), 0);
    EXPECT_EQ(SiteNames(2), (std::vector<std::string>{"Site1", "Site2"}));
    EXPECT_EQ(SiteFolder(12), "C:\\Kestavo\\MultiSite\\12");
}

TEST_F(SelectionTest, SiteChosenIsMappedAsDriveS) {
    WriteSites("Count=2\r\nName1=North\r\n");
    DataDrive() = "C:";
    dialogs_.AnswerList(1);
    SelectSite(MultiSiteCount());
    ASSERT_EQ(dialogs_.lists().size(), 1u);
    EXPECT_EQ(dialogs_.lists()[0].title, "Select Site");
    EXPECT_EQ(dialogs_.lists()[0].items, (std::vector<std::string>{"North", "Site2"}));
    EXPECT_EQ(DataDrive(), "S:");
    const std::string site = DriveC() + "/Kestavo/MultiSite/2";
    EXPECT_TRUE(fs::is_directory(site + "/Kestavo"));
    platform::DriveMap map;
    EXPECT_EQ(map.SubstituteTarget('S'), "C:\\Kestavo\\MultiSite\\2");
    EXPECT_EQ(map.ToLocal("S:\\Kestavo"), site + "/Kestavo");
    EXPECT_EQ(map.TypeOf('S'), platform::DriveType::Fixed);
}

TEST_F(SelectionTest, SiteListClosedWithoutOkUsesSiteZero) {
    DataDrive() = "C:";
    dialogs_.AnswerList(-1);
    SelectSite(2);
    EXPECT_EQ(DataDrive(), "S:");
    EXPECT_TRUE(fs::is_directory(DriveC() + "/Kestavo/MultiSite/0/Kestavo"));
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "C:\\Kestavo\\MultiSite\\0");
}

TEST_F(SelectionTest, SiteReplacesEarlierSubstituteOfDriveS) {
    dialogs_.AnswerList(0);
    SelectSite(2);
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "C:\\Kestavo\\MultiSite\\1");
    dialogs_.AnswerList(1);
    SelectSite(2);
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "C:\\Kestavo\\MultiSite\\2");
}

TEST_F(SelectionTest, SiteOfSecondLineUnderItsProductFolder) {
    UseSecondLine();
    dialogs_.AnswerList(0);
    SelectSite(1);
    EXPECT_TRUE(fs::is_directory(DriveC() + "/RUL Dental/MultiSite/1/RUL Dental"));
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "C:\\RUL Dental\\MultiSite\\1");
}

TEST_F(SelectionTest, NoSitesOrDamagedCountDoNothing) {
    for (int count : {0, -1, -2147483647 - 1}) {
        DataDrive() = "C:";
        SelectSite(count);
        EXPECT_EQ(DataDrive(), "C:") << count;
    }
    EXPECT_TRUE(dialogs_.lists().empty());
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "");
    EXPECT_FALSE(fs::exists(DriveC() + "/Kestavo/MultiSite"));
}

TEST_F(SelectionTest, HugeSiteCountIsListedUpToTheLimit) {
    dialogs_.AnswerList(kMaxSites - 1);
    SelectSite(2147483647);
    ASSERT_EQ(dialogs_.lists().size(), 1u);
    EXPECT_EQ(dialogs_.lists()[0].items.size(), static_cast<std::size_t>(kMaxSites));
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'),
              "C:\\Kestavo\\MultiSite\\" + std::to_string(kMaxSites));
}

TEST_F(SelectionTest, SiteMappingFailureIsNotReported) {
    // S: stands for a real drive here, which a substitute never replaces.
    MakeDir("s");
    WriteFile(Path("drives.ini"), "[S]\nPath=" + Path("s") + "\n");
    dialogs_.AnswerList(0);
    SelectSite(1);
    EXPECT_EQ(DataDrive(), "S:");
    EXPECT_TRUE(presenter_.shown().empty());
    EXPECT_EQ(platform::DriveMap().ToLocal("S:\\"), Path("s") + "/");
}

// ---- first run -----------------------------------------------------------------

// The start-up's part of the first run: database selection, the drive key,
// the data-drive dialog when it is empty and the sites of drive C:.
bool FirstRunDataDrive() {
    TInstallIni ini;
    SelectDatabase(ini);
    const auto& s = common::Settings();
    DataDrive() = TInstallIni().ini().ReadString(s.productFolder, s.driveKey, "");
    if (DataDrive().empty() && !SelectDataDrive()) return false;
    std::string upper = DataDrive();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "C:") SelectSite(MultiSiteCount());
    return true;
}

TEST_F(SelectionTest, FirstRunDriveChosenThenSite) {
    fs::remove_all(DriveC());
    WriteFile(Path("drives.ini"), "[C]\nPath=" + DriveC() + "\nLabel=SYSTEM\n");
    WriteSites("Count=2\r\nName1=North\r\nName2=South\r\n");
    common::Settings().programPath = "/opt/kestavo/KVO";
    InitialiseSharedLibrary();
    dialogs_.PressOk("");
    dialogs_.PressOk("c: [SYSTEM]");
    dialogs_.AnswerList(1);

    ASSERT_TRUE(FirstRunDataDrive());
    EXPECT_EQ(dialogs_.dataDriveDialogs(), 1);
    EXPECT_EQ(presenter_.shown().size(), 1u);
    EXPECT_EQ(InstallIni(), "[Kestavo]\r\nWD=c:\r\n");
    EXPECT_EQ(DataDrive(), "S:");
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "C:\\Kestavo\\MultiSite\\2");
    EXPECT_TRUE(fs::is_directory(DriveC() + "/Kestavo/MultiSite/2/Kestavo"));

    // The next start knows its drive: no dialog, and the site is asked again.
    dialogs_.AnswerList(0);
    ASSERT_TRUE(FirstRunDataDrive());
    EXPECT_EQ(dialogs_.dataDriveDialogs(), 1);
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "C:\\Kestavo\\MultiSite\\1");
    EXPECT_EQ(InstallIni(), "[Kestavo]\r\nWD=c:\r\n");
}

TEST_F(SelectionTest, FirstRunCancelledLeavesNoDrive) {
    common::Settings().programPath = "/opt/kestavo/KVO";
    InitialiseSharedLibrary();
    dialogs_.PressCancel();
    EXPECT_FALSE(FirstRunDataDrive());
    EXPECT_EQ(DataDrive(), "");
    EXPECT_FALSE(fs::exists(installIni_));
    EXPECT_EQ(platform::DriveMap().SubstituteTarget('S'), "");
}

TEST_F(SelectionTest, FirstRunNetworkDriveSkipsSites) {
    WriteSites("Count=2\r\n");
    WriteInstallIni("[Kestavo]\r\n[Databases]\r\nSurgery=N:\r\nHome=C:\r\n");
    dialogs_.AnswerList(0);
    ASSERT_TRUE(FirstRunDataDrive());
    EXPECT_EQ(DataDrive(), "N:");
    EXPECT_EQ(dialogs_.lists().size(), 1u);  // the database list only
    EXPECT_EQ(dialogs_.dataDriveDialogs(), 0);
    EXPECT_EQ(InstallIni(), "[Kestavo]\r\nWD=N:\r\n[Databases]\r\nSurgery=N:\r\nHome=C:\r\n");
}

}  // namespace
}  // namespace kvo::datamodule
